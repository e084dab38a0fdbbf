// A profile read from the profile file's text, for reading and adding alike.
#pragma once

#include "profile/Profile.h"

#include <string>

namespace kelvra_provider {

// The profile `name` (empty: the file's default, else its first section)
// of a profile file's text, as LoadProfile reads it and with its checks;
// with `toBeWritten`, of the text about to be written to `file` (which
// will be its owner's alone). The text is cleared: it may hold a password.
Profile ProfileFromText(std::string text, const std::string &file, const std::string &name, bool toBeWritten);

} // namespace kelvra_provider
