// A Maildir folder, read and written by the Maildir rules: messages are
// written under tmp/ and renamed into new/ or cur/, so no half-written
// message is ever visible, and a message file is never rewritten in place.
//
// A message's identifier is its unique name without the ":2,<flags>" part
// and without the ",R=", ",S=" and ",W=" fields of the name, so it survives
// flag changes and saves: a save puts the new content under a new file name
// ("<identifier>,R=<revision>"), which indexers that take message files as
// immutable see as a new file, while the identifier stays the same.
#pragma once

#include <dirent.h>

#include "StoredFile.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {
struct Envelope;
}

namespace kelvra_provider::maildir {

// What MAPIFindNext's walk skips: read messages on request, and messages
// whose class `matches` refuses (the class is "" for ordinary mail).
struct WalkFilter {
    bool unreadOnly = false;
    bool (*matches)(const std::string &cls, const void *context) = nullptr;
    const void *context = nullptr;
};

class Maildir {
public:
    // `cacheFolder` holds the folder's persistent envelope cache; empty:
    // none (every envelope is read from its message).
    explicit Maildir(std::string root, std::string cacheFolder = {})
        : root_(std::move(root)), cacheFolder_(std::move(cacheFolder))
    {
    }

    // Creates the folder (and its parents) and its tmp/, new/ and cur/
    // (mode 0700) where missing. A folder that is there and holds other
    // things than a Maildir's is refused (MAPI_E_LOGON_FAILURE) untouched.
    void Create() const;
    // Removes what interrupted writers left in tmp/: files older than 36
    // hours, and files of this provider's own naming whose process is gone.
    void CleanTemporary() const;
    // Removes what a save interrupted between its new file taking the old
    // one's place and the old one's removal left: older revisions of a
    // message beside its newest, once that has stood for kSettled seconds
    // (a save in progress is never raced).
    void DropOldRevisions() const;

    const std::string &Root() const { return root_; }

    // Stores a new message; returns its identifier. Unseen messages go to
    // new/, seen ones to cur/ with the S flag. Durable when it returns.
    std::string Deliver(std::string_view bytes, bool seen);
    std::string Deliver(const MessageWriter &write, bool seen);
    // Deliver in two steps: the message written and synced under tmp/, out
    // of every reader's sight (its path returned), then put in its place.
    // A staged file never placed is removed by its writer or, after a crash,
    // at the next logon (CleanTemporary).
    std::string Stage(std::string_view bytes);
    std::string Place(const std::string &staged, bool seen);
    // The message of that identifier, as the folder is now.
    std::optional<StoredFile> Find(const std::string &id);
    // The message of that identifier as the folder was last listed, without
    // looking at the folder again (as Find when the listing is due to be
    // made again). For the read that follows a walk's step: when its file
    // is gone meanwhile, the reader asks Find.
    std::optional<StoredFile> Known(const std::string &id);
    // The identifier after `seed` (from the start for an empty seed; after
    // the place where a vanished seed stood), by name or, with `fifo`, by
    // arrival, skipping what `filter` refuses. Empty at the end.
    std::string Next(const std::string &seed, bool fifo, const WalkFilter &filter);
    // The envelope of a message: from the cache while the file is unchanged
    // (same name, size, modification time and inode), else from its header
    // block, which then goes into the cache. `entry` is brought up to the
    // file's status as it is now. nullopt when the header block is too long
    // to be read on its own. MAPI_E_INVALID_MESSAGE when the file is gone.
    std::optional<Envelope> ReadEnvelope(StoredFile &entry);
    // The envelope of a message as the folder's listing and the cache know
    // it, without looking at its file: message files change by rename, so
    // a cache entry read from the file of the listed name and inode is that
    // file's. nullopt when either does not know it (then ReadEnvelope).
    // `entry` is the message, with the status its cache entry was read at.
    std::optional<Envelope> ListedEnvelope(const std::string &id, StoredFile &entry);
    // Brings the cache and the listing up to a message's file as it is now,
    // after a read of the whole message (a change in place shows there).
    void Recheck(StoredFile entry);
    // Marks the message seen (moving it to cur/ if it is in new/).
    void MarkSeen(const StoredFile &entry);
    // Replaces the message's content under a new file name of the same
    // identifier, keeping its flags (also those another program gave it
    // meanwhile) and its arrival time. Afterwards exactly one file has the
    // identifier; on failure the old message is whole.
    void Rewrite(const StoredFile &entry, const MessageWriter &write);
    // Removes the message; false when it is not there.
    bool Remove(const std::string &id);
private:
    std::string WriteTemporary(const MessageWriter &write);
    // Keeps what a read learnt of a listed message (its class, its status).
    void Remember(const StoredFile &entry, std::string_view name, const Envelope &envelope);

    std::string root_;
    std::string cacheFolder_;
};

// Opens one of a mailbox's folders for listing, never through a link
// (ELOOP). Closed with closedir.
DIR *OpenFolder(const std::string &path);

// A Maildir++ subfolder of a mailbox: "<root>/.<name>".
std::string Subfolder(const std::string &root, const std::string &name);

// Called between a rewrite's new file taking its place and the old one's
// removal; tests set it to act as another program would.
extern void (*g_rewriteHook)(const std::string &oldPath);
// The fsync of every file and folder the Maildir makes durable; tests
// replace it to watch what is synced.
extern int (*g_fsync)(int fd);
// How long a newest revision stands before older ones beside it count as
// left over (seconds, by its status change time); tests set it to 0.
extern long g_settled;

} // namespace kelvra_provider::maildir
