// The desktop's keyring (the Secret Service, through libsecret): one schema
// of Kelvra's, "org.kelvra.Password", an item per server and user (the
// attributes "server", the server's URL as the profile names it, and
// "user"). Without a Secret Service on the session bus the keyring is not
// asked (one log line) and nothing fails because of it.
#pragma once

#include "Secret.h"

#include <optional>
#include <string>

namespace kelvra_provider {

// Every call ends within `seconds` (the profile's timeout), whatever the
// session bus does; past it, `why` says that the bus did not answer.

// The keyring's password for the server and user; none when it holds none
// or cannot be asked (`why`, when given, then says why: no D-Bus session,
// a bus that does not answer, a locked keyring). Logs nothing: only a
// login that finds no password anywhere says so.
std::optional<Secret> KeyringLookup(const std::string &server, const std::string &user, long seconds,
                                    std::string *why = nullptr);
// False, with `why`, when the keyring cannot keep it (no Secret Service).
bool KeyringStore(const std::string &server, const std::string &user, const Secret &secret, long seconds,
                  std::string *why);
bool KeyringClear(const std::string &server, const std::string &user, long seconds, std::string *why);

} // namespace kelvra_provider
