#include "maildir/EnvelopeCache.h"

#include "Common.h"
#include "maildir/Maildir.h"

#include <glib.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>
#include <map>
#include <mutex>

namespace kmp {

namespace {

// The layout of the database. Another layout is made anew; a higher one was
// written by a newer version of this library and is left alone.
constexpr int kLayout = 2;
// Marks the file as ours ("KLVE").
constexpr int kApplicationId = 0x4B4C5645;
// Entries are written in batches of this many, or after this long.
constexpr size_t kBatch = 512;
constexpr auto kBatchAge = std::chrono::seconds(2);

constexpr int kReceipt = 1, kUnsent = 2, kHasFrom = 4;

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS folder(path TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS envelope("
    " id TEXT PRIMARY KEY, name TEXT NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL,"
    " nsec INTEGER NOT NULL, inode INTEGER NOT NULL, class TEXT NOT NULL, subject TEXT NOT NULL,"
    " from_name TEXT NOT NULL, from_address TEXT NOT NULL, conversation TEXT NOT NULL, flags INTEGER NOT NULL,"
    " recipients BLOB NOT NULL"
    ") WITHOUT ROWID;";

// The recipients of an entry, in one column, so that an entry is one row:
// each is its class (one byte), then its name and its address, each a
// length (7 bits a byte, low first, the high bit set while more follow)
// and the bytes.
void PutLength(std::string &out, size_t n)
{
    for (; n >= 0x80; n >>= 7)
        out += static_cast<char>(0x80 | (n & 0x7F));
    out += static_cast<char>(n);
}

std::string RecipientsColumn(const Envelope &e)
{
    std::string out;
    for (const Envelope::Recipient &r : e.recipients) {
        out += static_cast<char>(r.recipClass);
        PutLength(out, r.mailbox.name.size());
        out += r.mailbox.name;
        PutLength(out, r.mailbox.address.size());
        out += r.mailbox.address;
    }
    return out;
}

bool TakeText(std::string_view &in, std::string &out)
{
    size_t n = 0;
    for (int shift = 0;; shift += 7) {
        if (in.empty() || shift > 28)
            return false;
        const auto byte = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        n |= static_cast<size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0)
            break;
    }
    if (n > in.size())
        return false;
    out.assign(in.data(), n);
    in.remove_prefix(n);
    return true;
}

// False for a column that is not what RecipientsColumn writes.
bool ReadRecipients(std::string_view in, std::vector<Envelope::Recipient> &out)
{
    while (!in.empty()) {
        const auto kind = static_cast<ULONG>(static_cast<unsigned char>(in.front()));
        in.remove_prefix(1);
        if (kind != MAPI_TO && kind != MAPI_CC && kind != MAPI_BCC)
            return false;
        Envelope::Recipient r{{}, kind};
        if (!TakeText(in, r.mailbox.name) || !TakeText(in, r.mailbox.address))
            return false;
        out.push_back(std::move(r));
    }
    return true;
}

bool Damaged(int rc)
{
    rc &= 0xFF;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB || rc == SQLITE_FORMAT;
}

std::string_view Column(sqlite3_stmt *s, int i)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, i));
    return text == nullptr ? std::string_view() : std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

void Bind(sqlite3_stmt *s, int i, std::string_view text)
{
    sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

bool MakeFolders(const std::string &path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = slash == std::string::npos ? path : path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

void RemoveDatabase(const std::string &file)
{
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        unlink((file + suffix).c_str());
}

using Pending = CachedEnvelope;

// Entries read ahead of a walk, by identifier: a walk asks for the entries
// in the order of the database's key, so one query brings the next many.
constexpr size_t kAheadFirst = 8, kAheadMost = 256;
constexpr auto kAheadAge = std::chrono::milliseconds(250);

struct Ahead {
    std::string id;
    Pending entry;
    bool taken = false;
};

bool SameKey(const Pending &p, const FileKey &key)
{
    return p.name == key.name && p.size == key.size && p.time == key.time && p.nanoseconds == key.nanoseconds &&
           p.inode == key.inode;
}

} // namespace

struct EnvelopeCache::Impl {
    std::mutex mutex;
    std::string file;
    std::string folder;
    sqlite3 *db = nullptr;
    sqlite3_stmt *find = nullptr, *insert = nullptr, *findAhead = nullptr;
    std::map<std::string, Pending, std::less<>> pending;
    std::chrono::steady_clock::time_point firstPending;
    bool broken = false; // damaged in use and not made anew: used no more
    // Lookups share one read transaction for a while: taking and leaving
    // SQLite's locks for each would cost more than the lookup. Entries are
    // checked against the file, so a snapshot a moment old is as good.
    bool reading = false;
    int readsInSnapshot = 0;
    std::chrono::steady_clock::time_point snapshotSince;
    // The entries read ahead: identifiers [aheadFrom, aheadTo] of the
    // database as it was at aheadSince, sorted; every one there is here.
    std::vector<Ahead> ahead;
    std::string aheadFrom, aheadTo;
    bool aheadToEnd = false;   // the read reached the last entry
    size_t aheadNext = 0;      // where the next lookup of a walk usually is
    size_t aheadSize = kAheadFirst;
    bool aheadRead = false;
    size_t aheadTaken = 0;
    std::chrono::steady_clock::time_point aheadSince;

    void BeginRead()
    {
        const auto now = std::chrono::steady_clock::now();
        if (reading && (++readsInSnapshot > 4096 || now - snapshotSince > std::chrono::milliseconds(250)))
            EndRead();
        if (!reading && Exec("BEGIN")) {
            reading = true;
            readsInSnapshot = 0;
            snapshotSince = now;
        }
    }

    void EndRead()
    {
        if (reading) {
            sqlite3_reset(find);
            sqlite3_reset(findAhead);
            Exec("COMMIT");
        }
        reading = false;
    }
    unsigned forks = ForkCount(); // of the process that opened it

    // A child process does not use its parent's connection (SQLite's rule):
    // it leaves it as it is and opens its own.
    void Current()
    {
        if (forks == ForkCount())
            return;
        forks = ForkCount();
        find = insert = findAhead = nullptr;
        db = nullptr;
        reading = false;
        pending.clear();
        ForgetAhead();
        if (!broken)
            broken = !Open();
    }

    ~Impl() { Close(); }

    void Close()
    {
        if (db != nullptr)
            EndRead();
        for (sqlite3_stmt *s : {find, insert, findAhead})
            sqlite3_finalize(s);
        find = insert = findAhead = nullptr;
        ForgetAhead();
        if (db != nullptr)
            sqlite3_close(db);
        db = nullptr;
    }

    bool Exec(const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    int Pragma(const char *name)
    {
        sqlite3_stmt *s = nullptr;
        int value = -1;
        if (sqlite3_prepare_v2(db, (std::string("PRAGMA ") + name).c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            value = sqlite3_column_int(s, 0);
        sqlite3_finalize(s);
        return value;
    }

    int Count(const char *sql)
    {
        sqlite3_stmt *s = nullptr;
        int value = -1;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            value = sqlite3_column_int(s, 0);
        sqlite3_finalize(s);
        return value;
    }

    enum class Opened { Ready, Remake, Refuse };

    // Opens the file as it is: ready to use, to be made anew (damaged, of
    // another layout, not ours), or to be left alone (newer, another folder's).
    Opened TryOpen()
    {
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
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
        if (layout == 0) {
            // Made here, in one transaction with its layout number: another
            // process sees either nothing or the whole of it.
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
                    Bind(s, 1, folder);
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
        }
        // The folder it was made for: a name clash of two folders' files is
        // never taken for a cache of this one.
        sqlite3_stmt *s = nullptr;
        Opened result = Opened::Remake;
        if (sqlite3_prepare_v2(db, "SELECT path FROM folder", -1, &s, nullptr) == SQLITE_OK) {
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_ROW)
                result = Column(s, 0) == folder ? Opened::Ready : Opened::Refuse;
            else if (rc == SQLITE_DONE)
                result = Opened::Remake;
        }
        sqlite3_finalize(s);
        if (result != Opened::Ready)
            return result;
        const bool prepared =
            sqlite3_prepare_v2(db,
                               "SELECT name, size, mtime, nsec, inode, class, subject, from_name, from_address,"
                               " conversation, flags, recipients FROM envelope WHERE id = ?1",
                               -1, &find, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db,
                               "INSERT OR REPLACE INTO envelope(id, name, size, mtime, nsec, inode, class, subject,"
                               " from_name, from_address, conversation, flags, recipients)"
                               " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)",
                               -1, &insert, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db,
                               "SELECT id, name, size, mtime, nsec, inode, class, subject, from_name, from_address,"
                               " conversation, flags, recipients FROM envelope WHERE id >= ?1 ORDER BY id LIMIT ?2",
                               -1, &findAhead, nullptr) == SQLITE_OK;
        return prepared ? Opened::Ready : Opened::Remake;
    }

    bool Open()
    {
        Opened opened = TryOpen();
        if (opened == Opened::Remake) {
            Close();
            RemoveDatabase(file);
            opened = TryOpen();
        }
        if (opened != Opened::Ready) {
            Close();
            return false;
        }
        return true;
    }

    // After a damaged read or write: the file is made anew, once.
    void Damage()
    {
        Close();
        pending.clear();
        RemoveDatabase(file);
        broken = !Open();
    }

    void ForgetAhead()
    {
        ahead.clear();
        aheadFrom.clear();
        aheadTo.clear();
        aheadRead = aheadToEnd = false;
        aheadNext = aheadTaken = 0;
    }

    // False when the row's recipients are not what this library writes.
    static bool EnvelopeFromRow(sqlite3_stmt *s, int first, Envelope &envelope)
    {
        envelope.messageClass = Column(s, first);
        envelope.subject = Column(s, first + 1);
        const int flags = sqlite3_column_int(s, first + 5);
        if ((flags & kHasFrom) != 0)
            envelope.from = Mailbox{std::string(Column(s, first + 2)), std::string(Column(s, first + 3))};
        envelope.conversation = Column(s, first + 4);
        envelope.receiptRequested = (flags & kReceipt) != 0;
        envelope.unsent = (flags & kUnsent) != 0;
        const auto *blob = static_cast<const char *>(sqlite3_column_blob(s, first + 6));
        const auto bytes = static_cast<size_t>(sqlite3_column_bytes(s, first + 6));
        return ReadRecipients(blob == nullptr ? std::string_view() : std::string_view(blob, bytes), envelope.recipients);
    }

    // The file's key (name, size, mtime, nsec, inode) from column `first`
    // on, and the envelope after it.
    static bool EntryFromRow(sqlite3_stmt *s, int first, CachedEnvelope &entry)
    {
        entry.name = Column(s, first);
        entry.size = sqlite3_column_int64(s, first + 1);
        entry.time = sqlite3_column_int64(s, first + 2);
        entry.nanoseconds = static_cast<long>(sqlite3_column_int64(s, first + 3));
        entry.inode = static_cast<std::uint64_t>(sqlite3_column_int64(s, first + 4));
        return EnvelopeFromRow(s, first + 5, entry.envelope);
    }

    enum class Known { Here, Absent, Unknown };

    // Whether the entries read ahead answer for `id`: there (at `at`), not in
    // the database when they were read, or not known to them.
    Known InAhead(std::string_view id, size_t &at)
    {
        if (!aheadRead || std::chrono::steady_clock::now() - aheadSince > kAheadAge)
            return Known::Unknown;
        if (id < aheadFrom || (!aheadToEnd && id > aheadTo))
            return Known::Unknown;
        if (aheadNext < ahead.size() && ahead[aheadNext].id == id) {
            at = aheadNext;
            return Known::Here;
        }
        const auto it = std::lower_bound(ahead.begin(), ahead.end(), id,
                                         [](const Ahead &a, std::string_view key) { return a.id < key; });
        if (it == ahead.end() || it->id != id)
            return Known::Absent;
        at = static_cast<size_t>(it - ahead.begin());
        return Known::Here;
    }

    // Reads the entries from `from` on in one query. More at a time while a
    // walk goes on taking them in order.
    bool ReadAhead(std::string_view from)
    {
        const bool onward = aheadRead && from > aheadTo && aheadTaken * 2 >= ahead.size();
        aheadSize = onward ? std::min(aheadSize * 2, kAheadMost) : kAheadFirst;
        ForgetAhead();
        BeginRead();
        sqlite3_reset(findAhead);
        Bind(findAhead, 1, from);
        sqlite3_bind_int64(findAhead, 2, static_cast<sqlite3_int64>(aheadSize));
        int rc;
        ahead.reserve(aheadSize);
        while ((rc = sqlite3_step(findAhead)) == SQLITE_ROW) {
            Ahead a;
            a.id = Column(findAhead, 0);
            // An entry that does not read as ours is left out: its message
            // is read again.
            a.taken = !EntryFromRow(findAhead, 1, a.entry);
            ahead.push_back(std::move(a));
        }
        sqlite3_reset(findAhead);
        if (rc != SQLITE_DONE) {
            if (Damaged(rc))
                Damage();
            else
                ForgetAhead();
            return false;
        }
        aheadRead = true;
        aheadFrom = from;
        aheadToEnd = ahead.size() < aheadSize;
        aheadTo = ahead.empty() ? std::string(from) : ahead.back().id;
        aheadSince = std::chrono::steady_clock::now();
        return true;
    }

    std::optional<CachedEnvelope> Entry(std::string_view id)
    {
        if (const auto it = pending.find(id); it != pending.end())
            return it->second;
        if (db == nullptr)
            return std::nullopt;
        // A walk's lookup is answered by what was read ahead; an entry
        // taken already is looked up on its own.
        size_t at = 0;
        Known known = InAhead(id, at);
        if (known == Known::Unknown && ReadAhead(id))
            known = InAhead(id, at);
        if (known == Known::Absent)
            return std::nullopt;
        if (known == Known::Here) {
            Ahead &a = ahead[at];
            aheadNext = at + 1;
            if (!a.taken) {
                a.taken = true;
                ++aheadTaken;
                return std::move(a.entry);
            }
        }
        if (db == nullptr)
            return std::nullopt;
        BeginRead();
        CachedEnvelope entry;
        sqlite3_reset(find);
        Bind(find, 1, id);
        const int rc = sqlite3_step(find);
        if (rc != SQLITE_ROW) {
            sqlite3_reset(find);
            if (Damaged(rc))
                Damage();
            return std::nullopt;
        }
        const bool ours = EntryFromRow(find, 0, entry);
        sqlite3_reset(find);
        if (!ours)
            return std::nullopt;
        return entry;
    }

    void Flush()
    {
        if (pending.empty())
            return;
        if (db == nullptr) {
            pending.clear();
            return;
        }
        EndRead();
        bool written = Exec("BEGIN IMMEDIATE");
        for (auto it = pending.begin(); written && it != pending.end(); ++it) {
            const std::string &id = it->first;
            const Pending &p = it->second;
            const Envelope &e = p.envelope;
            sqlite3_reset(insert);
            Bind(insert, 1, id);
            Bind(insert, 2, p.name);
            sqlite3_bind_int64(insert, 3, p.size);
            sqlite3_bind_int64(insert, 4, p.time);
            sqlite3_bind_int64(insert, 5, p.nanoseconds);
            sqlite3_bind_int64(insert, 6, static_cast<sqlite3_int64>(p.inode));
            Bind(insert, 7, e.messageClass);
            Bind(insert, 8, e.subject);
            Bind(insert, 9, e.from ? e.from->name : std::string());
            Bind(insert, 10, e.from ? e.from->address : std::string());
            Bind(insert, 11, e.conversation);
            sqlite3_bind_int(insert, 12, (e.receiptRequested ? kReceipt : 0) | (e.unsent ? kUnsent : 0) |
                                             (e.from ? kHasFrom : 0));
            const std::string recipients = RecipientsColumn(e);
            sqlite3_bind_blob(insert, 13, recipients.data(), static_cast<int>(recipients.size()), SQLITE_TRANSIENT);
            written = sqlite3_step(insert) == SQLITE_DONE;
            sqlite3_reset(insert);
        }
        // What was read ahead may be older than what is written now.
        ForgetAhead();
        int rc = written ? sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) : sqlite3_errcode(db);
        if (rc != SQLITE_OK) {
            // Busy for too long, a full disk, a damaged file: the entries
            // are only not kept; the messages still hold them.
            Exec("ROLLBACK");
            if (Damaged(rc) || Damaged(sqlite3_errcode(db)))
                Damage();
        }
        pending.clear();
    }
};

std::unique_ptr<EnvelopeCache> EnvelopeCache::Open(const std::string &cacheFolder, const std::string &folder)
{
    static std::once_flag once;
    std::call_once(once, [] {
        // What a process held back is written when it ends.
        std::atexit([] { Maildir::FlushCaches(); });
    });
    if (cacheFolder.empty() || !MakeFolders(cacheFolder))
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->file = FileFor(cacheFolder, folder);
    impl->folder = folder;
    if (!impl->Open())
        return nullptr;
    return std::unique_ptr<EnvelopeCache>(new EnvelopeCache(std::move(impl)));
}

EnvelopeCache::EnvelopeCache(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

EnvelopeCache::~EnvelopeCache()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    impl_->Flush();
}

std::string EnvelopeCache::FileFor(const std::string &cacheFolder, const std::string &folder)
{
    gchar *digest = g_compute_checksum_for_string(G_CHECKSUM_SHA256, folder.c_str(), -1);
    const std::string name = cacheFolder + "/envelopes-" + std::string(digest, 32) + ".sqlite";
    g_free(digest);
    return name;
}

std::optional<CachedEnvelope> EnvelopeCache::Entry(std::string_view id)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    return impl_->Entry(id);
}

std::optional<Envelope> EnvelopeCache::Find(const FileKey &key)
{
    std::optional<CachedEnvelope> entry = Entry(key.id);
    if (!entry || !SameKey(*entry, key))
        return std::nullopt;
    return std::move(entry->envelope);
}

void EnvelopeCache::Store(const FileKey &key, const Envelope &envelope)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    if (impl_->db == nullptr)
        return;
    if (impl_->pending.empty())
        impl_->firstPending = std::chrono::steady_clock::now();
    impl_->pending.insert_or_assign(std::string(key.id), Pending{std::string(key.name), key.size, key.time,
                                                                 key.nanoseconds, key.inode, envelope});
    if (impl_->pending.size() >= kBatch || std::chrono::steady_clock::now() - impl_->firstPending > kBatchAge)
        impl_->Flush();
}

void EnvelopeCache::Classes(const std::function<void(const FileKey &key, std::string_view cls)> &each)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    impl_->Flush();
    if (impl_->db == nullptr)
        return;
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(impl_->db, "SELECT id, name, size, mtime, nsec, inode, class FROM envelope ORDER BY id", -1,
                           &s, nullptr) != SQLITE_OK) {
        if (Damaged(sqlite3_errcode(impl_->db)))
            impl_->Damage();
        return;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        FileKey key;
        key.id = Column(s, 0);
        key.name = Column(s, 1);
        key.size = sqlite3_column_int64(s, 2);
        key.time = sqlite3_column_int64(s, 3);
        key.nanoseconds = static_cast<long>(sqlite3_column_int64(s, 4));
        key.inode = static_cast<std::uint64_t>(sqlite3_column_int64(s, 5));
        each(key, Column(s, 6));
    }
    sqlite3_finalize(s);
    if (Damaged(rc))
        impl_->Damage();
}

void EnvelopeCache::Flush()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    impl_->Flush();
    if (impl_->db != nullptr)
        impl_->EndRead();
}

} // namespace kmp
