#include "cache/EnvelopeCache.h"

#include "Errors.h"
#include "message/HeaderText.h"
#include "cache/CacheDatabase.h"
#include "cache/CacheRows.h"

#include <glib.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace kelvra_provider {

namespace {

// Entries are written in batches of this many, or after this long.
constexpr size_t kBatch = 512;
constexpr auto kBatchAge = std::chrono::seconds(2);

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
    return p.name == key.name && p.stamp == key.stamp;
}

} // namespace

struct EnvelopeCache::Impl {
    Impl(std::string file, std::string folder) : db(std::move(file), std::move(folder)) {}

    std::mutex mutex;
    CacheDatabase db;
    std::map<std::string, Pending, std::less<>> pending;
    std::chrono::steady_clock::time_point firstPending;
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

    // A child process has entries of its own.
    void Current()
    {
        if (db.Forked()) {
            pending.clear();
            ForgetAhead();
        }
    }

    void Damage()
    {
        ForgetAhead();
        pending.clear();
        db.Damage();
    }

    void ForgetAhead()
    {
        ahead.clear();
        aheadFrom.clear();
        aheadTo.clear();
        aheadRead = aheadToEnd = false;
        aheadNext = aheadTaken = 0;
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
        db.BeginRead();
        sqlite3_reset(db.findAhead);
        Bind(db.findAhead, 1, from);
        sqlite3_bind_int64(db.findAhead, 2, static_cast<sqlite3_int64>(aheadSize));
        int rc;
        ahead.reserve(aheadSize);
        while ((rc = sqlite3_step(db.findAhead)) == SQLITE_ROW) {
            Ahead a;
            a.id = Column(db.findAhead, 0);
            // An entry that does not read as ours is left out: its message
            // is read again.
            a.taken = !EntryFromRow(db.findAhead, 1, a.entry);
            ahead.push_back(std::move(a));
        }
        sqlite3_reset(db.findAhead);
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
        if (db.db == nullptr)
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
        if (db.db == nullptr)
            return std::nullopt;
        db.BeginRead();
        CachedEnvelope entry;
        sqlite3_reset(db.find);
        Bind(db.find, 1, id);
        const int rc = sqlite3_step(db.find);
        if (rc != SQLITE_ROW) {
            sqlite3_reset(db.find);
            if (Damaged(rc))
                Damage();
            return std::nullopt;
        }
        const bool ours = EntryFromRow(db.find, 0, entry);
        sqlite3_reset(db.find);
        if (!ours)
            return std::nullopt;
        return entry;
    }

    void Flush()
    {
        if (pending.empty())
            return;
        if (db.db == nullptr) {
            pending.clear();
            return;
        }
        db.EndRead();
        bool written = db.Exec("BEGIN IMMEDIATE");
        for (auto it = pending.begin(); written && it != pending.end(); ++it) {
            sqlite3_reset(db.insert);
            BindEntry(db.insert, it->first, it->second);
            written = sqlite3_step(db.insert) == SQLITE_DONE;
            sqlite3_reset(db.insert);
        }
        // What was read ahead may be older than what is written now.
        ForgetAhead();
        int rc = written ? sqlite3_exec(db.db, "COMMIT", nullptr, nullptr, nullptr) : sqlite3_errcode(db.db);
        if (rc != SQLITE_OK) {
            // Busy for too long, a full disk, a damaged file: the entries
            // are only not kept; the messages still hold them.
            db.Exec("ROLLBACK");
            if (Damaged(rc) || Damaged(sqlite3_errcode(db.db)))
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
        std::atexit([] { EnvelopeCache::FlushAll(); });
    });
    if (cacheFolder.empty() || !MakeFolders(cacheFolder))
        return nullptr;
    auto impl = std::make_unique<Impl>(FileFor(cacheFolder, folder), folder);
    if (!impl->db.Open())
        return nullptr;
    return std::unique_ptr<EnvelopeCache>(new EnvelopeCache(std::move(impl)));
}

namespace {

// Every cache open in the process, for FlushAll. Never destroyed: the flush
// at the process's end runs after static destructors may have.
struct OpenCaches {
    std::mutex mutex;
    std::set<EnvelopeCache *> open;
};

OpenCaches &TheOpenCaches()
{
    static OpenCaches *caches = new OpenCaches;
    return *caches;
}

} // namespace

EnvelopeCache::EnvelopeCache(std::unique_ptr<Impl> impl) : impl_(std::move(impl))
{
    const std::lock_guard<std::mutex> lock(TheOpenCaches().mutex);
    TheOpenCaches().open.insert(this);
}

void EnvelopeCache::FlushAll()
{
    const std::lock_guard<std::mutex> lock(TheOpenCaches().mutex);
    for (EnvelopeCache *cache : TheOpenCaches().open)
        cache->Flush();
}

