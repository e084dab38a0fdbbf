#include "imap/Sync.h"

#include "imap/Commands.h"
#include "imap/Structure.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>

namespace kelvra_provider::imap {

namespace {

// What a FETCH answer says of each message, as listing entries.
std::vector<Entry> EntriesOf(const FetchList &answer, std::uint64_t &modseq, std::uint32_t above = 0)
{
    std::vector<Entry> entries;
    ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
        const Fetched f = Parse(m);
        if (f.uid > above) {
            Entry e;
            e.uid = f.uid;
            e.time = f.time;
            e.size = f.size;
            e.seen = f.seen;
            entries.push_back(std::move(e));
        }
        modseq = std::max(modseq, f.modseq);
    });
    return entries;
}

// The whole listing, in one command.
void ListWhole(Connection &conn, Folder &folder)
{
    std::vector<Entry> fresh;
    std::uint64_t modseq = 0;
    {
        FetchList answer;
        const bool listed = UidFetch(conn, mailimap_set_new_interval(1, 0), ListingAttributes(conn.Condstore()), answer);
        if (!listed)
            conn.Refused("to list " + conn.Config().folder);
        fresh = EntriesOf(answer, modseq);
    }
    std::sort(fresh.begin(), fresh.end(), [](const Entry &a, const Entry &b) { return a.uid < b.uid; });
    fresh.erase(std::unique(fresh.begin(), fresh.end(), [](const Entry &a, const Entry &b) { return a.uid == b.uid; }),
                fresh.end());
    folder.Take(std::move(fresh));
    folder.modseq = modseq;
}

// What changed since the listing's mod-sequence (CONDSTORE): messages new or
// with new flags in one command; the ones gone in its answer (QRESYNC's
// VANISHED) or by one UID SEARCH ALL.
void ListChanges(Connection &conn, Folder &folder)
{
    std::uint64_t modseq = folder.modseq;
    std::vector<Entry> changed;
    std::vector<UidSpan> vanished;
    {
        FetchList answer;
        if (!UidFetchChanged(conn, mailimap_set_new_interval(1, 0),
                             ListingAttributes(true),
                             folder.modseq, answer, conn.Qresync() ? &vanished : nullptr))
            conn.Refused("to list the changes of " + conn.Config().folder);
        changed = EntriesOf(answer, modseq);
    }
    if (conn.Qresync()) {
        folder.Apply(std::move(changed), vanished);
    } else {
        std::vector<std::uint32_t> present;
        if (!SearchAll(conn, present))
            conn.Refused("to search " + conn.Config().folder);
        folder.Apply(std::move(changed), {}, &present);
    }
    folder.modseq = modseq;
}

// Without CONDSTORE: the flags of the known range and the new messages,
// in two commands; a known UID the first does not answer for is gone.
void ListFlags(Connection &conn, Folder &folder)
{
    const std::uint32_t last = folder.LastUid();
    std::uint64_t none = 0;
    std::vector<Entry> changed;
    std::vector<std::uint32_t> present;
    if (last != 0) {
        FetchList answer;
        if (!UidFetch(conn, mailimap_set_new_interval(1, last), {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags()},
                      answer))
            conn.Refused("to list " + conn.Config().folder);
        ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
            const Fetched f = Parse(m);
            if (const Entry *known = folder.Find(f.uid); known != nullptr) {
                present.push_back(f.uid);
                if (known->seen != f.seen) {
                    Entry e = *known;
                    e.seen = f.seen;
                    changed.push_back(std::move(e));
                }
            }
        });
    }
    {
        // "last+1:*" answers for the last message also when it is older.
        FetchList answer;
        if (!UidFetch(conn, mailimap_set_new_interval(last + 1, 0),
                      ListingAttributes(false),
                      answer))
            conn.Refused("to list " + conn.Config().folder);
        for (Entry &e : EntriesOf(answer, none, last)) {
            present.push_back(e.uid);
            changed.push_back(std::move(e));
        }
    }
    std::sort(present.begin(), present.end());
    folder.Apply(std::move(changed), {}, &present);
}

} // namespace

void Refresh(Connection &conn, Folder &folder, bool force, bool unread)
{
    const auto now = std::chrono::steady_clock::now();
    // At most once a second, and never more than a twentieth of the time:
    // a listing costs what the folder holds, so a walk of a large folder
    // that asked once a second would cost the square of it.
    const auto pause = std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(1), 20 * folder.listingCost);
    if (!force && folder.listed && now - folder.checkedAt < pause && (!unread || folder.searched))
        return;
    conn.Run(true, "listing", [&] {
        // The server tells of new mail in answer to a command: only then
        // does the listing below take it in.
        if (!conn.Ok(mailimap_noop(conn.Handle()), "NOOP"))
            conn.Refused("NOOP");
        if (!folder.listed)
            ListWhole(conn, folder);
        else if (conn.Condstore() && folder.modseq != 0)
            ListChanges(conn, folder);
        else
            ListFlags(conn, folder);
        if (unread) {
            std::vector<std::uint32_t> unseen;
            if (!SearchUnseen(conn, unseen))
                conn.Refused("to search " + conn.Config().folder);
            folder.SetUnseen(std::move(unseen));
        }
        folder.listed = true;
        folder.searched = unread;
        folder.checkedAt = std::chrono::steady_clock::now();
        folder.listingCost = folder.checkedAt - now;
    });
}

void FetchHeaders(Connection &conn, Folder &folder, const std::vector<std::uint32_t> &uids)
{
    conn.Run(true, "header fetch", [&] {
        Set set(mailimap_set_new_empty());
        for (std::uint32_t uid : uids)
            if (mailimap_set_add_single(set.get(), uid) != MAILIMAP_NO_ERROR)
                throw std::bad_alloc();
        mailimap_section *header = mailimap_section_new_header();
        if (header == nullptr)
            throw std::bad_alloc();
        FetchList answer;
        if (!UidFetch(conn, set.release(),
                      {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_bodystructure(),
                       mailimap_fetch_att_new_body_peek_section_partial(header, 0, kHeaderLimit)},
                      answer))
            conn.Refused("to fetch headers");
        ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
            const Fetched f = Parse(m);
            Entry *e = folder.Find(f.uid);
            if (e != nullptr && f.hasBody)
                e->header = std::make_shared<const std::string>(f.body != nullptr ? f.body : "", f.bodyLength);
            if (e != nullptr && f.hasBody && f.structure != nullptr)
                e->files = FilesOf(*f.structure, std::string_view(f.body != nullptr ? f.body : "", f.bodyLength));
        });
    });
    // A message that went meanwhile has an empty header (ordinary mail);
    // the next listing leaves it out.
    for (std::uint32_t uid : uids)
        if (Entry *e = folder.Find(uid); e != nullptr && e->header == nullptr) {
            e->header = std::make_shared<const std::string>();
            folder.checkedAt = {};
        }
}

} // namespace kelvra_provider::imap
