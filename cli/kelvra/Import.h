// Profiles made from the mail setup a user has already: msmtp's and
// mbsync's configuration files, and git send-email's settings. Each
// importer reads what its program documents and gives the profile's keys,
// or raises ImportError naming what cannot be carried over (an
// authentication, a TLS choice or a certificate rule we do not have), so
// that no profile is written that would not work as the original did.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kelvra_cli {

class ImportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ImportedProfile {
    std::string name; // the account's, unless --as names another
    std::vector<std::pair<std::string, std::string>> keys;
    std::vector<std::string> notes; // what the user should know, said on standard error
};

// msmtp's configuration `text` (from `file`; `privateFile`: no one else can
// read it, so a password in it may be carried over), its account `account`
// (empty: its default account, or its only one).
ImportedProfile FromMsmtp(const std::string &text, const std::string &file, bool privateFile,
                          const std::string &account);

// mbsync's configuration: an IMAPAccount (empty: the only one) as an IMAP
// mailbox, or with `local` as the Maildir its MaildirStore's Inbox names.
ImportedProfile FromMbsync(const std::string &text, const std::string &file, bool privateFile,
                           const std::string &account, bool local);

// git send-email's settings, as `get` (git config --get) gives them.
ImportedProfile FromGit(const std::function<std::optional<std::string>(const std::string &key)> &get);

} // namespace kelvra_cli
