#include "maildir/Maildir.h"

#include "Common.h"
#include "Envelope.h"
#include "maildir/EnvelopeCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace kmp {

void (*g_rewriteHook)(const std::string &) = nullptr;
int (*g_fsync)(int) = &fsync;

namespace {

// Name fields that change with content, not identity: a save's revision,
// and the sizes some delivery agents note in the name.
bool IsVolatileField(std::string_view field)
{
    return field.size() >= 2 && field[1] == '=' && (field[0] == 'R' || field[0] == 'S' || field[0] == 'W');
}

// The identifier of a file name: the name without ":2,<flags>" and without
// its volatile fields.
std::string IdOf(std::string_view name)
{
    const std::string_view base = name.substr(0, name.find(':'));
    std::string id;
    size_t start = 0;
    for (bool first = true; start <= base.size(); first = false) {
        size_t comma = base.find(',', start);
        if (comma == std::string_view::npos)
            comma = base.size();
        const std::string_view field = base.substr(start, comma - start);
        if (first || !IsVolatileField(field)) {
            if (!first)
                id += ',';
            id += field;
        }
        start = comma + 1;
    }
    return id;
}

unsigned RevisionOf(std::string_view name)
{
    const std::string_view base = name.substr(0, name.find(':'));
    const size_t field = base.find(",R=");
    if (field == std::string_view::npos)
        return 0;
    unsigned revision = 0;
    for (size_t i = field + 3; i < base.size() && base[i] >= '0' && base[i] <= '9'; ++i)
        revision = revision * 10 + static_cast<unsigned>(base[i] - '0');
    return revision;
}

std::string FlagsOf(const std::string &name)
{
    const size_t info = name.find(":2,");
    return info == std::string::npos ? std::string() : name.substr(info + 3);
}

std::string FileName(const std::string &path) { return path.substr(path.rfind('/') + 1); }
std::string FolderOf(const std::string &path) { return path.substr(0, path.rfind('/')); }

std::string HostName()
{
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return "localhost";
    std::string out;
    for (const char *p = host; *p != '\0'; ++p) {
        if (*p == '/')
            out += "\\057";
        else if (*p == ':')
            out += "\\072";
        else if (*p == ',')
            out += "\\054";
        else
            out += *p;
    }
    return out;
}

// A name no other delivery on this host uses: seconds, microseconds,
// process and a per-process counter, then the host.
std::string UniqueName()
{
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    // Microseconds zero-padded, so that names sort in the order they were made.
    char micro[8];
    std::snprintf(micro, sizeof micro, "%06lld", static_cast<long long>(usec % 1000000));
    return std::to_string(usec / 1000000) + ".M" + micro + "P" + std::to_string(getpid()) + "Q" +
           std::to_string(++counter) + "." + HostName();
}

// The process that made a temporary file of our own naming on this host,
// or 0 when the name is not ours.
pid_t WriterOf(const std::string &name)
{
    const size_t m = name.find(".M"), p = name.find('P', m == std::string::npos ? 0 : m),
                 q = name.find('Q', p == std::string::npos ? 0 : p);
    if (m == std::string::npos || p == std::string::npos || q == std::string::npos || p + 1 >= q)
        return 0;
    const size_t dot = name.find('.', q);
    if (dot == std::string::npos || name.substr(dot + 1) != HostName())
        return 0;
    long pid = 0;
    for (size_t i = p + 1; i < q; ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > 10000000)
            return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return static_cast<pid_t>(pid);
}

void MakeFolder(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
}

// Makes a folder's entries durable: after a rename into it, the message
// survives a power cut.
void SyncFolder(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        Fail(MAPI_E_FAILURE);
    const int result = g_fsync(fd);
    close(fd);
    if (result != 0)
        Fail(MAPI_E_FAILURE);
}

// A listed message, small: a walk of a large folder keeps one per message.
// Its file name (and its identifier, when that is not a prefix of the name)
// lives in the listing's one block of names.
struct Listed {
    std::uint32_t name = 0;       // offset of the file name in Index::names
    std::uint32_t id = 0;         // offset of the identifier (== name when a prefix of it)
    std::uint16_t nameLength = 0;
    std::uint16_t idLength = 0;
    std::uint32_t revision = 0;
    std::int64_t time = 0;
    std::int64_t size = 0;
    std::uint64_t inode = 0;
    std::int32_t nanoseconds = 0;
    std::uint16_t cls = 0;        // 0: not known yet; else 1 + its place in Index::classes
    bool inCur = false;
    bool seen = false;
    // Whether time, size and nanoseconds were taken (a listing for arrival
    // order); else only the name and the inode the folder gives are known.
    bool statted = false;
};

struct Batch;
std::optional<Envelope> EnvelopeFromFile(const std::string &path, const FileKey &listedKey, EnvelopeCache *cache,
                                         struct stat *status);

// The cached listing of one folder, refreshed when new/ or cur/ changed.
struct Index {
    timespec newTime{};
    timespec curTime{};
    bool listed = false;
    bool withStatus = false; // every entry statted, and byArrival made
    // A listing made within the folders' timestamp granularity of their last
    // change cannot tell a later change in the same tick: it is made again
    // once that tick has passed (at `recheckAt`, nanoseconds of real time).
    std::int64_t recheckAt = 0;
    int folderFds[2] = {-1, -1}; // new/ and cur/, kept open: fstat is cheaper than a path lookup
    std::string names;
    std::vector<Listed> byId;           // sorted by identifier
    std::vector<std::uint32_t> byArrival; // positions in byId, by (time, id)
    // The distinct classes met, few in any mailbox.
    std::vector<std::string> classes;
    std::string unnumbered; // a class met when `classes` is full
    // Where messages that have gone since stood in arrival order, so that a
    // walk seeded with one goes on from there.
    std::map<std::string, std::pair<std::int64_t, long>, std::less<>> gone;
    // The persistent cache, opened on first use (null when off or unusable).
    std::string cacheFolder;
    bool cacheOpened = false;
    std::shared_ptr<EnvelopeCache> cache;
    bool cachedClassesLoaded = false; // for this listing
    // The envelope a walk's step read last for its class, for the read of
    // the same message that usually follows: the header is read once.
    struct Recent {
        std::string id, name;
        std::int64_t size = 0, time = 0;
        long nanoseconds = 0;
        std::uint64_t inode = 0;
        std::optional<Envelope> envelope;
    } recent;
    // Where in byId the last step of a walk stood.
    size_t lastFound = SIZE_MAX;
    // Envelopes read ahead of a walk, in the walk's order (see ReadAhead),
    // and where the next step's is.
    std::vector<Recent> ahead;
    size_t aheadAt = 0;
    // The stretch of the walk after `ahead`, being read meanwhile.
    std::unique_ptr<Batch> coming;

