// The IMAP store: one folder on an IMAP server. The connection and its
// login are Connection's, the commands and their answers Commands', what the
// session knows of the folder Folder's; this holds the rules that keep the
// server's mail whole:
//
// - An identifier is the folder's UIDVALIDITY and the message's UID; one of
//   another UIDVALIDITY names nothing (MAPI_E_INVALID_MESSAGE).
// - The folder's UIDs, flags, arrival times and sizes are listed in one
//   command and headers are fetched in batches, so a walk costs a few round
//   trips per thousand messages. The listing (NOOP, then the list) is
//   asked for again at the start of every walk and at most once a second
//   otherwise.
// - A change removes exactly one UID (UID EXPUNGE); a plain EXPUNGE, which
//   would also remove what another client marked \Deleted, is never sent.
//   A server without UIDPLUS is only read.
// - A dropped connection is opened again once for a command that changes
//   nothing; anything else fails with MAPI_E_FAILURE. A save whose APPEND
//   was not answered finds out whether the new version arrived: it never
//   leaves both versions, nor neither.
#include "Text.h"
#include "imap/ImapStore.h"

#include "Errors.h"
#include "Signals.h"
#include "message/Envelope.h"
#include "message/SaveOver.h"
#include "imap/Cache.h"
#include "imap/Commands.h"
#include "imap/Connection.h"
#include "imap/Folder.h"
#include "imap/Sync.h"
#include "imap/TempMessage.h"
#include "message/ReadRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

namespace kelvra_provider::imap {


namespace {

// Headers are fetched this many at a time.
constexpr size_t kHeaderBatch = 500;

// What every call of the store holds: the store to itself, SIGPIPE held
// back, and the call's time bound.
struct Call {
    Call(std::mutex &mutex, Connection &conn) : lock(mutex), bound(conn) {}
    std::lock_guard<std::mutex> lock;
    NoSigpipe noSigpipe;
    Connection::Bound bound;
};

class ImapStore : public MailStore {
public:
    ImapStore(Settings settings, const std::string &cacheFolder) : conn_(std::move(settings))
    {
        cache_ = Cache::Open(cacheFolder, conn_.Config());
        conn_.onNewFolder = [this] { folder_.Reset(); };
    }
    ~ImapStore() override
    {
        NoSigpipe guard;
        conn_.Drop(true);
        if (cache_) {
            cache_->Keep(conn_.Validity(), folder_);
            cache_->Flush();
        }
    }

    // Logs on; the listing kept in the cache stands for the folder's until
    // the first listing brings it up to the server (a few commands).
    void Open()
    {
        const Call call(mutex_, conn_);
        conn_.Connect(true);
        if (!cache_)
            return;
        cache_->Seed(conn_.Validity(), folder_);
        // A folder made anew later in the session drops what was kept.
        conn_.onNewFolder = [this] {
            folder_.Reset();
            cache_->Forget();
        };
    }

