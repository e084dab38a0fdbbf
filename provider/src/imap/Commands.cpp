#include "imap/Commands.h"

#include "Text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace kelvra_provider::imap {

namespace {

std::int64_t Seconds(const mailimap_date_time &d)
{
    std::tm tm{};
    tm.tm_year = d.dt_year - 1900;
    tm.tm_mon = d.dt_month - 1;
    tm.tm_mday = d.dt_day;
    tm.tm_hour = d.dt_hour;
    tm.tm_min = d.dt_min;
    tm.tm_sec = d.dt_sec;
    // The zone is written as it stands in the answer: +0130 is 130.
    const int zone = d.dt_zone < 0 ? -d.dt_zone : d.dt_zone;
    const std::int64_t offset = (zone / 100) * 3600 + (zone % 100) * 60;
    return static_cast<std::int64_t>(timegm(&tm)) - (d.dt_zone < 0 ? -offset : offset);
}

} // namespace

Fetched Parse(mailimap_msg_att *message)
{
    Fetched f;
    ForEach<mailimap_msg_att_item>(message->att_list, [&](mailimap_msg_att_item *item) {
        if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn != nullptr) {
            ForEach<mailimap_flag_fetch>(item->att_data.att_dyn->att_list, [&](mailimap_flag_fetch *flag) {
                if (flag->fl_type != MAILIMAP_FLAG_FETCH_OTHER || flag->fl_flag == nullptr)
                    return;
                f.flags.push_back(flag->fl_flag);
                f.seen = f.seen || flag->fl_flag->fl_type == MAILIMAP_FLAG_SEEN;
                f.deleted = f.deleted || flag->fl_flag->fl_type == MAILIMAP_FLAG_DELETED;
            });
        } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static != nullptr) {
            const mailimap_msg_att_static *s = item->att_data.att_static;
            switch (s->att_type) {
            case MAILIMAP_MSG_ATT_UID: f.uid = s->att_data.att_uid; break;
            case MAILIMAP_MSG_ATT_RFC822_SIZE: f.size = s->att_data.att_rfc822_size; break;
            case MAILIMAP_MSG_ATT_BODYSTRUCTURE: f.structure = s->att_data.att_bodystructure; break;
            case MAILIMAP_MSG_ATT_INTERNALDATE:
                if (s->att_data.att_internal_date != nullptr) {
                    f.date = s->att_data.att_internal_date;
                    f.time = Seconds(*f.date);
                }
                break;
            case MAILIMAP_MSG_ATT_BODY_SECTION:
                if (s->att_data.att_body_section != nullptr) {
                    f.hasBody = true;
                    f.body = s->att_data.att_body_section->sec_body_part;
                    f.bodyLength = f.body != nullptr ? s->att_data.att_body_section->sec_length : 0;
                }
                break;
            default: break;
            }
        } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_EXTENSION && item->att_data.att_extension_data != nullptr) {
            const mailimap_extension_data *x = item->att_data.att_extension_data;
            if (x->ext_extension == &mailimap_extension_condstore && x->ext_type == MAILIMAP_CONDSTORE_TYPE_FETCH_DATA &&
                x->ext_data != nullptr)
                f.modseq = static_cast<const mailimap_condstore_fetch_mod_resp *>(x->ext_data)->cs_modseq_value;
        }
    });
    return f;
}

mailimap_flag *CopyFlag(const mailimap_flag *flag)
{
    auto copy = [](const char *text) { return text != nullptr ? strdup(text) : nullptr; };
    return mailimap_flag_new(flag->fl_type, flag->fl_type == MAILIMAP_FLAG_KEYWORD ? copy(flag->fl_data.fl_keyword) : nullptr,
                             flag->fl_type == MAILIMAP_FLAG_EXTENSION ? copy(flag->fl_data.fl_extension) : nullptr);
}

mailimap_flag_list *OneFlag(mailimap_flag *(*make)())
{
    FlagList list(mailimap_flag_list_new_empty());
    mailimap_flag *flag = make();
    if (flag == nullptr || mailimap_flag_list_add(list.get(), flag) != MAILIMAP_NO_ERROR)
        throw std::bad_alloc();
    return list.release();
}

namespace {

// A UID FETCH of `set` with these items (taken over, also when the command
// cannot be made for lack of memory), sent by `send`.
template <class Send>
bool UidFetchWith(mailimap_set *set, std::vector<mailimap_fetch_att *> items, FetchList &answer, Send &&send)
{
    // The set and the items are the command's from here, also when it
    // cannot be made for lack of memory.
    std::vector<mailimap_fetch_att *> pending(std::move(items));
    auto freePending = [&] {
        for (mailimap_fetch_att *att : pending)
            if (att != nullptr)
                mailimap_fetch_att_free(att);
    };
    mailimap_fetch_type *made = mailimap_fetch_type_new_fetch_att_list_empty();
    if (set == nullptr || made == nullptr) {
        freePending();
        if (set != nullptr)
            mailimap_set_free(set);
        if (made != nullptr)
            mailimap_fetch_type_free(made);
        throw std::bad_alloc();
    }
    Set owned(set);
    FetchType type(made);
    for (mailimap_fetch_att *&att : pending) {
        if (att == nullptr || mailimap_fetch_type_new_fetch_att_list_add(type.get(), att) != MAILIMAP_NO_ERROR) {
            freePending();
            throw std::bad_alloc();
        }
        att = nullptr; // the fetch type's now
    }
    if (answer.list != nullptr)
        mailimap_fetch_list_free(answer.list);
    answer.list = nullptr;
    return send(owned.get(), type.get());
}

// A UID SEARCH with one key of no argument (ALL, UNSEEN), sorted.
bool SearchUids(Connection &c, int keyType, std::vector<std::uint32_t> &uids)
{
    SearchKey key(mailimap_search_key_new(keyType, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr));
    clist *found = nullptr;
    if (!c.Ok(mailimap_uid_search(c.Handle(), nullptr, key.get(), &found), "UID SEARCH"))
        return false;
    uids.clear();
    ForEach<std::uint32_t>(found, [&](std::uint32_t *uid) { uids.push_back(*uid); });
    if (found != nullptr)
        mailimap_search_result_free(found);
    std::sort(uids.begin(), uids.end());
    return true;
}

} // namespace

