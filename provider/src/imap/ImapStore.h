// The IMAP store: one folder on an IMAP server, reached through libetpan
// (which parses the protocol) over TLS, or in plain text on loopback only.
#pragma once

#include "Store.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kelvra_provider::imap {

// Connects and logs in to the profile's server (its mailbox URL) and
// selects the folder. A refused login raises MAPI_E_LOGON_FAILURE; a
// server that cannot be reached, or a URL or certificate that is refused,
// MAPI_E_FAILURE (the reason goes to the log).
std::shared_ptr<MailStore> OpenImapStore(const Profile &profile, const std::string &password);

// How many IMAP commands this process has sent: every one is a round trip.
std::uint64_t ImapCommandCount();

} // namespace kelvra_provider::imap