    std::string Next(const std::string &seed, const FindFilter &filter) override;
    std::unique_ptr<Block> Read(const std::string &id, bool peek, const ReadOptions &options) override;
    std::string Add(const std::string &bytes, bool seen) override;
    std::string Save(const std::string &id, const SaveRequest &request, std::optional<ReadInfo> *updated) override;
    void Remove(const std::string &id) override;
    std::uint32_t FileCount(const std::string &id) override;
    void KeepSent(const std::string &bytes) override;

private:
    const std::string &Url() const { return conn_.Config().url; }
    void Refresh(bool force, bool unread)
    {
        const auto checked = folder_.checkedAt;
        imap::Refresh(conn_, folder_, force, unread);
        if (cache_ && folder_.checkedAt != checked) {
            const auto started = std::chrono::steady_clock::now();
            cache_->Keep(conn_.Validity(), folder_);
            folder_.listingCost += std::chrono::steady_clock::now() - started;
        }
    }
    // Fetches the headers of these messages; with a cache, their envelopes
    // (and so their classes) go into it.
    void FetchHeaders(const std::vector<uint32_t> &uids);
    // The class of a listed message whose header or class is known.
    static const std::string &ClassOf(Entry &e)
    {
        if (!e.cls)
            e.cls = MessageClassOfHeader(e.header != nullptr ? HeaderBlockOf(*e.header) : std::string_view());
        return *e.cls;
    }
    // The UID of an identifier as of now; MAPI_E_INVALID_MESSAGE for one of
    // another generation of the folder.
    uint32_t Check(const std::string &id);
    // The message of a UID, fetched whole: its bytes and what the server
    // says of it. MAPI_E_INVALID_MESSAGE when it is not there.
    void FetchWhole(uint32_t uid, FetchList &answer, Fetched &message);
    // Appends the new version of a message with its old flags and arrival
    // time, then removes exactly the old UID; if that cannot be, the new
    // one goes again. Returns the new UID.
    uint32_t Replace(uint32_t uid, const Fetched &old, const std::string &bytes);
    // After an APPEND whose answer never came: the new version's UID when
    // the server stored it (found by its bytes among the UIDs above
    // `above`); else a refusal that says the old one stays.
    uint32_t FindSaved(uint32_t above, const std::string &bytes, const Lost &lost);
    // Marks exactly one message \Deleted and removes it with UID EXPUNGE;
    // on failure the mark is taken back (unless it was there before). A
    // connection lost after the mark finds out whether it went.
    void RemoveUid(uint32_t uid, bool wasDeleted);
    // Whether the folder holds a UID now.
    bool Holds(uint32_t uid);
    // Runs `body` (which finds out what became of a command whose answer
    // was lost) on a new connection, tried again for a server on its way
    // back; failing that, a refusal that says it is not known.
    template <class Body>
    void Settle(const Lost &lost, const char *what, Body &&body);
    void RequireUidplus(const char *what);
    void MarkRead(uint32_t uid);
    std::string SentFolder();

    Connection conn_;
    Folder folder_;
    std::unique_ptr<Cache> cache_; // null: off
    std::mutex mutex_;
    std::optional<std::string> sent_;
};

std::string ImapStore::Next(const std::string &seed, const FindFilter &filter)
{
    const Call call(mutex_, conn_);
    uint32_t seedValidity = 0, seedUid = 0;
    if (!seed.empty() && !ParseId(seed, &seedValidity, &seedUid))
        Fail(MAPI_E_INVALID_MESSAGE);
    // A walk starts with what the server has now.
    Refresh(seed.empty(), filter.unreadOnly);
    const unsigned generation = folder_.generation;
    if (!seed.empty() && seedValidity != conn_.Validity())
        Fail(MAPI_E_INVALID_MESSAGE);
    const size_t position = seed.empty() ? 0 : folder_.PositionAfter(seedUid, filter.fifo);
    auto at = [&](size_t i) -> Entry & { return folder_.At(i, filter.fifo); };
    auto wanted = [&](const Entry &e) { return !filter.unreadOnly || folder_.Unseen(e.uid); };
    for (size_t i = position; i < folder_.Size(); ++i) {
        if (!wanted(at(i)))
            continue;
        if (!at(i).cls && at(i).header == nullptr) {
            // This one and the next candidates, in one command.
            std::vector<uint32_t> batch;
            for (size_t j = i; j < folder_.Size() && batch.size() < kHeaderBatch; ++j)
                if (!at(j).cls && at(j).header == nullptr && wanted(at(j)))
                    batch.push_back(at(j).uid);
            FetchHeaders(batch);
            if (generation != folder_.generation)
                Fail(MAPI_E_INVALID_MESSAGE); // the folder was made anew meanwhile
        }
        if (TypeMatches(ClassOf(at(i)), filter.type))
            return IdOf(conn_.Validity(), at(i).uid);
    }
    if (cache_)
        cache_->Keep(conn_.Validity(), folder_); // with the classes the walk learnt
    return {};
}

uint32_t ImapStore::Check(const std::string &id)
{
    uint32_t validity = 0, uid = 0;
    if (!ParseId(id, &validity, &uid))
        Fail(MAPI_E_INVALID_MESSAGE);
    Refresh(false, false);
    if (validity != conn_.Validity())
        Fail(MAPI_E_INVALID_MESSAGE);
    return folder_.Current(uid);
}

void ImapStore::FetchWhole(uint32_t uid, FetchList &answer, Fetched &message)
{
    const uint32_t validity = conn_.Validity();
    conn_.Run(true, "message fetch", [&] {
        mailimap_section *whole = mailimap_section_new(nullptr);
        if (whole == nullptr)
            throw std::bad_alloc();
        if (!UidFetch(conn_, mailimap_set_new_single(uid),
                      {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags(), mailimap_fetch_att_new_internaldate(),
                       mailimap_fetch_att_new_rfc822_size(), mailimap_fetch_att_new_body_peek_section(whole)},
                      answer))
            conn_.Refused("to fetch a message");
    });
    if (validity != conn_.Validity())
        Fail(MAPI_E_INVALID_MESSAGE); // the connection came back to a new folder
    bool found = false;
    ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
        Fetched f = Parse(m);
        if (f.uid == uid && f.hasBody && !found) {
            message = std::move(f);
            found = true;
        }
    });
    if (!found)
        Fail(MAPI_E_INVALID_MESSAGE);
}

