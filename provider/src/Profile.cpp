#include "Profile.h"

#include "Common.h"
#include "Maildir.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace kmp {

namespace {

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Home()
{
    std::string home = Env("HOME");
    if (home.empty()) {
        if (const passwd *pw = getpwuid(getuid()))
            home = pw->pw_dir;
    }
    return home;
}

std::string XdgFolder(const char *variable, const char *fallback)
{
    const std::string value = Env(variable);
    return !value.empty() && value[0] == '/' ? value : Home() + "/" + fallback;
}

std::string Trim(std::string s)
{
    const char *blanks = " \t\r\n";
    s.erase(0, s.find_first_not_of(blanks));
    s.erase(s.find_last_not_of(blanks) + 1);
    return s;
}

// "~/x" is in the home folder; a relative path is relative to the profile file's folder.
std::string ResolvePath(const std::string &value, const std::string &base)
{
    if (value.empty() || value[0] == '/')
        return value;
    if (value == "~" || value.rfind("~/", 0) == 0)
        return Home() + value.substr(1);
    return base + "/" + value;
}

using Keys = std::map<std::string, std::string>;
// In the order of the file; the keys before the first section come first,
// under the name "".
using Sections = std::vector<std::pair<std::string, Keys>>;

// INI text: [Section] lines, key = value lines, ';' or '#' comments.
Sections ReadIni(std::ifstream &in)
{
    Sections sections{{"", {}}};
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            sections.emplace_back(Trim(line.substr(1, line.size() - 2)), Keys{});
            continue;
        }
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            sections.back().second[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
    }
    return sections;
}

std::string UserName()
{
    if (const passwd *pw = getpwuid(getuid())) {
        std::string gecos = pw->pw_gecos != nullptr ? pw->pw_gecos : "";
        gecos.resize(std::min(gecos.find(','), gecos.size()));
        return gecos.empty() ? pw->pw_name : gecos;
    }
    return "Me";
}

std::string LoginName()
{
    if (const passwd *pw = getpwuid(getuid()))
        return pw->pw_name;
    return "me";
}

Profile EmbeddedDefault()
{
    const std::string data = XdgFolder("XDG_DATA_HOME", ".local/share") + "/kelvra";
    Profile p;
    p.name = "Default";
    p.mailbox = data + "/Mail";
    p.addressBook = data + "/contacts";
    p.senderName = UserName();
    p.senderAddress = LoginName() + "@localhost";
    return p;
}

struct SessionTable {
    std::mutex mutex;
    std::map<LHANDLE, std::shared_ptr<Session>> sessions;
    LHANDLE next = 0x4B31;
};

// Never destroyed: an application may log off from its own exit-time
// destructors, after this library's statics would be gone.
SessionTable &Table()
{
    static SessionTable *table = new SessionTable;
    return *table;
}

} // namespace

std::string ProfileFile()
{
    const std::string named = Env("KELVRA_MAPI_PROFILES");
    if (!named.empty())
        return named;
    return XdgFolder("XDG_CONFIG_HOME", ".config") + "/kelvra/profiles.ini";
}

Profile LoadProfile(const std::string &name)
{
    const std::string file = ProfileFile();
    std::ifstream in(file);
    if (!in) {
        struct stat st {};
        if (stat(file.c_str(), &st) == 0)
            Fail(MAPI_E_LOGON_FAILURE); // there, but unreadable
        if (!name.empty() && !SameText(name, "Default"))
            Fail(MAPI_E_LOGON_FAILURE);
        return EmbeddedDefault();
    }
    const Sections sections = ReadIni(in);
    std::string wanted = name;
    if (wanted.empty() && sections.front().second.count("default"))
        wanted = sections.front().second.at("default");
    const Keys *keys = nullptr;
    for (auto it = sections.begin() + 1; it != sections.end() && keys == nullptr; ++it) {
        if (wanted.empty() || SameText(it->first, wanted)) {
            keys = &it->second;
            wanted = it->first;
        }
    }
    if (keys == nullptr)
        Fail(MAPI_E_LOGON_FAILURE);
    const std::string base = file.substr(0, file.rfind('/') == std::string::npos ? 0 : file.rfind('/'));
    auto get = [&](const char *key) {
        const auto it = keys->find(key);
        return it == keys->end() ? std::string() : it->second;
    };
    Profile p = EmbeddedDefault();
    p.name = wanted;
    if (!get("mailbox").empty())
        p.mailbox = ResolvePath(get("mailbox"), base);
    if (!get("addressbook").empty())
        p.addressBook = ResolvePath(get("addressbook"), base);
    if (!get("name").empty())
        p.senderName = get("name");
    if (!get("address").empty())
        p.senderAddress = get("address");
    p.smtpUrl = get("smtp");
    p.smtpUser = get("user");
    p.smtpPassword = get("password");
    if (!get("cafile").empty())
        p.smtpCaFile = ResolvePath(get("cafile"), base);
    p.smtpPlainLoopback = SameText(get("plain"), "yes") || SameText(get("plain"), "true");
    return p;
}

LHANDLE OpenSession(Profile profile, std::string password)
{
    SessionTable &t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const LHANDLE handle = t.next++;
    t.sessions[handle] = std::make_shared<Session>(Session{std::move(profile), std::move(password)});
    return handle;
}

void CloseSession(LHANDLE handle)
{
    SessionTable &t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.sessions.erase(handle) == 0)
        Fail(MAPI_E_INVALID_SESSION);
}

std::shared_ptr<Session> FindSession(LHANDLE handle)
{
    if (handle == 0) {
        // A session for this call only, on the default profile.
        auto session = std::make_shared<Session>(Session{LoadProfile(""), ""});
        Maildir(session->profile.mailbox).Create();
        return session;
    }
    SessionTable &t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.sessions.find(handle);
    if (it == t.sessions.end())
        Fail(MAPI_E_INVALID_SESSION);
    return it->second;
}

} // namespace kmp
