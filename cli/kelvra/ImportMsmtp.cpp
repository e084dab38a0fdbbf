// msmtp's configuration as a profile: its accounts read, one chosen, and
// that account's server, login and sender mapped to the profile's keys.
#include "ImportRules.h"
#include "Words.h"

#include <map>

namespace kelvra_cli {

using namespace imports;
using kelvra_cli_common::Lower;
using kelvra_cli_common::Trim;

namespace {

struct Setting {
    std::string value;
    int line;
};
using Settings = std::map<std::string, Setting>;

// Every account's own settings, and the names in the file's order;
// `defaults` apply to the accounts after them, and `account A : B, C`
// starts from B's and C's.
struct Accounts {
    std::map<std::string, Settings> settings;
    std::vector<std::string> names;
    std::map<std::string, std::vector<std::string>> bases; // what `account A : B, C` starts A from
};

Accounts ReadAccounts(const std::string &text, const std::string &file)
{
    Accounts accounts;
    Settings defaults;
    Settings *current = nullptr;
    EachLine(text, [&](int line, const std::string &trimmed) {
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
                    accounts.bases[name].push_back(Trim(base));
                    const auto found = accounts.settings.find(Trim(base));
                    if (found == accounts.settings.end())
                        Cannot(file, line,
                               "account " + name + " starts from " + Trim(base) + ", which is not defined before it");
                    for (const auto &[k, v] : found->second)
                        settings[k] = v;
                }
            }
            if (!accounts.settings.count(name))
                accounts.names.push_back(name);
            accounts.settings[name] = settings;
            current = &accounts.settings[name];
        } else if (current != nullptr) {
            (*current)[keyword] = {argument, line};
        }
    });
    return accounts;
}

// One account's settings, read as the mapping needs them.
class Account {
public:
    Account(const std::string &file, const std::string &name, const Settings &settings)
        : file(file), name(name), settings_(settings)
    {
    }
    bool Has(const std::string &key) const { return settings_.count(key) != 0; }
    std::string Get(const std::string &key) const { return Has(key) ? settings_.at(key).value : std::string(); }
    int LineOf(const std::string &key) const { return Has(key) ? settings_.at(key).line : 0; }

    const std::string &file;
    const std::string &name;

private:
    const Settings &settings_;
};

// The server: an SMTP URL, TLS as the account asks (refused without TLS
// but on loopback), and what the provider does not do refused.
void MapServer(const Account &a, ImportedProfile &p)
{
    const std::string host = a.Get("host");
    if (host.empty())
        Cannot(a.file, 0, "account " + a.name + " names no host");
    const bool tls = a.Has("tls") && On(a.Get("tls"));
    const bool starttls = !a.Has("tls_starttls") || On(a.Get("tls_starttls"));
    for (const char *refused : {"tls_certcheck", "tls_fingerprint", "tls_key_file", "tls_cert_file", "proxy_host",
                                "socket", "ntlmdomain", "source_ip"}) {
        if (!a.Has(refused) || (std::string(refused) == "tls_certcheck" && On(a.Get(refused))))
            continue;
        Cannot(a.file, a.LineOf(refused),
               std::string(refused) + " " + a.Get(refused) + " is not something the provider does");
    }
    const std::string port = a.Get("port");
    CheckServer(a.file, "host", a.LineOf("host"), host, "port", a.LineOf("port"), port);
    const std::string url = tls && !starttls ? "smtps://" + UrlHost(host) + ":" + (port.empty() ? "465" : port)
                                             : "smtp://" + UrlHost(host) + ":" + (port.empty() ? "25" : port);
    if (!tls) {
        if (!IsLoopback(host))
            Cannot(a.file, a.LineOf("tls"),
                   "account " + a.name + " sends to " + host +
                       " without TLS; the provider sends without TLS only to a server on loopback");
        p.keys.emplace_back("plain", "yes");
    }
    p.keys.emplace_back("smtp", url);
    if (const std::string trust = a.Get("tls_trust_file"); !trust.empty() && trust != "system")
        p.keys.emplace_back("cafile", Expand(trust));
}

// The login: a user without an auth line logs in too, with what the
// server offers.
void MapLogin(const Account &a, bool privateFile, ImportedProfile &p)
{
    const std::string auth = a.Has("auth") ? a.Get("auth") : a.Get("user").empty() ? "off" : "on";
    if (Lower(auth) == "off")
        return;
    if (a.Get("user").empty())
        Cannot(a.file, a.LineOf("auth"), "authentication without a user");
    p.keys.emplace_back("user", a.Get("user"));
    Auth(p, a.file, a.LineOf("auth"), auth);
    if (!a.Get("passwordeval").empty())
        p.keys.emplace_back("passwordcmd", a.Get("passwordeval"));
    else if (a.Has("password"))
        Password(p, a.file, a.LineOf("password"), privateFile, a.Get("password"));
    else
        NoPassword(p);
}

} // namespace

ImportedProfile FromMsmtp(const std::string &text, const std::string &file, bool privateFile,
                          const std::string &account)
{
    const Accounts accounts = ReadAccounts(text, file);
    std::string wanted = account;
    if (wanted.empty())
        wanted = accounts.settings.count("default") ? "default"
                 : accounts.names.size() == 1       ? accounts.names.front()
                                                    : std::string();
    const auto chosen = accounts.settings.find(wanted);
    if (chosen == accounts.settings.end())
        NoSuchAccount(file, "account", wanted, accounts.names);
    const Account a(file, wanted, chosen->second);
    ImportedProfile p;
    // "account default : work" only points at another account: the profile
    // is named after that one.
    const auto base = accounts.bases.find(wanted);
    p.name = wanted == "default" && base != accounts.bases.end() && base->second.size() == 1 ? base->second.front()
                                                                                            : wanted;
    MapServer(a, p);
    MapLogin(a, privateFile, p);
    if (const std::string from = a.Get("from"); !from.empty()) {
        if (from.find_first_of("%*") != std::string::npos)
            Cannot(file, a.LineOf("from"), "from " + from + " is a pattern; the provider sends from one address");
        p.keys.emplace_back("address", from);
    }
    return p;
}

} // namespace kelvra_cli