std::unique_ptr<Block> ImapStore::Read(const std::string &id, bool peek, const ReadOptions &options)
{
    const Call call(mutex_, conn_);
    const uint32_t uid = Check(id);
    StoredFile entry;
    entry.id = IdOf(conn_.Validity(), uid);
    entry.stamp.inode = uid;
    std::optional<TempMessage> file;
    FetchList answer;
    if (const Entry *known = folder_.Find(uid); options.envelopeOnly && known != nullptr) {
        // The envelope from the cache, else from the header alone, fetched
        // with its batch (or now).
        entry.seen = known->seen;
        entry.stamp.seconds = known->time;
        entry.stamp.size = known->size;
        std::optional<Envelope> envelope = cache_ ? cache_->Find(conn_.Validity(), uid) : std::nullopt;
        if (!envelope) {
            if (known->header == nullptr)
                FetchHeaders({uid});
            const Entry *e = folder_.Find(uid);
            if (e == nullptr || e->header == nullptr || e->header->empty())
                Fail(MAPI_E_INVALID_MESSAGE);
            envelope = EnvelopeOfHeader(HeaderBlockOf(*e->header)); // bounded as a whole read bounds it
        }
        std::unique_ptr<Block> block = EnvelopeRecord(entry, *envelope, !entry.seen && peek);
        if (!peek && !entry.seen)
            MarkRead(uid);
        return block;
    } else {
        Fetched message;
        FetchWhole(uid, answer, message);
        entry.seen = message.seen;
        entry.stamp.seconds = message.time;
        entry.stamp.size = message.size;
        file.emplace(message.body != nullptr ? message.body : "", message.bodyLength);
    }
    entry.path = file->Path();
    std::unique_ptr<Block> block = ReadRecord(entry, !entry.seen && peek, options);
    // Marked read only once the read has succeeded.
    if (!peek && !entry.seen)
        MarkRead(uid);
    return block;
}

// From the structure the walk fetched with the header, or the cache kept;
// else fetched now with the header (one small command). A message whose
// structure may not be what a read sees is counted by a read, once: the
// count is kept with its envelope.
std::uint32_t ImapStore::FileCount(const std::string &id)
{
    uint32_t uid = 0, validity = 0;
    {
        const Call call(mutex_, conn_);
        uid = Check(id);
        validity = conn_.Validity();
        Entry *known = folder_.Find(uid);
        if (known != nullptr && !known->files && cache_)
            if (const std::optional<Envelope> envelope = cache_->Find(validity, uid))
                known->files = envelope->files;
        if (known != nullptr && !known->files && known->header == nullptr)
            FetchHeaders({uid});
        if (const Entry *e = folder_.Find(uid); e != nullptr && e->files)
            return *e->files;
    }
    const std::uint32_t files = MailStore::FileCount(id);
    const Call call(mutex_, conn_);
    if (Entry *e = folder_.Find(uid); e != nullptr && validity == conn_.Validity()) {
        e->files = files;
        if (cache_ && e->header != nullptr && !e->header->empty()) {
            Envelope envelope = EnvelopeOfHeader(HeaderBlockOf(*e->header));
            envelope.files = files;
            cache_->Store(validity, *e, envelope);
        }
    }
    return files;
}