std::vector<mailimap_fetch_att *> ListingAttributes(bool modseq)
{
    std::vector<mailimap_fetch_att *> items = {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags(),
                                               mailimap_fetch_att_new_internaldate(), mailimap_fetch_att_new_rfc822_size()};
    if (modseq)
        items.push_back(mailimap_fetch_att_new_modseq());
    return items;
}

bool UidFetch(Connection &c, mailimap_set *set, std::vector<mailimap_fetch_att *> items, FetchList &answer)
{
    return UidFetchWith(set, items, answer, [&](mailimap_set *s, mailimap_fetch_type *t) {
        return c.Ok(mailimap_uid_fetch(c.Handle(), s, t, &answer.list), "UID FETCH");
    });
}

bool UidFetchChanged(Connection &c, mailimap_set *set, std::vector<mailimap_fetch_att *> items,
                     std::uint64_t since, FetchList &answer, std::vector<UidSpan> *vanished)
{
    return UidFetchWith(set, items, answer, [&](mailimap_set *s, mailimap_fetch_type *t) {
        if (vanished == nullptr)
            return c.Ok(mailimap_uid_fetch_changedsince(c.Handle(), s, t, since, &answer.list), "UID FETCH CHANGEDSINCE");
        mailimap_qresync_vanished *gone = nullptr;
        const bool ok = c.Ok(mailimap_uid_fetch_qresync(c.Handle(), s, t, since, &answer.list, &gone),
                             "UID FETCH CHANGEDSINCE VANISHED");
        if (gone != nullptr) {
            ForEach<mailimap_set_item>(gone->qr_known_uids != nullptr ? gone->qr_known_uids->set_list : nullptr,
                                       [&](mailimap_set_item *item) {
                                           // 0 stands for "*": the largest UID; "5:3" is 3:5.
                                           const std::uint32_t a = item->set_first == 0 ? UINT32_MAX : item->set_first;
                                           const std::uint32_t b = item->set_last == 0 ? UINT32_MAX : item->set_last;
                                           vanished->push_back({std::min(a, b), std::max(a, b)});
                                       });
            mailimap_qresync_vanished_free(gone);
        }
        return ok;
    });
}

bool SearchAll(Connection &c, std::vector<std::uint32_t> &uids) { return SearchUids(c, MAILIMAP_SEARCH_KEY_ALL, uids); }

bool SearchUnseen(Connection &c, std::vector<std::uint32_t> &uids) { return SearchUids(c, MAILIMAP_SEARCH_KEY_UNSEEN, uids); }

bool StoreFlag(Connection &c, std::uint32_t uid, mailimap_flag *(*make)(), bool add)
{
    Set set(mailimap_set_new_single(uid));
    StoreFlags flags(add ? mailimap_store_att_flags_new_add_flags_silent(OneFlag(make))
                         : mailimap_store_att_flags_new_remove_flags_silent(OneFlag(make)));
    return c.Ok(mailimap_uid_store(c.Handle(), set.get(), flags.get()), "UID STORE");
}

bool ExpungeUid(Connection &c, std::uint32_t uid)
{
    Set set(mailimap_set_new_single(uid));
    return c.Ok(mailimap_uid_expunge(c.Handle(), set.get()), "UID EXPUNGE");
}

bool Append(Connection &c, const std::string &folder, mailimap_flag_list *flags, mailimap_date_time *date,
            std::string_view bytes, std::uint32_t *validity, std::uint32_t *uid)
{
    if (validity == nullptr)
        return c.Ok(mailimap_append(c.Handle(), folder.c_str(), flags, date, bytes.data(), bytes.size()), "APPEND");
    return c.Ok(mailimap_uidplus_append(c.Handle(), folder.c_str(), flags, date, bytes.data(), bytes.size(), validity, uid),
                "APPEND");
}

bool FindSentFolder(Connection &c, std::string &name)
{
    clist *list = nullptr;
    if (!c.Ok(mailimap_list(c.Handle(), "", "*", &list), "LIST"))
        return false;
    ForEach<mailimap_mailbox_list>(list, [&](mailimap_mailbox_list *mailbox) {
        if (!name.empty() || mailbox->mb_flag == nullptr)
            return;
        ForEach<mailimap_mbx_list_oflag>(mailbox->mb_flag->mbf_oflags, [&](mailimap_mbx_list_oflag *flag) {
            if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT && flag->of_flag_ext != nullptr &&
                SameText(flag->of_flag_ext, "Sent"))
                name = mailbox->mb_name;
        });
    });
    if (list != nullptr)
        mailimap_list_result_free(list);
    return true;
}

} // namespace kelvra_provider::imap
