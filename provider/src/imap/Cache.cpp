#include "imap/Cache.h"

#include "cache/Packed.h"
#include "cache/EnvelopeCache.h"

namespace kelvra_provider::imap {

namespace {

constexpr std::uint32_t kMark = 0x4B4C4931; // "KLI1"

std::string StampsOf(std::uint32_t validity, std::uint64_t modseq)
{
    std::string out;
    Pack(out, kMark);
    Pack(out, validity);
    Pack(out, modseq);
    return out;
}

std::string FilesOf(const Folder &folder)
{
    std::string out;
    Pack(out, kMark);
    Pack(out, static_cast<std::uint64_t>(folder.Entries().size()));
    for (const Entry &e : folder.Entries()) {
        Pack(out, e.uid);
        Pack(out, e.time);
        Pack(out, e.size);
        const std::string_view cls = e.cls ? std::string_view(*e.cls).substr(0, 0xFFFF) : std::string_view();
        Pack(out, static_cast<std::uint8_t>((e.seen ? 1 : 0) | (e.cls ? 2 : 0)));
        Pack(out, static_cast<std::uint16_t>(cls.size()));
        out.append(cls);
    }
    return out;
}

// The entries of a kept listing (sorted by UID as kept); nullopt when it is
// not one this library wrote on such a host.
std::optional<std::vector<Entry>> EntriesOf(std::string_view in)
{
    std::uint32_t mark = 0;
    std::uint64_t count = 0;
    if (!Unpack(in, mark) || mark != kMark || !Unpack(in, count) || count > in.size())
        return std::nullopt;
    std::vector<Entry> entries;
    entries.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        Entry e;
        std::uint8_t flags = 0;
        std::uint16_t length = 0;
        if (!Unpack(in, e.uid) || !Unpack(in, e.time) || !Unpack(in, e.size) || !Unpack(in, flags) ||
            !Unpack(in, length) || in.size() < length || (!entries.empty() && entries.back().uid >= e.uid))
            return std::nullopt;
        e.seen = flags & 1;
        if (flags & 2)
            e.cls = std::string(in.substr(0, length));
        in.remove_prefix(length);
        entries.push_back(std::move(e));
    }
    if (!in.empty())
        return std::nullopt;
    return entries;
}

} // namespace

Cache::Cache(std::unique_ptr<EnvelopeCache> envelopes) : envelopes_(std::move(envelopes)) {}

Cache::~Cache() = default;

std::unique_ptr<Cache> Cache::Open(const std::string &cacheFolder, const Settings &settings)
{
    if (cacheFolder.empty())
        return nullptr;
    // The key names the server, the user and the folder: what a UID means
    // (from the URL's parts: a password written into the URL never goes
    // into the file).
    std::unique_ptr<EnvelopeCache> envelopes = EnvelopeCache::Open(
        cacheFolder, std::string(settings.implicitTls ? "imaps://" : "imap://") + settings.user + "@" + settings.host +
                         ":" + std::to_string(settings.port) + "/" + settings.folder);
    if (!envelopes)
        return nullptr;
    return std::unique_ptr<Cache>(new Cache(std::move(envelopes)));
}

bool Cache::Seed(std::uint32_t validity, Folder &folder)
{
    const std::optional<EnvelopeCache::Listing> kept = envelopes_->KeptListing();
    if (!kept)
        return false;
    std::string_view stamps = kept->stamps;
    std::uint32_t mark = 0, keptValidity = 0;
    std::uint64_t modseq = 0;
    if (!Unpack(stamps, mark) || mark != kMark || !Unpack(stamps, keptValidity) || !Unpack(stamps, modseq))
        return false;
    if (keptValidity != validity) {
        Forget();
        return false;
    }
    std::optional<std::vector<Entry>> entries = EntriesOf(kept->files);
    if (!entries)
        return false;
    folder.Take(std::move(*entries));
    folder.modseq = modseq;
    folder.listed = true;
    folder.changed = false;
    folder.checkedAt = {};
    return true;
}

void Cache::Keep(std::uint32_t validity, Folder &folder)
{
    if (!folder.changed)
        return;
    envelopes_->KeepListing({StampsOf(validity, folder.modseq), FilesOf(folder)});
    folder.changed = false;
}

void Cache::Forget()
{
    envelopes_->Prune([](std::string_view) { return false; });
    envelopes_->KeepListing({StampsOf(0, 0), FilesOf(Folder())});
}

std::optional<Envelope> Cache::Find(std::uint32_t validity, std::uint32_t uid)
{
    std::optional<CachedEnvelope> cached = envelopes_->Entry(IdOf(validity, uid));
    if (!cached || cached->stamp.inode != uid)
        return std::nullopt;
    return std::move(cached->envelope);
}

void Cache::Store(std::uint32_t validity, const Entry &entry, const Envelope &envelope)
{
    const std::string id = IdOf(validity, entry.uid);
    FileKey key;
    key.id = id;
    key.stamp.size = entry.size;
    key.stamp.seconds = entry.time;
    key.stamp.inode = entry.uid; // the server's identifier stands in for the file's
    envelopes_->Store(key, envelope);
}

void Cache::Flush() { envelopes_->Flush(); }

} // namespace kelvra_provider::imap
