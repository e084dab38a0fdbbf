#include "Profile.h"

#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "Addresses.h"
#include "signin/Secret.h"
#include "maildir/Maildir.h"
#include "Store.h"
#include "Url.h"

#include <glib.h>
#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

namespace kmp {

namespace {

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// This user's entry of the password database, read with the reentrant
// call: entry points may run on several threads at once.
struct Account {
    std::string login, gecos, home;
};

std::optional<Account> ThisAccount()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd *found = nullptr;
    while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr)
        return std::nullopt;
    return Account{found->pw_name, found->pw_gecos != nullptr ? found->pw_gecos : "", found->pw_dir};
}

std::string Home()
{
    std::string home = Env("HOME");
    if (home.empty())
        if (const std::optional<Account> account = ThisAccount())
            home = account->home;
    return home;
}

std::string XdgFolder(const char *variable, const char *fallback)
{
    const std::string value = Env(variable);
    return !value.empty() && value[0] == '/' ? value : Home() + "/" + fallback;
}

// "~/x" is in the home folder; a relative path is relative to the profile file's folder.
// A command line as words, quoted as in a shell ('...', "...", \), by
// GLib's parser: no shell runs, nothing is expanded. Empty when it is no
// command line (an unclosed quote, nothing but blanks).
std::vector<std::string> CommandWords(const std::string &line)
{
    gchar **argv = nullptr;
    std::vector<std::string> words;
    if (g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) {
        for (gchar **word = argv; *word != nullptr; ++word)
            words.emplace_back(*word);
        g_strfreev(argv);
    }
    return words;
}

std::string ResolvePath(const std::string &value, const std::string &base)
{
    if (value.empty() || value[0] == '/')
        return value;
    if (value == "~" || value.rfind("~/", 0) == 0)
        return Home() + value.substr(1);
    return base + "/" + value;
}

// A value as written, and the line it stands on (for the log).
struct Value {
    std::string text;
    int line = 0;
};
using Keys = std::map<std::string, Value>;
// In the order of the file; the keys before the first section come first,
// under the name "".
using Sections = std::vector<std::pair<std::string, Keys>>;

// The keys a profile may hold: the one table the parser and the manual page
// of the profile file both follow. The keys before the first section:
// `default` only.
constexpr std::string_view kProfileKeys[] = {
    "mailbox", "sentfolder", "addressbook", "cache", "name", "address", "smtp", "sendmail", "localdelivery", "user", "password", "passwordcmd",
    "auth", "cafile", "plain", "fallbackcharset", "connecttimeout", "timeout", "stalltimeout"};

// A value after its '=': blanks around it go, and so does a comment that
// follows after a blank (`; ...` or `# ...`), as in the examples. A value that
// holds one of those, or starts or ends with a blank, is written in double
// quotes, with \" and \\ for a quote and a backslash. nullopt for a quote
// that is not closed, or text after the closing one that is no comment.
std::optional<std::string> ValueOf(std::string_view raw)
{
    raw.remove_prefix(std::min(raw.find_first_not_of(" \t"), raw.size()));
    if (!raw.empty() && raw.front() == '"') {
        std::string out;
        size_t i = 1;
        for (; i < raw.size() && raw[i] != '"'; ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size() && (raw[i + 1] == '"' || raw[i + 1] == '\\'))
                ++i;
            out += raw[i];
        }
        if (i == raw.size())
            return std::nullopt;
        const std::string_view rest = raw.substr(i + 1);
        const size_t more = rest.find_first_not_of(" \t");
        if (more != std::string_view::npos && rest[more] != ';' && rest[more] != '#')
            return std::nullopt;
        return out;
    }
    for (size_t i = 0; i < raw.size(); ++i)
        if ((raw[i] == ';' || raw[i] == '#') && (i == 0 || raw[i - 1] == ' ' || raw[i - 1] == '\t')) {
            raw = raw.substr(0, i);
            break;
        }
    return Trim(std::string(raw));
}