    std::string_view Name(const Listed &e) const { return {names.data() + e.name, e.nameLength}; }
    std::string_view Id(const Listed &e) const { return {names.data() + e.id, e.idLength}; }
};

// What a message file's header block tells, with the file's status as it
// was opened (no inode when it could not be read).
Index::Recent ReadKnown(const std::string &path, std::string_view id, std::string_view name)
{
    Index::Recent known;
    known.id = id;
    known.name = name;
    struct stat st {};
    known.envelope = EnvelopeFromFile(path, FileKey{}, nullptr, &st);
    known.size = st.st_size;
    known.time = st.st_mtim.tv_sec;
    known.nanoseconds = st.st_mtim.tv_nsec;
    known.inode = st.st_ino;
    return known;
}

// Keeps what was read of a file in the cache.
void KeepInCache(EnvelopeCache *cache, const Index::Recent &known)
{
    if (cache == nullptr || !known.envelope)
        return;
    FileKey key;
    key.id = known.id;
    key.name = known.name;
    key.size = known.size;
    key.time = known.time;
    key.nanoseconds = known.nanoseconds;
    key.inode = known.inode;
    cache->Store(key, *known.envelope);
}

// Message files read ahead of a walk: the envelopes of the messages of a
// stretch [from, to) of the walk (positions in byId, or in byArrival for
// arrival order) that nothing knew, read by a thread of their own while the
// walk goes on, and by the walk's thread when it needs them (each takes the
// next file to read). Only the files are touched meanwhile; what was read
// is taken under the index's lock. What the cache knew of the stretch is in
// `ahead` from the start.
struct Batch {
    struct Job {
        std::string path, id, name;
        Index::Recent known;
    };
    bool fifo = false;
    size_t from = 0, to = 0;
    std::vector<Job> jobs;
    std::vector<Index::Recent> ahead; // in the walk's order; the jobs' go where jobAt says
    std::vector<size_t> jobAt;
    std::atomic<size_t> next{0};
    std::thread reader;
    unsigned forks = ForkCount(); // of the process whose thread reads

    bool Covers(bool walkFifo, size_t at) const { return fifo == walkFifo && from <= at && at < to; }

    // Reads the files nobody has taken yet.
    void Work()
    {
        for (size_t k; (k = next.fetch_add(1)) < jobs.size();) {
            Job &job = jobs[k];
            try {
                job.known = ReadKnown(job.path, job.id, job.name);
            } catch (...) {
                job.known = {}; // not known: passed over
            }
        }
    }

    // A thread of its own for what there is to read; none to be had, the
    // walk's thread reads it all when it comes to it.
    void Start()
    {
        if (jobs.empty())
            return;
        try {
            const SignalsBlocked quiet;
            reader = std::thread([this] { Work(); });
        } catch (const std::system_error &) {
        }
    }

