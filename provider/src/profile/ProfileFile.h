// The profile file on disk: which file, whether it is to be trusted, its
// text read, and a new text written in its place.
#pragma once

#include <optional>
#include <string>

namespace kelvra_provider {

// ProfileFile() is declared in Profile.h.

// The profile file's text; none when there is no file where none need be
// (the usual place, not a file KELVRA_MAPI_PROFILES names). Refused
// (MAPI_E_LOGON_FAILURE) when it belongs to another user or others can
// change it, is no regular file, is larger than 1 MiB or cannot be read.
std::optional<std::string> ProfileText(const std::string &file);

// The file a profile is added to, and its text now (empty when there is
// none yet). A link (a dotfiles setup) is followed: the file it names gets
// the profile, and the link stays. Refused as ProfileText refuses, but
// MAPI_E_FAILURE for what keeps it from being read.
struct ProfileFileToWrite {
    std::string path;
    std::string text;
};
ProfileFileToWrite ProfileFileToAddTo();

// Writes the profile file whole, in one step: a new file beside it (0600,
// never more open than the old one was for its owner, and closed to
// everyone else: it may hold a password now), renamed over it. Its folder
// is made (0700) when missing. MAPI_E_FAILURE when it cannot be.
void WriteProfileFile(const std::string &file, const std::string &text);

} // namespace kelvra_provider
