// Handing a message to the user's own mail client, the compose dialog of a
// desktop: the message is the client's from then on, to be written and sent
// there. The desktop's email portal when the session bus offers one (it
// reaches every client the desktop knows, and works from a sandbox), else
// xdg-email. Neither blocks the application while the client is open, and
// nothing here ever ends the client.
#pragma once

#include "message/Message.h"

#include <chrono>
#include <string>

namespace kelvra_provider {

// How long a started xdg-email is given to fail at once (no client, an
// option refused); still running then, the client has the message.
constexpr std::chrono::seconds kHandOffWait{3};

// Hands `message` over. Attachments go as copies the provider keeps for the
// client (a private folder, under the user's runtime or cache folder, each
// file under its own name made plain where the client's list syntax could
// not carry it), so that an application may remove its own files at once.
// Raises, with a reason, when no way is there or the client failed at once,
// and when the client found is one that takes no attachment while the
// message has some (never handed over without them).
void HandToMailClient(const Composition &message);

// Removes the copies of hand-offs older than a day (at logon).
void RemoveOldHandOffCopies();

} // namespace kelvra_provider
