#include "ImportRules.h"

#include <algorithm>
#include "Words.h"

#include "posix/Loopback.h"

#include <cstdlib>

namespace kelvra_cli::imports {

using kelvra_cli_common::Lower;
using kelvra_cli_common::Trim;

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

bool IsLoopback(const std::string &host) { return kelvra_posix::IsLoopbackHost(host); }

void CheckServer(const std::string &file, const std::string &hostKey, int hostLine, const std::string &host,
                 const std::string &portKey, int portLine, const std::string &port)
{
    const bool control = std::any_of(host.begin(), host.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (host.empty() || control || host.find_first_of("/?#@[] \t\\") != std::string::npos)
        Cannot(file, hostLine, "the " + hostKey + " " + host + " is not a host name or address");
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (!port.empty() && (!digits || std::stoul(port) == 0 || std::stoul(port) > 65535))
        Cannot(file, portLine, "the " + portKey + " " + port + " is not a port number (1 to 65535)");
}

std::string UrlHost(const std::string &host)
{
    return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

std::string UrlUser(const std::string &user)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char c : user) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        escaped += unreserved ? std::string(1, c)
                              : std::string{'%', kHex[static_cast<unsigned char>(c) >> 4],
                                            kHex[static_cast<unsigned char>(c) & 15]};
    }
    return escaped;
}

bool On(const std::string &value) { return value.empty() || Lower(value) == "on"; }

std::string Expand(const std::string &path)
{
    if (path.rfind("~/", 0) == 0)
        if (const char *home = std::getenv("HOME"))
            return std::string(home) + path.substr(1);
    return path;
}

void Cannot(const std::string &file, int line, const std::string &what)
{
    throw ImportError(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what);
}

void NoSuchAccount(const std::string &file, const std::string &kind, const std::string &wanted,
                   const std::vector<std::string> &names)
{
    std::string all;
    for (const std::string &n : names)
        all += (all.empty() ? "" : ", ") + n;
    Cannot(file, 0,
           (wanted.empty() ? "which " + kind + "? (--account; it has " : "has no " + kind + " " + wanted + " (it has ") +
               (all.empty() ? std::string("none") : all) + ")");
}

void Password(ImportedProfile &p, const std::string &file, int line, bool privateFile, const std::string &value)
{
    if (!privateFile)
        Cannot(file, line,
               "holds a password and others can read the file: it is not carried over (chmod 600 the file, or use "
               "a password command)");
    p.keys.emplace_back("password", value);
}

void NoPassword(ImportedProfile &p)
{
    p.notes.push_back("no password is carried over: keep one with `kelvra --profile " + p.name +
                      " password set`, or let the keyring or KELVRA_PASSWORD give it");
}

void Auth(ImportedProfile &p, const std::string &file, int line, const std::string &mechanisms)
{
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

} // namespace kelvra_cli::imports