EnvelopeCache::~EnvelopeCache()
{
    {
        const std::lock_guard<std::mutex> lock(TheOpenCaches().mutex);
        TheOpenCaches().open.erase(this);
    }
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
    std::optional<CachedEnvelope> entry;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->Current();
        entry = impl_->Entry(id);
    }
    // Read in another session's fallback charset: read anew.
    if (entry && entry->envelope.fallback != FallbackCharset())
        return std::nullopt;
    return entry;
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
    if (impl_->db.db == nullptr)
        return;
    if (impl_->pending.empty())
        impl_->firstPending = std::chrono::steady_clock::now();
    impl_->pending.insert_or_assign(std::string(key.id), Pending{std::string(key.name), key.stamp, envelope});
    if (impl_->pending.size() >= kBatch || std::chrono::steady_clock::now() - impl_->firstPending > kBatchAge)
        impl_->Flush();
}

void EnvelopeCache::Classes(const std::function<void(const FileKey &key, std::string_view cls)> &each)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    impl_->Flush();
    if (impl_->db.db == nullptr)
        return;
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(impl_->db.db, "SELECT id, name, size, mtime, nsec, inode, class FROM envelope ORDER BY id", -1,
                           &s, nullptr) != SQLITE_OK) {
        if (Damaged(sqlite3_errcode(impl_->db.db)))
            impl_->Damage();
        return;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        FileKey key;
        key.id = Column(s, 0);
        key.name = Column(s, 1);
        key.stamp.size = sqlite3_column_int64(s, 2);
        key.stamp.seconds = sqlite3_column_int64(s, 3);
        key.stamp.nanoseconds = static_cast<std::int32_t>(sqlite3_column_int64(s, 4));
        key.stamp.inode = static_cast<std::uint64_t>(sqlite3_column_int64(s, 5));
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
    if (impl_->db.db != nullptr)
        impl_->db.EndRead();
}

void EnvelopeCache::Prune(const std::function<bool(std::string_view id)> &present)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    impl_->Flush();
    sqlite3 *db = impl_->db.db;
    if (db == nullptr)
        return;
    impl_->db.EndRead();
    impl_->ForgetAhead();
    std::vector<std::string> gone;
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id FROM envelope ORDER BY id", -1, &s, nullptr) == SQLITE_OK)
        while (sqlite3_step(s) == SQLITE_ROW)
            if (const std::string_view id = Column(s, 0); !present(id))
                gone.emplace_back(id);
    sqlite3_finalize(s);
    if (gone.empty())
        return;
    sqlite3_stmt *remove = nullptr;
    bool removed = impl_->db.Exec("BEGIN IMMEDIATE") &&
                   sqlite3_prepare_v2(db, "DELETE FROM envelope WHERE id = ?1", -1, &remove, nullptr) == SQLITE_OK;
    for (size_t i = 0; removed && i < gone.size(); ++i) {
        Bind(remove, 1, gone[i]);
        removed = sqlite3_step(remove) == SQLITE_DONE;
        sqlite3_reset(remove);
    }
    sqlite3_finalize(remove);
    // Busy or damaged: the entries stay, and are pruned at another walk's end.
    if (!removed || !impl_->db.Exec("COMMIT"))
        impl_->db.Exec("ROLLBACK");
}

std::optional<EnvelopeCache::Listing> EnvelopeCache::KeptListing()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    sqlite3 *db = impl_->db.db;
    if (db == nullptr)
        return std::nullopt;
    std::optional<Listing> kept;
    sqlite3_stmt *s = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT stamps, files FROM listing", -1, &s, nullptr);
    auto blob = [&](int i) {
        const auto *bytes = static_cast<const char *>(sqlite3_column_blob(s, i));
        return bytes == nullptr ? std::string() : std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(s, i)));
    };
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW)
        kept = Listing{blob(0), blob(1)};
    sqlite3_finalize(s);
    if (Damaged(rc))
        impl_->Damage();
    return kept;
}

void EnvelopeCache::KeepListing(const Listing &listing)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->Current();
    sqlite3 *db = impl_->db.db;
    if (db == nullptr)
        return;
    impl_->db.EndRead();
    sqlite3_stmt *s = nullptr;
    int rc = sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO listing(one, stamps, files) VALUES(0, ?1, ?2)", -1, &s,
                                nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_blob64(s, 1, listing.stamps.data(), listing.stamps.size(), SQLITE_STATIC);
        sqlite3_bind_blob64(s, 2, listing.files.data(), listing.files.size(), SQLITE_STATIC);
        rc = sqlite3_step(s);
    }
    sqlite3_finalize(s);
    if (Damaged(rc))
        impl_->Damage();
}

} // namespace kelvra_provider
