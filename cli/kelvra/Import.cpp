#include "Import.h"
#include "Words.h"

#include "posix/Loopback.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

namespace kelvra_cli {

namespace {

using kelvra_cli_common::Lower;
using kelvra_cli_common::Trim;

// A line's keyword and its argument; an argument in double quotes loses
// them, with \" and \\ inside for a quote and a backslash (as both msmtp's
// and mbsync's files write them).
std::pair<std::string, std::string> KeywordAndArgument(const std::string &line)
{
    const std::string trimmed = Trim(line);
    const size_t gap = trimmed.find_first_of(" \t");
    if (gap == std::string::npos)
        return {trimmed, {}};
    std::string argument = Trim(trimmed.substr(gap));
    if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"') {
        std::string out;
        for (size_t i = 1; i + 1 < argument.size(); ++i) {
            if (argument[i] == '\\' && i + 2 < argument.size())
                ++i;
            out += argument[i];
        }
        argument = out;
    }
    return {trimmed.substr(0, gap), argument};
}

// The lines that hold settings: no comment, no blank line.
template <class F>
void EachSetting(const std::string &text, F &&f)
{
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        const std::string trimmed = Trim(line);
        f(number, trimmed);
    }
}

// The provider's own rule: what is written plain is what it speaks plain to.
bool IsLoopback(const std::string &host) { return kelvra_posix::IsLoopbackHost(host); }

// A host for a URL: an IPv6 address in brackets.
std::string UrlHost(const std::string &host)
{
    return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

bool On(const std::string &value) { return value.empty() || Lower(value) == "on"; }

std::string Expand(const std::string &path)
{
    if (path.rfind("~/", 0) == 0)
        if (const char *home = std::getenv("HOME"))
            return std::string(home) + path.substr(1);
    return path;
}

[[noreturn]] void Cannot(const std::string &file, int line, const std::string &what)
{
    throw ImportError(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what);
}

// A password written in a file others can read is no secret: not carried.
void Password(ImportedProfile &p, const std::string &file, int line, bool privateFile, const std::string &value)
{
    if (!privateFile)
        Cannot(file, line,
               "holds a password and others can read the file: it is not carried over (chmod 600 the file, or use "
               "a password command)");
    p.keys.emplace_back("password", value);
}

void Auth(ImportedProfile &p, const std::string &file, int line, const std::string &mechanisms)
{
    // The first of the mechanisms we have; any other is not carried over.
    std::istringstream words(Lower(mechanisms));
    for (std::string m; words >> m;) {
        if (m == "on" || m == "*")
            return;
        if (m == "plain" || m == "login" || m == "xoauth2" || m == "oauthbearer") {
            p.keys.emplace_back("auth", m);
            return;
        }
    }
    Cannot(file, line, "authentication " + mechanisms + " is not one the provider has (plain, login, xoauth2, "
                       "oauthbearer, or whatever the server offers)");
}

} // namespace

