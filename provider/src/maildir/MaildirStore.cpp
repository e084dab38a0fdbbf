// The Maildir store: a session's view of its mailbox folder. The Maildir
// class keeps the folder's rules; this keeps the session's (reads that
// follow a walk, the Sent copy made while a message goes out).
#include "maildir/MaildirStore.h"

#include "Errors.h"
#include "message/Envelope.h"
#include "message/SaveOver.h"
#include "maildir/Maildir.h"
#include "Workers.h"
#include "message/ReadRecord.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <exception>

namespace kelvra_provider::maildir {

namespace {

// The Sent copy of a Maildir: written and synced under the Sent folder's
// tmp/ on one of the provider's threads while the message goes out, so that
// the wait for the disk overlaps the wait for the server; once the server
// accepted the message it is renamed into cur/ and the folder synced, before
// the send returns. Readers of the folder never see the copy of a message
// that did not go out; the file of one is removed.
class StagedCopy : public SentCopy {
public:
    StagedCopy(const std::string &root, std::atomic<bool> &made, const std::string &bytes, bool now)
        : sent_(Subfolder(root, "Sent")), made_(made), bytes_(bytes), task_([this] { StageHere(); })
    {
        if (now || !task_.Start())
            StageHere(); // here, now (no thread to be had: the same)
    }

    ~StagedCopy() override
    {
        (void)task_.Finish();
        if (!kept_ && !staged_.empty())
            unlink(staged_.c_str());
    }

    void Keep() override
    {
        if (!task_.Finish() && staged_.empty() && !error_)
            StageHere(); // no thread took it
        kept_ = true;
        if (error_)
            std::rethrow_exception(error_);
        sent_.Place(staged_, true);
    }

private:
    void StageHere()
    {
        try {
            if (!made_.exchange(true))
                sent_.Create();
            try {
                staged_ = sent_.Stage(bytes_);
            } catch (const MapiError &) {
                sent_.Create(); // removed meanwhile
                staged_ = sent_.Stage(bytes_);
            }
        } catch (...) {
            error_ = std::current_exception();
        }
    }

    Maildir sent_;
    std::atomic<bool> &made_;
    const std::string &bytes_;
    std::string staged_;
    std::exception_ptr error_;
    bool kept_ = false;
    Task task_; // last: ended before the rest goes
};

bool ClassMatches(const std::string &cls, const void *type)
{
    return TypeMatches(cls, *static_cast<const std::string *>(type));
}

class MaildirStore : public MailStore {
public:
    MaildirStore(std::string root, std::string cacheFolder)
        : root_(std::move(root)), cacheFolder_(std::move(cacheFolder))
    {
    }

    std::string Next(const std::string &seed, const FindFilter &filter) override
    {
        WalkFilter walk;
        walk.unreadOnly = filter.unreadOnly;
        walk.matches = &ClassMatches;
        walk.context = &filter.type;
        return Inbox().Next(seed, filter.fifo, walk);
    }

    std::unique_ptr<Block> Read(const std::string &id, bool peek, const ReadOptions &options) override
    {
        Maildir inbox = Inbox();
        StoredFile entry;
        std::unique_ptr<Block> block = ReadListed(inbox, id, options, peek, entry);
        // A whole read looked at the file: a change made in place since its
        // envelope was cached (another program's; ours rename) is taken now,
        // for the walks and envelope reads that trust the cache.
        if (!options.envelopeOnly)
            inbox.Recheck(entry);
        // Marked read only once the read has succeeded.
        if (!peek)
            inbox.MarkSeen(entry);
        return block;
    }

    std::string Add(const std::string &bytes, bool seen) override { return Inbox().Deliver(bytes, seen); }

    std::string Save(const std::string &id, const SaveRequest &request, std::optional<ReadInfo> *updated) override
    {
        Maildir inbox = Inbox();
        const std::optional<StoredFile> entry = inbox.Find(id);
        if (!entry)
            Fail(MAPI_E_INVALID_MESSAGE);
        SaveOver(
            [&](const MessageWriter &write) {
                inbox.Rewrite(*entry, write);
                return inbox.Find(entry->id);
            },
            *entry, *request.record, request.info, request.sender, request.resolve, updated);
        return id;
    }

    void Remove(const std::string &id) override
    {
        if (!Inbox().Remove(id))
            Fail(MAPI_E_INVALID_MESSAGE);
    }

    // The Sent folder is made once a session; one removed meanwhile is made
    // again.
    std::unique_ptr<SentCopy> PrepareSent(const std::string &bytes, bool now = false) override
    {
        return std::make_unique<StagedCopy>(root_, sentMade_, bytes, now);
    }

    void KeepSent(const std::string &bytes) override { PrepareSent(bytes)->Keep(); }

private:
    Maildir Inbox() const { return Maildir(root_, cacheFolder_); }

    // A read of a message as the last listing knows it; when its file has
    // gone meanwhile (renamed by another program, saved over, deleted), the
    // folder is looked at again and the read made once more.
    static std::unique_ptr<Block> ReadListed(Maildir &inbox, const std::string &id, const ReadOptions &options,
                                             bool peek, StoredFile &read)
    {
        if (options.envelopeOnly)
            if (const std::optional<Envelope> envelope = inbox.ListedEnvelope(id, read))
                return EnvelopeRecord(read, *envelope, !read.seen && peek);
        std::optional<StoredFile> entry = inbox.Known(id);
        for (bool fresh = false;; fresh = true) {
            if (!entry)
                Fail(MAPI_E_INVALID_MESSAGE);
            try {
                const bool unread = !entry->seen && peek;
                if (options.envelopeOnly) {
                    if (const std::optional<Envelope> envelope = inbox.ReadEnvelope(*entry)) {
                        std::unique_ptr<Block> block = EnvelopeRecord(*entry, *envelope, unread);
                        read = std::move(*entry);
                        return block;
                    }
                }
                read = *entry;
                return ReadRecord(*entry, unread, options);
            } catch (const MapiError &e) {
                if (e.code != MAPI_E_INVALID_MESSAGE || fresh)
                    throw;
            }
            entry = inbox.Find(id);
        }
    }

    std::string root_;
    std::string cacheFolder_;
    std::atomic<bool> sentMade_{false};
};

} // namespace

std::shared_ptr<MailStore> OpenMaildirStore(const Profile &profile, bool logon)
{
    // The mailbox is made on first use, so a bad folder fails the logon;
    // what an interrupted writer left in its tmp/ folders goes.
    Maildir inbox(profile.mailbox, profile.cacheFolder);
    inbox.Create();
    // The embedded default's contacts folder is made with its mailbox, for
    // the user to put .vcf files in.
    if (profile.embedded && logon)
        for (size_t slash = profile.addressBook.find('/', 1);; slash = profile.addressBook.find('/', slash + 1)) {
            mkdir(profile.addressBook.substr(0, slash).c_str(), 0700);
            if (slash == std::string::npos)
                break;
        }
    if (logon) {
        inbox.CleanTemporary();
        inbox.DropOldRevisions();
        Maildir(Subfolder(profile.mailbox, "Sent")).CleanTemporary();
    }
    return std::make_shared<MaildirStore>(profile.mailbox, profile.cacheFolder);
}

} // namespace kelvra_provider::maildir
