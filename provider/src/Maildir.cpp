#include "Maildir.h"

#include "Common.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

namespace kmp {

namespace {

// The identifier of a file name: the name without ":2,<flags>".
std::string IdOf(const std::string &name)
{
    return name.substr(0, name.find(':'));
}

std::string FlagsOf(const std::string &name)
{
    const size_t info = name.find(":2,");
    return info == std::string::npos ? std::string() : name.substr(info + 3);
}

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

void MakeFolder(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
}

// The cached listing of one folder, refreshed when new/ or cur/ changed.
struct Index {
    timespec newTime{};
    timespec curTime{};
    int folderFds[2] = {-1, -1}; // new/ and cur/, kept open: fstat is cheaper than a path lookup
    std::vector<MaildirEntry> byId;   // sorted by identifier
    std::vector<size_t> byArrival;    // positions in byId, by (time, id)
    struct Class {
        std::string path; // the file it was read from, as named then
        std::int64_t size;
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

// The leading seconds of a Maildir name, for placing a vanished seed.
std::int64_t SecondsOf(const std::string &id)
{
    std::int64_t seconds = 0;
    for (char c : id) {
        if (c < '0' || c > '9')
            break;
        seconds = seconds * 10 + (c - '0');
    }
    return seconds;
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

std::string Maildir::WriteTemporary(std::string_view bytes)
{
    const std::string path = root_ + "/tmp/" + UniqueName();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
    size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        unlink(path.c_str());
        Fail(error == ENOSPC || error == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
    }
    return path;
}

std::string Maildir::Deliver(std::string_view bytes, bool seen)
{
    const std::string temporary = WriteTemporary(bytes);
    const std::string name = temporary.substr(temporary.rfind('/') + 1);
    const std::string target = seen ? root_ + "/cur/" + name + ":2,S" : root_ + "/new/" + name;
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        Fail(MAPI_E_FAILURE);
    }
    return name;
}

std::vector<MaildirEntry> Maildir::Scan()
{
    std::vector<MaildirEntry> entries;
    for (const char *sub : {"new", "cur"}) {
        const std::string folder = root_ + "/" + sub;
        DIR *dir = opendir(folder.c_str());
        if (dir == nullptr)
            continue;
        while (const dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name.empty() || name[0] == '.')
                continue;
            MaildirEntry entry;
            entry.id = IdOf(name);
            entry.path = folder + "/" + name;
            entry.seen = std::strcmp(sub, "cur") == 0 && FlagsOf(name).find('S') != std::string::npos;
            struct stat st {};
            if (stat(entry.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue; // gone since readdir, or not a message
            entry.time = st.st_mtim.tv_sec;
            entry.nanoseconds = st.st_mtim.tv_nsec;
            entry.size = st.st_size;
            entries.push_back(std::move(entry));
        }
        closedir(dir);
    }
    std::sort(entries.begin(), entries.end(), [](const MaildirEntry &a, const MaildirEntry &b) { return a.id < b.id; });
    // A message caught in both new/ and cur/ mid-move counts once.
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
    if (SameTime(index.newTime, newStat.st_mtim) && SameTime(index.curTime, curStat.st_mtim) &&
        !(index.byId.empty() && index.newTime.tv_sec == 0))
        return index;
    index.newTime = newStat.st_mtim;
    index.curTime = curStat.st_mtim;
    std::vector<MaildirEntry> fresh = (maildir.*scan)();
    if (index.gone.size() > 100000)
        index.gone.clear();
    for (const MaildirEntry &old : index.byId)
        if (!std::binary_search(fresh.begin(), fresh.end(), old,
                                [](const MaildirEntry &a, const MaildirEntry &b) { return a.id < b.id; }))
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
    const std::string name = entry.path.substr(entry.path.rfind('/') + 1);
    std::string flags = FlagsOf(name) + "S";
    std::sort(flags.begin(), flags.end());
    const std::string target = root_ + "/cur/" + entry.id + ":2," + flags;
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    Index &index = AllIndexes().folders[root_];
    struct stat newBefore {}, curBefore {};
    FolderStat(index.folderFds[0], root_ + "/new", newBefore);
    FolderStat(index.folderFds[1], root_ + "/cur", curBefore);
    if (rename(entry.path.c_str(), target.c_str()) != 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    // When the index was current before this rename, it is kept current
    // (so that a walk that reads each message does not list the folder at
    // every step); otherwise the next use lists the folder again.
    if (!SameTime(index.newTime, newBefore.st_mtim) || !SameTime(index.curTime, curBefore.st_mtim))
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
}

void Maildir::Replace(const MaildirEntry &entry, std::string_view bytes)
{
    // The new content is complete on disk before it takes the old one's
    // place; if writing fails, the old message is untouched.
    const std::string temporary = WriteTemporary(bytes);
    if (rename(temporary.c_str(), entry.path.c_str()) != 0) {
        unlink(temporary.c_str());
        Fail(MAPI_E_FAILURE);
    }
}

bool Maildir::Remove(const std::string &id)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::optional<MaildirEntry> entry = Find(id);
        if (!entry)
            return false;
        if (unlink(entry->path.c_str()) == 0)
            return true;
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
    if (it != classes.end() && it->second.size == entry.size && it->second.path == entry.path)
        return it->second.value;
    // Only the header block is read, a line at a time.
    std::ifstream in(entry.path, std::ios::binary);
    std::string line, value;
    bool inClass = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        if (line[0] == ' ' || line[0] == '\t') {
            if (inClass) {
                value += ' ';
                value.append(line, line.find_first_not_of(" \t"));
            }
            continue;
        }
        inClass = StartsWithText(line, "X-Message-Class:");
        if (inClass)
            value = line.substr(16);
    }
    const size_t first = value.find_first_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    classes[entry.id] = {entry.path, entry.size, value};
    return value;
}

} // namespace kmp
