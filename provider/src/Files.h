// Opening files without blocking on what is not a regular file, and
// writing them whole.
#pragma once

#include "posix/RegularFile.h"

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvra_provider {

// Regular files only, read without blocking (posix/RegularFile.h).
using kelvra_posix::OpenRegular;
using kelvra_posix::ReadRegularFile;
// A stored message's file, which is never followed when it is a link
// (ELOOP): a mailbox entry is a message, not a way to another file.
inline int OpenMessageFile(const std::string &path, struct stat *st = nullptr, bool keepNonBlocking = false)
{
    return OpenRegular(path, st, keepNonBlocking, false);
}

// Writes all of `bytes` to a descriptor (again after an interruption);
// MAPI_E_DISK_FULL when the disk or quota is full, else MAPI_E_FAILURE.
void WriteAll(int fd, std::string_view bytes);

} // namespace kelvra_provider
