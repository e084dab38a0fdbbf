// A profile shown as the provider reads it, and each of its parts tried
// without sending anything: `kelvra profile show` and `kelvra profile check`.
#pragma once

#include "profile/Profile.h"

#include <string>

namespace kelvra_provider {

// "key<TAB>value" lines: `profile` (its name), `file` (the profile file, or
// "(embedded default)"), then every key of the profile file with the value
// in effect, defaults included, paths made absolute, and `outgoing`, the
// way out in effect (WayOut.h). A password is shown as "(set)" or nothing,
// never itself.
std::string DescribeProfile(const Profile &profile);

// "part<TAB>ok|failed<TAB>what was found" lines for the mailbox (logged on
// to, its first message listed), the address book (read), and the way mail
// goes out, as it checks itself (WayOut::Check). True when every part
// works.
bool CheckProfile(const Profile &profile, const std::string &password, std::string &report);

} // namespace kelvra_provider
