#include "imap/Sync.h"

#include "imap/Commands.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>

namespace kmp::imap {

void Refresh(Connection &conn, Folder &folder, bool force, bool unread)
{
    const auto now = std::chrono::steady_clock::now();
    if (!force && folder.listed && now - folder.checkedAt < std::chrono::seconds(1) && (!unread || folder.searched))
        return;
    conn.Run(true, "listing", [&] {
        // The server tells of new mail in answer to a command: only then
        // does the listing below take it in.
        if (!conn.Ok(mailimap_noop(conn.Handle()), "NOOP"))
            Refuse("IMAP " + conn.Config().url + ": the server refused NOOP");
        std::vector<Entry> fresh;
        {
            FetchList answer;
            if (!UidFetch(conn, mailimap_set_new_interval(1, 0),
                          {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags(),
                           mailimap_fetch_att_new_internaldate(), mailimap_fetch_att_new_rfc822_size()},
                          answer))
                Refuse("IMAP " + conn.Config().url + ": the server refused to list " + conn.Config().folder);
            ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
                const Fetched f = Parse(m);
                if (f.uid != 0)
                    fresh.push_back({f.uid, f.time, f.size, f.seen, nullptr});
            });
        }
        std::sort(fresh.begin(), fresh.end(), [](const Entry &a, const Entry &b) { return a.uid < b.uid; });
        fresh.erase(std::unique(fresh.begin(), fresh.end(), [](const Entry &a, const Entry &b) { return a.uid == b.uid; }),
                    fresh.end());
        if (unread) {
            std::vector<std::uint32_t> unseen;
            if (!SearchUnseen(conn, unseen))
                Refuse("IMAP " + conn.Config().url + ": the server refused to search " + conn.Config().folder);
            folder.SetUnseen(std::move(unseen));
        }
        folder.Take(std::move(fresh));
        folder.listed = true;
        folder.searched = unread;
        folder.checkedAt = std::chrono::steady_clock::now();
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
                      {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_body_peek_section_partial(header, 0, kHeaderLimit)},
                      answer))
            Refuse("IMAP " + conn.Config().url + ": the server refused to fetch headers");
        ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
            const Fetched f = Parse(m);
            if (Entry *e = folder.Find(f.uid); e != nullptr && f.hasBody)
                e->header = std::make_shared<const std::string>(f.body != nullptr ? f.body : "", f.bodyLength);
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

} // namespace kmp::imap