// Setting a flag again changes nothing, so a lost connection is tried once
// more.
void ImapStore::MarkRead(uint32_t uid)
{
    conn_.Run(true, "marking read", [&] {
        if (!StoreFlag(conn_, uid, &mailimap_flag_new_seen, true))
            conn_.Refused("to mark a message read");
    });
    folder_.MarkSeen(uid);
}

void ImapStore::FetchHeaders(const std::vector<uint32_t> &uids)
{
    imap::FetchHeaders(conn_, folder_, uids);
    for (uint32_t uid : uids)
        if (Entry *e = folder_.Find(uid); e != nullptr && e->header != nullptr) {
            if (!cache_ || e->header->empty()) {
                ClassOf(*e);
                continue;
            }
            Envelope envelope = EnvelopeOfHeader(HeaderBlockOf(*e->header));
            envelope.files = e->files;
            cache_->Store(conn_.Validity(), *e, envelope);
            if (!e->cls) {
                e->cls = envelope.messageClass;
                folder_.changed = true; // the class goes into the kept listing (at the walk's end)
            }
        }
}

void ImapStore::RequireUidplus(const char *what)
{
    if (conn_.Handle() == nullptr)
        conn_.Run(true, "connecting", [] {});
    if (!conn_.Uidplus())
        Refuse("IMAP " + Url() + ": the server lacks UIDPLUS, so " + what +
                   " could remove messages other clients marked \\Deleted; refused",
               MAPI_E_NOT_SUPPORTED);
}

std::string ImapStore::Add(const std::string &bytes, bool seen)
{
    const Call call(mutex_, conn_);
    RequireUidplus("storing a message");
    uint32_t validity = 0, uid = 0;
    conn_.Run(false, "APPEND", [&] {
        FlagList flags(seen ? OneFlag(&mailimap_flag_new_seen) : mailimap_flag_list_new_empty());
        if (!Append(conn_, conn_.Config().folder, flags.get(), nullptr, bytes, &validity, &uid))
            conn_.Refused("to store a message");
    });
    folder_.checkedAt = {};
    if (uid == 0)
        Refuse("IMAP " + Url() + ": the server stored a message without saying its UID");
    return IdOf(validity, uid);
}

void ImapStore::RemoveUid(uint32_t uid, bool wasDeleted)
{
    bool marked = false;
    try {
        marked = StoreFlag(conn_, uid, &mailimap_flag_new_deleted, true);
        if (marked && ExpungeUid(conn_, uid))
            return;
    } catch (const Lost &lost) {
        conn_.Drop(false);
        if (!marked)
            throw;
        // The expunge may have been done before the connection went: found
        // out on a new one, unless the folder changed meanwhile.
        const uint32_t validity = conn_.Validity();
        bool present = true;
        Settle(lost, "removing a message", [&] { present = Holds(uid); });
        if (validity != conn_.Validity())
            throw lost;
        if (!present)
            return;
    }
    if (marked && !wasDeleted)
        StoreFlag(conn_, uid, &mailimap_flag_new_deleted, false);
    conn_.Refused("to remove a message; it stays as it was");
}

bool ImapStore::Holds(uint32_t uid)
{
    FetchList answer;
    if (!UidFetch(conn_, mailimap_set_new_single(uid), {mailimap_fetch_att_new_uid()}, answer))
        conn_.Refused("to fetch a message's UID");
    bool found = false;
    ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) { found = found || Parse(m).uid == uid; });
    return found;
}

