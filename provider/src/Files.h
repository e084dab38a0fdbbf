// Opening files without blocking on what is not a regular file, and
// writing them whole.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra_provider {

// Opens a file for reading only when it is a regular file: never blocks on a
// FIFO or a device (O_NONBLOCK until fstat has said what it is). Returns the
// descriptor (close-on-exec), or -1 with errno set (EINVAL for a file that
// is not regular). `st` receives the file's status when given. With
// `keepNonBlocking` the flag stays (a read of a regular file does not
// block; a reader that meets EAGAIN clears it), which spares two calls.
int OpenRegular(const std::string &path, struct stat *st = nullptr, bool keepNonBlocking = false);
// The same for a stored message's file, which is never followed when it is
// a link (ELOOP): a mailbox entry is a message, not a way to another file.
int OpenMessageFile(const std::string &path, struct stat *st = nullptr, bool keepNonBlocking = false);
// The bytes of a regular file, at most `limit` of them (E2BIG past that);
// nullopt with errno set when it cannot be read.
std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit);

// Writes all of `bytes` to a descriptor (again after an interruption);
// MAPI_E_DISK_FULL when the disk or quota is full, else MAPI_E_FAILURE.
void WriteAll(int fd, std::string_view bytes);

} // namespace kelvra_provider
