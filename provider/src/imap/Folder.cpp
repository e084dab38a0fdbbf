#include "imap/Folder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kelvra_provider::imap {

std::string IdOf(std::uint32_t validity, std::uint32_t uid)
{
    // The UID zero-padded, so that identifiers sort as UIDs do.
    char id[32];
    std::snprintf(id, sizeof id, "%u.%010u", validity, uid);
    return id;
}

bool ParseId(const std::string &id, std::uint32_t *validity, std::uint32_t *uid)
{
    if (id.empty() || id.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    unsigned long v = 0, u = 0;
    int end = 0;
    if (std::sscanf(id.c_str(), "%lu.%lu%n", &v, &u, &end) != 2 || static_cast<size_t>(end) != id.size() ||
        v == 0 || u == 0 || v > UINT32_MAX || u > UINT32_MAX)
        return false;
    *validity = static_cast<std::uint32_t>(v);
    *uid = static_cast<std::uint32_t>(u);
    return true;
}

namespace {

// What was learnt of a message's content stays with its UID (the content
// never changes under it) when a new listing of its flags comes.
void TakeKnown(Entry &fresh, Entry &known)
{
    fresh.header = std::move(known.header);
    fresh.cls = std::move(known.cls);
    fresh.files = known.files;
}

} // namespace

void Folder::Reset()
{
    modseq = 0;
    changed = true;
    entries_.clear();
    byArrival_.clear();
    gone_.clear();
    replaced_.clear();
    unseen_.clear();
    listed = searched = false;
    ++generation;
}

void Folder::Take(std::vector<Entry> fresh)
{
    size_t k = 0;
    for (Entry &e : fresh) {
        while (k < entries_.size() && entries_[k].uid < e.uid)
            gone_[entries_[k].uid] = entries_[k].time, ++k;
        if (k < entries_.size() && entries_[k].uid == e.uid)
            TakeKnown(e, entries_[k++]);
    }
    for (; k < entries_.size(); ++k)
        gone_[entries_[k].uid] = entries_[k].time;
    if (gone_.size() > 100000)
        gone_.clear();
    entries_ = std::move(fresh);
    changed = true;
    SortByArrival();
}

void Folder::Apply(std::vector<Entry> changed_, const std::vector<UidSpan> &gone,
                   const std::vector<std::uint32_t> *keep)
{
    std::sort(changed_.begin(), changed_.end(), [](const Entry &a, const Entry &b) { return a.uid < b.uid; });
    // The spans by their first UID, each looked up by binary search: a
    // server may name many.
    std::vector<UidSpan> spans = gone;
    std::sort(spans.begin(), spans.end(), [](const UidSpan &a, const UidSpan &b) { return a.first < b.first; });
    std::uint32_t reach = 0; // spans may overlap: the furthest end up to each
    std::vector<std::uint32_t> reaches;
    reaches.reserve(spans.size());
    for (const UidSpan &span : spans)
        reaches.push_back(reach = std::max(reach, span.last));
    auto vanished = [&](std::uint32_t uid) {
        if (keep != nullptr)
            return !std::binary_search(keep->begin(), keep->end(), uid);
        const auto after = std::upper_bound(spans.begin(), spans.end(), uid,
                                            [](std::uint32_t key, const UidSpan &s) { return key < s.first; });
        return after != spans.begin() && reaches[static_cast<size_t>(after - spans.begin()) - 1] >= uid;
    };
    std::vector<Entry> merged;
    merged.reserve(entries_.size() + changed_.size());
    size_t k = 0;
    for (Entry &c : changed_) {
        while (k < entries_.size() && entries_[k].uid < c.uid)
            merged.push_back(std::move(entries_[k++]));
        if (k < entries_.size() && entries_[k].uid == c.uid)
            TakeKnown(c, entries_[k++]);
        if (merged.empty() || merged.back().uid != c.uid)
            merged.push_back(std::move(c));
    }
    while (k < entries_.size())
        merged.push_back(std::move(entries_[k++]));
    std::vector<Entry> kept;
    kept.reserve(merged.size());
    for (Entry &e : merged) {
        if (vanished(e.uid))
            gone_[e.uid] = e.time;
        else
            kept.push_back(std::move(e));
    }
    if (gone_.size() > 100000)
        gone_.clear();
    changed = changed || !changed_.empty() || kept.size() != entries_.size();
    entries_ = std::move(kept);
    SortByArrival();
}

void Folder::SortByArrival()
{
    byArrival_.resize(entries_.size());
    for (size_t i = 0; i < byArrival_.size(); ++i)
        byArrival_[i] = i;
    std::sort(byArrival_.begin(), byArrival_.end(), [&](size_t a, size_t b) {
        return entries_[a].time != entries_[b].time ? entries_[a].time < entries_[b].time
                                                    : entries_[a].uid < entries_[b].uid;
    });
}

Entry *Folder::Find(std::uint32_t uid)
{
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), uid,
                                     [](const Entry &e, std::uint32_t key) { return e.uid < key; });
    return it != entries_.end() && it->uid == uid ? &*it : nullptr;
}

void Folder::Forget(std::uint32_t uid)
{
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), uid,
                                     [](const Entry &e, std::uint32_t key) { return e.uid < key; });
    if (it == entries_.end() || it->uid != uid)
        return;
    gone_[uid] = it->time;
    entries_.erase(it);
    // Arrival order is made again at the next listing; until then it is
    // made here, so that a walk goes on in order.
    SortByArrival();
    checkedAt = {};
}

size_t Folder::PositionAfter(std::uint32_t seedUid, bool fifo) const
{
    if (!fifo)
        return static_cast<size_t>(std::upper_bound(entries_.begin(), entries_.end(), seedUid,
                                                    [](std::uint32_t key, const Entry &e) { return key < e.uid; }) -
                                   entries_.begin());
    // A vanished seed stands where it stood, or else beside the nearest
    // earlier UID.
    const auto below = std::lower_bound(entries_.begin(), entries_.end(), seedUid,
                                        [](const Entry &e, std::uint32_t key) { return e.uid < key; });
    std::int64_t time = 0;
    if (below != entries_.end() && below->uid == seedUid)
        time = below->time;
    else if (const auto gone = gone_.find(seedUid); gone != gone_.end())
        time = gone->second;
    else
        time = below == entries_.begin() ? 0 : std::prev(below)->time;
    return static_cast<size_t>(std::upper_bound(byArrival_.begin(), byArrival_.end(), 0,
                                                [&](int, size_t i) {
                                                    const Entry &e = entries_[i];
                                                    return time != e.time ? time < e.time : seedUid < e.uid;
                                                }) -
                               byArrival_.begin());
}

std::uint32_t Folder::Current(std::uint32_t uid) const
{
    // New UIDs only grow, so the chain of saves ends.
    for (auto it = replaced_.find(uid); it != replaced_.end(); it = replaced_.find(uid))
        uid = it->second;
    return uid;
}

bool Folder::Unseen(std::uint32_t uid) const { return std::binary_search(unseen_.begin(), unseen_.end(), uid); }

void Folder::MarkSeen(std::uint32_t uid)
{
    if (Entry *e = Find(uid))
        e->seen = true;
    const auto it = std::lower_bound(unseen_.begin(), unseen_.end(), uid);
    if (it != unseen_.end() && *it == uid)
        unseen_.erase(it);
}

} // namespace kelvra_provider::imap
