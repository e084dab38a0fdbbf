// What tells one version of a file from another: its inode, size and
// modification time to the nanosecond. The one rule behind trusting a cache
// entry, taking an envelope read ahead, and letting a save go ahead: the
// file's stamp is still the one recorded.
#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace kelvra_provider {

struct FileStamp {
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t seconds = 0;     // the modification time (a message's: when it arrived)
    std::int32_t nanoseconds = 0; // and the rest of it

    static FileStamp Of(const struct stat &st)
    {
        return {st.st_ino, st.st_size, st.st_mtim.tv_sec, static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
    }
    // Whether it was taken from a file (every file has an inode).
    bool Known() const { return inode != 0; }
    bool operator==(const FileStamp &) const = default;
};

} // namespace kelvra_provider
