#include "maildir/ReadAhead.h"

#include "maildir/EnvelopeCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <pthread.h>

#include <chrono>
#include <mutex>
#include <system_error>

namespace kmp::maildir {

std::optional<Envelope> KnownEnvelope::TakeEnvelope()
{
    if (!envelope && header)
        envelope = EnvelopeOfHeader(*header);
    header.reset();
    return std::move(envelope);
}

KnownEnvelope ReadKnown(const std::string &path, std::string_view id, std::string_view name, bool whole)
{
    KnownEnvelope known;
    known.id = id;
    known.name = name;
    struct stat st {};
    if (whole) {
        known.envelope = EnvelopeFromFile(path, FileKey{}, nullptr, &st);
    } else if (const int fd = OpenRegular(path, &st, true); fd >= 0) {
        known.header = ReadHeaderBlock(fd);
        close(fd);
        if (known.header)
            known.cls = MessageClassOfHeader(*known.header);
    } else {
        st = {};
    }
    known.size = st.st_size;
    known.time = st.st_mtim.tv_sec;
    known.nanoseconds = st.st_mtim.tv_nsec;
    known.inode = st.st_ino;
    return known;
}

void KeepInCache(EnvelopeCache *cache, const KnownEnvelope &known)
{
    if (cache == nullptr || !known.envelope)
        return;
    FileKey key;
    key.id = known.id;
    key.name = known.name;
    key.size = known.size;
    key.time = known.time;
    key.nanoseconds = known.nanoseconds;
    key.inode = known.inode;
    cache->Store(key, *known.envelope);
}

namespace {

// A fork while a reader is inside a file's header (allocating, in GMime)
// would leave the child the locks that reader held, and the child's own
// reads would wait on them for ever. A fork closes the gate to new files
// and waits until the files being read are done (one each at most); the
// gate opens again on both sides (in the child no reader is left).
std::mutex g_gate;
std::atomic<int> g_reading{0};

struct QuietAtFork {
    QuietAtFork()
    {
        pthread_atfork(
            [] {
                g_gate.lock();
                while (g_reading.load() != 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
            },
            [] { g_gate.unlock(); },
            [] {
                g_reading = 0;
                g_gate.unlock();
            });
    }
} g_quietAtFork;

// A file being read, counted while it is.
struct Reading {
    Reading()
    {
        const std::lock_guard<std::mutex> gate(g_gate);
        ++g_reading;
    }
    ~Reading() { --g_reading; }
    Reading(const Reading &) = delete;
    Reading &operator=(const Reading &) = delete;
};

} // namespace

void Batch::Work()
{
    for (size_t k; (k = next.fetch_add(1)) < jobs.size();) {
        Job &job = jobs[k];
        try {
            const Reading reading;
            job.known = ReadKnown(job.path, job.id, job.name, whole);
        } catch (...) {
            job.known = {}; // not known: passed over
        }
    }
}

void Batch::Start()
{
    if (jobs.empty())
        return;
    try {
        const SignalsBlocked quiet;
        reader = std::thread([this] { Work(); });
    } catch (const std::system_error &) {
    }
}

bool Batch::Finish()
{
    if (forks != ForkCount())
        return false;
    Work();
    if (reader.joinable())
        reader.join();
    return true;
}

void Drop(std::unique_ptr<Batch> &batch)
{
    if (batch && !batch->Finish())
        (void)batch.release(); // a parent's: its reader is not in this process
    batch.reset();
}

std::optional<Envelope> EnvelopeFromFile(const std::string &path, const FileKey &listedKey, EnvelopeCache *cache,
                                         struct stat *status)
{
    struct stat st {};
    const int fd = OpenRegular(path, &st, true);
    if (fd < 0) {
        *status = {};
        return std::nullopt;
    }
    const std::optional<std::string> header = ReadHeaderBlock(fd);
    close(fd);
    *status = st;
    if (!header)
        return std::nullopt;
    Envelope envelope = EnvelopeOfHeader(*header);
    if (cache != nullptr) {
        FileKey key = listedKey;
        key.size = st.st_size;
        key.time = st.st_mtim.tv_sec;
        key.nanoseconds = st.st_mtim.tv_nsec;
        key.inode = st.st_ino;
        cache->Store(key, envelope);
    }
    return envelope;
}

} // namespace kmp::maildir
