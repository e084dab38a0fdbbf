#include "cache/CacheDatabase.h"

#include "Signals.h"
#include "cache/CacheRows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvra_provider {

namespace {

// The layout of the database. Another layout is made anew; a higher one was
// written by a newer version of this library and is left alone.
// Layout 3: texts decoded by the rules of HeaderText.h (encoded words one
// by one, no character lost to a charset); a cache of layout 2 holds texts
// decoded otherwise and is made anew. Layout 4: the folder's listing kept
// beside the envelopes. Layout 5: each envelope names the fallback charset
// its 8-bit texts were read in. Layout 6: a header line its sender forgot to
// fold continues its field (Envelope.h), so a header block broken by one
// reads on past it; a cache of layout 5 read such messages otherwise.
// Layout 7: only a line without a blank continues a field so (a line of
// prose starts the body), and a byte-order mark before the first field is
// skipped; a cache of layout 6 read such messages otherwise.
constexpr int kLayout = 8;
// Marks the file as ours ("KLVE").
constexpr int kApplicationId = 0x4B4C5645;

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS folder(path TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS envelope("
    " id TEXT PRIMARY KEY, name TEXT NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL,"
    " nsec INTEGER NOT NULL, inode INTEGER NOT NULL, class TEXT NOT NULL, subject TEXT NOT NULL,"
    " from_name TEXT NOT NULL, from_address TEXT NOT NULL, conversation TEXT NOT NULL, flags INTEGER NOT NULL,"
    " recipients BLOB NOT NULL, fallback TEXT NOT NULL, files INTEGER"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS listing(one INTEGER PRIMARY KEY CHECK(one = 0), stamps BLOB NOT NULL,"
    " files BLOB NOT NULL);";

// The database and the files SQLite keeps beside it hold subjects and
// senders: readable by the user alone, like the mail itself, whatever the
// umask or an older version left. SQLite gives its -wal and -shm files the
// database's permissions, so the database is made here first.
void KeepPrivate(const std::string &file)
{
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
        const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (*suffix == '\0' ? O_CREAT : 0);
        const int fd = open((file + suffix).c_str(), flags, 0600);
        if (fd < 0)
            continue;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
            fchmod(fd, st.st_mode & 0700);
        close(fd);
    }
}

void RemoveDatabase(const std::string &file)
{
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        unlink((file + suffix).c_str());
}

} // namespace

CacheDatabase::Opened CacheDatabase::TryOpen()
{
    KeepPrivate(file_);
    if (sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return Opened::Remake;
    sqlite3_busy_timeout(db, 2000);
    const int layout = Pragma("user_version");
    const int application = Pragma("application_id");
    if (layout < 0 || application < 0)
        return Opened::Remake; // not a database at all
    if (layout > kLayout && application == kApplicationId)
        return Opened::Refuse; // a newer version's: not ours to change
    if (layout != 0 && (layout != kLayout || application != kApplicationId))
        return Opened::Remake;
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL"))
        return Opened::Remake;
    if (layout == 0)
        if (const Opened made = Make(); made != Opened::Ready)
            return made;
    // The folder it was made for: a name clash of two folders' files is
    // never taken for a cache of this one.
    sqlite3_stmt *s = nullptr;
    Opened result = Opened::Remake;
    if (sqlite3_prepare_v2(db, "SELECT path FROM folder", -1, &s, nullptr) == SQLITE_OK) {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            result = Column(s, 0) == folder_ ? Opened::Ready : Opened::Refuse;
        else if (rc == SQLITE_DONE)
            result = Opened::Remake;
    }
    sqlite3_finalize(s);
    return result == Opened::Ready ? Prepare() : result;
}

// Made here, in one transaction with its layout number: another process
// sees either nothing or the whole of it.
CacheDatabase::Opened CacheDatabase::Make()
{
    if (!Exec("BEGIN IMMEDIATE"))
        return Opened::Remake;
    const int now = Pragma("user_version");
    if (now == 0) {
        // Tables under no layout number are none of ours.
        if (Pragma("schema_version") != 0 && Count("SELECT count(*) FROM sqlite_master") != 0) {
            Exec("ROLLBACK");
            return Opened::Remake;
        }
        const bool made = Exec(kSchema) &&
                          Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str()) &&
                          Exec(("PRAGMA user_version=" + std::to_string(kLayout)).c_str());
        sqlite3_stmt *s = nullptr;
        bool named = false;
        if (made && sqlite3_prepare_v2(db, "INSERT INTO folder(path) VALUES(?1)", -1, &s, nullptr) == SQLITE_OK) {
            Bind(s, 1, folder_);
            named = sqlite3_step(s) == SQLITE_DONE;
        }
        sqlite3_finalize(s);
        if (!made || !named || !Exec("COMMIT")) {
            Exec("ROLLBACK");
            return Opened::Remake;
        }
    } else {
        Exec("COMMIT"); // made meanwhile by another process
        if (now != kLayout)
            return now > kLayout ? Opened::Refuse : Opened::Remake;
    }
    return Opened::Ready;
}

CacheDatabase::Opened CacheDatabase::Prepare()
{
    const bool prepared =
        sqlite3_prepare_v2(db,
                           "SELECT name, size, mtime, nsec, inode, class, subject, from_name, from_address,"
                           " conversation, flags, recipients, fallback, files FROM envelope WHERE id = ?1",
                           -1, &find, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "INSERT OR REPLACE INTO envelope(id, name, size, mtime, nsec, inode, class, subject,"
                           " from_name, from_address, conversation, flags, recipients, fallback, files)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)",
                           -1, &insert, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "SELECT id, name, size, mtime, nsec, inode, class, subject, from_name, from_address,"
                           " conversation, flags, recipients, fallback, files FROM envelope WHERE id >= ?1 ORDER BY id LIMIT ?2",
                           -1, &findAhead, nullptr) == SQLITE_OK;
    return prepared ? Opened::Ready : Opened::Remake;
}

int CacheDatabase::Pragma(const char *name)
{
    sqlite3_stmt *s = nullptr;
    int value = -1;
    if (sqlite3_prepare_v2(db, (std::string("PRAGMA ") + name).c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        value = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return value;
}

int CacheDatabase::Count(const char *sql)
{
    sqlite3_stmt *s = nullptr;
    int value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        value = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return value;
}

bool CacheDatabase::Open()
{
    forks_ = ForkCount();
    Opened opened = TryOpen();
    if (opened == Opened::Remake) {
        Close();
        RemoveDatabase(file_);
        opened = TryOpen();
    }
    if (opened != Opened::Ready) {
        Close();
        return false;
    }
    return true;
}

void CacheDatabase::Close()
{
    if (db != nullptr)
        EndRead();
    for (sqlite3_stmt *s : {find, insert, findAhead})
        sqlite3_finalize(s);
    find = insert = findAhead = nullptr;
    if (db != nullptr)
        sqlite3_close(db);
    db = nullptr;
}

void CacheDatabase::Damage()
{
    Close();
    RemoveDatabase(file_);
    broken_ = !Open();
}

bool CacheDatabase::Forked()
{
    if (forks_ == ForkCount())
        return false;
    forks_ = ForkCount();
    find = insert = findAhead = nullptr;
    db = nullptr;
    reading_ = false;
    if (!broken_)
        broken_ = !Open();
    return true;
}

void CacheDatabase::BeginRead()
{
    const auto now = std::chrono::steady_clock::now();
    if (reading_ && (++readsInSnapshot_ > 4096 || now - snapshotSince_ > std::chrono::milliseconds(250)))
        EndRead();
    if (!reading_ && Exec("BEGIN")) {
        reading_ = true;
        readsInSnapshot_ = 0;
        snapshotSince_ = now;
    }
}

void CacheDatabase::EndRead()
{
    if (reading_) {
        sqlite3_reset(find);
        sqlite3_reset(findAhead);
        Exec("COMMIT");
    }
    reading_ = false;
}

} // namespace kelvra_provider
