#include "Maildir.h"

#include "Common.h"

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
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

namespace kmp {

void (*g_rewriteHook)(const std::string &) = nullptr;
int (*g_fsync)(int) = &fsync;

namespace {

// A message's header block is read up to this size for its class; a longer
// one (no blank line in sight) counts as ordinary mail.
constexpr size_t kHeaderLimit = 256 * 1024;

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

// The cached listing of one folder, refreshed when new/ or cur/ changed.
struct Index {
    timespec newTime{};
    timespec curTime{};
    bool listed = false;
    // A listing made within the folders' timestamp granularity of their last
    // change cannot tell a later change in the same tick: it is made again
    // once that tick has passed (at `recheckAt`, nanoseconds of real time).
    std::int64_t recheckAt = 0;
    int folderFds[2] = {-1, -1}; // new/ and cur/, kept open: fstat is cheaper than a path lookup
    std::vector<MaildirEntry> byId;   // sorted by identifier
    std::vector<size_t> byArrival;    // positions in byId, by (time, id)
    struct Class {
        std::string path; // the file it was read from, as named then
        std::int64_t size;
        std::int64_t time;
        long nanoseconds;
        std::uint64_t inode;
        std::string value;
    };
    std::map<std::string, Class, std::less<>> classes; // by identifier
    // Where messages that have gone since stood in arrival order, so that a
    // walk seeded with one goes on from there.
    std::map<std::string, std::pair<std::int64_t, long>> gone;
};

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
std::int64_t SecondsOf(const std::string &id)
{
    std::int64_t seconds = 0;
    for (char c : id) {
        if (c < '0' || c > '9' || seconds > (INT64_MAX - 9) / 10)
            break;
        seconds = seconds * 10 + (c - '0');
    }
    return seconds;
}

bool ById(const MaildirEntry &a, const MaildirEntry &b) { return a.id < b.id; }

// The files of new/ and cur/ (sorted by identifier, the newest revision of
// an identifier first), read afresh.
std::vector<MaildirEntry> ListFiles(const std::string &root)
{
    std::vector<MaildirEntry> entries;
    for (const char *sub : {"new", "cur"}) {
        const std::string folder = root + "/" + sub;
        DIR *dir = opendir(folder.c_str());
        if (dir == nullptr) {
            if (errno == ENOENT)
                continue; // not made yet: nothing in it
            Fail(MAPI_E_FAILURE); // there, but cannot be read: never "empty"
        }
        const int dirFd = dirfd(dir);
        while (const dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name.empty() || name[0] == '.')
                continue;
            MaildirEntry entry;
            entry.id = IdOf(name);
            entry.path = folder + "/" + name;
            entry.seen = std::strcmp(sub, "cur") == 0 && FlagsOf(name).find('S') != std::string::npos;
            entry.revision = RevisionOf(name);
            struct stat st {};
            if (fstatat(dirFd, name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode))
                continue; // gone since readdir, or not a message
            entry.time = st.st_mtim.tv_sec;
            entry.nanoseconds = st.st_mtim.tv_nsec;
            entry.size = st.st_size;
            entry.inode = st.st_ino;
            entries.push_back(std::move(entry));
        }
        closedir(dir);
    }
    std::sort(entries.begin(), entries.end(), [](const MaildirEntry &a, const MaildirEntry &b) {
        return a.id != b.id ? a.id < b.id : a.revision > b.revision;
    });
    return entries;
}

} // namespace

std::string Subfolder(const std::string &root, const std::string &name)
{
    return root + "/." + name;
}

