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

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kmp {

struct MaildirEntry {
    std::string id;
    std::string path;      // the file as it is named now
    bool seen = false;     // the "S" flag
    std::int64_t time = 0; // when it arrived: the file's modification time, seconds
    long nanoseconds = 0;  // and the rest of it
    std::int64_t size = 0;
    std::uint64_t inode = 0;
    unsigned revision = 0; // the ",R=" field: how often it was saved over
};

// Writes a message's bytes to a descriptor; raises MapiError on failure.
using MessageWriter = std::function<void(int fd)>;

class Maildir {
public:
    explicit Maildir(std::string root) : root_(std::move(root)) {}

    // Creates the folder (and its parents) and its tmp/, new/ and cur/
    // (mode 0700) where missing.
    void Create() const;
    // Removes what interrupted writers left in tmp/: files older than 36
    // hours, and files of this provider's own naming whose process is gone.
    void CleanTemporary() const;

    const std::string &Root() const { return root_; }

    // Stores a new message; returns its identifier. Unseen messages go to
    // new/, seen ones to cur/ with the S flag. Durable when it returns.
    std::string Deliver(std::string_view bytes, bool seen);
    std::string Deliver(const MessageWriter &write, bool seen);
    // The message of that identifier, as the folder is now.
    std::optional<MaildirEntry> Find(const std::string &id);
    // The identifier after `seed` (from the start for an empty seed; after
    // the place where a vanished seed stood), by name or, with `fifo`, by
    // arrival; `accept` filters. Empty at the end.
    std::string Next(const std::string &seed, bool fifo, bool (*accept)(Maildir &, const MaildirEntry &, const void *),
                     const void *context);
    // Marks the message seen (moving it to cur/ if it is in new/).
    void MarkSeen(const MaildirEntry &entry);
    // Replaces the message's content under a new file name of the same
    // identifier, keeping its flags (also those another program gave it
    // meanwhile) and its arrival time. Afterwards exactly one file has the
    // identifier; on failure the old message is whole.
    void Rewrite(const MaildirEntry &entry, const MessageWriter &write);
    // Removes the message; false when it is not there.
    bool Remove(const std::string &id);
    // The message's class, from its X-Message-Class header ("" when none or
    // when the header cannot be read); only the header block is read, up
    // to a bound. Cached per file while it is unchanged. For Next's filter.
    std::string MessageClass(const MaildirEntry &entry);

private:
    std::string WriteTemporary(const MessageWriter &write);
    std::vector<MaildirEntry> Scan();

    std::string root_;
};

// A Maildir++ subfolder of a mailbox: "<root>/.<name>".
std::string Subfolder(const std::string &root, const std::string &name);

// The value of the X-Message-Class header of a header block ("" when none),
// unfolded and trimmed. Exposed for the tests.
std::string MessageClassOfHeader(std::string_view header);

// Called between a rewrite's new file taking its place and the old one's
// removal; tests set it to act as another program would.
extern void (*g_rewriteHook)(const std::string &oldPath);
// The fsync of every file and folder the Maildir makes durable; tests
// replace it to watch what is synced.
extern int (*g_fsync)(int fd);

} // namespace kmp
