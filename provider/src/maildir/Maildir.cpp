// The Maildir's writes: delivery, flags, saves over a message and removal,
// each durable when it returns.
#include "maildir/Maildir.h"

#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "maildir/Index.h"
#include "maildir/Names.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace kelvra_provider::maildir {


void (*g_rewriteHook)(const std::string &) = nullptr;
int (*g_fsync)(int) = &fsync;
long g_settled = 10;

namespace {

void MakeFolder(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
}

// Makes a folder's entries durable: after a rename into it, the message
// survives a power cut.
void SyncFolder(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        Fail(MAPI_E_FAILURE);
    const int result = g_fsync(fd);
    close(fd);
    if (result != 0)
        Fail(MAPI_E_FAILURE);
}

} // namespace

DIR *OpenFolder(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return dir;
}

std::string Subfolder(const std::string &root, const std::string &name)
{
    return root + "/." + name;
}

// A mailbox folder the provider may delete, move and write in: a folder of
// the user's own that nobody else can write to, and not a link (another
// user's folder or link would lead those deletes and moves to the user's
// other files). The mailbox itself may be the user's own link to a folder
// elsewhere; its tmp/, new/ and cur/ may not be links at all. A folder
// found otherwise is refused with a line in the log that says why.
void Trust(const std::string &path, bool ownLinkAllowed)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        Fail(MAPI_E_FAILURE);
    std::string why;
    if (S_ISLNK(st.st_mode) && (!ownLinkAllowed || st.st_uid != geteuid()))
        why = "is a link";
    else if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0)
        why = "is a link to nothing";
    else if (!S_ISDIR(st.st_mode))
        why = "is not a folder";
    else if (st.st_uid != geteuid())
        why = "belongs to another user";
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        why = "can be written by others (chmod go-w)";
    if (!why.empty()) {
        Refuse("the mailbox folder " + path + " " + why + "; it is not used", MAPI_E_LOGON_FAILURE);
    }
}

namespace {

// An entry of a folder that is a folder (not a link to one).
bool IsFolder(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A mailbox folder is made only where nothing stands: a folder that holds
// something else (mutt's mbox files, the user's documents) is never filled
// with tmp/, new/ and cur/, but refused and left as it is. A folder with
// cur/ or new/ is a Maildir (one kept in git lacks the empty tmp/).
void RefuseOtherFolder(const std::string &root)
{
    // The mailbox may be the user's link to a folder elsewhere (Trust).
    struct stat st {};
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || IsFolder(root + "/cur") || IsFolder(root + "/new"))
        return;
    DIR *dir = opendir(root.c_str());
    if (dir == nullptr)
        return; // Trust says what is wrong with it
    std::string first;
    size_t count = 0;
    while (const dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        ++count;
        if (first.empty() || name < first)
            first = name;
    }
    closedir(dir);
    if (count == 0)
        return;
    Refuse("the mailbox folder " + root + " is not a Maildir: it holds " + OneLine(first) +
               (count > 1 ? " and " + std::to_string(count - 1) + " other entries" : std::string()) +
               " but no cur/ or new/ (mbox files are not read); it is left as it is and not used",
           MAPI_E_LOGON_FAILURE);
}

} // namespace

