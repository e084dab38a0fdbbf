// mbsync's configuration as a profile: its sections read, one IMAPAccount
// chosen and checked, and mapped to an IMAP mailbox with its login, or to
// the local Maildir mbsync keeps in step with it.
#include "ImportRules.h"
#include "Words.h"

#include <algorithm>
#include <map>

namespace kelvra_cli {

using namespace imports;
using kelvra_cli_common::Lower;

namespace {

// A keyword that starts a section (IMAPAccount, MaildirStore, ...) and the
// settings after it, up to a blank line or the next one.
struct Section {
    std::string kind, name;
    std::map<std::string, std::pair<std::string, int>> settings; // lower-case keyword: value, line
    int line = 0;

    bool Has(const char *key) const { return settings.count(key) != 0; }
    std::string Get(const char *key) const { return Has(key) ? settings.at(key).first : std::string(); }
    int LineOf(const char *key) const { return Has(key) ? settings.at(key).second : line; }
};

std::vector<Section> ReadSections(const std::string &text)
{
    static const char *const kStarts[] = {"imapaccount", "imapstore", "maildirstore", "channel", "group"};
    std::vector<Section> sections;
    bool open = false;
    EachLine(text, [&](int line, const std::string &trimmed) {
        if (trimmed.empty()) {
            open = false;
            return;
        }
        if (trimmed[0] == '#')
            return;
        auto [keyword, argument] = KeywordAndArgument(trimmed);
        const std::string key = Lower(keyword);
        if (std::find(std::begin(kStarts), std::end(kStarts), key) != std::end(kStarts)) {
            sections.push_back({key, argument, {}, line});
            open = true;
        } else if (open) {
            sections.back().settings[key] = {argument, line};
        }
    });
    return sections;
}

const Section &ChosenAccount(const std::vector<Section> &sections, const std::string &file,
                             const std::string &account)
{
    std::vector<const Section *> imap;
    std::vector<std::string> names;
    for (const Section &s : sections)
        if (s.kind == "imapaccount") {
            names.push_back(s.name);
            if (account.empty() || s.name == account)
                imap.push_back(&s);
        }
    if (imap.size() != 1)
        NoSuchAccount(file, "IMAPAccount", account, names);
    return *imap.front();
}

// What the provider does not do is refused; the TLS type, as mbsync
// defaults it, is "none" only on loopback.
std::string CheckedTls(const Section &a, const std::string &file)
{
    for (const char *refused : {"tunnel", "usercmd", "clientcertificate", "clientkey"})
        if (a.Has(refused))
            Cannot(file, a.LineOf(refused), std::string(refused) + " is not something the provider does");
    if (a.Has("systemcertificates") && Lower(a.Get("systemcertificates")) == "no")
        Cannot(file, a.LineOf("systemcertificates"),
               "SystemCertificates no: the provider trusts the system's certificates besides its cafile");
    const std::string host = a.Get("host");
    if (host.empty() || a.Get("user").empty())
        Cannot(file, a.line, "IMAPAccount " + a.name + " names no Host or no User");
    std::string tls = Lower(a.Has("tlstype") ? a.Get("tlstype") : a.Get("ssltype"));
    if (tls.empty())
        tls = "starttls"; // mbsync's default
    if (tls == "none" && !IsLoopback(host))
        Cannot(file, a.LineOf(a.Has("tlstype") ? "tlstype" : "ssltype"),
               "IMAPAccount " + a.name + " reads " + host + " without TLS; the provider does so only on loopback");
    if (tls != "none" && tls != "starttls" && tls != "imaps")
        Cannot(file, a.LineOf("ssltype"), "the TLS type " + tls + " is not one mbsync documents");
    return tls;
}

// The IMAP mailbox's URL, each part as the URL must hold it (the host and
// port refused when they hold what a URL reads otherwise), and the login.
void MapImap(const Section &a, const std::string &file, bool privateFile, const std::string &tls,
             ImportedProfile &p)
{
    const std::string host = a.Get("host"), port = a.Get("port");
    CheckServer(file, "Host", a.LineOf("host"), host, "Port", a.LineOf("port"), port);
    p.keys.emplace_back("mailbox", (tls == "imaps" ? "imaps" : "imap") + std::string("://") + UrlUser(a.Get("user")) +
                                       "@" + UrlHost(host) + (port.empty() ? std::string() : ":" + port) + "/INBOX");
    if (tls == "none")
        p.keys.emplace_back("plain", "yes");
    p.keys.emplace_back("user", a.Get("user"));
    if (const std::string mechs = a.Get("authmechs"); !mechs.empty())
        Auth(p, file, a.LineOf("authmechs"), mechs);
    if (const std::string cert = a.Get("certificatefile"); !cert.empty())
        p.keys.emplace_back("cafile", Expand(cert));
    if (std::string command = a.Get("passcmd"); !command.empty()) {
        if (command.front() == '+') // mbsync's mark for a command that talks to the terminal
            command.erase(0, 1);
        p.keys.emplace_back("passwordcmd", command);
    } else if (a.Has("pass")) {
        Password(p, file, a.LineOf("pass"), privateFile, a.Get("pass"));
    } else {
        NoPassword(p);
    }
}

// Whether a channel pairs the MaildirStore `maildir` with one of `stores`.
bool Paired(const std::vector<Section> &sections, const std::vector<std::string> &stores, const std::string &maildir)
{
    for (const Section &c : sections) {
        if (c.kind != "channel")
            continue;
        std::string sides;
        for (const char *side : {"far", "near", "master", "slave"})
            if (c.Has(side))
                sides.append(" ").append(c.Get(side));
        const bool ours = std::any_of(stores.begin(), stores.end(), [&](const std::string &st) {
            return sides.find(":" + st + ":") != std::string::npos;
        });
        if (ours && sides.find(":" + maildir + ":") != std::string::npos)
            return true;
    }
    return false;
}

// The Maildir that channels pair with the account's store, else the first
// MaildirStore with an Inbox.
void MapLocal(const std::vector<Section> &sections, const Section &a, const std::string &file, ImportedProfile &p)
{
    std::vector<std::string> stores;
    for (const Section &s : sections)
        if (s.kind == "imapstore" && s.Has("account") && s.Get("account") == a.name)
            stores.push_back(s.name);
    const Section *maildir = nullptr;
    for (const Section &s : sections) {
        if (s.kind != "maildirstore" || !s.Has("inbox"))
            continue;
        if (Paired(sections, stores, s.name)) {
            maildir = &s;
            break;
        }
        if (maildir == nullptr)
            maildir = &s;
    }
    if (maildir == nullptr)
        Cannot(file, 0, "no MaildirStore names an Inbox");
    const std::string inbox = Expand(maildir->Get("inbox"));
    p.keys.emplace_back("mailbox", inbox);
    p.notes.push_back("the mailbox is the local Maildir " + inbox + ", which mbsync keeps in step with " +
                      a.Get("host"));
}

} // namespace

ImportedProfile FromMbsync(const std::string &text, const std::string &file, bool privateFile,
                           const std::string &account, bool local)
{
    const std::vector<Section> sections = ReadSections(text);
    const Section &a = ChosenAccount(sections, file, account);
    ImportedProfile p;
    p.name = a.name;
    const std::string tls = CheckedTls(a, file);
    if (local)
        MapLocal(sections, a, file, p);
    else
        MapImap(a, file, privateFile, tls, p);
    if (const std::string user = a.Get("user"); user.find('@') != std::string::npos && user.find(' ') == std::string::npos)
        p.keys.emplace_back("address", user);
    return p;
}

} // namespace kelvra_cli