    // Reads what is left on this thread, then waits for the reader. False
    // in a child process, which has no reader: the batch must then be left
    // as it is (never destroyed), its files unread.
    bool Finish()
    {
        if (forks != ForkCount())
            return false;
        Work();
        if (reader.joinable())
            reader.join();
        return true;
    }
};

// Ends a batch that is no longer wanted.
void Drop(std::unique_ptr<Batch> &batch)
{
    if (batch && !batch->Finish())
        (void)batch.release(); // a parent's: its reader is not in this process
    batch.reset();
}

struct Indexes {
    std::mutex mutex;
    std::map<std::string, Index> folders;
};

// Never destroyed, like the provider's other tables.
Indexes &AllIndexes()
{
    static Indexes *indexes = new Indexes;
    return *indexes;
}

// A reader still at work when the library is unloaded or the process ends
// is waited for (unless another thread is inside the provider: then the
// process is ending under it anyway).
struct FinishReaders {
    ~FinishReaders()
    {
        std::unique_lock<std::mutex> lock(AllIndexes().mutex, std::try_to_lock);
        if (!lock.owns_lock())
            return;
        for (auto &[root, index] : AllIndexes().folders)
            Drop(index.coming);
    }
} g_finishReaders;

std::shared_ptr<EnvelopeCache> CacheOf(Index &index, const std::string &root, const std::string &cacheFolder)
{
    if (!index.cacheOpened || index.cacheFolder != cacheFolder) {
        if (index.cache)
            index.cache->Flush();
        index.cache = cacheFolder.empty() ? nullptr : std::shared_ptr<EnvelopeCache>(EnvelopeCache::Open(cacheFolder, root));
        index.cacheFolder = cacheFolder;
        index.cacheOpened = true;
        index.cachedClassesLoaded = false;
    }
    return index.cache;
}

std::uint16_t ClassNumber(Index &index, std::string_view cls)
{
    for (size_t i = 0; i < index.classes.size(); ++i)
        if (index.classes[i] == cls)
            return static_cast<std::uint16_t>(i + 1);
    if (index.classes.size() >= 0xFFFE)
        return 0; // so many distinct classes: they are not kept, only read again
    index.classes.emplace_back(cls);
    return static_cast<std::uint16_t>(index.classes.size());
}

bool SameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::int64_t Nanoseconds(const timespec &t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
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

// The leading seconds of a Maildir name, for placing a vanished seed.
std::int64_t SecondsOf(std::string_view id)
{
    std::int64_t seconds = 0;
    for (char c : id) {
        if (c < '0' || c > '9' || seconds > (INT64_MAX - 9) / 10)
            break;
        seconds = seconds * 10 + (c - '0');
    }
    return seconds;
}

// Calls `visit(cur, name, status, statted)` for every message file of new/
// and cur/: regular files only, as they stand now. A folder not made yet has
// none; one that cannot be read is a failure, never "empty". Without
// `withStatus`, a file the folder says is regular is not looked at: its
// status holds only its inode (`statted` false).
template <class Visit>
void ForEachMessageFile(const std::string &root, bool withStatus, Visit &&visit)
{
    for (const bool cur : {false, true}) {
        const std::string folder = root + (cur ? "/cur" : "/new");
        DIR *dir = opendir(folder.c_str());
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
                if (d->d_type != DT_REG && d->d_type != DT_UNKNOWN && d->d_type != DT_LNK)
                    continue; // a folder, a FIFO, a device: not a message
                struct stat st {};
                if (!withStatus && d->d_type == DT_REG) {
                    st.st_ino = d->d_ino;
                    visit(cur, name, st, false);
                    continue;
                }
                if (fstatat(dirFd, d->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
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

// The Maildir "S" flag: only a message in cur/ carries flags.
bool SeenIn(bool cur, std::string_view name)
{
    const size_t info = name.find(":2,");
    return cur && info != std::string_view::npos && name.find('S', info + 3) != std::string_view::npos;
}

// The files of new/ and cur/ (sorted by identifier, the newest revision of
// an identifier first), read afresh. For rewrites; walks use ListInto.
std::vector<MaildirEntry> ListFiles(const std::string &root)
{
    std::vector<MaildirEntry> entries;
    ForEachMessageFile(root, true, [&](bool cur, std::string_view name, const struct stat &st, bool) {
        MaildirEntry entry;
        entry.id = IdOf(name);
        entry.path = root + (cur ? "/cur/" : "/new/");
        entry.path += name;
        entry.seen = SeenIn(cur, name);
        entry.revision = RevisionOf(name);
        entry.time = st.st_mtim.tv_sec;
        entry.nanoseconds = st.st_mtim.tv_nsec;
        entry.size = st.st_size;
        entry.inode = st.st_ino;
        entry.current = true;
        entries.push_back(std::move(entry));
    });
    std::sort(entries.begin(), entries.end(), [](const MaildirEntry &a, const MaildirEntry &b) {
        return a.id != b.id ? a.id < b.id : a.revision > b.revision;
    });
    return entries;
}

// The same file under the same name, as far as both listings know it.
bool SameFile(const Listed &a, const Listed &b, const Index &ia, const Index &ib)
{
    if (a.statted && b.statted &&
        (a.size != b.size || a.time != b.time || a.nanoseconds != b.nanoseconds))
        return false;
    return a.inode == b.inode && a.inCur == b.inCur && ia.Name(a) == ib.Name(b);
}

// Lists new/ and cur/ into `fresh` (sorted by identifier; a message caught
// in both mid-move, or mid-save, counts once: its newest revision).
void ListInto(const std::string &root, bool withStatus, Index &fresh)
{
    ForEachMessageFile(root, withStatus, [&](bool cur, std::string_view name, const struct stat &st, bool statted) {
        Listed e;
        e.name = static_cast<std::uint32_t>(fresh.names.size());
        e.nameLength = static_cast<std::uint16_t>(name.size());
        fresh.names.append(name);
        const std::string id = IdOf(name);
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
        e.time = st.st_mtim.tv_sec;
        e.nanoseconds = static_cast<std::int32_t>(st.st_mtim.tv_nsec);
        e.size = st.st_size;
        e.inode = st.st_ino;
        e.statted = statted;
        fresh.byId.push_back(e);
    });
    std::sort(fresh.byId.begin(), fresh.byId.end(), [&](const Listed &a, const Listed &b) {
        const std::string_view x = fresh.Id(a), y = fresh.Id(b);
        return x != y ? x < y : a.revision > b.revision;
    });
    fresh.byId.erase(std::unique(fresh.byId.begin(), fresh.byId.end(),
                                 [&](const Listed &a, const Listed &b) { return fresh.Id(a) == fresh.Id(b); }),
                     fresh.byId.end());
    fresh.byId.shrink_to_fit();
    fresh.names.shrink_to_fit();
}

// The path of a listed message's file.
std::string PathOf(const Index &index, const std::string &root, const Listed &e)
{
    std::string path = root + (e.inCur ? "/cur/" : "/new/");
    path += index.Name(e);
    return path;
}

// The status of a listed message's file as it is now (through its folder's
// kept descriptor); false when it is not a regular file there any more.
bool StatusOf(const Index &index, const std::string &root, const Listed &e, struct stat &st)
{
    const int fd = index.folderFds[e.inCur ? 1 : 0];
    const std::string name(index.Name(e));
    const int rc = fd >= 0 ? fstatat(fd, name.c_str(), &st, 0)
                           : stat(PathOf(index, root, e).c_str(), &st);
    return rc == 0 && S_ISREG(st.st_mode);
}

// A listed message for a caller. When the listing did not take its status,
// it is taken now, through the folder's kept descriptor: the one look at the
// file that a read or a save makes before opening it.
MaildirEntry EntryOf(const Index &index, const std::string &root, const Listed &e)
{
    MaildirEntry entry;
    entry.id = index.Id(e);
    entry.path = PathOf(index, root, e);
    entry.seen = e.seen;
    entry.time = e.time;
    entry.nanoseconds = e.nanoseconds;
    entry.size = e.size;
    entry.inode = e.inode;
    entry.revision = e.revision;
    if (!e.statted) {
        struct stat st {};
        if (StatusOf(index, root, e, st)) {
            entry.time = st.st_mtim.tv_sec;
            entry.nanoseconds = st.st_mtim.tv_nsec;
            entry.size = st.st_size;
            entry.inode = st.st_ino;
            entry.current = true;
        }
    }
    return entry;
}

void WriteAll(int fd, std::string_view bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(n < 0 && (errno == ENOSPC || errno == EDQUOT) ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
        done += static_cast<size_t>(n);
    }
}

} // namespace

std::string Subfolder(const std::string &root, const std::string &name)
{
    return root + "/." + name;
}

void Maildir::Create() const
{
    // The parents too: a profile's mailbox may name a folder not made yet.
    for (size_t slash = root_.find('/', 1); slash != std::string::npos; slash = root_.find('/', slash + 1))
        if (mkdir(root_.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST)
            Fail(MAPI_E_FAILURE);
    MakeFolder(root_);
    for (const char *sub : {"/tmp", "/new", "/cur"})
        MakeFolder(root_ + sub);
}

void Maildir::CleanTemporary() const
{
    const std::string folder = root_ + "/tmp";
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    const std::time_t staleBefore = std::time(nullptr) - 36 * 3600;
    const int dirFd = dirfd(dir);
    while (const dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        struct stat st {};
        if (name.empty() || name[0] == '.' || fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        const pid_t writer = WriterOf(name);
        const bool orphan = writer > 0 && kill(writer, 0) != 0 && errno == ESRCH;
        if (st.st_mtime < staleBefore || orphan)
            unlinkat(dirFd, name.c_str(), 0);
    }
    closedir(dir);
}

std::string Maildir::WriteTemporary(const MessageWriter &write)
{
    const std::string path = root_ + "/tmp/" + UniqueName();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        Fail(errno == ENOSPC || errno == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
    try {
        write(fd);
        if (g_fsync(fd) != 0)
            Fail(errno == ENOSPC || errno == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
        if (close(fd) != 0)
            Fail(errno == ENOSPC || errno == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
    } catch (...) {
        close(fd);
        unlink(path.c_str());
        throw;
    }
    return path;
}

std::string Maildir::Deliver(std::string_view bytes, bool seen)
{
    return Deliver([&](int fd) { WriteAll(fd, bytes); }, seen);
}

std::string Maildir::Deliver(const MessageWriter &write, bool seen)
{
    return Place(WriteTemporary(write), seen);
}

std::string Maildir::Stage(std::string_view bytes)
{
    return WriteTemporary([&](int fd) { WriteAll(fd, bytes); });
}

std::string Maildir::Place(const std::string &temporary, bool seen)
{
    const std::string name = FileName(temporary);
    const std::string folder = root_ + (seen ? "/cur" : "/new");
    const std::string target = folder + "/" + name + (seen ? ":2,S" : "");
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        Fail(MAPI_E_FAILURE);
    }
    SyncFolder(folder);
    return name;
}

namespace {

// The status of a folder through a descriptor kept open for it; opened
// again when the folder was removed (and maybe made anew) meanwhile.
void FolderStat(int &fd, const std::string &root, const char *sub, struct stat &st)
{
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink > 0)
        return;
    if (fd >= 0)
        close(fd);
    fd = open((root + sub).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0)
        st = {};
}

// Lists the folder again into `index`, keeping what is known of files that
// have not changed (their class) and where vanished ones stood.
void Relist(Index &index, const std::string &root, bool withStatus)
{
    Index fresh;
    ListInto(root, withStatus, fresh);
    index.ahead.clear();
    index.aheadAt = 0;
    Drop(index.coming);
    index.lastFound = SIZE_MAX;
    if (index.gone.size() > 100000)
        index.gone.clear();
    size_t j = 0;
    for (const Listed &old : index.byId) {
        const std::string_view id = index.Id(old);
        while (j < fresh.byId.size() && fresh.Id(fresh.byId[j]) < id)
            ++j;
        if (j < fresh.byId.size() && fresh.Id(fresh.byId[j]) == id) {
            if (SameFile(old, fresh.byId[j], index, fresh))
                fresh.byId[j].cls = old.cls;
        } else {
            index.gone.insert_or_assign(std::string(id), std::pair<std::int64_t, long>{old.time, old.nanoseconds});
        }
    }
    index.names = std::move(fresh.names);
    index.byId = std::move(fresh.byId);
    index.withStatus = withStatus;
    index.cachedClassesLoaded = false;
    index.byArrival.clear();
    if (!withStatus) {
        index.byArrival.shrink_to_fit();
        return;
    }
    index.byArrival.resize(index.byId.size());
    for (size_t i = 0; i < index.byArrival.size(); ++i)
        index.byArrival[i] = static_cast<std::uint32_t>(i);
    std::sort(index.byArrival.begin(), index.byArrival.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Listed &x = index.byId[a], &y = index.byId[b];
        if (x.time != y.time)
            return x.time < y.time;
        return x.nanoseconds != y.nanoseconds ? x.nanoseconds < y.nanoseconds : index.Id(x) < index.Id(y);
    });
    index.byArrival.shrink_to_fit();
}

// The index of a folder, fresh as of now; `withStatus` for arrival order.
// Called with the lock held.
Index &Fresh(const std::string &root, bool withStatus = false)
{
    Index &index = AllIndexes().folders[root];
    struct stat newStat {}, curStat {};
    FolderStat(index.folderFds[0], root, "/new", newStat);
    FolderStat(index.folderFds[1], root, "/cur", curStat);
    if (index.listed && SameTime(index.newTime, newStat.st_mtim) && SameTime(index.curTime, curStat.st_mtim) &&
        (index.recheckAt == 0 || Now() < index.recheckAt) && (index.withStatus || !withStatus))
        return index;
    const std::int64_t listedAt = Now();
    Relist(index, root, withStatus);
    index.listed = true;
    index.newTime = newStat.st_mtim;
    index.curTime = curStat.st_mtim;
    const std::int64_t trustedFrom = TrustedFrom(index.newTime, index.curTime);
    index.recheckAt = listedAt < trustedFrom ? trustedFrom : 0;
    return index;
}

const Listed *Lookup(const Index &index, std::string_view id)
{
    // A walk asks for the message its last step found.
    if (index.lastFound < index.byId.size() && index.Id(index.byId[index.lastFound]) == id)
        return &index.byId[index.lastFound];
    const auto it = std::lower_bound(index.byId.begin(), index.byId.end(), id,
                                     [&](const Listed &e, std::string_view key) { return index.Id(e) < key; });
    return it != index.byId.end() && index.Id(*it) == id ? &*it : nullptr;
}

// Takes the classes of unchanged files from the persistent cache, once per
// listing: one pass over both, in identifier order.
void LoadCachedClasses(Index &index, EnvelopeCache &cache)
{
    index.cachedClassesLoaded = true;
    size_t i = 0;
    cache.Classes([&](const FileKey &key, std::string_view cls) {
        while (i < index.byId.size() && index.Id(index.byId[i]) < key.id)
            ++i;
        if (i == index.byId.size())
            return;
        Listed &e = index.byId[i];
        if (e.cls == 0 && index.Id(e) == key.id && index.Name(e) == key.name && e.size == key.size &&
            e.time == key.time && e.nanoseconds == key.nanoseconds && e.inode == key.inode)
            e.cls = ClassNumber(index, cls);
    });
}

// Reads the header block of a file for its envelope, and keeps it in the
// cache under the key of the file as it was opened (its status taken before
// its content is read: a change after that shows as a different key).
// nullopt when it cannot be read (`status` then has no inode) or its header
// block is too long.
std::optional<Envelope> EnvelopeFromFile(const std::string &path, const FileKey &listedKey, EnvelopeCache *cache,
                                         struct stat *status)
{
    struct stat st {};
    const int fd = OpenRegular(path, &st, true);
    if (fd < 0) {
        *status = {};
        return std::nullopt;
    }
    const std::optional<std::string> header = ReadHeaderBlock(fd);
    close(fd);
    *status = st;
    if (!header)
        return std::nullopt;
    Envelope envelope = EnvelopeOfHeader(*header);
    if (cache != nullptr) {
        FileKey key = listedKey;
        key.size = st.st_size;
        key.time = st.st_mtim.tv_sec;
        key.nanoseconds = st.st_mtim.tv_nsec;
        key.inode = st.st_ino;
        cache->Store(key, envelope);
    }
    return envelope;
}

// Whether a file of this status is the one listed, as far as the listing
// knows it (by its inode alone when it took no status).
bool Matches(const Listed &e, std::uint64_t inode, std::int64_t size, std::int64_t time, long nanoseconds)
{
    return e.inode == inode && (!e.statted || (e.size == size && e.time == time && e.nanoseconds == nanoseconds));
}

// The cached entry of a listed message when it was read from the file
// listed, for the walk's class and the read that usually follows (which
// checks it against the file's status once more).
std::optional<CachedEnvelope> CachedFor(Index &index, const std::string &root, const Listed &e, EnvelopeCache &cache)
{
    std::optional<CachedEnvelope> cached = cache.Entry(index.Id(e));
    if (!cached || cached->name != index.Name(e))
        return std::nullopt;
    if (Matches(e, cached->inode, cached->size, cached->time, cached->nanoseconds))
        return cached;
    if (e.statted)
        return std::nullopt;
    // A folder may number its entries otherwise than their files: the file
    // itself decides.
    struct stat st {};
    if (StatusOf(index, root, e, st) && st.st_ino == cached->inode && st.st_size == cached->size &&
        st.st_mtim.tv_sec == cached->time && st.st_mtim.tv_nsec == cached->nanoseconds)
        return cached;
    return std::nullopt;
}

Index::Recent KnownFrom(const Index &index, const Listed &e, CachedEnvelope &&cached)
{
    return {std::string(index.Id(e)), std::move(cached.name), cached.size, cached.time, cached.nanoseconds,
            cached.inode, std::move(cached.envelope)};
}

// Takes what was read of a listed message: its class for the walk (kept
// for later walks when it was read from the file listed), and its envelope
// for the read that usually follows. No envelope: a header that could not
// be read or is too long, which is ordinary mail.
const std::string &Take(Index &index, Listed &e, Index::Recent &&known)
{
    index.unnumbered = known.envelope ? known.envelope->messageClass : std::string();
    if (known.inode != 0 && Matches(e, known.inode, known.size, known.time, known.nanoseconds))
        e.cls = ClassNumber(index, index.unnumbered);
    if (known.envelope)
        index.recent = std::move(known);
    return e.cls != 0 ? index.classes[e.cls - 1] : index.unnumbered;
}

// How far a walk reads message files ahead: at most this many files, among
// at most this many of the walk's next messages.
constexpr size_t kAheadFiles = 256, kAheadLooked = 1024;

// Plans the reading of the walk's stretch from `from` on: the messages
// nothing knows yet (the one at `from` always, when `firstUnknown`), at
// most kAheadFiles files among kAheadLooked messages; what the cache knows
// of them is taken from it now. Called with the lock held.
std::unique_ptr<Batch> Plan(Index &index, const std::string &root, EnvelopeCache *cache, bool fifo, size_t from,
                            bool firstUnknown)
{
    auto batch = std::make_unique<Batch>();
    batch->fifo = fifo;
    batch->from = from;
    size_t i = from;
    for (; i < index.byId.size() && batch->jobs.size() < kAheadFiles && i - from < kAheadLooked; ++i) {
        Listed &e = index.byId[fifo ? index.byArrival[i] : i];
        const bool unknown = firstUnknown && i == from;
        if (!unknown && e.cls != 0)
            continue;
        if (!unknown && cache != nullptr && !index.withStatus)
            if (std::optional<CachedEnvelope> cached = CachedFor(index, root, e, *cache)) {
                batch->ahead.push_back(KnownFrom(index, e, std::move(*cached)));
                continue;
            }
        Batch::Job job;
        job.path = PathOf(index, root, e);
        job.id = index.Id(e);
        job.name = index.Name(e);
        batch->jobs.push_back(std::move(job));
        batch->jobAt.push_back(batch->ahead.size());
        batch->ahead.emplace_back();
    }
    batch->to = i;
    return batch;
}

// Makes `index.ahead` the envelopes of the walk from `at` on, which the
// cache does not know: those of the stretch read meanwhile when the walk
// is in it, else read now on this thread and one more. The next stretch is
// then read by a thread of its own while the walk goes on, so that a walk
// of a folder no cache knows reads files while it shows messages. Every
// envelope is checked against its file once more by the read that takes
// it. Called with the lock held.
void ReadAhead(Index &index, const std::string &root, EnvelopeCache *cache, bool fifo, size_t at)
{
    std::unique_ptr<Batch> batch = std::move(index.coming);
    if (batch && !batch->Covers(fifo, at))
        Drop(batch);
    else if (batch && !batch->Finish())
        (void)batch.release(); // a parent's: its reader is not in this process
    if (!batch) {
        batch = Plan(index, root, cache, fifo, at, true);
        if (batch->jobs.size() > 1)
            batch->Start();
        batch->Finish();
    }
    for (size_t k = 0; k < batch->jobs.size(); ++k) {
        Index::Recent &known = batch->jobs[k].known;
        KeepInCache(cache, known);
        batch->ahead[batch->jobAt[k]] = std::move(known); // unknown ones (no inode) are passed over
    }
    index.ahead = std::move(batch->ahead);
    index.aheadAt = 0;
    // The next stretch, meanwhile.
    if (batch->to < index.byId.size()) {
        index.coming = Plan(index, root, cache, fifo, batch->to, false);
        index.coming->Start();
    }
}

// The class of the walk's listed message at `at` ("" for ordinary mail, and
// for one whose header cannot be read or is too long), from what is known,
// the cache or its header block. Called with the lock held.
const std::string &ClassOf(Index &index, const std::string &root, const std::string &cacheFolder, bool fifo, size_t at)
{
    Listed &e = index.byId[fifo ? index.byArrival[at] : at];
    if (e.cls != 0)
        return index.classes[e.cls - 1];
    const std::shared_ptr<EnvelopeCache> cache = CacheOf(index, root, cacheFolder);
    if (cache && index.withStatus && !index.cachedClassesLoaded) {
        // Arrival order: the classes of the whole listing in one pass.
        LoadCachedClasses(index, *cache);
        if (e.cls != 0)
            return index.classes[e.cls - 1];
    }
    // What was read ahead, looked for from where the last step's stood;
    // `tried` when its file was read and could not be.
    bool tried = false;
    auto ahead = [&]() -> std::optional<Index::Recent> {
        for (size_t k = index.aheadAt; k < index.ahead.size(); ++k) {
            Index::Recent &known = index.ahead[k];
            if (known.id != index.Id(e))
                continue;
            index.aheadAt = k + 1;
            tried = known.inode == 0;
            if (tried || known.name != index.Name(e))
                return std::nullopt;
            return std::move(known);
        }
        return std::nullopt;
    };
    if (std::optional<Index::Recent> known = ahead())
        return Take(index, e, std::move(*known));
    if (tried) {
        index.unnumbered.clear(); // unreadable: ordinary mail, and not known
        return index.unnumbered;
    }
    // Name order: the entries one by one, as the cache reads them ahead
    // (unless the stretch being read holds what the cache had of them).
    const bool coming = index.coming && index.coming->Covers(fifo, at);
    if (cache && !index.withStatus && !coming)
        if (std::optional<CachedEnvelope> cached = CachedFor(index, root, e, *cache))
            return Take(index, e, KnownFrom(index, e, std::move(*cached)));
    ReadAhead(index, root, cache.get(), fifo, at);
    if (std::optional<Index::Recent> known = ahead())
        return Take(index, e, std::move(*known));
    if (!tried) {
        // Not in the stretch read (its class was known when it was planned):
        // read on its own.
        Index::Recent known = ReadKnown(PathOf(index, root, e), index.Id(e), index.Name(e));
        KeepInCache(cache.get(), known);
        if (known.inode != 0)
            return Take(index, e, std::move(known));
    }
    index.unnumbered.clear(); // gone, or unreadable: not known
    return index.unnumbered;
}

} // namespace

std::optional<MaildirEntry> Maildir::Find(const std::string &id)
{
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    const Index &index = Fresh(root_);
    const Listed *entry = Lookup(index, id);
    if (entry == nullptr)
        return std::nullopt;
    return EntryOf(index, root_, *entry);
}

std::optional<MaildirEntry> Maildir::Known(const std::string &id)
{
    {
        std::lock_guard<std::mutex> lock(AllIndexes().mutex);
        const Index &index = AllIndexes().folders[root_];
        if (index.listed && (index.recheckAt == 0 || Now() < index.recheckAt)) {
            if (const Listed *entry = Lookup(index, id))
                return EntryOf(index, root_, *entry);
        }
    }
    return Find(id);
}

std::string Maildir::Next(const std::string &seed, bool fifo, const WalkFilter &filter)
{
    // One lock for the whole step: classes are kept per unchanged file, so
    // on an unchanged folder a step is a lookup and a few comparisons.
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    Index &index = Fresh(root_, fifo);
    size_t position = 0;
    if (!seed.empty()) {
        if (!fifo && index.lastFound < index.byId.size() && index.Id(index.byId[index.lastFound]) == seed) {
            position = index.lastFound + 1;
        } else if (!fifo) {
            position = static_cast<size_t>(
                std::upper_bound(index.byId.begin(), index.byId.end(), std::string_view(seed),
                                 [&](std::string_view key, const Listed &e) { return key < index.Id(e); }) -
                index.byId.begin());
        } else {
            // A vanished seed stands where it stood when last seen, or
            // else by the time its name begins with.
            const Listed *known = Lookup(index, seed);
            const auto gone = index.gone.find(seed);
            std::int64_t time = SecondsOf(seed);
            long nanoseconds = 0;
            if (known != nullptr) {
                time = known->time;
                nanoseconds = known->nanoseconds;
            } else if (gone != index.gone.end()) {
                time = gone->second.first;
                nanoseconds = gone->second.second;
            }
            const std::string_view key = seed;
            position = static_cast<size_t>(
                std::upper_bound(index.byArrival.begin(), index.byArrival.end(), 0,
                                 [&](int, std::uint32_t i) {
                                     const Listed &e = index.byId[i];
                                     if (time != e.time)
                                         return time < e.time;
                                     if (nanoseconds != e.nanoseconds)
                                         return nanoseconds < e.nanoseconds;
                                     return key < index.Id(e);
                                 }) -
                index.byArrival.begin());
        }
    }
    for (size_t i = position; i < index.byId.size(); ++i) {
        Listed &e = index.byId[fifo ? index.byArrival[i] : i];
        if (filter.unreadOnly && e.seen)
            continue;
        if (filter.matches != nullptr && !filter.matches(ClassOf(index, root_, cacheFolder_, fifo, i), filter.context))
            continue;
        index.lastFound = fifo ? index.byArrival[i] : i;
        return std::string(index.Id(e));
    }
    return {};
}

void Maildir::Remember(const MaildirEntry &entry, std::string_view name, const Envelope &envelope)
{
    // The class comes with it, for a later type-filtered walk, also when the
    // file changed in place since it was listed; a changed time is a new
    // place in arrival order.
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    Index &index = AllIndexes().folders[root_];
    Listed *listed = const_cast<Listed *>(Lookup(index, entry.id));
    if (listed == nullptr || index.Name(*listed) != name || listed->inode != entry.inode)
        return;
    listed->cls = ClassNumber(index, envelope.messageClass);
    if (listed->statted && !Matches(*listed, entry.inode, entry.size, entry.time, entry.nanoseconds)) {
        listed->size = entry.size;
        listed->time = entry.time;
        listed->nanoseconds = static_cast<std::int32_t>(entry.nanoseconds);
        index.withStatus = false; // arrival order is made again when asked for
    }
}

std::optional<Envelope> Maildir::ReadEnvelope(MaildirEntry &entry)
{
    const size_t slash = entry.path.rfind('/');
    const char *const name = entry.path.c_str() + slash + 1; // to the path's end
    const std::string_view folder(entry.path.data(), slash == std::string::npos ? 0 : slash);
    // The one look at the file itself: its status now is the cache's key.
    // Taken already when the entry was made in this call; else through the
    // folder's kept descriptor when it is one of the two.
    struct stat st {};
    std::shared_ptr<EnvelopeCache> cache;
    int rc = -1;
    if (entry.current) {
        st.st_mode = S_IFREG;
        st.st_ino = entry.inode;
        st.st_size = entry.size;
        st.st_mtim.tv_sec = entry.time;
        st.st_mtim.tv_nsec = entry.nanoseconds;
        rc = 0;
    }
    {
        std::lock_guard<std::mutex> lock(AllIndexes().mutex);
        Index &index = AllIndexes().folders[root_];
        cache = CacheOf(index, root_, cacheFolder_);
        int fd = -1;
        if (folder.size() == root_.size() + 4 && folder.substr(0, root_.size()) == root_) {
            const std::string_view sub = folder.substr(root_.size());
            fd = sub == "/new" ? index.folderFds[0] : sub == "/cur" ? index.folderFds[1] : -1;
        }
        if (rc != 0)
            rc = fd >= 0 ? fstatat(fd, name, &st, 0) : stat(entry.path.c_str(), &st);
        Index::Recent &recent = index.recent;
        if (rc == 0 && recent.envelope && recent.id == entry.id && recent.name == std::string_view(name) &&
            recent.size == st.st_size &&
            recent.time == st.st_mtim.tv_sec && recent.nanoseconds == st.st_mtim.tv_nsec && recent.inode == st.st_ino &&
            S_ISREG(st.st_mode)) {
            entry.size = st.st_size;
            entry.time = st.st_mtim.tv_sec;
            entry.nanoseconds = st.st_mtim.tv_nsec;
            entry.inode = st.st_ino;
            std::optional<Envelope> envelope = std::move(recent.envelope);
            recent = {};
            return envelope;
        }
    }
    if (rc != 0)
        Fail(errno == ENOENT || errno == ENOTDIR ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    if (!S_ISREG(st.st_mode))
        Fail(MAPI_E_FAILURE);
    entry.size = st.st_size;
    entry.time = st.st_mtim.tv_sec;
    entry.nanoseconds = st.st_mtim.tv_nsec;
    entry.inode = st.st_ino;
    FileKey key;
    key.id = entry.id;
    key.name = name;
    key.size = entry.size;
    key.time = entry.time;
    key.nanoseconds = entry.nanoseconds;
    key.inode = entry.inode;
    if (cache)
        if (std::optional<Envelope> cached = cache->Find(key)) {
            Remember(entry, name, *cached);
            return cached;
        }
    // The header is read outside the index's lock; the cache keeps its own.
    struct stat opened {};
    std::optional<Envelope> envelope = EnvelopeFromFile(entry.path, key, cache.get(), &opened);
    if (opened.st_ino == 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    entry.size = opened.st_size;
    entry.time = opened.st_mtim.tv_sec;
    entry.nanoseconds = opened.st_mtim.tv_nsec;
    entry.inode = opened.st_ino;
    if (envelope)
        Remember(entry, name, *envelope);
    return envelope;
}

void Maildir::FlushCaches()
{
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    for (auto &[root, index] : AllIndexes().folders)
        if (index.cache)
            index.cache->Flush();
}

void Maildir::MarkSeen(const MaildirEntry &entry)
{
    if (entry.seen)
        return;
    const std::string name = FileName(entry.path);
    std::string flags = FlagsOf(name) + "S";
    std::sort(flags.begin(), flags.end());
    const std::string newName = name.substr(0, name.find(':')) + ":2," + flags;
    const std::string target = root_ + "/cur/" + newName;
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    Index &index = AllIndexes().folders[root_];
    struct stat newBefore {}, curBefore {};
    FolderStat(index.folderFds[0], root_, "/new", newBefore);
    FolderStat(index.folderFds[1], root_, "/cur", curBefore);
    if (rename(entry.path.c_str(), target.c_str()) != 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    SyncFolder(root_ + "/cur");
    if (FolderOf(entry.path) != root_ + "/cur")
        SyncFolder(FolderOf(entry.path));
    // When the index was current before this rename, it is kept current
    // (so that a walk that reads each message does not list the folder at
    // every step); otherwise the next use lists the folder again.
    if (!index.listed || !SameTime(index.newTime, newBefore.st_mtim) || !SameTime(index.curTime, curBefore.st_mtim))
        return;
    Listed *listed = const_cast<Listed *>(Lookup(index, entry.id));
    if (listed == nullptr || newName.size() > 0xFFFF)
        return;
    // The class stays: a rename changes neither content nor inode.
    const bool idInName = listed->id == listed->name;
    listed->name = static_cast<std::uint32_t>(index.names.size());
    listed->nameLength = static_cast<std::uint16_t>(newName.size());
    index.names += newName;
    if (idInName)
        listed->id = listed->name;
    listed->inCur = true;
    listed->seen = true;
    struct stat newAfter {}, curAfter {};
    FolderStat(index.folderFds[0], root_, "/new", newAfter);
    FolderStat(index.folderFds[1], root_, "/cur", curAfter);
    index.newTime = newAfter.st_mtim;
    index.curTime = curAfter.st_mtim;
    // Another program's change in the same tick as this rename would not
    // show in the folders' times: list once more when the tick has passed.
    index.recheckAt = std::max(index.recheckAt, TrustedFrom(index.newTime, index.curTime));
}

void Maildir::Rewrite(const MaildirEntry &entry, const MessageWriter &write)
{
    // The new content is complete and durable under tmp/ before it takes
    // the old one's place; if writing fails, the old message is untouched.
    const std::string temporary = WriteTemporary(write);
    // It keeps the time the message arrived, and with it its place in
    // arrival order and its date received.
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(entry.time), entry.nanoseconds}};
    utimensat(AT_FDCWD, temporary.c_str(), times, 0);
    std::string placed = temporary; // where the new version is now
    auto giveUp = [&](ULONG code) {
        unlink(placed.c_str());
        Fail(code);
    };
    // Another program may rename the old file (a flag change) at any time
    // meanwhile: its flags are taken over and the old file is removed under
    // its new name, until exactly one file has the identifier.
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::vector<MaildirEntry> old;
        for (MaildirEntry &e : ListFiles(root_))
            if (e.id == entry.id && e.path != placed)
                old.push_back(std::move(e));
        if (old.empty())
            giveUp(MAPI_E_INVALID_MESSAGE); // deleted meanwhile: not brought back
        const MaildirEntry &current = old.front(); // the newest revision
        const std::string name = FileName(current.path);
        const size_t info = name.find(':');
        const std::string target = FolderOf(current.path) + "/" + entry.id + ",R=" +
                                   std::to_string(std::max(current.revision, entry.revision) + 1) +
                                   (info == std::string::npos ? std::string() : name.substr(info));
        if (target != placed) {
            if (rename(placed.c_str(), target.c_str()) != 0)
                giveUp(MAPI_E_FAILURE);
            placed = target;
        }
        if (g_rewriteHook != nullptr)
            g_rewriteHook(current.path);
        bool renamedMeanwhile = false;
        for (const MaildirEntry &e : old) {
            if (unlink(e.path.c_str()) == 0)
                continue;
            if (errno != ENOENT)
                giveUp(MAPI_E_FAILURE);
            renamedMeanwhile = true;
        }
        if (!renamedMeanwhile) {
            SyncFolder(FolderOf(placed));
            return;
        }
    }
    giveUp(MAPI_E_FAILURE);
}

bool Maildir::Remove(const std::string &id)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::optional<MaildirEntry> entry = Find(id);
        if (!entry)
            return false;
        if (unlink(entry->path.c_str()) == 0) {
            SyncFolder(FolderOf(entry->path));
            return true;
        }
        if (errno != ENOENT)
            Fail(MAPI_E_FAILURE);
        // Renamed under us (a flag change): look again.
    }
    return false;
}

} // namespace kmp
