// A stored message as the record translation sees it: a file to read, and
// what its store knows of it. A Maildir's messages are such files; the IMAP
// store writes a message it fetched to a private file and hands that over.
#pragma once

#include "FileStamp.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kelvra_provider {

struct StoredFile {
    std::string id;        // the store's identifier of the message
    std::string path;      // the file as it is named now
    bool seen = false;     // read (the Maildir "S" flag)
    FileStamp stamp;       // its modification time is when it arrived
    unsigned revision = 0; // the ",R=" field: how often it was saved over
    // The stamp was taken from the file in the call that made the entry,
    // not from an earlier listing.
    bool current = false;

    void TakeStatus(const struct stat &st) { stamp = FileStamp::Of(st); }
};

// Writes a message's bytes to a descriptor; raises MapiError on failure.
using MessageWriter = std::function<void(int fd)>;

} // namespace kelvra_provider
