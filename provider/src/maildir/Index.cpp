#include "maildir/Index.h"

#include "Errors.h"
#include "cache/Packed.h"
#include "cache/EnvelopeCache.h"
#include "maildir/Maildir.h"
#include "maildir/Names.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <climits>
#include <ctime>

namespace kelvra_provider::maildir {

namespace {

std::int64_t Nanoseconds(const timespec &t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

Indexes &AllIndexes()
{
    static Indexes *indexes = new Indexes;
    return *indexes;
}

std::uint16_t ClassNumber(Listing &listing, std::string_view cls)
{
    for (size_t i = 0; i < listing.classes.size(); ++i)
        if (listing.classes[i] == cls)
            return static_cast<std::uint16_t>(i + 1);
    if (listing.classes.size() >= 0xFFFE)
        return 0; // so many distinct classes: they are not kept, only read again
    listing.classes.emplace_back(cls);
    return static_cast<std::uint16_t>(listing.classes.size());
}

bool SameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::int64_t Now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
}

// When a listing of folders last changed at these times may be trusted to
// see every later change by their times alone. File systems that keep whole
// seconds show no nanoseconds; the others still stamp in clock ticks.
std::int64_t TrustedFrom(const timespec &newTime, const timespec &curTime)
{
    const bool wholeSeconds = newTime.tv_nsec == 0 && curTime.tv_nsec == 0;
    const std::int64_t tick = wholeSeconds ? 1000000000 : 20000000;
    return std::max(Nanoseconds(newTime), Nanoseconds(curTime)) + 2 * tick;
}

bool Matches(const Listed &e, const FileStamp &stamp)
{
    return e.statted ? e.stamp == stamp : e.stamp.inode == stamp.inode;
}

namespace {

// Calls `visit(cur, name, status, statted)` for every message file of new/
// and cur/: regular files only, as they stand now. A folder not made yet has
// none; one that cannot be read is a failure, never "empty". A file the
// folder says is regular is not looked at when `known(cur, name, inode, st)`
// gives its status, or when its status is not asked for (`withStatus`
// false): then `st` holds only its inode (`statted` false).
template <class Known, class Visit>
void ForEachMessageFile(const std::string &root, bool withStatus, Known &&known, Visit &&visit)
{
    for (const bool cur : {false, true}) {
        const std::string folder = root + (cur ? "/cur" : "/new");
        DIR *dir = OpenFolder(folder);
        if (dir == nullptr) {
            if (errno == ENOENT)
                continue;
            Fail(MAPI_E_FAILURE);
        }
        const int dirFd = dirfd(dir);
        try {
            while (const dirent *d = readdir(dir)) {
                const std::string_view name = d->d_name;
                if (name.empty() || name[0] == '.' || name.size() > 0xFFFF)
                    continue;
                if (d->d_type != DT_REG && d->d_type != DT_UNKNOWN)
                    continue; // a folder, a FIFO, a device, a link: not a message
                struct stat st {};
                if (d->d_type == DT_REG) {
                    if (known(cur, name, d->d_ino, st)) {
                        visit(cur, name, st, true);
                        continue;
                    }
                    if (!withStatus) {
                        st.st_ino = d->d_ino;
                        visit(cur, name, st, false);
                        continue;
                    }
                }
                if (fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
                    continue; // gone since readdir, or not a message
                visit(cur, name, st, true);
            }
        } catch (...) {
            closedir(dir);
            throw;
        }
        closedir(dir);
    }
}

// Adds a file to a listing being made (sorted later).
void AddListed(Listing &fresh, bool cur, std::string_view name, const struct stat &st, bool statted)
{
    Listed e;
    e.name = static_cast<std::uint32_t>(fresh.names.size());
    e.nameLength = static_cast<std::uint16_t>(name.size());
    fresh.names.append(name);
    const std::string id = IdOfName(name);
    if (name.compare(0, id.size(), id) == 0) {
        e.id = e.name;
    } else {
        e.id = static_cast<std::uint32_t>(fresh.names.size());
        fresh.names.append(id);
    }
    e.idLength = static_cast<std::uint16_t>(id.size());
    e.inCur = cur;
    e.seen = SeenIn(cur, name);
    e.revision = RevisionOf(name);
    e.stamp = FileStamp::Of(st);
    e.statted = statted;
    fresh.byId.push_back(e);
}

// Sorts a listing by identifier; of an identifier caught twice (mid-move,
// mid-save) only the newest revision stays.
void SortListing(Listing &fresh)
{
    const auto before = [&](const Listed &a, const Listed &b) {
        const std::string_view x = fresh.Id(a), y = fresh.Id(b);
        return x != y ? x < y : a.revision > b.revision;
    };
    if (!std::is_sorted(fresh.byId.begin(), fresh.byId.end(), before))
        std::sort(fresh.byId.begin(), fresh.byId.end(), before);
    const auto end = std::unique(fresh.byId.begin(), fresh.byId.end(),
                                 [&](const Listed &a, const Listed &b) { return fresh.Id(a) == fresh.Id(b); });
    fresh.twice = fresh.twice || end != fresh.byId.end();
    fresh.byId.erase(end, fresh.byId.end());
    fresh.byId.shrink_to_fit();
    fresh.names.shrink_to_fit();
}

bool SameFile(const Listed &a, const Listed &b, const Listing &ia, const Listing &ib)
{
    if (a.statted && b.statted ? a.stamp != b.stamp : a.stamp.inode != b.stamp.inode)
        return false;
    return a.inCur == b.inCur && ia.Name(a) == ib.Name(b);
}

// Lists new/ and cur/ into `fresh` (sorted by identifier; a message caught
// in both mid-move, or mid-save, counts once: its newest revision). The
// status of a file the old listing took is taken from it while the file
// keeps its name and inode: message files change by rename.
void ListInto(const std::string &root, bool withStatus, const Listing &old, Listing &fresh)
{
    const auto known = [&](bool cur, std::string_view name, std::uint64_t inode, struct stat &st) {
        if (old.byId.empty())
            return false;
        const Listed *e = Find(old, IdOfName(name));
        if (e == nullptr || !e->statted || e->stamp.inode != inode || e->inCur != cur || old.Name(*e) != name)
            return false;
        st.st_ino = inode;
        st.st_size = e->stamp.size;
        st.st_mtim.tv_sec = e->stamp.seconds;
        st.st_mtim.tv_nsec = e->stamp.nanoseconds;
        return true;
    };
    ForEachMessageFile(root, withStatus, known, [&](bool cur, std::string_view name, const struct stat &st, bool statted) {
        AddListed(fresh, cur, name, st, statted);
    });
    SortListing(fresh);
}

// Makes `byArrival` when every entry's status is known.
void SortByArrival(Listing &listing)
{
    listing.byArrival.clear();
    if (!listing.withStatus) {
        listing.byArrival.shrink_to_fit();
        return;
    }
    listing.byArrival.resize(listing.byId.size());
    for (size_t i = 0; i < listing.byArrival.size(); ++i)
        listing.byArrival[i] = static_cast<std::uint32_t>(i);
    std::sort(listing.byArrival.begin(), listing.byArrival.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Listed &x = listing.byId[a], &y = listing.byId[b];
        if (x.stamp.seconds != y.stamp.seconds)
            return x.stamp.seconds < y.stamp.seconds;
        return x.stamp.nanoseconds != y.stamp.nanoseconds ? x.stamp.nanoseconds < y.stamp.nanoseconds
                                                          : listing.Id(x) < listing.Id(y);
    });
    listing.byArrival.shrink_to_fit();
}


// Lists the folder again into `index`, keeping what is known of files that
// have not changed (their class) and where vanished ones stood.
void Relist(Index &index, const std::string &root, bool withStatus)
{
    Listing fresh;
    ListInto(root, withStatus, index.listing, fresh);
    index.ahead.envelopes.clear();
    index.ahead.at = 0;
    Drop(index.ahead.coming);
    index.walk.lastFound = SIZE_MAX;
    if (index.walk.gone.size() > 100000)
        index.walk.gone.clear();
    size_t j = 0;
    for (const Listed &old : index.listing.byId) {
        const std::string_view id = index.listing.Id(old);
        while (j < fresh.byId.size() && fresh.Id(fresh.byId[j]) < id)
            ++j;
        if (j < fresh.byId.size() && fresh.Id(fresh.byId[j]) == id) {
            if (SameFile(old, fresh.byId[j], index.listing, fresh))
                fresh.byId[j].cls = old.cls;
        } else {
            index.walk.gone.insert_or_assign(std::string(id), std::pair<std::int64_t, long>{old.stamp.seconds, old.stamp.nanoseconds});
        }
    }
    index.listing.names = std::move(fresh.names);
    index.listing.byId = std::move(fresh.byId);
    index.listing.twice = fresh.twice;
    index.cache.classesLoaded = false;
    index.cache.pruned = false;
    index.listing.withStatus = withStatus;
    SortByArrival(index.listing);
}

bool AllStatted(const Listing &listing)
{
    return std::all_of(listing.byId.begin(), listing.byId.end(), [](const Listed &e) { return e.statted; });
}

// ---- The listing kept with the cache --------------------------------------
//
// A listing is kept when it may be trusted to see every later change by its
// folders' times (see TrustedFrom); a later process whose folders show the
// same inodes and times takes it instead of listing them. Encoded in the
// host's byte order, under a mark that tells another: a cache folder shared
// with another kind of host is only listed afresh.

constexpr std::uint32_t kListingMark = 0x4B4C4C31; // "KLL1"

std::string StampsOf(const struct stat &newStat, const struct stat &curStat)
{
    std::string out;
    Pack(out, kListingMark);
    for (const struct stat *st : {&newStat, &curStat}) {
        Pack(out, static_cast<std::uint64_t>(st->st_ino));
        Pack(out, static_cast<std::int64_t>(st->st_mtim.tv_sec));
        Pack(out, static_cast<std::int64_t>(st->st_mtim.tv_nsec));
    }
    return out;
}

std::string FilesOf(const Listing &listing)
{
    std::string out;
    out.reserve(16 + listing.byId.size() * 32 + listing.names.size());
    Pack(out, kListingMark);
    Pack(out, static_cast<std::uint64_t>(listing.byId.size()));
    Pack(out, static_cast<std::uint8_t>(listing.twice));
    for (const Listed &e : listing.byId) {
        Pack(out, static_cast<std::uint8_t>((e.inCur ? 1 : 0) | (e.statted ? 2 : 0)));
        Pack(out, e.nameLength);
        out.append(listing.Name(e));
        Pack(out, e.stamp.inode);
        if (e.statted) {
            Pack(out, e.stamp.size);
            Pack(out, e.stamp.seconds);
            Pack(out, e.stamp.nanoseconds);
        }
    }
    return out;
}

// Reads a kept listing into `fresh`; false when it is not one this library
// wrote on such a host.
bool ReadFiles(std::string_view in, Listing &fresh)
{
    std::uint32_t mark = 0;
    std::uint64_t count = 0;
    std::uint8_t twice = 0;
    if (!Unpack(in, mark) || mark != kListingMark || !Unpack(in, count) || count > in.size() || !Unpack(in, twice))
        return false;
    fresh.twice = twice != 0;
    fresh.byId.reserve(count);
    fresh.names.reserve(in.size());
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint8_t flags = 0;
        std::uint16_t length = 0;
        if (!Unpack(in, flags) || !Unpack(in, length) || in.size() < length)
            return false;
        const std::string_view name = in.substr(0, length);
        in.remove_prefix(length);
        struct stat st {};
        std::uint64_t inode = 0;
        std::int64_t size = 0, time = 0;
        std::int32_t nanoseconds = 0;
        if (!Unpack(in, inode) || ((flags & 2) && (!Unpack(in, size) || !Unpack(in, time) || !Unpack(in, nanoseconds))))
            return false;
        st.st_ino = inode;
        st.st_size = size;
        st.st_mtim.tv_sec = time;
        st.st_mtim.tv_nsec = nanoseconds;
        AddListed(fresh, flags & 1, name, st, flags & 2);
    }
    SortListing(fresh);
    return in.empty();
}

// Takes the listing kept with the cache: as the folder's listing when the
// folders are as they were when it was made (true), else as the old
// listing a new one takes what it can of.
bool TakeKept(Index &index, EnvelopeCache &cache, const struct stat &newStat, const struct stat &curStat)
{
    std::optional<EnvelopeCache::Listing> kept = cache.KeptListing();
    Listing fresh;
    if (!kept || !ReadFiles(kept->files, fresh))
        return false;
    index.listing.names = std::move(fresh.names);
    index.listing.byId = std::move(fresh.byId);
    index.listing.twice = fresh.twice;
    return kept->stamps == StampsOf(newStat, curStat) &&
           Now() >= TrustedFrom(newStat.st_mtim, curStat.st_mtim);
}

} // namespace

void TakeFromCache(Index &index, EnvelopeCache &cache)
{
    index.cache.classesLoaded = true;
    size_t i = 0;
    cache.Classes([&](const FileKey &key, std::string_view cls) {
        while (i < index.listing.byId.size() && index.listing.Id(index.listing.byId[i]) < key.id)
            ++i;
        if (i == index.listing.byId.size())
            return;
        Listed &e = index.listing.byId[i];
        if (e.stamp.inode != key.stamp.inode || index.listing.Id(e) != key.id || index.listing.Name(e) != key.name)
            return;
        if (!e.statted) {
            e.stamp = key.stamp;
            e.statted = true;
        }
        if (e.cls == 0 && Matches(e, key.stamp))
            e.cls = ClassNumber(index.listing, cls);
    });
}

const std::shared_ptr<EnvelopeCache> &CacheOf(Index &index, const std::string &root, const std::string &cacheFolder)
{
    if (!index.cache.opened || index.cache.folder != cacheFolder) {
        if (index.cache.store)
            index.cache.store->Flush();
        index.cache.store = cacheFolder.empty() ? nullptr : std::shared_ptr<EnvelopeCache>(EnvelopeCache::Open(cacheFolder, root));
        index.cache.folder = cacheFolder;
        index.cache.opened = true;
        index.cache.classesLoaded = false;
    }
    return index.cache.store;
}

// The files of new/ and cur/ (sorted by identifier, the newest revision of
// an identifier first), read afresh. For rewrites; walks use ListInto.
std::vector<StoredFile> ListFiles(const std::string &root)
{
    std::vector<StoredFile> entries;
    const auto unknown = [](bool, std::string_view, std::uint64_t, struct stat &) { return false; };
    ForEachMessageFile(root, true, unknown, [&](bool cur, std::string_view name, const struct stat &st, bool) {
        StoredFile entry;
        entry.id = IdOfName(name);
        entry.path = root + (cur ? "/cur/" : "/new/");
        entry.path += name;
        entry.seen = SeenIn(cur, name);
        entry.revision = RevisionOf(name);
        entry.TakeStatus(st);
        entry.current = true;
        entries.push_back(std::move(entry));
    });
    std::sort(entries.begin(), entries.end(), [](const StoredFile &a, const StoredFile &b) {
        return a.id != b.id ? a.id < b.id : a.revision > b.revision;
    });
    return entries;
}

std::string PathOf(const Listing &listing, const std::string &root, const Listed &e)
{
    std::string path = root + (e.inCur ? "/cur/" : "/new/");
    path += listing.Name(e);
    return path;
}

// The status of a listed message's file as it is now (through its folder's
// kept descriptor); false when it is not a regular file there any more.
bool StatusOf(const Listing &listing, const std::string &root, const Listed &e, struct stat &st)
{
    const int fd = listing.folderFds[e.inCur ? 1 : 0];
    const std::string name(listing.Name(e));
    const int rc = fd >= 0 ? fstatat(fd, name.c_str(), &st, 0)
                           : stat(PathOf(listing, root, e).c_str(), &st);
    return rc == 0 && S_ISREG(st.st_mode);
}

// A listed message for a caller. When the listing did not take its status,
// it is taken now, through the folder's kept descriptor: the one look at the
// file that a read or a save makes before opening it.
StoredFile EntryOf(const Listing &listing, const std::string &root, const Listed &e, bool look)
{
    StoredFile entry;
    entry.id = listing.Id(e);
    entry.path = PathOf(listing, root, e);
    entry.seen = e.seen;
    entry.stamp = e.stamp;
    entry.revision = e.revision;
    if (!e.statted && look) {
        struct stat st {};
        if (StatusOf(listing, root, e, st)) {
            entry.TakeStatus(st);
            entry.current = true;
        }
    }
    return entry;
}

// The status of a folder through a descriptor kept open for it; opened
// again when the folder was removed (and maybe made anew) meanwhile.
void FolderStat(int &fd, const std::string &root, const char *sub, struct stat &st)
{
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink > 0)
        return;
    if (fd >= 0)
        close(fd);
    fd = open((root + sub).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0)
        st = {};
}