// INI text: [Section] lines, key = value lines, ';' or '#' comments on lines
// of their own or after a value. A UTF-8 byte order mark at the start, as
// some editors write, is skipped. A line that is none of these refuses the
// file, naming it and the line.
Sections ReadIni(std::string_view text, const std::string &file)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    Sections sections{{"", {}}};
    size_t start = 0;
    std::string_view raw;
    for (int number = 1; NextLine(text, start, raw); ++number) {
        const std::string line = Trim(std::string(raw));
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            const std::optional<std::string> rest =
                close == std::string::npos ? std::nullopt : ValueOf(std::string_view(line).substr(close + 1));
            if (!rest || !rest->empty())
                Refuse(file + ":" + std::to_string(number) + ": a section's name is not closed by ']'",
                       MAPI_E_LOGON_FAILURE);
            sections.emplace_back(Trim(line.substr(1, close - 1)), Keys{});
            continue;
        }
        const size_t eq = line.find('=');
        std::optional<std::string> value;
        if (eq != std::string::npos)
            value = ValueOf(std::string_view(line).substr(eq + 1));
        if (!value)
            Refuse(file + ":" + std::to_string(number) + ": not a key = value line (or a quote is not closed)",
                   MAPI_E_LOGON_FAILURE);
        const std::string key = Lower(Trim(line.substr(0, eq)));
        if (const auto seen = sections.back().second.find(key); seen != sections.back().second.end())
            Refuse(file + ":" + std::to_string(number) + ": " + key + " is given again (first on line " +
                       std::to_string(seen->second.line) + "); a key stands once in a profile",
                   MAPI_E_LOGON_FAILURE);
        sections.back().second[key] = {std::move(*value), number};
    }
    return sections;
}

std::string UserName()
{
    if (std::optional<Account> account = ThisAccount()) {
        std::string gecos = account->gecos;
        gecos.resize(std::min(gecos.find(','), gecos.size()));
        return gecos.empty() ? account->login : gecos;
    }
    return "Me";
}

std::string LoginName()
{
    if (const std::optional<Account> account = ThisAccount())
        return account->login;
    return "me";
}

Profile EmbeddedDefault()
{
    const std::string data = XdgFolder("XDG_DATA_HOME", ".local/share") + "/kelvra";
    Profile p;
    p.name = "Default";
    p.embedded = true;
    p.mailbox = data + "/Mail";
    p.addressBook = data + "/contacts";
    p.cacheFolder = XdgFolder("XDG_CACHE_HOME", ".cache") + "/kelvra";
    p.senderName = UserName();
    p.senderAddress = LoginName() + "@localhost";
    return p;
}

} // namespace

std::span<const std::string_view> ProfileKeys() { return kProfileKeys; }

std::string ProfileFile()
{
    std::string named = Env("KELVRA_MAPI_PROFILES");
    if (named.empty())
        return XdgFolder("XDG_CONFIG_HOME", ".config") + "/kelvra/profiles.ini";
    // Relative to the current folder, made absolute now: the paths in the
    // file are relative to the file's folder, and must not end up relative
    // to the root.
    if (named[0] != '/') {
        std::string cwd(4096, '\0');
        while (getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE)
                Refuse(std::string("the current folder, which KELVRA_MAPI_PROFILES is relative to, is not known: ") +
                           std::strerror(errno),
                       MAPI_E_LOGON_FAILURE);
            cwd.resize(cwd.size() * 2);
        }
        cwd.resize(cwd.find('\0'));
        named = (cwd == "/" ? "" : cwd) + "/" + named;
    }
    return named;
}

