// The subcommands of the kelvra mail command; texts come in and go out as
// UTF-8. Each works through the four components, with two exceptions that
// reach the platform library the components loaded, because no component
// does what they do: `details --dialog` calls its MAPIDetails (the details
// dialog), and `password` its KelvraMapiKeepPassword, the provider's own
// entry point beside the twelve (the keyring).
#pragma once

#include "SaveFile.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvra_cli {

// Exit statuses, as `kelvra --help` and the README list them.
enum ExitStatus : int {
    kSuccess = 0,
    kRefused = 1,   // the mail system refused (an EKelvraError)
    kUsage = 2,     // the command line is wrong
    kLocalFile = 3, // a local file problem
};

// What every subcommand shares: how to log on, and how to answer.
struct Global {
    std::string profile;
    std::optional<std::string> password;
    bool json = false;
};

struct SendOptions {
    std::vector<std::string> to, cc, bcc; // each option as often as given, in order
    std::string subject, type;
    std::optional<std::string> body, bodyFile;
    std::vector<std::string> attach;
    bool receipt = false, dialog = false;
};

struct ListOptions {
    bool unread = false, fifo = false;
    std::string type;
    long limit = -1;
};

// Each runs a subcommand and returns what it has to say: a JSON document,
// printed as it is with --json and as text otherwise. Failures raise
// EKelvraError, LocalFileError or std::invalid_argument (a usage error).
nlohmann::json Send(const Global &global, const SendOptions &options);
nlohmann::json List(const Global &global, const ListOptions &options);
nlohmann::json Show(const Global &global, const std::string &id, bool peek);
nlohmann::json SaveAttachments(const Global &global, const std::string &id, const std::string &folder, bool force);
nlohmann::json Delete(const Global &global, const std::string &id);
nlohmann::json Count(const Global &global, bool unread);
nlohmann::json Resolve(const Global &global, const std::string &name);
nlohmann::json Pick(const Global &global);
nlohmann::json Details(const Global &global, const std::string &name, bool dialog);
// Keeps (`set`) or clears the profile's password in the keyring.
nlohmann::json Password(const Global &global, bool set);
// The profile NAME (empty: --profile's, else the default) as the mail
// system reads it: {profile, file, keys: {key: value}}; secrets never shown.
nlohmann::json ProfileShow(const Global &global, const std::string &name);
// The profiles the mail system knows, the default first: {profiles: [...],
// default}.
nlohmann::json ProfileList(const Global &global);
// A profile made from an existing setup (Import.h) and added to the
// profile file: {imported, file, keys}.
struct ImportOptions {
    std::string from; // msmtp, mbsync or git
    std::string account, as, file;
    bool local = false, force = false;
};
nlohmann::json ProfileImport(const Global &global, const ImportOptions &options);
// Each part of that profile tried without sending anything: {ok, parts:
// [{part, ok, detail}]}; `ok` only when every part works.
nlohmann::json ProfileCheck(const Global &global, const std::string &name);

} // namespace kelvra_cli
