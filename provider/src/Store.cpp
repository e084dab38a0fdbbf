// The Maildir store, and the choice of store by a profile's mailbox. The
// Maildir class keeps the folder's rules; this is the session's view of it.
#include "Store.h"

#include "Common.h"
#include "ImapStore.h"
#include "Maildir.h"

namespace kmp {

namespace {

bool Accept(Maildir &maildir, const MaildirEntry &entry, const void *context)
{
    const auto *filter = static_cast<const FindFilter *>(context);
    if (filter->unreadOnly && entry.seen)
        return false;
    return TypeMatches(maildir.MessageClass(entry), filter->type);
}

class MaildirStore : public MailStore {
public:
    explicit MaildirStore(std::string root) : root_(std::move(root)) {}

    std::string Next(const std::string &seed, const FindFilter &filter) override
    {
        Maildir inbox(root_);
        return inbox.Next(seed, filter.fifo, &Accept, &filter);
    }

    std::unique_ptr<Block> Read(const std::string &id, bool peek, const ReadOptions &options) override
    {
        Maildir inbox(root_);
        const std::optional<MaildirEntry> entry = inbox.Find(id);
        if (!entry)
            Fail(MAPI_E_INVALID_MESSAGE);
        std::unique_ptr<Block> block = ReadRecord(*entry, !entry->seen && peek, options);
        // Marked read only once the read has succeeded.
        if (!peek)
            inbox.MarkSeen(*entry);
        return block;
    }

    std::string Add(const std::string &bytes, bool seen) override { return Maildir(root_).Deliver(bytes, seen); }

    std::string Save(const std::string &id, const SaveRequest &request, std::optional<ReadInfo> *updated) override
    {
        Maildir inbox(root_);
        const std::optional<MaildirEntry> entry = inbox.Find(id);
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
        if (!Maildir(root_).Remove(id))
            Fail(MAPI_E_INVALID_MESSAGE);
    }

    void KeepSent(const std::string &bytes) override
    {
        Maildir sent(Subfolder(root_, "Sent"));
        sent.Create();
        sent.Deliver(bytes, true);
    }

private:
    std::string root_;
};

} // namespace

bool IsImapMailbox(const std::string &mailbox)
{
    return StartsWithText(mailbox, "imap://") || StartsWithText(mailbox, "imaps://");
}

std::shared_ptr<MailStore> OpenStore(const Profile &profile, const std::string &password, bool logon)
{
    if (IsImapMailbox(profile.mailbox))
        return OpenImapStore(profile, password);
    // The mailbox is made on first use, so a bad folder fails the logon;
    // what an interrupted writer left in its tmp/ folders goes.
    Maildir inbox(profile.mailbox);
    inbox.Create();
    if (logon) {
        inbox.CleanTemporary();
        Maildir(Subfolder(profile.mailbox, "Sent")).CleanTemporary();
    }
    return std::make_shared<MaildirStore>(profile.mailbox);
}

} // namespace kmp
