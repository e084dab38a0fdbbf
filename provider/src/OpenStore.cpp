#include "OpenStore.h"

#include "Url.h"
#include "cache/EnvelopeCache.h"
#include "imap/ImapStore.h"
#include "maildir/MaildirStore.h"
#include "message/HeaderText.h"

namespace kelvra_provider {

std::shared_ptr<MailStore> OpenStore(const Profile &profile, const std::string &password, bool logon)
{
    const FallbackScope fallback(profile.fallbackCharset);
    if (IsImapMailbox(profile.mailbox))
        return imap::OpenImapStore(profile, password);
    return maildir::OpenMaildirStore(profile, logon);
}

void FlushStoreCaches() { EnvelopeCache::FlushAll(); }

} // namespace kelvra_provider
