// IMAP commands and what their answers say, over a Connection: libetpan
// builds each command and parses each answer; these say what is asked and
// take from the answer what the store needs. Every command function returns
// false when the server refused the command; a lost connection throws Lost.
#pragma once

#include "imap/Connection.h"
#include "imap/Folder.h"

#include <libetpan/libetpan.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider::imap {

// ------------------------------------------------------ libetpan values

template <class T, void (*Free)(T *)>
struct Owned {
    T *p;
    explicit Owned(T *value) : p(value)
    {
        if (p == nullptr)
            throw std::bad_alloc();
    }
    ~Owned()
    {
        if (p != nullptr)
            Free(p);
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    T *get() const { return p; }
    T *release()
    {
        T *value = p;
        p = nullptr;
        return value;
    }
};

using Set = Owned<mailimap_set, mailimap_set_free>;
using FetchType = Owned<mailimap_fetch_type, mailimap_fetch_type_free>;
using FlagList = Owned<mailimap_flag_list, mailimap_flag_list_free>;
using DateTime = Owned<mailimap_date_time, mailimap_date_time_free>;
using StoreFlags = Owned<mailimap_store_att_flags, mailimap_store_att_flags_free>;
using SearchKey = Owned<mailimap_search_key, mailimap_search_key_free>;

// The fetch list an answer left, freed with it.
struct FetchList {
    clist *list = nullptr;
    FetchList() = default;
    ~FetchList()
    {
        if (list != nullptr)
            mailimap_fetch_list_free(list);
    }
    FetchList(const FetchList &) = delete;
    FetchList &operator=(const FetchList &) = delete;
};

template <class T>
void ForEach(clist *list, const std::function<void(T *)> &each)
{
    if (list == nullptr)
        return;
    for (clistiter *it = clist_begin(list); it != nullptr; it = clist_next(it))
        each(static_cast<T *>(clist_content(it)));
}

// What a FETCH answer says of one message.
struct Fetched {
    std::uint32_t uid = 0;
    bool seen = false, deleted = false;
    std::int64_t time = 0;
    std::int64_t size = 0;
    const mailimap_date_time *date = nullptr; // as the server gave it (for APPEND)
    std::vector<const mailimap_flag *> flags; // every flag but \Recent
    const char *body = nullptr;
    size_t bodyLength = 0;
    bool hasBody = false;
    const mailimap_body *structure = nullptr; // BODYSTRUCTURE, when asked for
    std::uint64_t modseq = 0; // MODSEQ, when asked for
};
Fetched Parse(mailimap_msg_att *message);
// A new flag of the same kind and text.
mailimap_flag *CopyFlag(const mailimap_flag *flag);
// A flag list of one flag made by `make`.
mailimap_flag_list *OneFlag(mailimap_flag *(*make)());

// ------------------------------------------------------------ commands

// UID FETCH of `set` with these items (taken over by the command), the
// answer left in `answer`.
// What a folder's listing takes of each message: its UID, flags, arrival
// time and size, and its modification sequence with `modseq` (CONDSTORE).
std::vector<mailimap_fetch_att *> ListingAttributes(bool modseq);

bool UidFetch(Connection &c, mailimap_set *set, std::vector<mailimap_fetch_att *> items, FetchList &answer);
// UID FETCH of the messages of `set` changed since the mod-sequence
// `since` (CHANGEDSINCE); with `vanished` (QRESYNC enabled), also the
// ranges of UIDs removed since then (VANISHED), added to it.
bool UidFetchChanged(Connection &c, mailimap_set *set, std::vector<mailimap_fetch_att *> items,
                     std::uint64_t since, FetchList &answer, std::vector<UidSpan> *vanished);
// The UIDs the server finds unseen (UID SEARCH UNSEEN), sorted.
bool SearchUnseen(Connection &c, std::vector<std::uint32_t> &uids);
// Every UID of the folder (UID SEARCH ALL), sorted.
bool SearchAll(Connection &c, std::vector<std::uint32_t> &uids);
// UID STORE of one flag on one message, added (+FLAGS.SILENT) or taken
// away (-FLAGS.SILENT).
bool StoreFlag(Connection &c, std::uint32_t uid, mailimap_flag *(*make)(), bool add);
// UID EXPUNGE of exactly one message.
bool ExpungeUid(Connection &c, std::uint32_t uid);
// APPEND to a folder, with UIDPLUS's answer when `validity` is given (the
// new message's UIDVALIDITY and UID, 0 when the server said none).
bool Append(Connection &c, const std::string &folder, mailimap_flag_list *flags, mailimap_date_time *date,
            std::string_view bytes, std::uint32_t *validity = nullptr, std::uint32_t *uid = nullptr);
// The first folder the server marks \Sent (LIST "" "*"); empty for none.
bool FindSentFolder(Connection &c, std::string &name);

} // namespace kelvra_provider::imap
