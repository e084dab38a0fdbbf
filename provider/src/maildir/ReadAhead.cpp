#include "maildir/ReadAhead.h"

#include "Files.h"
#include "cache/EnvelopeCache.h"

#include <fcntl.h>
#include <unistd.h>

namespace kelvra_provider::maildir {

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
    } else if (const int fd = OpenMessageFile(path, &st, true); fd >= 0) {
        known.header = ReadHeaderBlock(fd);
        close(fd);
        if (known.header)
            known.cls = MessageClassOfHeader(*known.header);
    } else {
        st = {};
    }
    known.stamp = FileStamp::Of(st);
    return known;
}

void KeepInCache(EnvelopeCache *cache, const KnownEnvelope &known)
{
    if (cache == nullptr || !known.envelope)
        return;
    FileKey key;
    key.id = known.id;
    key.name = known.name;
    key.stamp = known.stamp;
    cache->Store(key, *known.envelope);
}

void Batch::Work()
{
    for (size_t k; (k = next.fetch_add(1)) < jobs.size();) {
        Job &job = jobs[k];
        try {
            job.known = ReadKnown(job.path, job.id, job.name, whole);
        } catch (...) {
            job.known = {}; // not known: passed over
        }
        Rest();
    }
}

void Batch::Start()
{
    if (jobs.empty())
        return;
    reader = std::make_unique<Task>([this] {
        const FallbackScope scope(fallback);
        Work();
    });
    if (!reader->Start())
        reader.reset();
}

bool Batch::Finish()
{
    if (forks != ForkCount())
        return false;
    Work();
    if (reader)
        reader->Finish();
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
    const int fd = OpenMessageFile(path, &st, true);
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
        key.stamp = FileStamp::Of(st);
        cache->Store(key, envelope);
    }
    return envelope;
}

} // namespace kelvra_provider::maildir
