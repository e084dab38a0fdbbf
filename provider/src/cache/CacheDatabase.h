// The SQLite file of one folder's envelope cache: made in one transaction
// with its layout number, made anew when damaged or of another layout, left
// alone when a newer version of this library wrote it or it belongs to
// another folder. Lookups share a read transaction for a moment; a child
// process opens its own connection.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <string>

namespace kelvra_provider {

class CacheDatabase {
public:
    CacheDatabase(std::string file, std::string folder) : file_(std::move(file)), folder_(std::move(folder)) {}
    ~CacheDatabase() { Close(); }
    CacheDatabase(const CacheDatabase &) = delete;
    CacheDatabase &operator=(const CacheDatabase &) = delete;

    // Opens the file, making it anew when it cannot be used as it is; false
    // when it is not to be used (then nothing is open).
    bool Open();
    void Close();
    // After a damaged read or write: the file is made anew, once; when that
    // fails, the cache is used no more.
    void Damage();
    // In a child process, leaves the parent's connection as it is and opens
    // its own (SQLite's rule); true when it did.
    bool Forked();

    // Lookups share one read transaction for a while: taking and leaving
    // SQLite's locks for each would cost more than the lookup. Entries are
    // checked against the file, so a snapshot a moment old is as good.
    void BeginRead();
    void EndRead();
    bool Exec(const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    sqlite3 *db = nullptr; // null when not in use
    // An entry by identifier; the insert of an entry; the entries from an
    // identifier on, in order, at most ?2 of them.
    sqlite3_stmt *find = nullptr, *insert = nullptr, *findAhead = nullptr;

private:
    enum class Opened { Ready, Remake, Refuse };
    // Opens the file as it is: ready to use, to be made anew (damaged, of
    // another layout, not ours), or to be left alone (newer, another folder's).
    Opened TryOpen();
    // Makes the tables in a new file; Ready, or what to do instead.
    Opened Make();
    Opened Prepare();
    int Pragma(const char *name);
    int Count(const char *sql);

    std::string file_, folder_;
    bool broken_ = false; // damaged in use and not made anew: used no more
    bool reading_ = false;
    int readsInSnapshot_ = 0;
    std::chrono::steady_clock::time_point snapshotSince_;
    unsigned forks_ = 0; // of the process that opened it
};

} // namespace kelvra_provider
