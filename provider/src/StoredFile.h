// A stored message as the record translation sees it: a file to read, and
// what its store knows of it. A Maildir's messages are such files; the IMAP
// store writes a message it fetched to a private file and hands that over.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kmp {

struct StoredFile {
    std::string id;        // the store's identifier of the message
    std::string path;      // the file as it is named now
    bool seen = false;     // read (the Maildir "S" flag)
    std::int64_t time = 0; // when it arrived: the file's modification time, seconds
    long nanoseconds = 0;  // and the rest of it
    std::int64_t size = 0;
    std::uint64_t inode = 0;
    unsigned revision = 0; // the ",R=" field: how often it was saved over
    // Time, size and inode were taken from the file in the call that made
    // the entry, not from an earlier listing.
    bool current = false;

    // Takes the file's size, modification time and inode from its status.
    void TakeStatus(const struct stat &st)
    {
        size = st.st_size;
        time = st.st_mtim.tv_sec;
        nanoseconds = st.st_mtim.tv_nsec;
        inode = st.st_ino;
    }
};

// Writes a message's bytes to a descriptor; raises MapiError on failure.
using MessageWriter = std::function<void(int fd)>;

} // namespace kmp
