// Bringing what the session knows of the folder up to the server: the
// listing (UIDs, flags, arrival times, sizes; the unseen ones on request)
// and headers, fetched in batches.
#pragma once

#include "imap/Connection.h"
#include "imap/Folder.h"

#include <cstdint>
#include <vector>

namespace kelvra_provider::imap {

// Headers are read up to this size (as a Maildir reads a header block).
constexpr std::uint32_t kHeaderLimit = 256 * 1024;

// Lists the folder again (NOOP first, so that the server tells of new
// mail), unless it was listed within the last second (`force` lists it
// anyway; `unread` also searches for the unseen messages).
void Refresh(Connection &conn, Folder &folder, bool force, bool unread);
// Fetches the headers of these messages in one command, and their
// structure, which tells how many files a read hands out. A message that
// went meanwhile gets an empty header (ordinary mail).
void FetchHeaders(Connection &conn, Folder &folder, const std::vector<std::uint32_t> &uids);

} // namespace kelvra_provider::imap
