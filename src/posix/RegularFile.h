// Reading a file only when it is a regular file: opening never waits on a
// FIFO, and a device is never read on and on. Shared by the provider and
// the kelvra command.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>

namespace kelvra_posix {

// Opens a file for reading only when it is a regular file (O_NONBLOCK until
// fstat has said what it is, and never as a controlling terminal). Returns
// the descriptor (close-on-exec), or -1 with errno set: EINVAL for a file
// that is not regular, whose status `st` then holds. `st` receives the
// file's status when given. With `keepNonBlocking` the flag stays (a read
// of a regular file does not block; a reader that meets EAGAIN clears it),
// which spares two calls. Without `followLink` a link is not followed
// (ELOOP).
int OpenRegular(const std::string &path, struct stat *st = nullptr, bool keepNonBlocking = false,
                bool followLink = true);

// The bytes of a regular file, at most `limit` of them (E2BIG past that);
// nullopt with errno set when it cannot be read. `st` receives its status
// as OpenRegular gives it.
std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit, struct stat *st = nullptr);

} // namespace kelvra_posix
