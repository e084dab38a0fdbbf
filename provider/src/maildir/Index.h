// The listing of a Maildir folder, kept per folder for the process: every
// message's file name, identifier and what is known of its file, sorted by
// identifier (and by arrival when asked for), made again when new/ or cur/
// changed.
#pragma once

#include "maildir/Maildir.h"
#include "maildir/ReadAhead.h"

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {
class EnvelopeCache;
}

namespace kelvra_provider::maildir {

// A listed message, small: a walk of a large folder keeps one per message.
// Its file name (and its identifier, when that is not a prefix of the name)
// lives in the listing's one block of names.
struct Listed {
    std::uint32_t name = 0;       // offset of the file name in Index::names
    std::uint32_t id = 0;         // offset of the identifier (== name when a prefix of it)
    std::uint16_t nameLength = 0;
    std::uint16_t idLength = 0;
    std::uint32_t revision = 0;
    FileStamp stamp;              // only its inode when not `statted`
    std::uint16_t cls = 0;        // 0: not known yet; else 1 + its place in Index::classes
    bool inCur = false;
    bool seen = false;
    // Whether time, size and nanoseconds were taken (a listing for arrival
    // order); else only the name and the inode the folder gives are known.
    bool statted = false;
};

// What new/ and cur/ held when last listed, and how they looked then.
struct Listing {
    timespec newTime{};
    timespec curTime{};
    std::uint64_t newInode = 0, curInode = 0;
    bool listed = false;
    bool withStatus = false; // every entry statted, and byArrival made
    bool twice = false;      // an identifier was met in more than one file (older revisions left)
    // A listing made within the folders' timestamp granularity of their last
    // change cannot tell a later change in the same tick: it is made again
    // once that tick has passed (at `recheckAt`, nanoseconds of real time).
    std::int64_t recheckAt = 0;
    // When Fresh last looked at the folders (real time, nanoseconds).
    std::int64_t checkedAt = 0;
    int folderFds[2] = {-1, -1}; // new/ and cur/, kept open: fstat is cheaper than a path lookup
    std::string names;
    std::vector<Listed> byId;             // sorted by identifier
    std::vector<std::uint32_t> byArrival; // positions in byId, by (time, id)
    // The distinct classes met, few in any mailbox.
    std::vector<std::string> classes;
    std::string unnumbered; // a class met when `classes` is full

    std::string_view Name(const Listed &e) const { return {names.data() + e.name, e.nameLength}; }
    std::string_view Id(const Listed &e) const { return {names.data() + e.id, e.idLength}; }
};

// Where a walk of the folder stands.
struct WalkCursor {
    // Where in byId the last step stood, and when (real time, nanoseconds)
    // it looked at the folders.
    size_t lastFound = SIZE_MAX;
    std::int64_t lastFoundAt = 0;
    // Where messages that have gone since stood in arrival order, so that a
    // walk seeded with one goes on from there.
    std::map<std::string, std::pair<std::int64_t, long>, std::less<>> gone;
};

// The folder's persistent cache, opened on first use.
struct CacheLink {
    std::string folder;
    bool opened = false;
    std::shared_ptr<EnvelopeCache> store; // null when off or unusable
    bool classesLoaded = false; // for this listing
    bool pruned = false;        // of messages this listing no longer has
};

// All that is kept of one folder, refreshed when new/ or cur/ changed.
struct Index {
    Listing listing;
    WalkCursor walk;
    Ahead ahead;
    CacheLink cache;
};

struct Indexes {
    std::mutex mutex;
    std::map<std::string, Index> folders;
};
// Every folder's index, under one lock. Never destroyed, like the
// provider's other tables.
Indexes &AllIndexes();

// The index of a folder, fresh as of now; `withStatus` for arrival order.
// A listing made within the folders' timestamp granularity of their last
// change is trusted until that tick has passed, unless `distrustRecent`
// (a walk's start, a message not found): then the folder is listed again.
// A listing that may be trusted is kept with the folder's cache under
// `cacheFolder` (when there is one), and a later process whose new/ and cur/
// are unchanged takes it instead of listing them. Called with the lock held.
Index &Fresh(const std::string &root, const std::string &cacheFolder, bool withStatus = false,
             bool distrustRecent = false);
// The folder's persistent cache, opened on first use (null when off or
// unusable). Called with the lock held; a caller that uses it after the
// lock is left keeps a copy.
const std::shared_ptr<EnvelopeCache> &CacheOf(Index &index, const std::string &root, const std::string &cacheFolder);
// Takes what the cache knows of listed files of the same name and inode, in
// one pass over both (identifier order): the status of those the listing
// did not look at (message files change by rename), and the class of those
// whose whole key matches.
void TakeFromCache(Index &index, EnvelopeCache &cache);
// The listed message of an identifier, or null.
const Listed *Find(const Listing &listing, std::string_view id);
// The same, trying first where the walk's last step stood.
const Listed *Lookup(const Index &index, std::string_view id);
// A class's number in the index (0: too many distinct classes to keep).
std::uint16_t ClassNumber(Listing &listing, std::string_view cls);
// Whether a file of this status is the one listed, as far as the listing
// knows it (by its inode alone when it took no status).
bool Matches(const Listed &e, const FileStamp &stamp);

// The path of a listed message's file.
std::string PathOf(const Listing &listing, const std::string &root, const Listed &e);
// The status of a listed message's file as it is now (through its folder's
// kept descriptor); false when it is not a regular file there any more.
bool StatusOf(const Listing &listing, const std::string &root, const Listed &e, struct stat &st);
// A listed message for a caller, its status taken now when the listing did
// not take it (unless not `look`).
StoredFile EntryOf(const Listing &listing, const std::string &root, const Listed &e, bool look = true);
// The status of a folder through a descriptor kept open for it.
void FolderStat(int &fd, const std::string &root, const char *sub, struct stat &st);

// The files of new/ and cur/ (sorted by identifier, the newest revision of
// an identifier first), read afresh. For rewrites; walks use the index.
std::vector<StoredFile> ListFiles(const std::string &root);

bool SameTime(const timespec &a, const timespec &b);
// Real time, in nanoseconds.
std::int64_t Now();
// When a listing of folders last changed at these times may be trusted to
// see every later change by their times alone.
std::int64_t TrustedFrom(const timespec &newTime, const timespec &curTime);

} // namespace kelvra_provider::maildir