Index &Fresh(const std::string &root, const std::string &cacheFolder, bool withStatus, bool distrustRecent)
{
    Index &index = AllIndexes().folders[root];
    struct stat newStat {}, curStat {};
    FolderStat(index.listing.folderFds[0], root, "/new", newStat);
    FolderStat(index.listing.folderFds[1], root, "/cur", curStat);
    index.listing.checkedAt = Now();
    bool unchanged = index.listing.listed && SameTime(index.listing.newTime, newStat.st_mtim) &&
                     SameTime(index.listing.curTime, curStat.st_mtim) && index.listing.newInode == newStat.st_ino &&
                     index.listing.curInode == curStat.st_ino;
    const std::shared_ptr<EnvelopeCache> cache = index.listing.listed ? nullptr : CacheOf(index, root, cacheFolder);
    if (!index.listing.listed && cache && TakeKept(index, *cache, newStat, curStat)) {
        // The folders are as they were when the kept listing was made.
        index.listing.listed = unchanged = true;
        index.listing.recheckAt = 0;
        index.listing.withStatus = false;
        index.listing.newTime = newStat.st_mtim;
        index.listing.curTime = curStat.st_mtim;
        index.listing.newInode = newStat.st_ino;
        index.listing.curInode = curStat.st_ino;
    }
    // Arrival order wants every file's status: what the cache knows of
    // files the listing did not look at is taken first.
    if (withStatus && !index.listing.withStatus && !AllStatted(index.listing))
        if (const std::shared_ptr<EnvelopeCache> known = CacheOf(index, root, cacheFolder))
            TakeFromCache(index, *known);
    if (unchanged && (index.listing.recheckAt == 0 || (!distrustRecent && Now() < index.listing.recheckAt))) {
        if (index.listing.withStatus || !withStatus)
            return index;
        if (AllStatted(index.listing)) {
            index.listing.withStatus = true;
            SortByArrival(index.listing);
            return index;
        }
    }
    // Listed again only because it is recent, a listing keeps the files'
    // status it had: where vanished messages stood in arrival order is
    // known by it.
    const std::int64_t listedAt = Now();
    Relist(index, root, withStatus || (unchanged && index.listing.withStatus));
    index.listing.listed = true;
    index.listing.newTime = newStat.st_mtim;
    index.listing.curTime = curStat.st_mtim;
    index.listing.newInode = newStat.st_ino;
    index.listing.curInode = curStat.st_ino;
    const std::int64_t trustedFrom = TrustedFrom(index.listing.newTime, index.listing.curTime);
    index.listing.recheckAt = listedAt < trustedFrom ? trustedFrom : 0;
    // Kept for the next process, when it may be trusted.
    if (index.listing.recheckAt == 0)
        if (const std::shared_ptr<EnvelopeCache> kept = CacheOf(index, root, cacheFolder))
            kept->KeepListing({StampsOf(newStat, curStat), FilesOf(index.listing)});
    return index;
}

const Listed *Find(const Listing &listing, std::string_view id)
{
    const auto it = std::lower_bound(listing.byId.begin(), listing.byId.end(), id,
                                     [&](const Listed &e, std::string_view key) { return listing.Id(e) < key; });
    return it != listing.byId.end() && listing.Id(*it) == id ? &*it : nullptr;
}

const Listed *Lookup(const Index &index, std::string_view id)
{
    // A walk asks for the message its last step found.
    const Listing &listing = index.listing;
    const size_t last = index.walk.lastFound;
    if (last < listing.byId.size() && listing.Id(listing.byId[last]) == id)
        return &listing.byId[last];
    return Find(listing, id);
}

} // namespace kelvra_provider::maildir
