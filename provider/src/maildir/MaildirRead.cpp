// The Maildir's reads: finding a message, a walk's steps, and envelopes
// read from the persistent cache or a message's header block.
#include "maildir/Maildir.h"

#include "Errors.h"
#include "cache/EnvelopeCache.h"
#include "maildir/Index.h"
#include "maildir/Walk.h"

#include <sys/stat.h>

#include <cerrno>

namespace kelvra_provider::maildir {


namespace {

// How long a walk's look at the folder stands for its next steps and for
// the read of the message a step found (nanoseconds).
constexpr std::int64_t kStepRead = 100 * 1000 * 1000;

} // namespace

std::optional<StoredFile> Maildir::Find(const std::string &id)
{
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    const Index *index = &Fresh(root_, cacheFolder_);
    const Listed *entry = Lookup(*index, id);
    // Before a message is said not to be there, the folder is looked at
    // again when its listing cannot yet tell a delivery in the same tick.
    if (entry == nullptr && index->listing.recheckAt != 0) {
        index = &Fresh(root_, cacheFolder_, false, true);
        entry = Lookup(*index, id);
    }
    if (entry == nullptr)
        return std::nullopt;
    return EntryOf(index->listing, root_, *entry);
}

std::optional<StoredFile> Maildir::Known(const std::string &id)
{
    {
        std::lock_guard<std::mutex> lock(AllIndexes().mutex);
        const Index &index = AllIndexes().folders[root_];
        if (index.listing.listed && (index.listing.recheckAt == 0 || Now() < index.listing.recheckAt)) {
            if (const Listed *entry = Lookup(index, id))
                return EntryOf(index.listing, root_, *entry);
        }
    }
    return Find(id);
}

std::string Maildir::Next(const std::string &seed, bool fifo, const WalkFilter &filter)
{
    // One lock for the whole step: classes are kept per unchanged file, so
    // on an unchanged folder a step is a lookup and a few comparisons.
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    // A walk starts with what the folder holds now, also within the tick of
    // its last listing; as it goes on, it looks at the folder again at most
    // every kStepRead.
    Index *known = &AllIndexes().folders[root_];
    const std::int64_t now = Now();
    const bool goesOn = !seed.empty() && known->listing.listed && known->listing.recheckAt == 0 && (!fifo || known->listing.withStatus) &&
                        now - known->listing.checkedAt < kStepRead;
    Index &index = goesOn ? *known : Fresh(root_, cacheFolder_, fifo, seed.empty());
    const size_t position = PositionAfter(index, seed, fifo);
    for (size_t i = position; i < index.listing.byId.size(); ++i) {
        Listed &e = index.listing.byId[fifo ? index.listing.byArrival[i] : i];
        if (filter.unreadOnly && e.seen)
            continue;
        if (filter.matches != nullptr && !filter.matches(ClassOf(index, root_, cacheFolder_, fifo, i), filter.context))
            continue;
        index.walk.lastFound = fifo ? index.listing.byArrival[i] : i;
        index.walk.lastFoundAt = goesOn ? now : Now();
        return std::string(index.listing.Id(e));
    }
    PruneCache(index, root_, cacheFolder_); // the walk has seen the whole folder
    return {};
}

void Maildir::Remember(const StoredFile &entry, std::string_view name, const Envelope &envelope)
{
    // The class comes with it, for a later type-filtered walk, also when the
    // file changed in place since it was listed; a changed time is a new
    // place in arrival order.
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    Index &index = AllIndexes().folders[root_];
    Listed *listed = const_cast<Listed *>(Lookup(index, entry.id));
    if (listed == nullptr || index.listing.Name(*listed) != name || listed->stamp.inode != entry.stamp.inode)
        return;
    listed->cls = ClassNumber(index.listing, envelope.messageClass);
    if (listed->statted && !Matches(*listed, entry.stamp)) {
        listed->stamp = entry.stamp;
        index.listing.withStatus = false; // arrival order is made again when asked for
    }
}

std::optional<Envelope> Maildir::ReadEnvelope(StoredFile &entry)
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
        st.st_ino = entry.stamp.inode;
        st.st_size = entry.stamp.size;
        st.st_mtim.tv_sec = entry.stamp.seconds;
        st.st_mtim.tv_nsec = entry.stamp.nanoseconds;
        rc = 0;
    }
    {
        std::lock_guard<std::mutex> lock(AllIndexes().mutex);
        Index &index = AllIndexes().folders[root_];
        cache = CacheOf(index, root_, cacheFolder_);
        int fd = -1;
        if (folder.size() == root_.size() + 4 && folder.substr(0, root_.size()) == root_) {
            const std::string_view sub = folder.substr(root_.size());
            fd = sub == "/new" ? index.listing.folderFds[0] : sub == "/cur" ? index.listing.folderFds[1] : -1;
        }
        if (rc != 0)
            rc = fd >= 0 ? fstatat(fd, name, &st, 0) : stat(entry.path.c_str(), &st);
        KnownEnvelope &recent = index.ahead.recent;
        if (rc == 0 && recent.Fits() && recent.id == entry.id && recent.name == std::string_view(name) &&
            recent.stamp == FileStamp::Of(st) && S_ISREG(st.st_mode)) {
            entry.TakeStatus(st);
            std::optional<Envelope> envelope = recent.TakeEnvelope();
            recent = {};
            return envelope;
        }
    }
    if (rc != 0)
        Fail(errno == ENOENT || errno == ENOTDIR ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    if (!S_ISREG(st.st_mode))
        Fail(MAPI_E_FAILURE);
    entry.TakeStatus(st);
    FileKey key;
    key.id = entry.id;
    key.name = name;
    key.stamp = entry.stamp;
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
    entry.TakeStatus(opened);
    if (envelope)
        Remember(entry, name, *envelope);
    return envelope;
}

