// A Maildir folder, read and written by the Maildir rules: messages are
// written under tmp/ and renamed into new/ or cur/, so no half-written
// message is ever visible; a message's identifier is its unique name
// without the ":2,<flags>" suffix, so it survives flag changes and saves.
#pragma once

#include <cstdint>
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
};

class Maildir {
public:
    explicit Maildir(std::string root) : root_(std::move(root)) {}

    // Creates the folder (and its parents) and its tmp/, new/ and cur/
    // (mode 0700) where missing.
    void Create() const;

    const std::string &Root() const { return root_; }

    // Stores a new message; returns its identifier. Unseen messages go to
    // new/, seen ones to cur/ with the S flag.
    std::string Deliver(std::string_view bytes, bool seen);
    // The message of that identifier, as the folder is now.
    std::optional<MaildirEntry> Find(const std::string &id);
    // The identifier after `seed` (from the start for an empty seed; after
    // the place where a vanished seed stood), by name or, with `fifo`, by
    // arrival; `accept` filters. Empty at the end.
    std::string Next(const std::string &seed, bool fifo, bool (*accept)(Maildir &, const MaildirEntry &, const void *),
                     const void *context);
    // Marks the message seen (moving it to cur/ if it is in new/).
    void MarkSeen(const MaildirEntry &entry);
    // Replaces the message's content atomically, keeping its name.
    void Replace(const MaildirEntry &entry, std::string_view bytes);
    // Removes the message; false when it is not there.
    bool Remove(const std::string &id);
    // The message's class, from its X-Message-Class header ("" when none);
    // cached per file as long as it is unchanged. For Next's filter only.
    std::string MessageClass(const MaildirEntry &entry);

private:
    std::string WriteTemporary(std::string_view bytes);
    std::vector<MaildirEntry> Scan();

    std::string root_;
};

// A Maildir++ subfolder of a mailbox: "<root>/.<name>".
std::string Subfolder(const std::string &root, const std::string &name);

} // namespace kmp
