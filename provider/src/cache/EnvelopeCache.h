// The persistent envelope cache of one Maildir folder: an SQLite database
// under the cache folder (by default $XDG_CACHE_HOME/kelvra), one file per
// folder, so that a walk of an unchanged folder reads no message file, also
// in a new process.
//
// An entry is trusted only for the file it was read from: the message's
// identifier, its file name, size, modification time (with nanoseconds) and
// inode must all match the file as it is now, or the entry is read again.
// A database that is missing, damaged, or of another layout is made anew; one
// written by a newer version of this library is left alone and not used.
// Nothing is lost with it: every entry can be read again from its message.
#pragma once

#include "FileStamp.h"
#include "message/Envelope.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra_provider {

struct FileKey {
    std::string_view id;
    std::string_view name; // the file name, flags and all
    FileStamp stamp;
};

// An entry as cached: the file it was read from, and its envelope.
struct CachedEnvelope {
    std::string name;
    FileStamp stamp;
    Envelope envelope;
};

class EnvelopeCache {
public:
    // The cache of `folder` under `cacheFolder` (made when missing); null when
    // it cannot be used (then every envelope is read from its message).
    static std::unique_ptr<EnvelopeCache> Open(const std::string &cacheFolder, const std::string &folder);
    ~EnvelopeCache();

    // The envelope cached for exactly this file, if any.
    std::optional<Envelope> Find(const FileKey &key);
    // The entry cached for an identifier, whatever file it was read from:
    // the caller checks it against the file.
    std::optional<CachedEnvelope> Entry(std::string_view id);
    // Keeps an envelope for this file; written in batches (Flush).
    void Store(const FileKey &key, const Envelope &envelope);
    // Every cached file's key and class, by identifier.
    void Classes(const std::function<void(const FileKey &key, std::string_view cls)> &each);
    // Writes the entries held back. Failures only cost the entries.
    void Flush();
    // Flush of every cache open in the process (at logoff, and when the
    // process ends).
    static void FlushAll();
    // Removes the entries of identifiers `present` says are gone from the
    // folder, so that the cache stays the size of the folder.
    void Prune(const std::function<bool(std::string_view id)> &present);

    // The folder's listing kept with the cache: the status of its folders
    // when it was made and its files, both as the caller encoded them.
    struct Listing {
        std::string stamps, files;
    };
    std::optional<Listing> KeptListing();
    // Keeps a listing in place of the one kept (written now; a failure only
    // costs the next process a listing of its own).
    void KeepListing(const Listing &listing);

    // The database file's name for a folder, under the cache folder.
    static std::string FileFor(const std::string &cacheFolder, const std::string &folder);

    struct Impl;

private:
    explicit EnvelopeCache(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace kelvra_provider
