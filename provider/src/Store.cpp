// The choice of store by a profile's mailbox, and what every store shares.
#include "Store.h"

#include "Text.h"
#include "cache/EnvelopeCache.h"
#include "message/HeaderText.h"
#include "imap/ImapStore.h"
#include "maildir/MaildirStore.h"

namespace kmp {

namespace {

class CopyOnKeep : public SentCopy {
public:
    CopyOnKeep(MailStore &store, const std::string &bytes) : store_(store), bytes_(bytes) {}
    void Keep() override { store_.KeepSent(bytes_); }

private:
    MailStore &store_;
    const std::string &bytes_;
};

} // namespace

std::unique_ptr<SentCopy> MailStore::PrepareSent(const std::string &bytes, bool)
{
    return std::make_unique<CopyOnKeep>(*this, bytes);
}

std::uint32_t MailStore::FileCount(const std::string &id)
{
    ReadOptions options;
    options.suppressAttach = true;
    return Read(id, true, options)->Message().nFileCount;
}

bool IsImapMailbox(const std::string &mailbox)
{
    return StartsWithText(mailbox, "imap://") || StartsWithText(mailbox, "imaps://");
}

std::shared_ptr<MailStore> OpenStore(const Profile &profile, const std::string &password, bool logon)
{
    const FallbackScope fallback(profile.fallbackCharset);
    if (IsImapMailbox(profile.mailbox))
        return imap::OpenImapStore(profile, password);
    return maildir::OpenMaildirStore(profile, logon);
}

void FlushStoreCaches() { EnvelopeCache::FlushAll(); }

} // namespace kmp