std::optional<Envelope> Maildir::ListedEnvelope(const std::string &id, StoredFile &entry)
{
    std::lock_guard<std::mutex> lock(AllIndexes().mutex);
    // The read that follows a walk's step (of the message it found, at
    // once) takes the step's look at the folder; any other looks again.
    Index *index = &AllIndexes().folders[root_];
    const std::int64_t now = Now();
    const bool followsStep = index->listing.listed && index->walk.lastFound < index->listing.byId.size() &&
                             index->listing.Id(index->listing.byId[index->walk.lastFound]) == id && now - index->walk.lastFoundAt < kStepRead &&
                             now - index->listing.checkedAt < kStepRead;
    if (!followsStep)
        index = &Fresh(root_, cacheFolder_);
    const Listed *e = Lookup(*index, id);
    if (e == nullptr)
        return std::nullopt;
    const std::string_view name = index->listing.Name(*e);
    // The envelope a walk's step took for its class, else the cache's.
    KnownEnvelope known;
    if (index->ahead.recent.Fits() && index->ahead.recent.id == id && index->ahead.recent.name == name) {
        known = std::move(index->ahead.recent);
        index->ahead.recent = {};
    } else if (const std::shared_ptr<EnvelopeCache> &cache = CacheOf(*index, root_, cacheFolder_)) {
        std::optional<CachedEnvelope> cached = cache->Entry(id);
        if (!cached || cached->name != name)
            return std::nullopt;
        known = {id, std::move(cached->name), cached->stamp, std::move(cached->envelope), std::nullopt, {}};
    }
    if (!known.Readable() || !Matches(*e, known.stamp))
        return std::nullopt;
    std::optional<Envelope> envelope = known.TakeEnvelope();
    entry = EntryOf(index->listing, root_, *e, false);
    entry.stamp.size = known.stamp.size;
    entry.stamp.seconds = known.stamp.seconds;
    entry.stamp.nanoseconds = known.stamp.nanoseconds;
    entry.current = true;
    return envelope;
}

void Maildir::Recheck(StoredFile entry)
{
    try {
        (void)ReadEnvelope(entry);
    } catch (const MapiError &) {
        // Gone since the read: the next listing shows it.
    }
}

} // namespace kelvra_provider::maildir
