#include "maildir/Walk.h"

#include "cache/EnvelopeCache.h"
#include "maildir/Names.h"

#include <algorithm>
#include <optional>

namespace kelvra_provider::maildir {

namespace {

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
            Drop(index.ahead.coming);
    }
} g_finishReaders;

// The cache's entry of a listed message, when it was read from the file
// listed, for the walk's class and the read that usually follows (which
// checks it against the file's status once more).
std::optional<CachedEnvelope> CachedFor(Index &index, const std::string &root, const Listed &e, EnvelopeCache &cache)
{
    std::optional<CachedEnvelope> cached = cache.Entry(index.listing.Id(e));
    if (!cached || cached->name != index.listing.Name(e))
        return std::nullopt;
    if (Matches(e, cached->stamp))
        return cached;
    if (e.statted)
        return std::nullopt;
    // A folder may number its entries otherwise than their files: the file
    // itself decides.
    struct stat st {};
    if (StatusOf(index.listing, root, e, st) && FileStamp::Of(st) == cached->stamp)
        return cached;
    return std::nullopt;
}

KnownEnvelope KnownFrom(const Index &index, const Listed &e, CachedEnvelope &&cached)
{
    return {std::string(index.listing.Id(e)), std::move(cached.name), cached.stamp, std::move(cached.envelope), std::nullopt,
            {}};
}

// Takes what was read of a listed message: its class for the walk (kept
// for later walks when it was read from the file listed), and its envelope
// for the read that usually follows. No envelope: a header that could not
// be read or is too long, which is ordinary mail.
const std::string &Take(Index &index, Listed &e, KnownEnvelope &&known)
{
    index.listing.unnumbered = known.Readable() ? known.Class() : std::string();
    if (known.stamp.Known() && Matches(e, known.stamp))
        e.cls = ClassNumber(index.listing, index.listing.unnumbered);
    if (known.Readable())
        index.ahead.recent = std::move(known);
    return e.cls != 0 ? index.listing.classes[e.cls - 1] : index.listing.unnumbered;
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
    batch->whole = cache != nullptr;
    batch->from = from;
    size_t i = from;
    for (; i < index.listing.byId.size() && batch->jobs.size() < kAheadFiles && i - from < kAheadLooked; ++i) {
        Listed &e = index.listing.byId[fifo ? index.listing.byArrival[i] : i];
        const bool unknown = firstUnknown && i == from;
        if (!unknown && e.cls != 0)
            continue;
        if (!unknown && cache != nullptr && !index.listing.withStatus)
            if (std::optional<CachedEnvelope> cached = CachedFor(index, root, e, *cache)) {
                batch->ahead.push_back(KnownFrom(index, e, std::move(*cached)));
                continue;
            }
        Batch::Job job;
        job.path = PathOf(index.listing, root, e);
        job.id = index.listing.Id(e);
        job.name = index.listing.Name(e);
        batch->jobs.push_back(std::move(job));
        batch->jobAt.push_back(batch->ahead.size());
        batch->ahead.emplace_back();
    }
    batch->to = i;
    return batch;
}

// Makes `index.ahead.envelopes` the envelopes of the walk from `at` on, which the
// cache does not know: those of the stretch read meanwhile when the walk
// is in it, else read now on this thread and one more. The next stretch is
// then read by a thread of its own while the walk goes on, so that a walk
// of a folder no cache knows reads files while it shows messages. Every
// envelope is checked against its file once more by the read that takes
// it. Called with the lock held.
void ReadAhead(Index &index, const std::string &root, EnvelopeCache *cache, bool fifo, size_t at)
{
    std::unique_ptr<Batch> batch = std::move(index.ahead.coming);
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
        KnownEnvelope &known = batch->jobs[k].known;
        KeepInCache(cache, known);
        batch->ahead[batch->jobAt[k]] = std::move(known); // unknown ones (no inode) are passed over
    }
    index.ahead.envelopes = std::move(batch->ahead);
    index.ahead.at = 0;
    // The next stretch, meanwhile.
    if (batch->to < index.listing.byId.size()) {
        index.ahead.coming = Plan(index, root, cache, fifo, batch->to, false);
        index.ahead.coming->Start();
    }
}

} // namespace

