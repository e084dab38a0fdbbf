// git send-email's settings as a profile: its server, login and sender.
#include "ImportRules.h"
#include "Words.h"

namespace kelvra_cli {

using namespace imports;
using kelvra_cli_common::Lower;
using kelvra_cli_common::Trim;

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
        CheckServer("git config", "sendemail.smtpServer", 0, server, "sendemail.smtpServerPort", 0, port);
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