std::string MessageClassOfHeader(std::string_view header)
{
    std::string value;
    bool inClass = false, found = false;
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find('\n', start);
        if (end == std::string_view::npos)
            end = header.size();
        std::string_view line = header.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            break;
        if (line[0] == ' ' || line[0] == '\t') {
            const size_t text = line.find_first_not_of(" \t");
            if (inClass && text != std::string_view::npos) {
                value += ' ';
                value.append(line.substr(text));
            }
            continue;
        }
        // The first X-Message-Class header counts.
        inClass = !found && StartsWithText(line, "X-Message-Class:");
        if (inClass) {
            found = true;
            value.assign(line.substr(16));
        }
    }
    const size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const size_t last = value.find_last_not_of(" \t");
    return value.substr(first, last - first + 1);
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
    return Deliver(
        [&](int fd) {
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    Fail(n < 0 && (errno == ENOSPC || errno == EDQUOT) ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
                done += static_cast<size_t>(n);
            }
        },
        seen);
}

std::string Maildir::Deliver(const MessageWriter &write, bool seen)
{
    const std::string temporary = WriteTemporary(write);
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

std::vector<MaildirEntry> Maildir::Scan()
{
    std::vector<MaildirEntry> entries = ListFiles(root_);
    // A message caught in both new/ and cur/ mid-move counts once, and so
    // does one caught mid-save: its newest revision.
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const MaildirEntry &a, const MaildirEntry &b) { return a.id == b.id; }),
                  entries.end());
    return entries;
}

namespace {

// The status of a folder through a descriptor kept open for it; opened
// again when the folder was removed (and maybe made anew) meanwhile.
void FolderStat(int &fd, const std::string &path, struct stat &st)
{
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink > 0)
        return;
    if (fd >= 0)
        close(fd);
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0)
        st = {};
}

// The index of a folder, fresh as of now. Called with the lock held.
Index &Fresh(Maildir &maildir, const std::string &root, std::vector<MaildirEntry> (Maildir::*scan)())
{
    Index &index = AllIndexes().folders[root];
    struct stat newStat {}, curStat {};
    FolderStat(index.folderFds[0], root + "/new", newStat);
    FolderStat(index.folderFds[1], root + "/cur", curStat);
    if (index.listed && SameTime(index.newTime, newStat.st_mtim) && SameTime(index.curTime, curStat.st_mtim) &&
        (index.recheckAt == 0 || Now() < index.recheckAt))
        return index;
    const std::int64_t listedAt = Now();
    std::vector<MaildirEntry> fresh = (maildir.*scan)();
    index.listed = true;
    index.newTime = newStat.st_mtim;
    index.curTime = curStat.st_mtim;
    const std::int64_t trustedFrom = TrustedFrom(index.newTime, index.curTime);
    index.recheckAt = listedAt < trustedFrom ? trustedFrom : 0;
    if (index.gone.size() > 100000)
        index.gone.clear();
    for (const MaildirEntry &old : index.byId)
        if (!std::binary_search(fresh.begin(), fresh.end(), old, ById))
            index.gone[old.id] = {old.time, old.nanoseconds};
    index.byId = std::move(fresh);
    index.byArrival.resize(index.byId.size());
    for (size_t i = 0; i < index.byArrival.size(); ++i)
        index.byArrival[i] = i;
    std::sort(index.byArrival.begin(), index.byArrival.end(), [&](size_t a, size_t b) {
        const MaildirEntry &x = index.byId[a], &y = index.byId[b];
        if (x.time != y.time)
            return x.time < y.time;
        return x.nanoseconds != y.nanoseconds ? x.nanoseconds < y.nanoseconds : x.id < y.id;
    });
    return index;
}

const MaildirEntry *Lookup(const Index &index, const std::string &id)
{
    const auto it = std::lower_bound(index.byId.begin(), index.byId.end(), id,
                                     [](const MaildirEntry &e, const std::string &key) { return e.id < key; });
    return it != index.byId.end() && it->id == id ? &*it : nullptr;
}

} // namespace

std::optional<MaildirEntry> Maildir::Find(const std::string &id)
{
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    const Index &index = Fresh(*this, root_, &Maildir::Scan);
    const MaildirEntry *entry = Lookup(index, id);
    if (entry == nullptr)
        return std::nullopt;
    return *entry;
}

