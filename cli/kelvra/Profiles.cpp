// kelvra profile show|check: a profile as the mail system reads it, and each
// of its parts tried, through the Kelvra provider's KelvraMapiDescribeProfile
// and KelvraMapiCheckProfile (beside the twelve entry points).
#include "Commands.h"
#include "Import.h"
#include "Provider.h"
#include "Shown.h"

#include "kelvra/Kelvra.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#ifndef _WIN32
#include "posix/Process.h"
#include "posix/RegularFile.h"

#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelvra_cli {

namespace {

// The provider's answer: its lines, split at their tabs.
std::vector<std::vector<std::string>> Rows(const std::string &text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        rows.push_back(std::move(fields));
    }
    return rows;
}

// Asks `call` for the text, with room for the whole of it.
template <class Call>
std::string Text(Call call, ULONG &rc)
{
    std::string text(64 * 1024, '\0');
    ULONG length = 0;
    rc = call(text.data(), static_cast<ULONG>(text.size()), &length);
    if (length >= text.size()) {
        text.assign(length + 1, '\0');
        rc = call(text.data(), static_cast<ULONG>(text.size()), &length);
    }
    text.resize(std::min<size_t>(length, text.size() - 1));
    return text;
}

// A text the user gave, in the locale's character set the provider takes.
std::string Narrow(const std::string &utf8, const std::string &given) { return host::ToAnsi(TextGiven(utf8, given)); }

#ifndef _WIN32
// How long git may take to answer.
constexpr std::chrono::seconds kGitBound{10};

// `git config --get KEY` (of FILE, when given): its value, or nullopt when
// git has none (or there is no git). No shell runs it.
std::optional<std::string> GitConfig(const std::string &key, const std::string &file, std::string *origin = nullptr)
{
    std::vector<std::string> args = {"git", "config"};
    if (!file.empty())
        args.insert(args.end(), {"--file", file});
    if (origin != nullptr)
        args.push_back("--show-origin");
    args.insert(args.end(), {"--get", key});
    const std::optional<kelvra_posix::RunResult> run = kelvra_posix::RunProgram(args, kGitBound);
    if (run && run->timedOut)
        throw LocalFileError("git config --get " + key + " did not answer within " + std::to_string(kGitBound.count()) +
                             " s; nothing was written");
    if (!run || run->exitCode != 0)
        return std::nullopt;
    std::string value = run->output;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    if (origin != nullptr) {
        // "file:PATH<TAB>VALUE" (or "command line:", "blob:...").
        const size_t tab = value.find('\t');
        *origin = value.substr(0, tab);
        value = tab == std::string::npos ? std::string() : value.substr(tab + 1);
    }
    return value;
}

// Why a file may not bring a command (a passwordcmd, a sendmail program)
// into a profile: the profile file's own rule, as ssh's for its
// configuration. Empty when it may: the user's or root's, and no one
// else's to change.
std::string Untrusted(const std::string &file)
{
    struct stat st {};
    if (stat(file.c_str(), &st) != 0)
        return file + " cannot be looked at: " + std::strerror(errno);
    if (st.st_uid != getuid() && st.st_uid != 0)
        return file + " belongs to another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return file + " can be changed by others (chmod go-w " + file + ")";
    return {};
}

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The configuration file a program reads, as it documents it: the first of
// `candidates` that exists.
std::string FirstExisting(const std::vector<std::string> &candidates)
{
    for (const std::string &c : candidates)
        if (!c.empty() && std::filesystem::exists(c))
            return c;
    throw LocalFileError("there is no " + candidates.front() + (candidates.size() > 1 ? " (nor " + candidates.back() + ")" : std::string()) +
                         "; name the file with --file");
}

// A configuration file's text, and whether no one else may read it (a
// password in it may then be carried over). It must be a regular file of at
// most 1 MiB: opening never waits on a FIFO, and a device is never read on
// and on.
struct ConfigText {
    std::string text;
    bool privateFile = false;
};
ConfigText ReadConfig(const std::string &file)
{
    struct stat st {};
    std::optional<std::string> text = kelvra_posix::ReadRegularFile(file, 1024 * 1024, &st);
    if (!text) {
        const int error = errno;
        const std::string why = error == E2BIG ? "larger than 1 MiB; no configuration file is"
                                : error == EINVAL && !S_ISREG(st.st_mode)
                                    ? std::string("not a regular file (") +
                                          (S_ISDIR(st.st_mode) ? "a folder" : "a FIFO, socket or device") + ")"
                                    : std::strerror(error);
        throw LocalFileError("cannot read " + file + ": " + why);
    }
    return {std::move(*text), st.st_uid == getuid() && (st.st_mode & 077) == 0};
}