namespace {

// Larger files are not profile files; they are refused.
constexpr std::size_t kMaxProfileFile = 1024 * 1024;

Profile ProfileOf(std::string text, const std::string &file, const std::string &name, bool toBeWritten = false);

// A profile names programs to run (passwordcmd): one that another user
// wrote, or could have, is refused whatever it holds, as ssh refuses such a
// configuration; reading and adding alike. Root's files are everyone's to
// trust.
void RefuseUntrusted(const std::string &file)
{
    if (struct stat st {}; stat(file.c_str(), &st) == 0) {
        if (st.st_uid != getuid() && st.st_uid != 0) {
            Refuse("the profile file " + file + " belongs to another user; it is not used", MAPI_E_LOGON_FAILURE);
        }
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            Refuse("the profile file " + file + " can be changed by others; it is not used (chmod go-w " + file + ")",
                   MAPI_E_LOGON_FAILURE);
        }
    }
}

// The profile file's text; none when there is no file where none need be.
std::optional<std::string> ProfileText(const std::string &file)
{
    RefuseUntrusted(file);
    // Never blocks: a FIFO (or anything but a regular file) is refused.
    std::optional<std::string> text = ReadRegularFile(file, kMaxProfileFile);
    if (!text) {
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR)
            Refuse("the profile file " + file + " cannot be read: " + std::strerror(error), MAPI_E_LOGON_FAILURE);
        // A file named on purpose must be there; the usual one need not.
        if (!Env("KELVRA_MAPI_PROFILES").empty())
            Refuse("the profile file " + file + " (KELVRA_MAPI_PROFILES) does not exist", MAPI_E_LOGON_FAILURE);
    }
    return text;
}

Profile ReadProfile(const std::string &name)
{
    const std::string file = ProfileFile();
    std::optional<std::string> text = ProfileText(file);
    if (!text) {
        if (!name.empty() && !SameText(name, "Default"))
            Refuse("there is no profile " + name + ": the profile file " + file + " does not exist",
                   MAPI_E_LOGON_FAILURE);
        return EmbeddedDefault();
    }
    return ProfileOf(std::move(*text), file, name);
}