std::string Maildir::Next(const std::string &seed, bool fifo,
                          bool (*accept)(Maildir &, const MaildirEntry &, const void *), const void *context)
{
    // One lock for the whole step: the filter's header reads are cached, so
    // on an unchanged folder a step is a lookup and a few comparisons.
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    const Index &index = Fresh(*this, root_, &Maildir::Scan);
    size_t position = 0;
    if (!seed.empty()) {
        if (!fifo) {
            position = static_cast<size_t>(
                std::upper_bound(index.byId.begin(), index.byId.end(), seed,
                                 [](const std::string &key, const MaildirEntry &e) { return key < e.id; }) -
                index.byId.begin());
        } else {
            // A vanished seed stands where it stood when last seen, or
            // else by the time its name begins with.
            const MaildirEntry *known = Lookup(index, seed);
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
            position = static_cast<size_t>(
                std::upper_bound(index.byArrival.begin(), index.byArrival.end(), 0,
                                 [&](int, size_t i) {
                                     const MaildirEntry &e = index.byId[i];
                                     if (time != e.time)
                                         return time < e.time;
                                     if (nanoseconds != e.nanoseconds)
                                         return nanoseconds < e.nanoseconds;
                                     return seed < e.id;
                                 }) -
                index.byArrival.begin());
        }
    }
    for (size_t i = position; i < index.byId.size(); ++i) {
        const MaildirEntry &e = index.byId[fifo ? index.byArrival[i] : i];
        if (accept == nullptr || accept(*this, e, context))
            return e.id;
    }
    return {};
}

void Maildir::MarkSeen(const MaildirEntry &entry)
{
    if (entry.seen)
        return;
    const std::string name = FileName(entry.path);
    std::string flags = FlagsOf(name) + "S";
    std::sort(flags.begin(), flags.end());
    const std::string target = root_ + "/cur/" + name.substr(0, name.find(':')) + ":2," + flags;
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    Index &index = AllIndexes().folders[root_];
    struct stat newBefore {}, curBefore {};
    FolderStat(index.folderFds[0], root_ + "/new", newBefore);
    FolderStat(index.folderFds[1], root_ + "/cur", curBefore);
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
    MaildirEntry *listed = const_cast<MaildirEntry *>(Lookup(index, entry.id));
    if (listed == nullptr)
        return;
    listed->path = target;
    listed->seen = true;
    struct stat newAfter {}, curAfter {};
    FolderStat(index.folderFds[0], root_ + "/new", newAfter);
    FolderStat(index.folderFds[1], root_ + "/cur", curAfter);
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

std::string Maildir::MessageClass(const MaildirEntry &entry)
{
    // Called from Next, with the index lock held.
    auto &classes = AllIndexes().folders[root_].classes;
    const auto it = classes.find(entry.id);
    if (it != classes.end() && it->second.size == entry.size && it->second.path == entry.path &&
        it->second.time == entry.time && it->second.nanoseconds == entry.nanoseconds &&
        it->second.inode == entry.inode)
        return it->second.value;
    // Only the header block is read, up to a bound: a message that cannot
    // be read or classified is ordinary mail, and the walk goes on.
    std::string header;
    const int fd = OpenRegular(entry.path);
    if (fd >= 0) {
        char buffer[16384];
        while (header.size() < kHeaderLimit) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            const size_t from = header.size() < 3 ? 0 : header.size() - 3;
            header.append(buffer, static_cast<size_t>(n));
            if (header.find("\n\n", from) != std::string::npos || header.find("\n\r\n", from) != std::string::npos)
                break;
        }
        close(fd);
    }
    std::string value = MessageClassOfHeader(header);
    classes[entry.id] = {entry.path, entry.size, entry.time, entry.nanoseconds, entry.inode, value};
    return value;
}

} // namespace kmp
