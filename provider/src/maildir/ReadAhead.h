// Envelopes read from message files ahead of a walk, on a thread of its
// own while the walk shows what it has.
#pragma once

#include "Signals.h"
#include "message/Envelope.h"
#include "message/HeaderText.h"
#include "Workers.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {
class EnvelopeCache;
struct FileKey;
}

namespace kelvra_provider::maildir {

// What a message file's header block told, with the file's status as it
// was opened (no inode when it could not be read).
// Read with no cache to keep it in, only the class is taken from the header
// block at once; the envelope is made from the block when a read takes it
// (a count never does).
struct KnownEnvelope {
    std::string id, name;
    FileStamp stamp;
    std::optional<Envelope> envelope;
    std::optional<std::string> header; // the block, when the envelope is not made yet
    std::string cls;                   // and its class

    // Whether the header block could be read.
    bool Readable() const { return envelope.has_value() || header.has_value(); }
    // Whether it was read for the calling thread's session: an envelope read
    // in another fallback charset is not (its header block is read anew).
    bool Fits() const { return Readable() && (!envelope || envelope->fallback == FallbackCharset()); }
    const std::string &Class() const { return envelope ? envelope->messageClass : cls; }
    std::optional<Envelope> TakeEnvelope();
};

// What a message file's header block tells, read now: the whole envelope
// (`whole`), or its class and the block.
KnownEnvelope ReadKnown(const std::string &path, std::string_view id, std::string_view name, bool whole = true);
// Keeps what was read of a file in the cache.
void KeepInCache(EnvelopeCache *cache, const KnownEnvelope &known);

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
        KnownEnvelope known;
    };
    bool fifo = false;
    bool whole = true; // envelopes made at once (for the cache)
    size_t from = 0, to = 0;
    std::vector<Job> jobs;
    std::vector<KnownEnvelope> ahead; // in the walk's order; the jobs' go where jobAt says
    std::vector<size_t> jobAt;
    std::atomic<size_t> next{0};
    std::unique_ptr<Task> reader;
    unsigned forks = ForkCount(); // of the process whose thread reads
    std::string fallback = FallbackCharset(); // the walking session's, for the reader

    bool Covers(bool walkFifo, size_t at) const { return fifo == walkFifo && from <= at && at < to; }

    // Reads the files nobody has taken yet (on the provider's thread,
    // coming to rest between two files).
    void Work();
    // One of the provider's threads for what there is to read; none to be
    // had, the walk's thread reads it all when it comes to it.
    void Start();
    // Reads what is left on this thread, then waits for the reader. False
    // in a child process, which has no reader: the batch must then be left
    // as it is (never destroyed), its files unread.
    bool Finish();
};

// What a walk has read ahead of its next step.
struct Ahead {
    // Envelopes in the walk's order, and where the next step's is.
    std::vector<KnownEnvelope> envelopes;
    size_t at = 0;
    // The stretch of the walk after `envelopes`, being read meanwhile.
    std::unique_ptr<Batch> coming;
    // The envelope the walk's last step read for its class, for the read of
    // the same message that usually follows: the header is read once.
    KnownEnvelope recent;
};

// Ends a batch that is no longer wanted.
void Drop(std::unique_ptr<Batch> &batch);

// Reads the header block of a file for its envelope, and keeps it in the
// cache under the key of the file as it was opened (its status taken before
// its content is read: a change after that shows as a different key).
// nullopt when it cannot be read (`status` then has no inode) or its header
// block is too long.
std::optional<Envelope> EnvelopeFromFile(const std::string &path, const FileKey &listedKey, EnvelopeCache *cache,
                                         struct stat *status);

} // namespace kelvra_provider::maildir
