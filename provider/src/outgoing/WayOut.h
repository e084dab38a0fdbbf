// The ways a message leaves: one interface, one implementation each (an
// SMTP server, a sendmail program, delivery into the session's mailbox),
// and the one place that chooses among them for a profile.
#pragma once

#include "Session.h"
#include "message/Message.h"
#include "message/Compose.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kelvra_provider {

class SentCopy;

class WayOut {
public:
    virtual ~WayOut() = default;
    // The way in a few words, as `kelvra profile show` names it.
    virtual std::string Name() const = 0;
    // Sends `composition` to every To, Cc and Bcc address and keeps the
    // sender's copy in Sent where the way keeps one. Returns what happened,
    // in words a user reads ("sent to ... (smtp://host)"); raises, with a
    // reason, when the message did not go: nothing then says it did.
    virtual std::string Send(Session &session, const Composition &composition) const = 0;
    // Tries the way without sending anything; returns what was tried and
    // found, raises with a reason when it does not work.
    virtual std::string Check(const Profile &profile, const std::string &password) const = 0;
};

// The mail transfer agent's program, where Unix systems install it: the
// way out of a profile that names none.
inline constexpr const char *kSystemSendmail[] = {"/usr/sbin/sendmail", "/usr/lib/sendmail"};

// A profile's way out: its `smtp` server, else its `sendmail` program, else
// the mailbox when it says `localdelivery = yes`, else the first of
// `systemSendmail` that is an executable file, else the mailbox for mail to
// the profile's own address only (mail to anyone else is refused with a
// reason that says how to name a way out).
std::unique_ptr<WayOut> ChooseWayOut(const Profile &profile,
                                     std::span<const char *const> systemSendmail = kSystemSendmail);

// The ways themselves, each in its own file.
std::unique_ptr<WayOut> SmtpWayOut(const Profile &profile);
// `system`: the system's program, found rather than named by the profile.
std::unique_ptr<WayOut> SendmailWayOut(std::vector<std::string> words, bool system);
// `anyone`: the profile says localdelivery; else only mail to the profile's
// own address is delivered.
std::unique_ptr<WayOut> MailboxWayOut(bool anyone);

// What the ways share.
// Every address a message goes to: To, Cc and Bcc.
std::vector<std::string> EnvelopeOf(const Composition &composition);
// "a@x, b@y": the envelope as the outcome's words name it.
std::string EnvelopeWords(const Composition &composition);
// The message's bytes, made now (g_composeHook first).
std::unique_ptr<const std::string> ComposeBytes(const Composition &composition);
// Keeps the sender's copy of a message that has gone: one that cannot be
// kept is logged, and the send still succeeds, so that nobody sends it twice.
void KeepCopy(SentCopy &copy);

} // namespace kelvra_provider
