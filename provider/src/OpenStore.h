// The choice of a store by a profile's mailbox, above both stores.
#pragma once

#include "Store.h"

#include <memory>
#include <string>

namespace kelvra_provider {

// The store of a profile: an IMAP store for an imap:// or imaps:// mailbox
// (IsImapMailbox), else a Maildir. At logon (`logon`) a Maildir is made
// where missing and what interrupted writers left is cleaned; an IMAP store
// connects and logs in with the password (MAPI_E_LOGON_FAILURE when the
// server refuses it).
std::shared_ptr<MailStore> OpenStore(const Profile &profile, const std::string &password, bool logon);

// Writes what the stores' caches of this process hold back to disk.
void FlushStoreCaches();

} // namespace kelvra_provider