const std::string &ClassOf(Index &index, const std::string &root, const std::string &cacheFolder, bool fifo, size_t at)
{
    Listed &e = index.listing.byId[fifo ? index.listing.byArrival[at] : at];
    if (e.cls != 0)
        return index.listing.classes[e.cls - 1];
    const std::shared_ptr<EnvelopeCache> &cache = CacheOf(index, root, cacheFolder);
    if (cache && index.listing.withStatus && !index.cache.classesLoaded) {
        // Arrival order: the classes of the whole listing in one pass.
        TakeFromCache(index, *cache); // once per listing
        if (e.cls != 0)
            return index.listing.classes[e.cls - 1];
    }
    // What was read ahead, looked for from where the last step's stood;
    // `tried` when its file was read and could not be.
    bool tried = false;
    auto ahead = [&]() -> std::optional<KnownEnvelope> {
        for (size_t k = index.ahead.at; k < index.ahead.envelopes.size(); ++k) {
            KnownEnvelope &known = index.ahead.envelopes[k];
            if (known.id != index.listing.Id(e))
                continue;
            index.ahead.at = k + 1;
            tried = !known.stamp.Known();
            if (tried || known.name != index.listing.Name(e))
                return std::nullopt;
            return std::move(known);
        }
        return std::nullopt;
    };
    if (std::optional<KnownEnvelope> known = ahead())
        return Take(index, e, std::move(*known));
    if (tried) {
        index.listing.unnumbered.clear(); // unreadable: ordinary mail, and not known
        return index.listing.unnumbered;
    }
    // Name order: the entries one by one, as the cache reads them ahead
    // (unless the stretch being read holds what the cache had of them).
    const bool coming = index.ahead.coming && index.ahead.coming->Covers(fifo, at);
    if (cache && !index.listing.withStatus && !coming)
        if (std::optional<CachedEnvelope> cached = CachedFor(index, root, e, *cache))
            return Take(index, e, KnownFrom(index, e, std::move(*cached)));
    ReadAhead(index, root, cache.get(), fifo, at);
    if (std::optional<KnownEnvelope> known = ahead())
        return Take(index, e, std::move(*known));
    if (!tried) {
        // Not in the stretch read (its class was known when it was planned):
        // read on its own.
        KnownEnvelope known = ReadKnown(PathOf(index.listing, root, e), index.listing.Id(e), index.listing.Name(e), cache != nullptr);
        KeepInCache(cache.get(), known);
        if (known.stamp.Known())
            return Take(index, e, std::move(known));
    }
    index.listing.unnumbered.clear(); // gone, or unreadable: not known
    return index.listing.unnumbered;
}

void PruneCache(Index &index, const std::string &root, const std::string &cacheFolder)
{
    if (index.cache.pruned)
        return;
    index.cache.pruned = true;
    const std::shared_ptr<EnvelopeCache> cache = CacheOf(index, root, cacheFolder);
    if (!cache)
        return;
    cache->Prune([&](std::string_view id) { return Lookup(index, id) != nullptr; });
}

size_t PositionAfter(const Index &index, const std::string &seed, bool fifo)
{
    if (seed.empty())
        return 0;
    if (!fifo) {
        if (index.walk.lastFound < index.listing.byId.size() && index.listing.Id(index.listing.byId[index.walk.lastFound]) == seed)
            return index.walk.lastFound + 1;
        return static_cast<size_t>(
            std::upper_bound(index.listing.byId.begin(), index.listing.byId.end(), std::string_view(seed),
                             [&](std::string_view key, const Listed &e) { return key < index.listing.Id(e); }) -
            index.listing.byId.begin());
    }
    // A vanished seed stands where it stood when last seen, or else by the
    // time its name begins with.
    const Listed *known = Lookup(index, seed);
    const auto gone = index.walk.gone.find(seed);
    std::int64_t time = SecondsOf(seed);
    long nanoseconds = 0;
    if (known != nullptr) {
        time = known->stamp.seconds;
        nanoseconds = known->stamp.nanoseconds;
    } else if (gone != index.walk.gone.end()) {
        time = gone->second.first;
        nanoseconds = gone->second.second;
    }
    const std::string_view key = seed;
    return static_cast<size_t>(std::upper_bound(index.listing.byArrival.begin(), index.listing.byArrival.end(), 0,
                                                [&](int, std::uint32_t i) {
                                                    const Listed &e = index.listing.byId[i];
                                                    if (time != e.stamp.seconds)
                                                        return time < e.stamp.seconds;
                                                    if (nanoseconds != e.stamp.nanoseconds)
                                                        return nanoseconds < e.stamp.nanoseconds;
                                                    return key < index.listing.Id(e);
                                                }) -
                               index.listing.byArrival.begin());
}

} // namespace kelvra_provider::maildir
