// What a session has learnt of the selected IMAP folder: its messages by
// UID with their flags, arrival times, sizes and (once fetched) headers,
// their order of arrival, where vanished ones stood, and the messages this
// session saved over. Nothing here talks to the server.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvra_provider::imap {

// A message's identifier: the folder's UIDVALIDITY and the message's UID
// (zero-padded, so that identifiers sort as UIDs do).
std::string IdOf(std::uint32_t validity, std::uint32_t uid);
// The parts of an identifier; false for anything that is not one.
bool ParseId(const std::string &id, std::uint32_t *validity, std::uint32_t *uid);

struct Entry {
    std::uint32_t uid = 0;
    std::int64_t time = 0; // INTERNALDATE, seconds
    std::int64_t size = 0;
    bool seen = false;
    std::shared_ptr<const std::string> header; // null until fetched
    std::optional<std::string> cls;            // its class, once known (from its header or the cache)
    std::optional<std::uint32_t> files;        // how many files a read hands out, once known (Structure.h)
};

// A range of UIDs, both ends in it.
struct UidSpan {
    std::uint32_t first = 0, last = 0;
};

class Folder {
public:
    // A new generation of the folder (a new UIDVALIDITY): nothing known of
    // the old one holds.
    void Reset();
    // Takes a fresh listing (`fresh`: sorted by UID, no UID twice): headers
    // known of its messages stay (they never change under a UID), and
    // where vanished messages stood is kept.
    void Take(std::vector<Entry> fresh);
    // Takes what changed since the listing: messages new or with new flags
    // (`changed`, any order), and the UIDs gone (in `gone`, or every UID
    // `keep` does not hold when it is given: sorted).
    void Apply(std::vector<Entry> changed, const std::vector<UidSpan> &gone,
               const std::vector<std::uint32_t> *keep = nullptr);
    const std::vector<Entry> &Entries() const { return entries_; }
    std::uint32_t LastUid() const { return entries_.empty() ? 0 : entries_.back().uid; }

    Entry *Find(std::uint32_t uid);
    // Leaves a message out until the next listing.
    void Forget(std::uint32_t uid);
    // Where a walk goes on after the message `seedUid`: in UID order after
    // it; in arrival order after where it stood (also when it vanished).
    size_t PositionAfter(std::uint32_t seedUid, bool fifo) const;
    // The message at a place of a walk in either order.
    Entry &At(size_t i, bool fifo) { return entries_[fifo ? byArrival_[i] : i]; }
    size_t Size() const { return entries_.size(); }

    // The message a UID names now: the last version this session saved of it.
    std::uint32_t Current(std::uint32_t uid) const;
    // A save replaced message `uid` by `newUid`.
    void Replaced(std::uint32_t uid, std::uint32_t newUid) { replaced_[uid] = newUid; }

    // The server's unseen messages, as the last search found them.
    void SetUnseen(std::vector<std::uint32_t> uids) { unseen_ = std::move(uids); }
    bool Unseen(std::uint32_t uid) const;
    void MarkSeen(std::uint32_t uid);

    // Counts the times the folder was made anew.
    unsigned generation = 0;
    bool listed = false, searched = false;
    // The mod-sequence the listing is current to (CONDSTORE; 0: not known).
    std::uint64_t modseq = 0;
    // The listing changed since it was last kept in the cache.
    bool changed = false;
    // When the listing was last asked for; {} asks for it again.
    std::chrono::steady_clock::time_point checkedAt{};
    // What the last listing took, with keeping it in the cache.
    std::chrono::steady_clock::duration listingCost{};

private:
    void SortByArrival();

    std::vector<Entry> entries_; // by UID
    std::vector<size_t> byArrival_;
    std::map<std::uint32_t, std::int64_t> gone_; // where vanished messages stood in arrival order
    // Messages this session saved over: the old UID names the new version
    // for the rest of the session, as a Maildir identifier survives a save
    // (a caller that keeps the identifier it had reads what it saved).
    std::map<std::uint32_t, std::uint32_t> replaced_;
    std::vector<std::uint32_t> unseen_; // the server's UID SEARCH UNSEEN, sorted
};

} // namespace kelvra_provider::imap