ImportedProfile FromMsmtp(const std::string &text, const std::string &file, bool privateFile,
                          const std::string &account)
{
    // Every account's own settings, in order; `defaults` apply to the
    // accounts after them, and `account A : B, C` starts from B's and C's.
    struct Setting {
        std::string value;
        int line;
    };
    using Settings = std::map<std::string, Setting>;
    std::map<std::string, Settings> accounts;
    std::vector<std::string> names;
    Settings defaults;
    Settings *current = nullptr;
    EachSetting(text, [&](int line, const std::string &trimmed) {
        if (trimmed.empty() || trimmed[0] == '#')
            return;
        auto [keyword, argument] = KeywordAndArgument(trimmed);
        if (keyword == "defaults") {
            current = &defaults;
        } else if (keyword == "account") {
            const size_t colon = argument.find(':');
            const std::string name = Trim(argument.substr(0, colon));
            Settings settings = defaults;
            if (colon != std::string::npos) {
                std::istringstream bases(argument.substr(colon + 1));
                for (std::string base; std::getline(bases, base, ',');) {
                    const auto found = accounts.find(Trim(base));
                    if (found == accounts.end())
                        Cannot(file, line, "account " + name + " starts from " + Trim(base) + ", which is not defined before it");
                    for (const auto &[k, v] : found->second)
                        settings[k] = v;
                }
            }
            if (!accounts.count(name))
                names.push_back(name);
            accounts[name] = settings;
            current = &accounts[name];
        } else if (current != nullptr) {
            (*current)[keyword] = {argument, line};
        }
    });
    std::string wanted = account;
    if (wanted.empty())
        wanted = accounts.count("default") ? "default" : names.size() == 1 ? names.front() : std::string();
    const auto chosen = accounts.find(wanted);
    if (chosen == accounts.end()) {
        std::string all;
        for (const std::string &n : names)
            all += (all.empty() ? "" : ", ") + n;
        Cannot(file, 0, (wanted.empty() ? std::string("which account? (--account; it has ") : "has no account " + wanted + " (it has ") +
                            (all.empty() ? std::string("none") : all) + ")");
    }
    const Settings &s = chosen->second;
    const auto get = [&](const std::string &key) { return s.count(key) ? s.at(key).value : std::string(); };
    const auto lineOf = [&](const std::string &key) { return s.count(key) ? s.at(key).line : 0; };

    ImportedProfile p;
    p.name = wanted;
    const std::string host = get("host");
    if (host.empty())
        Cannot(file, 0, "account " + wanted + " names no host");
    const bool tls = s.count("tls") && On(get("tls"));
    const bool starttls = !s.count("tls_starttls") || On(get("tls_starttls"));
    for (const char *refused : {"tls_certcheck", "tls_fingerprint", "tls_key_file", "tls_cert_file", "proxy_host",
                                "socket", "ntlmdomain", "source_ip"}) {
        if (!s.count(refused) || (std::string(refused) == "tls_certcheck" && On(get(refused))))
            continue;
        Cannot(file, lineOf(refused), std::string(refused) + " " + get(refused) + " is not something the provider does");
    }
    std::string port = get("port");
    std::string url;
    if (tls && !starttls)
        url = "smtps://" + UrlHost(host) + ":" + (port.empty() ? "465" : port);
    else
        url = "smtp://" + UrlHost(host) + ":" + (port.empty() ? "25" : port);
    if (!tls) {
        if (!IsLoopback(host))
            Cannot(file, lineOf("tls"), "account " + wanted + " sends to " + host +
                                            " without TLS; the provider sends without TLS only to a server on loopback");
        p.keys.emplace_back("plain", "yes");
    }
    p.keys.emplace_back("smtp", url);
    if (const std::string trust = get("tls_trust_file"); !trust.empty() && trust != "system")
        p.keys.emplace_back("cafile", Expand(trust));
    // A user without an auth line logs in too, with what the server offers.
    const std::string auth = s.count("auth") ? get("auth") : get("user").empty() ? "off" : "on";
    if (Lower(auth) != "off") {
        if (get("user").empty())
            Cannot(file, lineOf("auth"), "authentication without a user");
        p.keys.emplace_back("user", get("user"));
        Auth(p, file, lineOf("auth"), auth);
        if (!get("passwordeval").empty())
            p.keys.emplace_back("passwordcmd", get("passwordeval"));
        else if (s.count("password"))
            Password(p, file, lineOf("password"), privateFile, get("password"));
        else
            p.notes.push_back("no password is carried over: keep one with `kelvra --profile " + p.name +
                              " password set`, or let the keyring or KELVRA_PASSWORD give it");
    }
    if (const std::string from = get("from"); !from.empty()) {
        if (from.find_first_of("%*") != std::string::npos)
            Cannot(file, lineOf("from"), "from " + from + " is a pattern; the provider sends from one address");
        p.keys.emplace_back("address", from);
    }
    return p;
}

