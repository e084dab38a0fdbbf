// The keys a profile may hold: the one table that reading a profile, the
// check for keys no profile has, `profile show` and the profile file's
// manual page (held to it by a test) follow.
#pragma once

#include "profile/Profile.h"

#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelvra_provider {

struct ProfileKey {
    // How a value is read and shown: as written; as a path, resolved
    // against the profile file's folder; yes or no (also true or false, any
    // case); a whole number of seconds from 1 to 86400; or by a rule of its
    // own (profile/Read.cpp), which `show` shows.
    enum class Kind { Text, Path, YesNo, Seconds, Own };

    std::string_view key;
    Kind kind;
    // Where the value goes; none for a key with a rule of its own.
    std::variant<std::monostate, std::string Profile::*, bool Profile::*, long Profile::*> member;
    std::string (*show)(const Profile &) = nullptr;
};

// The keys in the order `profile show` lists them (`default`, the one key
// before the first section, is not among them).
std::span<const ProfileKey> ProfileKeyTable();

// Whether a profile may hold `key` (in lower case, as the parser takes it).
bool IsProfileKey(std::string_view key);

// The value of `key` in `profile` as `profile show` shows it.
std::string ShownValue(const ProfileKey &key, const Profile &profile);

// A command's words as one line a shell (and the profile file) reads back.
std::string CommandLine(const std::vector<std::string> &words);

} // namespace kelvra_provider
