#include "profile/Read.h"

#include "profile/Ini.h"
#include "profile/Keys.h"
#include "Places.h"
#include "profile/ProfileFile.h"

#include "Addresses.h"
#include "Errors.h"
#include "Text.h"
#include "Url.h"
#include "message/Envelope.h"
#include "message/HeaderText.h"
#include "Secret.h"

#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

namespace kelvra_provider {

namespace {

Profile EmbeddedDefault()
{
    const std::string data = XdgFolder("XDG_DATA_HOME", ".local/share") + "/kelvra";
    Profile p;
    p.name = "Default";
    p.embedded = true;
    p.mailbox = data + "/Mail";
    p.addressBook = data + "/contacts";
    p.cacheFolder = XdgFolder("XDG_CACHE_HOME", ".cache") + "/kelvra";
    // The sender EMAIL names, if it names one; none is made up.
    std::vector<Mailbox> email;
    if (const char *value = std::getenv("EMAIL"))
        AddMailboxes(email, value, true);
    if (!email.empty() && MailAddress(email.front().address) == email.front().address) {
        p.senderName = email.front().name.empty() ? UserName() : email.front().name;
        p.senderAddress = email.front().address;
        p.senderFrom = Profile::SenderFrom::Environment;
    }
    return p;
}

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

// The name of the section a profile name chooses (empty: the `default`
// key's, else the first), and its keys; refused when there is none. Only
// `default` may stand before the first section.
std::pair<std::string, const IniKeys *> ChosenSection(const IniSections &sections, const std::string &file,
                                                      const std::string &name)
{
    const IniKeys &top = sections.front().second;
    for (const auto &[key, value] : top)
        if (key != "default")
            Refuse(file + ":" + std::to_string(value.line) + ": " + key +
                       " stands before the first [profile]; only default may",
                   MAPI_E_LOGON_FAILURE);
    std::string wanted = name;
    if (wanted.empty() && top.count("default"))
        wanted = top.at("default").text;
    for (auto it = sections.begin() + 1; it != sections.end(); ++it)
        if (wanted.empty() || SameText(it->first, wanted))
            return {it->first, &it->second};
    std::string names;
    for (auto it = sections.begin() + 1; it != sections.end(); ++it)
        names.append(names.empty() ? "" : ", ").append(it->first);
    Refuse(wanted.empty() ? "the profile file " + file + " holds no profile"
                          : "there is no profile " + wanted + " in " + file + " (its profiles: " + names + ")",
           MAPI_E_LOGON_FAILURE);
}

// One profile's keys as the file gives them, and the ways its values are
// read: each refusal names the file and the key's line.
class Section {
public:
    Section(const std::string &file, const std::string &name, const IniKeys &keys)
        : file_(file), name_(name), keys_(keys),
          base_(file.substr(0, file.rfind('/') == std::string::npos ? 0 : file.rfind('/')))
    {
        for (const auto &[key, value] : keys_)
            if (!IsProfileKey(key))
                Refuse(file_ + ":" + std::to_string(value.line) + ": profile " + name_ + " has no key " + key,
                       MAPI_E_LOGON_FAILURE);
    }

    const std::string &File() const { return file_; }

    // The key's value; empty when it is not given.
    std::string Get(const char *key) const
    {
        const auto it = keys_.find(key);
        return it == keys_.end() ? std::string() : it->second.text;
    }
    // A path, resolved against the file's folder (Places.h).
    std::string Path(const char *key) const { return ResolvePath(Get(key), base_); }

    // yes/true or no/false, any case; `current` when the key is not given.
    bool YesNo(const char *key, bool current) const
    {
        const std::string text = Get(key);
        if (text.empty())
            return current;
        const bool yes = SameText(text, "yes") || SameText(text, "true");
        if (!yes && !SameText(text, "no") && !SameText(text, "false"))
            Invalid(key, "yes or no");
        return yes;
    }

    // Seconds, a whole number from 1 to a day; `current` when not given.
    long Seconds(const char *key, long current) const
    {
        const std::string text = Get(key);
        if (text.empty())
            return current;
        long value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 86400)
            Invalid(key, "a number of seconds from 1 to 86400");
        return value;
    }

