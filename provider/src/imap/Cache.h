// The IMAP store's cache: one SQLite file per server folder (the same home
// and rules as a Maildir folder's envelope cache), keyed by the server's
// URL, the user and the folder. It keeps the folder's listing (UIDs,
// arrival times, sizes, the seen flag, each message's class) with the
// UIDVALIDITY and the mod-sequence it is current to, and the envelopes,
// under the UIDVALIDITY and the UID (a message never changes under its UID).
// A new UIDVALIDITY drops all of it.
#pragma once

#include "message/Envelope.h"
#include "imap/Connection.h"
#include "imap/Folder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvra_provider {
class EnvelopeCache;
}

namespace kelvra_provider::imap {

class Cache {
public:
    // The cache of the settings' folder under `cacheFolder`; null when it
    // cannot be used (or `cacheFolder` is empty: the cache is off).
    static std::unique_ptr<Cache> Open(const std::string &cacheFolder, const Settings &settings);
    ~Cache();

    // Fills `folder` with the listing kept, when it is of this UIDVALIDITY;
    // one of another is dropped with every envelope. True when it did.
    bool Seed(std::uint32_t validity, Folder &folder);
    // Keeps the folder's listing (when it changed since it was last kept).
    void Keep(std::uint32_t validity, Folder &folder);
    // Drops everything kept: the folder was made anew.
    void Forget();

    std::optional<Envelope> Find(std::uint32_t validity, std::uint32_t uid);
    void Store(std::uint32_t validity, const Entry &entry, const Envelope &envelope);
    // Writes what is held back.
    void Flush();

private:
    explicit Cache(std::unique_ptr<EnvelopeCache> envelopes);
    std::unique_ptr<EnvelopeCache> envelopes_;
};

} // namespace kelvra_provider::imap