// Whether two profile names are one, as the profile file compares them (in
// any case).
bool SameName(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}
#endif

} // namespace

nlohmann::json ProfileImport(const Global &global, const ImportOptions &options)
{
#ifdef _WIN32
    (void)global;
    (void)options;
    throw NotOffered(u"profiles are the Kelvra provider's, on POSIX");
#else
    (void)global;
    const std::string home = Env("HOME");
    const std::string config = Env("XDG_CONFIG_HOME").empty() || Env("XDG_CONFIG_HOME")[0] != '/'
                                   ? home + "/.config"
                                   : Env("XDG_CONFIG_HOME");
    ImportedProfile imported;
    // Why the source of a command may not be trusted; empty when it may.
    std::string untrusted;
    if (options.from == "git") {
        // A file git is to read is held to the rule of the others: git
        // would wait on a FIFO for ever.
        if (!options.file.empty())
            ReadConfig(options.file);
        imported = FromGit([&](const std::string &key) { return GitConfig(key, options.file); });
        std::string origin;
        GitConfig("sendemail.smtpServer", options.file, &origin);
        untrusted = origin.rfind("file:", 0) == 0 ? Untrusted(origin.substr(5))
                    : origin == "command line:" ? std::string()
                                                : "git's setting comes from " + origin;
    } else {
        const std::string file =
            !options.file.empty() ? options.file
            : options.from == "msmtp" ? FirstExisting({home + "/.msmtprc", config + "/msmtp/config"})
                                      : FirstExisting({home + "/.mbsyncrc", config + "/isyncrc"});
        const ConfigText config = ReadConfig(file);
        untrusted = Untrusted(file);
        imported = options.from == "msmtp"
                       ? FromMsmtp(config.text, file, config.privateFile, options.account)
                       : FromMbsync(config.text, file, config.privateFile, options.account, options.local);
    }
    if (!options.as.empty())
        imported.name = options.as;
    // A command runs as the user at every login or send: one from a file
    // another user wrote, or could have, is not carried over.
    for (const auto &[key, value] : imported.keys)
        if ((key == "passwordcmd" || key == "sendmail") && !untrusted.empty())
            throw ImportError("the imported " + key + " is a command, and " + untrusted +
                              ": it is not carried over; nothing was written");
    // Every value goes to the provider as one "key<TAB>value" line: a line
    // break or a zero inside one (git allows "\n" in a quoted value) would
    // add a key of the file's choosing. Refused, as is text that is not
    // UTF-8, before anything is written.
    for (const auto &[key, value] : imported.keys) {
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            throw LocalFileError("the imported value of " + key +
                                 " holds a line break or a zero byte, which a profile cannot hold; nothing was written");
        if (host::InvalidUtf8At(value) != std::string::npos)
            throw LocalFileError("the imported value of " + key + " is not UTF-8 text; nothing was written");
    }
    if (imported.name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
        host::InvalidUtf8At(imported.name) != std::string::npos)
        throw LocalFileError("the imported profile's name holds a line break or is not UTF-8; nothing was written");
    // A name taken (as profile names compare, in any case) is kept, and
    // said so before anything is asked of the provider. A profile file
    // that is not there yet (or cannot be read: adding says why) has none.
    nlohmann::json existing = nlohmann::json::array();
    try {
        if (!options.force)
            existing = ProfileList(global)["profiles"];
    } catch (const kelvra::EKelvraError &) {
    }
    for (const auto &taken : existing)
        if (SameName(taken.get<std::string>(), imported.name))
            throw ImportError("the profile file has a profile " + taken.get<std::string>() +
                              " already; it is kept: import under another name (--as NAME) or replace it "
                              "(--force); nothing was written");
    std::string keys;
    nlohmann::json shown = nlohmann::json::object();
    for (const auto &[key, value] : imported.keys) {
        keys += key + "\t" + value + "\n";
        shown[key] = key == "password" ? std::string("(set)") : value;
    }
    const ProviderEntry entry("KelvraMapiAddProfile", u"the platform library keeps no profile file");
    const auto add = entry.As<LPKELVRAMAPIADDPROFILE>();
    std::string name = imported.name;
    const ULONG rc = add(name.data(), keys.data(), options.force ? 1 : 0);
    for (char &c : keys)
        *static_cast<volatile char *>(&c) = 0;
    kelvra::Check(rc);
    // Where the mail will be kept, when the source names no mailbox.
    if (std::none_of(imported.keys.begin(), imported.keys.end(), [](const auto &k) { return k.first == "mailbox"; }))
        imported.notes.push_back(options.from + " names no mailbox: the profile keeps mail in the Maildir " +
                                 ProfileShow(global, imported.name)["keys"]["mailbox"].get<std::string>() +
                                 " (set mailbox = ... in the profile file for another)");
    for (const std::string &note : imported.notes)
        std::cerr << "kelvra: note: " << Shown(note) << "\n";
    return {{"imported", imported.name}, {"from", options.from}, {"keys", shown}};
#endif
}