// The profile `name` (empty: the default) of a profile file's text; with
// `toBeWritten`, of the text about to be written to it (owner-only).
Profile ProfileOf(std::string text, const std::string &file, const std::string &name, bool toBeWritten)
{
    Sections sections = ReadIni(text, file);
    // The file's text may hold a password: it goes now, the profile keeps
    // what it needs.
    ClearText(text);
    for (const auto &[key, value] : sections.front().second)
        if (key != "default")
            Refuse(file + ":" + std::to_string(value.line) + ": " + key +
                       " stands before the first [profile]; only default may", MAPI_E_LOGON_FAILURE);
    std::string wanted = name;
    if (wanted.empty() && sections.front().second.count("default"))
        wanted = sections.front().second.at("default").text;
    const Keys *keys = nullptr;
    for (auto it = sections.begin() + 1; it != sections.end() && keys == nullptr; ++it) {
        if (wanted.empty() || SameText(it->first, wanted)) {
            keys = &it->second;
            wanted = it->first;
        }
    }
    if (keys == nullptr) {
        std::string names;
        for (auto it = sections.begin() + 1; it != sections.end(); ++it)
            names.append(names.empty() ? "" : ", ").append(it->first);
        Refuse(wanted.empty() ? "the profile file " + file + " holds no profile"
                              : "there is no profile " + wanted + " in " + file + " (its profiles: " + names + ")",
               MAPI_E_LOGON_FAILURE);
    }
    for (const auto &[key, value] : *keys)
        if (std::find(std::begin(kProfileKeys), std::end(kProfileKeys), key) == std::end(kProfileKeys))
            Refuse(file + ":" + std::to_string(value.line) + ": profile " + wanted + " has no key " + key,
                   MAPI_E_LOGON_FAILURE);
    // A value that is not one its key takes.
    const auto invalid = [&](const char *key, const std::string &takes) {
        Refuse(file + ":" + std::to_string(keys->at(key).line) + ": " + key + " = " + keys->at(key).text +
                   " is not " + takes,
               MAPI_E_LOGON_FAILURE);
    };
    const std::string base = file.substr(0, file.rfind('/') == std::string::npos ? 0 : file.rfind('/'));
    auto get = [&](const char *key) {
        const auto it = keys->find(key);
        return it == keys->end() ? std::string() : it->second.text;
    };
    Profile p = EmbeddedDefault();
    p.embedded = false;
    p.name = wanted;
    if (IsImapMailbox(get("mailbox"))) {
        // A server, not a path; a password written into it is not used
        // (the sign-in gives each login its own) and goes no further.
        p.mailbox = WithoutPassword(get("mailbox"));
        if (p.mailbox != get("mailbox"))
            Log("profile " + p.name + ": the password written into its mailbox URL is not used (see passwordcmd)");
    }
    else if (!get("mailbox").empty())
        p.mailbox = ResolvePath(get("mailbox"), base);
    p.sentFolder = get("sentfolder");
    if (!get("addressbook").empty())
        p.addressBook = ResolvePath(get("addressbook"), base);
    // "cache = off" keeps no envelope cache; a folder moves it.
    if (const std::string cache = get("cache"); SameText(cache, "off") || SameText(cache, "no"))
        p.cacheFolder.clear();
    else if (!cache.empty())
        p.cacheFolder = ResolvePath(cache, base);
    if (!get("name").empty())
        p.senderName = get("name");
    if (!get("address").empty())
        p.senderAddress = get("address");
    // A password written into the server's URL is not used either: it would
    // escape the rules of the profile's password and reach log lines.
    p.smtpUrl = WithoutPassword(get("smtp"));
    if (p.smtpUrl != get("smtp"))
        Log("profile " + p.name + ": the password written into its smtp URL is not used (see password, passwordcmd)");
    if (const std::string sendmail = get("sendmail"); !sendmail.empty()) {
        if (!p.smtpUrl.empty())
            Refuse(file + ":" + std::to_string(keys->at("sendmail").line) + ": profile " + p.name +
                       " names both smtp and sendmail; mail goes out one way (remove one of them)",
                   MAPI_E_LOGON_FAILURE);
        p.sendmail = CommandWords(sendmail);
        if (p.sendmail.empty())
            invalid("sendmail", "a command (a program and its arguments, quoted as in a shell)");
    }
    if (const std::string local = get("localdelivery"); !local.empty()) {
        p.localDelivery = SameText(local, "yes") || SameText(local, "true");
        if (!p.localDelivery && !SameText(local, "no") && !SameText(local, "false"))
            invalid("localdelivery", "yes or no");
        if (p.localDelivery && (!p.smtpUrl.empty() || !p.sendmail.empty()))
            Refuse(file + ":" + std::to_string(keys->at("localdelivery").line) + ": profile " + p.name +
                       " names " + (p.smtpUrl.empty() ? "sendmail" : "smtp") +
                       " and localdelivery; mail goes out one way (remove one of them)",
                   MAPI_E_LOGON_FAILURE);
    }
    p.user = get("user");
    p.password = get("password");
    p.passwordCommand = get("passwordcmd");
    if (const std::string auth = get("auth"); !auth.empty()) {
        const auto known = std::find_if(std::begin(kAuthNames), std::end(kAuthNames),
                                        [&](const char *name) { return SameText(auth, name); });
        if (known == std::end(kAuthNames)) {
            std::string names;
            for (const char *name : kAuthNames)
                names += (names.empty() ? "" : ", ") + std::string(name);
            invalid("auth", "one of " + names);
        }
        p.auth = static_cast<Auth>(known - std::begin(kAuthNames));
    }
    // A password others can read is no secret: refused, as ssh and msmtp do.
    struct stat st {};
    if (!p.password.empty() && !toBeWritten && stat(file.c_str(), &st) == 0 &&
        (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        Refuse("the profile file " + file + " holds a password and others can read it; chmod 600 " + file,
               MAPI_E_LOGON_FAILURE);
    }
    if (!get("cafile").empty())
        p.caFile = ResolvePath(get("cafile"), base);
    if (const std::string plain = get("plain"); !plain.empty()) {
        p.plainLoopback = SameText(plain, "yes") || SameText(plain, "true");
        if (!p.plainLoopback && !SameText(plain, "no") && !SameText(plain, "false"))
            invalid("plain", "yes or no");
    }
    if (const std::string charset = get("fallbackcharset"); !charset.empty()) {
        if (KnownCharset(charset))
            p.fallbackCharset = charset;
        else
            Log("profile " + p.name + ": fallbackcharset " + charset + " is a charset this system does not know; " +
                p.fallbackCharset + " is used");
    }
    // Seconds, a whole number from 1 to a day.
    auto seconds = [&](const char *key, long &target) {
        const std::string text = get(key);
        if (text.empty())
            return;
        long value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 86400)
            invalid(key, "a number of seconds from 1 to 86400");
        target = value;
    };
    seconds("connecttimeout", p.connectTimeout);
    seconds("timeout", p.sendTimeout);
    seconds("stalltimeout", p.stallTimeout);
    return p;
}

} // namespace