    // A value that is not one its key takes.
    [[noreturn]] void Invalid(const char *key, const std::string &takes) const
    {
        Refuse(At(key) + key + " = " + keys_.at(key).text + " is not " + takes, MAPI_E_LOGON_FAILURE);
    }
    // Two keys that cannot stand together: `what` says why.
    [[noreturn]] void Conflict(const char *key, const std::string &what) const
    {
        Refuse(At(key) + "profile " + name_ + " " + what, MAPI_E_LOGON_FAILURE);
    }

private:
    std::string At(const char *key) const { return file_ + ":" + std::to_string(keys_.at(key).line) + ": "; }

    const std::string &file_;
    const std::string &name_;
    const IniKeys &keys_;
    const std::string base_;
};

// Every key the table reads by its kind.
void ReadByKind(const Section &s, Profile &p)
{
    for (const ProfileKey &key : ProfileKeyTable()) {
        const std::string name(key.key);
        switch (key.kind) {
        case ProfileKey::Kind::Text: p.*std::get<std::string Profile::*>(key.member) = s.Get(name.c_str()); break;
        case ProfileKey::Kind::Path:
            if (!s.Get(name.c_str()).empty())
                p.*std::get<std::string Profile::*>(key.member) = s.Path(name.c_str());
            break;
        case ProfileKey::Kind::YesNo: {
            bool &value = p.*std::get<bool Profile::*>(key.member);
            value = s.YesNo(name.c_str(), value);
            break;
        }
        case ProfileKey::Kind::Seconds: {
            long &value = p.*std::get<long Profile::*>(key.member);
            value = s.Seconds(name.c_str(), value);
            break;
        }
        case ProfileKey::Kind::Own: break;
        }
    }
}

// Where the profile's mail is (a folder, or an IMAP URL), its envelope
// cache, and the sender.
void ReadPlaces(const Section &s, Profile &p)
{
    const std::string mailbox = s.Get("mailbox");
    if (IsImapMailbox(mailbox)) {
        // A server, not a path; a password written into it is not used
        // (the sign-in gives each login its own) and goes no further.
        p.mailbox = WithoutPassword(mailbox);
        if (p.mailbox != mailbox)
            Log("profile " + p.name + ": the password written into its mailbox URL is not used (see passwordcmd)");
    } else if (!mailbox.empty())
        p.mailbox = s.Path("mailbox");
    // "cache = off" keeps no envelope cache; a folder moves it.
    if (const std::string cache = s.Get("cache"); SameText(cache, "off") || SameText(cache, "no"))
        p.cacheFolder.clear();
    else if (!cache.empty())
        p.cacheFolder = s.Path("cache");
    if (!s.Get("address").empty()) {
        p.senderAddress = s.Get("address");
        p.senderName = UserName();
        p.senderFrom = Profile::SenderFrom::Profile;
    }
    if (!s.Get("name").empty())
        p.senderName = s.Get("name");
}

// The way mail goes out: one of smtp, sendmail and localdelivery at most.
void ReadWayOut(const Section &s, Profile &p)
{
    // A password written into the server's URL is not used either: it would
    // escape the rules of the profile's password and reach log lines.
    p.smtpUrl = WithoutPassword(s.Get("smtp"));
    if (p.smtpUrl != s.Get("smtp"))
        Log("profile " + p.name + ": the password written into its smtp URL is not used (see password, passwordcmd)");
    if (const std::string sendmail = s.Get("sendmail"); !sendmail.empty()) {
        if (!p.smtpUrl.empty())
            s.Conflict("sendmail", "names both smtp and sendmail; mail goes out one way (remove one of them)");
        p.sendmail = CommandWords(sendmail);
        if (p.sendmail.empty())
            s.Invalid("sendmail", "a command (a program and its arguments, quoted as in a shell)");
    }
    if (p.localDelivery && (!p.smtpUrl.empty() || !p.sendmail.empty()))
        s.Conflict("localdelivery", std::string("names ") + (p.smtpUrl.empty() ? "sendmail" : "smtp") +
                                        " and localdelivery; mail goes out one way (remove one of them)");
}

// The login at the servers and what it trusts. A password others can read
// is no secret: refused, as ssh and msmtp do (not for a text about to be
// written, which will be its owner's alone).
void ReadLogin(const Section &s, Profile &p, bool toBeWritten)
{
    p.password = s.Get("password");
    if (const std::string auth = s.Get("auth"); !auth.empty()) {
        const auto known = std::find_if(std::begin(kAuthMethods), std::end(kAuthMethods),
                                        [&](const AuthMethod &method) { return SameText(auth, method.name); });
        if (known == std::end(kAuthMethods)) {
            std::string names;
            for (const AuthMethod &method : kAuthMethods)
                names += (names.empty() ? "" : ", ") + std::string(method.name);
            s.Invalid("auth", "one of " + names);
        }
        p.auth = static_cast<Auth>(known - std::begin(kAuthMethods));
    }
    struct stat st {};
    if (!p.password.empty() && !toBeWritten && stat(s.File().c_str(), &st) == 0 &&
        (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        Refuse("the profile file " + s.File() + " holds a password and others can read it; chmod 600 " + s.File(),
               MAPI_E_LOGON_FAILURE);
    }
}

// The charset of 8-bit text that is not UTF-8.
void ReadFallbackCharset(const Section &s, Profile &p)
{
    if (const std::string charset = s.Get("fallbackcharset"); !charset.empty()) {
        if (KnownCharset(charset))
            p.fallbackCharset = charset;
        else
            Log("profile " + p.name + ": fallbackcharset " + charset + " is a charset this system does not know; " +
                p.fallbackCharset + " is used");
    }
}

Profile ProfileOf(std::string text, const std::string &file, const std::string &name, bool toBeWritten)
{
    const IniSections sections = ReadIni(text, file);
    // The file's text may hold a password: it goes now, the profile keeps
    // what it needs.
    ClearText(text);
    const auto [chosen, keys] = ChosenSection(sections, file, name);
    const Section section(file, chosen, *keys);
    Profile p = EmbeddedDefault();
    p.embedded = false;
    p.name = chosen;
    ReadByKind(section, p);
    ReadPlaces(section, p);
    ReadWayOut(section, p);
    ReadLogin(section, p, toBeWritten);
    ReadFallbackCharset(section, p);
    return p;
}

// A profile whose sender's address is not a plain one cannot log on: the
// sender goes into every message and envelope.
Profile Checked(Profile p)
{
    if (p.senderFrom == Profile::SenderFrom::None)
        return p;
    std::optional<std::string> sender = MailAddress(p.senderAddress);
    if (!sender)
        Refuse("profile " + p.name + ": the sender's address " + p.senderAddress + " is not a plain mail address" +
                   (p.senderFrom == Profile::SenderFrom::Environment ? " (it comes from EMAIL)" : ""),
               MAPI_E_LOGON_FAILURE);
    p.senderAddress = std::move(*sender);
    return p;
}

} // namespace

Profile ProfileFromText(std::string text, const std::string &file, const std::string &name, bool toBeWritten)
{
    return Checked(ProfileOf(std::move(text), file, name, toBeWritten));
}

Profile LoadProfile(const std::string &name)
{
    const std::string file = ProfileFile();
    std::optional<std::string> text = ProfileText(file);
    if (text)
        return ProfileFromText(std::move(*text), file, name, false);
    if (!name.empty() && !SameText(name, "Default"))
        Refuse("there is no profile " + name + ": the profile file " + file + " does not exist", MAPI_E_LOGON_FAILURE);
    return Checked(EmbeddedDefault());
}

std::vector<std::string> ProfileNames()
{
    const std::string file = ProfileFile();
    std::optional<std::string> text = ProfileText(file);
    if (!text)
        return {EmbeddedDefault().name};
    const IniSections sections = ReadIni(*text, file);
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

} // namespace kelvra_provider