template <class Body>
void ImapStore::Settle(const Lost &lost, const char *what, Body &&body)
{
    // Finding out has a bound of its own; a server on its way back (one
    // that restarts) is tried again within the stall bound.
    conn_.Rearm();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(conn_.Config().stallTimeout);
    for (;;) {
        try {
            conn_.Run(true, what, body);
            return;
        } catch (const MapiError &) {
            if (std::chrono::steady_clock::now() >= until)
                Refuse("IMAP " + Url() + ": " + lost.what + " during " + what +
                       ", and what became of it could not be found out");
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
}

uint32_t ImapStore::Replace(uint32_t uid, const Fetched &old, const std::string &bytes)
{
    // The new version's UID will be above every UID known now.
    const uint32_t above = std::max(folder_.LastUid(), uid);
    uint32_t newValidity = 0, newUid = 0;
    std::optional<Lost> lost;
    conn_.Run(false, "saving", [&] {
        FlagList flags(mailimap_flag_list_new_empty());
        for (const mailimap_flag *flag : old.flags) {
            mailimap_flag *copy = CopyFlag(flag);
            if (copy == nullptr || mailimap_flag_list_add(flags.get(), copy) != MAILIMAP_NO_ERROR)
                throw std::bad_alloc();
        }
        const mailimap_date_time *d = old.date;
        DateTime date(d != nullptr ? mailimap_date_time_new(d->dt_day, d->dt_month, d->dt_year, d->dt_hour, d->dt_min,
                                                             d->dt_sec, d->dt_zone)
                                   : mailimap_date_time_new(1, 1, 1970, 0, 0, 0, 0));
        try {
            if (!Append(conn_, conn_.Config().folder, flags.get(), d != nullptr ? date.get() : nullptr, bytes,
                        &newValidity, &newUid))
                conn_.Refused("the saved message; the old one stays");
        } catch (const Lost &l) {
            lost = l; // the server may have stored it or not: found out below
        }
    });
    if (lost) {
        conn_.Drop(false);
        newUid = FindSaved(above, bytes, *lost);
        newValidity = conn_.Validity();
    }
    if (newUid == 0 || newValidity != conn_.Validity())
        Refuse("IMAP " + Url() + ": the server stored the saved message without a UID of this folder; "
               "the old one stays beside it");
    conn_.Run(false, "saving", [&] {
        try {
            RemoveUid(uid, old.deleted);
        } catch (...) {
            // The old message stays; so the new one must not. A server that
            // went away may be back in a moment (restarted): it is asked
            // again within the stall bound (and the call's own, which
            // Connect keeps); one that answers and refuses is not.
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(conn_.Config().stallTimeout);
            for (;;) {
                try {
                    if (conn_.Handle() == nullptr)
                        conn_.Connect(false);
                    if (newValidity == conn_.Validity())
                        RemoveUid(newUid, false);
                    break;
                } catch (const Lost &) {
                    conn_.Drop(false);
                } catch (...) {
                }
                if (conn_.Handle() != nullptr || std::chrono::steady_clock::now() >= giveUp) {
                    Log("IMAP " + Url() + ": the saved copy " + IdOf(newValidity, newUid) +
                        " could not be removed again after a failed save");
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            throw;
        }
    });
    return newUid;
}

uint32_t ImapStore::FindSaved(uint32_t above, const std::string &bytes, const Lost &lost)
{
    const uint32_t validity = conn_.Validity();
    const std::string crlf = WithCrlf(bytes); // as a server may store it
    uint32_t found = 0;
    Settle(lost, "saving", [&] {
        found = 0;
        FetchList sizes;
        if (!UidFetch(conn_, mailimap_set_new_interval(above + 1, 0),
                      {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_rfc822_size()}, sizes))
            conn_.Refused("to list the new messages");
        std::vector<uint32_t> candidates;
        ForEach<mailimap_msg_att>(sizes.list, [&](mailimap_msg_att *m) {
            const Fetched f = Parse(m);
            const auto size = static_cast<size_t>(f.size);
            if (f.uid > above && (size == bytes.size() || size == crlf.size()))
                candidates.push_back(f.uid);
        });
        for (const uint32_t candidate : candidates) {
            FetchList whole;
            Fetched message;
            FetchWhole(candidate, whole, message);
            const std::string_view stored(message.body != nullptr ? message.body : "", message.bodyLength);
            if (stored == bytes || stored == crlf) {
                found = candidate;
                return;
            }
        }
    });
    if (validity != conn_.Validity())
        Refuse("IMAP " + Url() + ": " + lost.what + " during saving, and the folder was made anew meanwhile");
    if (found == 0)
        Refuse("IMAP " + Url() + ": " + lost.what + " during saving; the server did not store the saved version, "
               "and the old one stays");
    return found;
}

std::string ImapStore::Save(const std::string &id, const SaveRequest &request, std::optional<ReadInfo> *updated)
{
    const Call call(mutex_, conn_);
    const uint32_t uid = Check(id);
    RequireUidplus("saving over a message");
    FetchList answer;
    Fetched message;
    FetchWhole(uid, answer, message);
    const TempMessage file(message.body != nullptr ? message.body : "", message.bodyLength);
    StoredFile entry;
    entry.id = IdOf(conn_.Validity(), uid);
    entry.path = file.Path();
    entry.seen = message.seen;
    entry.stamp.seconds = message.time;
    entry.stamp.size = message.size;
    entry.stamp.inode = uid;
    std::string savedId = entry.id;
    SaveOver(
        [&](const MessageWriter &write) -> std::optional<StoredFile> {
            const std::string bytes = Written(write);
            const uint32_t newUid = Replace(uid, message, bytes);
            savedId = IdOf(conn_.Validity(), newUid);
            folder_.Forget(uid);
            folder_.Replaced(uid, newUid);
            StoredFile now = entry;
            now.id = savedId;
            now.stamp.inode = newUid;
            now.stamp.size = static_cast<std::int64_t>(bytes.size());
            return now;
        },
        entry, *request.record, request.info, request.sender, request.resolve, updated);
    return savedId;
}

void ImapStore::Remove(const std::string &id)
{
    const Call call(mutex_, conn_);
    const uint32_t uid = Check(id);
    RequireUidplus("deleting");
    bool found = false, deleted = false;
    conn_.Run(true, "flag fetch", [&] {
        FetchList answer;
        if (!UidFetch(conn_, mailimap_set_new_single(uid), {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags()},
                      answer))
            conn_.Refused("to fetch a message's flags");
        ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
            const Fetched f = Parse(m);
            if (f.uid == uid) {
                found = true;
                deleted = f.deleted;
            }
        });
    });
    if (!found)
        Fail(MAPI_E_INVALID_MESSAGE);
    conn_.Run(false, "deleting", [&] { RemoveUid(uid, deleted); });
    folder_.Forget(uid);
}

std::string ImapStore::SentFolder()
{
    if (sent_)
        return *sent_;
    std::string found;
    conn_.Run(true, "LIST", [&] {
        found.clear();
        FindSentFolder(conn_, found);
    });
    if (found.empty())
        found = conn_.Config().sentFolder;
    sent_ = found;
    return found;
}

void ImapStore::KeepSent(const std::string &bytes)
{
    // The message has gone out: a copy that cannot be kept is logged, and
    // the send still succeeds, so that nobody sends it twice.
    const Call call(mutex_, conn_);
    try {
        const std::string folder = SentFolder();
        if (folder.empty()) {
            Log("IMAP " + Url() + ": the server marks no folder \\Sent and the profile names no sentfolder; "
                "no copy of the sent message was kept");
            return;
        }
        conn_.Run(false, "APPEND", [&] {
            FlagList flags(OneFlag(&mailimap_flag_new_seen));
            if (!Append(conn_, folder, flags.get(), nullptr, bytes))
                Log("IMAP " + Url() + ": the server refused the copy of a sent message in " + folder);
        });
    } catch (const MapiError &) {
        Log("IMAP " + Url() + ": no copy of the sent message was kept");
    }
}

} // namespace

std::shared_ptr<MailStore> OpenImapStore(const Profile &profile, const std::string &password)
{
    auto store = std::make_shared<ImapStore>(SettingsOf(profile, password), profile.cacheFolder);
    store->Open();
    return store;
}

std::uint64_t ImapCommandCount() { return CommandCount(); }

} // namespace kelvra_provider::imap