namespace {

// A profile whose sender's address is not a plain one cannot log on: the
// sender goes into every message and envelope.
Profile Checked(Profile p)
{
    std::optional<std::string> sender = MailAddress(p.senderAddress);
    if (!sender)
        Refuse("profile " + p.name + ": the sender's address " + p.senderAddress + " is not a plain mail address" +
                   (p.embedded ? " (the embedded default takes it from the login name)" : ""),
               MAPI_E_LOGON_FAILURE);
    p.senderAddress = std::move(*sender);
    return p;
}

// A value as the file holds it: in double quotes when reading it bare
// would change it (a comment's mark after a blank, blanks at its ends, a
// quote at its start), with \" and \\ inside.
std::string Written(const std::string &value)
{
    bool quote = value.front() == '"' || value.front() == ';' || value.front() == '#' || value.front() == ' ' ||
                 value.front() == '\t' || value.back() == ' ' || value.back() == '\t';
    for (size_t i = 1; i < value.size() && !quote; ++i)
        quote = (value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t');
    if (!quote)
        return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// The line numbers (from 1) of the section `name`: its header, and the
// first line after it (the next header, or one past the end); {0, 0} when
// the text has no such section.
std::pair<int, int> SectionLines(std::string_view text, const std::string &name)
{
    std::pair<int, int> found{0, 0};
    size_t start = 0;
    std::string_view raw;
    int number = 1;
    for (; NextLine(text, start, raw); ++number) {
        const std::string line = Trim(std::string(raw));
        if (line.empty() || line.front() != '[')
            continue;
        if (found.first != 0 && found.second == 0)
            found.second = number;
        const size_t close = line.find(']');
        if (found.first == 0 && close != std::string::npos && SameText(Trim(line.substr(1, close - 1)), name))
            found.first = number;
    }
    if (found.first != 0 && found.second == 0)
        found.second = number;
    return found;
}

// Writes the profile file whole, in one step: a new file beside it (0600),
// made to keep the old one's owner permissions (no one else's: the file may
// hold a password now), renamed over it. Its folder is
// made (0700) when missing.
void WriteProfileFile(const std::string &file, const std::string &text)
{
    const std::string folder = file.substr(0, file.rfind('/'));
    for (size_t slash = folder.find('/', 1); !folder.empty(); slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            Refuse("the folder " + part + " cannot be made for the profile file: " + std::strerror(errno));
        if (slash == std::string::npos)
            break;
    }
    std::string staging = file + ".XXXXXX";
    const int fd = mkostemp(staging.data(), O_CLOEXEC);
    if (fd < 0)
        Refuse("the profile file " + file + " cannot be written: " + std::strerror(errno));
    if (struct stat st {}; stat(file.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 0700); // never more open than it was, never more than the owner's
    try {
        WriteAll(fd, text);
    } catch (const MapiError &) {
        close(fd);
        unlink(staging.c_str());
        throw;
    }
    const bool synced = fsync(fd) == 0;
    if (close(fd) != 0 || !synced || rename(staging.c_str(), file.c_str()) != 0) {
        const int why = errno;
        unlink(staging.c_str());
        Refuse("the profile file " + file + " cannot be written: " + std::strerror(why));
    }
}

} // namespace

Profile LoadProfile(const std::string &name)
{
    return Checked(ReadProfile(name));
}

std::vector<std::string> ProfileNames()
{
    const std::string file = ProfileFile();
    std::optional<std::string> text = ProfileText(file);
    if (!text)
        return {EmbeddedDefault().name};
    Sections sections = ReadIni(*text, file);
    ClearText(*text);
    std::string wanted;
    if (const auto it = sections.front().second.find("default"); it != sections.front().second.end())
        wanted = it->second.text;
    // Without a `default` key the first is the default, and first already.
    std::vector<std::string> names;
    for (auto it = sections.begin() + 1; it != sections.end(); ++it)
        names.insert(SameText(it->first, wanted) ? names.begin() : names.end(), it->first);
    return names;
}

Profile AddProfile(const std::string &name, const std::vector<std::pair<std::string, std::string>> &keys, bool replace)
{
    std::string file = ProfileFile();
    // A link (a dotfiles setup) is written through: the file it names gets
    // the profile, in its own folder, and the link stays.
    if (struct stat st {}; lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        if (realpath(file.c_str(), target) == nullptr)
            Refuse("the profile file " + file + " is a link to nothing that can be written (" + std::strerror(errno) +
                   "); nothing was written");
        file = target;
    }
    // What reading would refuse is never adopted by writing to it.
    RefuseUntrusted(file);
    std::string text;
    if (std::optional<std::string> old = ReadRegularFile(file, kMaxProfileFile))
        text = std::move(*old);
    else if (errno != ENOENT)
        Refuse("the profile file " + file + " cannot be read: " + std::strerror(errno));
    if (name.empty() || name.find_first_of("[]\r\n") != std::string::npos || Trim(name) != name)
        Refuse("a profile's name is some text without brackets, line breaks or blanks at its ends, not \"" + name +
               "\"");
    std::string section = "[" + name + "]\n";
    for (size_t i = 0; i < keys.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (keys[i].first == keys[j].first)
                Refuse("the key " + keys[i].first + " is given twice; a key stands once in a profile");
    for (const auto &[key, value] : keys) {
        if (std::find(std::begin(kProfileKeys), std::end(kProfileKeys), key) == std::end(kProfileKeys))
            Refuse("a profile has no key " + key);
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            Refuse("the value of " + key + " holds a line break, which a profile file cannot");
        if (!value.empty())
            section += key + " = " + Written(value) + "\n";
    }
    const auto [header, end] = SectionLines(text, name);
    if (header != 0 && !replace)
        Refuse("the profile file " + file + " has a profile " + name + " already (line " + std::to_string(header) +
                   "); it is kept",
               MAPI_E_LOGON_FAILURE);
    std::string updated;
    if (header != 0) {
        // In its place, with the lines (comments, blank lines) that followed
        // it kept only up to the next section.
        size_t start = 0;
        std::string_view raw;
        for (int number = 1; NextLine(text, start, raw); ++number) {
            if (number == header)
                updated += section + "\n";
            if (number < header || number >= end)
                updated += std::string(raw) + "\n";
        }
    } else {
        updated = text;
        if (!updated.empty() && updated.back() != '\n')
            updated += '\n';
        updated += (updated.empty() ? "" : "\n") + section;
    }
    // What could not log on is not written.
    Profile p = Checked(ProfileOf(updated, file, name, true));
    WriteProfileFile(file, updated);
    ClearText(updated);
    ClearText(text);
    return p;
}

} // namespace kmp