ImportedProfile FromMbsync(const std::string &text, const std::string &file, bool privateFile,
                           const std::string &account, bool local)
{
    // Sections: a keyword that starts one (IMAPAccount, MaildirStore, ...)
    // and the settings after it, up to a blank line or the next one.
    struct Section {
        std::string kind, name;
        std::map<std::string, std::pair<std::string, int>> settings; // lower-case keyword: value, line
        int line = 0;
    };
    static const char *const kStarts[] = {"imapaccount", "imapstore", "maildirstore", "channel", "group"};
    std::vector<Section> sections;
    bool open = false;
    EachSetting(text, [&](int line, const std::string &trimmed) {
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
    std::vector<const Section *> imap;
    for (const Section &s : sections)
        if (s.kind == "imapaccount" && (account.empty() || s.name == account))
            imap.push_back(&s);
    if (imap.size() != 1) {
        std::string all;
        for (const Section &s : sections)
            if (s.kind == "imapaccount")
                all += (all.empty() ? "" : ", ") + s.name;
        Cannot(file, 0, (account.empty() ? std::string("which IMAPAccount? (--account; it has ")
                                         : "has no IMAPAccount " + account + " (it has ") +
                            (all.empty() ? std::string("none") : all) + ")");
    }
    const Section &a = *imap.front();
    const auto get = [&](const char *key) { return a.settings.count(key) ? a.settings.at(key).first : std::string(); };
    const auto lineOf = [&](const char *key) { return a.settings.count(key) ? a.settings.at(key).second : a.line; };
    ImportedProfile p;
    p.name = a.name;
    for (const char *refused : {"tunnel", "usercmd", "clientcertificate", "clientkey"})
        if (a.settings.count(refused))
            Cannot(file, lineOf(refused), std::string(refused) + " is not something the provider does");
    if (a.settings.count("systemcertificates") && Lower(get("systemcertificates")) == "no")
        Cannot(file, lineOf("systemcertificates"),
               "SystemCertificates no: the provider trusts the system's certificates besides its cafile");
    const std::string host = get("host"), user = get("user");
    if (host.empty() || user.empty())
        Cannot(file, a.line, "IMAPAccount " + a.name + " names no Host or no User");
    std::string tls = Lower(a.settings.count("tlstype") ? get("tlstype") : get("ssltype"));
    if (tls.empty())
        tls = "starttls"; // mbsync's default
    if (tls == "none" && !IsLoopback(host))
        Cannot(file, lineOf(a.settings.count("tlstype") ? "tlstype" : "ssltype"),
               "IMAPAccount " + a.name + " reads " + host + " without TLS; the provider does so only on loopback");
    if (tls != "none" && tls != "starttls" && tls != "imaps")
        Cannot(file, lineOf("ssltype"), "the TLS type " + tls + " is not one mbsync documents");
    if (!local) {
        std::string port = get("port");
        const std::string scheme = tls == "imaps" ? "imaps" : "imap";
        // Each part as the URL must hold it: the user percent-encoded
        // whole (a ':' or '/' in it would name another server), the host
        // and port refused when they hold what a URL reads otherwise.
        std::string escapedUser;
        for (const char c : user) {
            const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                    c == '-' || c == '.' || c == '_' || c == '~';
            static const char kHex[] = "0123456789ABCDEF";
            escapedUser += unreserved ? std::string(1, c)
                                      : std::string{'%', kHex[static_cast<unsigned char>(c) >> 4],
                                                    kHex[static_cast<unsigned char>(c) & 15]};
        }
        if (host.find_first_of("/?#@ \t\\") != std::string::npos)
            Cannot(file, lineOf("host"), "the Host " + host + " is not a host name or address");
        if (port.find_first_not_of("0123456789") != std::string::npos)
            Cannot(file, lineOf("port"), "the Port " + port + " is not a number");
        p.keys.emplace_back("mailbox", scheme + "://" + escapedUser + "@" + UrlHost(host) +
                                           (port.empty() ? std::string() : ":" + port) + "/INBOX");
        if (tls == "none")
            p.keys.emplace_back("plain", "yes");
        p.keys.emplace_back("user", user);
        if (const std::string mechs = get("authmechs"); !mechs.empty())
            Auth(p, file, lineOf("authmechs"), mechs);
        if (const std::string cert = get("certificatefile"); !cert.empty())
            p.keys.emplace_back("cafile", Expand(cert));
        if (std::string command = get("passcmd"); !command.empty()) {
            if (command.front() == '+') // mbsync's mark for a command that talks to the terminal
                command.erase(0, 1);
            p.keys.emplace_back("passwordcmd", command);
        } else if (a.settings.count("pass")) {
            Password(p, file, lineOf("pass"), privateFile, get("pass"));
        } else {
            p.notes.push_back("no password is carried over: keep one with `kelvra --profile " + p.name +
                              " password set`, or let the keyring or KELVRA_PASSWORD give it");
        }
    } else {
        // The Maildir that channels pair with this account's store, else the
        // only MaildirStore with an Inbox.
        std::vector<std::string> stores;
        for (const Section &s : sections)
            if (s.kind == "imapstore" && s.settings.count("account") && s.settings.at("account").first == a.name)
                stores.push_back(s.name);
        std::vector<const Section *> maildirs;
        for (const Section &s : sections) {
            if (s.kind != "maildirstore" || !s.settings.count("inbox"))
                continue;
            bool paired = false;
            for (const Section &c : sections) {
                if (c.kind != "channel")
                    continue;
                std::string sides;
                for (const char *side : {"far", "near", "master", "slave"})
                    if (c.settings.count(side))
                        sides += " " + c.settings.at(side).first;
                const bool ours = std::any_of(stores.begin(), stores.end(),
                                              [&](const std::string &st) { return sides.find(":" + st + ":") != std::string::npos; });
                paired = paired || (ours && sides.find(":" + s.name + ":") != std::string::npos);
            }
            if (paired)
                maildirs.insert(maildirs.begin(), &s);
            else
                maildirs.push_back(&s);
        }
        if (maildirs.empty())
            Cannot(file, 0, "no MaildirStore names an Inbox");
        const std::string inbox = maildirs.front()->settings.at("inbox").first;
        p.keys.emplace_back("mailbox", Expand(inbox));
        p.notes.push_back("the mailbox is the local Maildir " + Expand(inbox) + ", which mbsync keeps in step with " +
                          host);
    }
    if (user.find('@') != std::string::npos && user.find(' ') == std::string::npos)
        p.keys.emplace_back("address", user);
    return p;
}

ImportedProfile FromGit(const std::function<std::optional<std::string>(const std::string &key)> &get)
{
    const auto value = [&](const char *key) { return get(key).value_or(std::string()); };
    ImportedProfile p;
    p.name = "git";
    const std::string server = value("sendemail.smtpServer");
    if (server.empty())
        throw ImportError("git config has no sendemail.smtpServer");
    if (server.front() == '/') {
        // A path: a sendmail-like program, as git send-email runs it.
        std::string quoted = "'";
        for (char c : server)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        p.keys.emplace_back("sendmail", quoted + "'");
    } else {
        const std::string encryption = Lower(value("sendemail.smtpEncryption"));
        const std::string port = value("sendemail.smtpServerPort");
        if (encryption == "ssl")
            p.keys.emplace_back("smtp", "smtps://" + UrlHost(server) + ":" + (port.empty() ? "465" : port));
        else if (encryption == "tls" || !IsLoopback(server)) {
            if (encryption != "tls")
                p.notes.push_back("git sends to " + server + " without encryption; the profile requires STARTTLS");
            p.keys.emplace_back("smtp", "smtp://" + UrlHost(server) + ":" + (port.empty() ? "25" : port));
        } else {
            p.keys.emplace_back("smtp", "smtp://" + UrlHost(server) + ":" + (port.empty() ? "25" : port));
            p.keys.emplace_back("plain", "yes");
        }
        if (const std::string user = value("sendemail.smtpUser"); !user.empty()) {
            p.keys.emplace_back("user", user);
            if (get("sendemail.smtpPass"))
                p.notes.push_back("sendemail.smtpPass is not carried over (git config is no place for a secret): "
                                  "keep it with `kelvra --profile git password set`");
        }
    }
    // The sender: sendemail.from ("Name <address>" or an address), else
    // user.name and user.email.
    std::string name = value("user.name"), address = value("user.email");
    if (const std::string from = value("sendemail.from"); !from.empty()) {
        const size_t open = from.rfind('<'), close = from.rfind('>');
        if (open != std::string::npos && close != std::string::npos && close > open) {
            address = from.substr(open + 1, close - open - 1);
            name = Trim(from.substr(0, open));
            if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
                name = name.substr(1, name.size() - 2);
        } else {
            address = Trim(from);
        }
    }
    if (!name.empty())
        p.keys.emplace_back("name", name);
    if (!address.empty())
        p.keys.emplace_back("address", address);
    return p;
}

} // namespace kelvra_cli