void Maildir::Create() const
{
    // The parents too: a profile's mailbox may name a folder not made yet.
    for (size_t slash = root_.find('/', 1); slash != std::string::npos; slash = root_.find('/', slash + 1))
        if (mkdir(root_.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST)
            Fail(MAPI_E_FAILURE);
    MakeFolder(root_);
    Trust(root_, true);
    RefuseOtherFolder(root_);
    for (const char *sub : {"/tmp", "/new", "/cur"}) {
        MakeFolder(root_ + sub);
        Trust(root_ + sub, false);
    }
}

void Maildir::CleanTemporary() const
{
    const std::string folder = root_ + "/tmp";
    DIR *dir = OpenFolder(folder);
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

void Maildir::DropOldRevisions() const
{
    {
        // The folder's listing (kept with the cache when it is unchanged)
        // tells whether any identifier has a file beside its newest.
        std::lock_guard<std::mutex> lock(AllIndexes().mutex);
        if (!Fresh(root_, cacheFolder_).listing.twice)
            return;
    }
    const std::vector<StoredFile> files = ListFiles(root_); // by identifier, the newest revision first
    const std::time_t settledBefore = std::time(nullptr) - g_settled;
    bool dropped = false;
    for (size_t i = 0; i < files.size();) {
        size_t j = i + 1;
        while (j < files.size() && files[j].id == files[i].id)
            ++j;
        struct stat st {};
        const bool settled = j > i + 1 && stat(files[i].path.c_str(), &st) == 0 && st.st_ctime <= settledBefore;
        for (size_t k = i + 1; k < j && settled; ++k)
            if (files[k].revision < files[i].revision && unlink(files[k].path.c_str()) == 0)
                dropped = true;
        i = j;
    }
    if (dropped) {
        SyncFolder(root_ + "/new");
        SyncFolder(root_ + "/cur");
    }
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

void Maildir::MarkSeen(const StoredFile &entry)
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
    FolderStat(index.listing.folderFds[0], root_, "/new", newBefore);
    FolderStat(index.listing.folderFds[1], root_, "/cur", curBefore);
    if (rename(entry.path.c_str(), target.c_str()) != 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    SyncFolder(root_ + "/cur");
    if (FolderOf(entry.path) != root_ + "/cur")
        SyncFolder(FolderOf(entry.path));
    // When the index was current before this rename, it is kept current
    // (so that a walk that reads each message does not list the folder at
    // every step); otherwise the next use lists the folder again.
    if (!index.listing.listed || !SameTime(index.listing.newTime, newBefore.st_mtim) || !SameTime(index.listing.curTime, curBefore.st_mtim))
        return;
    Listed *listed = const_cast<Listed *>(Lookup(index, entry.id));
    if (listed == nullptr || newName.size() > 0xFFFF)
        return;
    // The class stays: a rename changes neither content nor inode.
    const bool idInName = listed->id == listed->name;
    listed->name = static_cast<std::uint32_t>(index.listing.names.size());
    listed->nameLength = static_cast<std::uint16_t>(newName.size());
    index.listing.names += newName;
    if (idInName)
        listed->id = listed->name;
    listed->inCur = true;
    listed->seen = true;
    struct stat newAfter {}, curAfter {};
    FolderStat(index.listing.folderFds[0], root_, "/new", newAfter);
    FolderStat(index.listing.folderFds[1], root_, "/cur", curAfter);
    index.listing.newTime = newAfter.st_mtim;
    index.listing.curTime = curAfter.st_mtim;
    // Another program's change in the same tick as this rename would not
    // show in the folders' times: list once more when the tick has passed.
    index.listing.recheckAt = std::max(index.listing.recheckAt, TrustedFrom(index.listing.newTime, index.listing.curTime));
}

void Maildir::Rewrite(const StoredFile &entry, const MessageWriter &write)
{
    // The new content is complete and durable under tmp/ before it takes
    // the old one's place; if writing fails, the old message is untouched.
    const std::string temporary = WriteTemporary(write);
    // It keeps the time the message arrived, and with it its place in
    // arrival order and its date received.
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(entry.stamp.seconds), entry.stamp.nanoseconds}};
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
        std::vector<StoredFile> old;
        for (StoredFile &e : ListFiles(root_))
            if (e.id == entry.id && e.path != placed)
                old.push_back(std::move(e));
        if (old.empty())
            giveUp(MAPI_E_INVALID_MESSAGE); // deleted meanwhile: not brought back
        const StoredFile &current = old.front(); // the newest revision
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
        for (const StoredFile &e : old) {
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
        const std::optional<StoredFile> entry = Find(id);
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

} // namespace kelvra_provider::maildir