nlohmann::json ProfileList(const Global &)
{
    const ProviderEntry entry("KelvraMapiListProfiles", u"the platform library keeps no profiles");
    const auto list = entry.As<LPKELVRAMAPILISTPROFILES>();
    ULONG rc = 0;
    const std::string text = Text([&](LPSTR out, ULONG size, ULONG *length) { return list(out, size, length); }, rc);
    kelvra::Check(rc);
    nlohmann::json names = nlohmann::json::array();
    for (const auto &row : Rows(text))
        names.push_back(row[0]);
    return {{"profiles", names}, {"default", names.empty() ? nlohmann::json(nullptr) : names.front()}};
}

nlohmann::json ProfileShow(const Global &global, const std::string &name)
{
    const ProviderEntry entry("KelvraMapiDescribeProfile", u"the platform library shows no profiles");
    const auto describe = entry.As<LPKELVRAMAPIDESCRIBEPROFILE>();
    std::string profile = Narrow(name.empty() ? global.profile : name, name.empty() ? "--profile" : "NAME");
    ULONG rc = 0;
    const std::string text = Text(
        [&](LPSTR out, ULONG size, ULONG *length) {
            return describe(profile.empty() ? nullptr : profile.data(), out, size, length);
        },
        rc);
    kelvra::Check(rc);
    nlohmann::json keys = nlohmann::json::object();
    nlohmann::json answer;
    for (const auto &row : Rows(text)) {
        const std::string value = row.size() > 1 ? row[1] : std::string();
        if (row[0] == "profile" || row[0] == "file")
            answer[row[0]] = value;
        else
            keys[row[0]] = value;
    }
    answer["keys"] = keys;
    return answer;
}

nlohmann::json ProfileCheck(const Global &global, const std::string &name)
{
#if defined(_WIN32)
    // Windows keeps no profiles of ours: the check is of the mail client
    // Windows uses for Simple MAPI.
    (void)global;
    (void)name;
    const std::string said = host::ToUtf8(kelvra::MailSystemDescription());
    const bool works = said.rfind("the mail client is ", 0) == 0 && said.find("names no Simple MAPI DLL") == std::string::npos &&
                       said.find("(not found, or no Windows DLL)") == std::string::npos;
    return {{"ok", works}, {"parts", nlohmann::json::array({{{"part", "mailclient"}, {"ok", works}, {"detail", said}}})}};
#endif
    const ProviderEntry entry("KelvraMapiCheckProfile", u"the platform library checks no profiles");
    const auto check = entry.As<LPKELVRAMAPICHECKPROFILE>();
    std::string profile = Narrow(name.empty() ? global.profile : name, name.empty() ? "--profile" : "NAME");
    std::string password =
        global.password ? Narrow(*global.password, "the password (--password or KELVRA_PASSWORD)") : std::string();
    ULONG rc = 0;
    const std::string text = Text(
        [&](LPSTR out, ULONG size, ULONG *length) {
            return check(profile.empty() ? nullptr : profile.data(), global.password ? password.data() : nullptr, out,
                         size, length);
        },
        rc);
    for (char &c : password)
        *static_cast<volatile char *>(&c) = 0;
    if (rc != SUCCESS_SUCCESS && rc != MAPI_E_FAILURE)
        kelvra::Check(rc); // the profile itself could not be read
    if (rc == MAPI_E_FAILURE && text.empty())
        kelvra::Check(rc);
    nlohmann::json parts = nlohmann::json::array();
    for (const auto &row : Rows(text))
        parts.push_back({{"part", row[0]},
                         {"ok", row.size() > 1 && row[1] == "ok"},
                         {"detail", row.size() > 2 ? row[2] : std::string()}});
    return {{"ok", rc == SUCCESS_SUCCESS}, {"parts", parts}};
}

} // namespace kelvra_cli
