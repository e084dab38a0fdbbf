#include "outgoing/WayOut.h"

#include "Errors.h"
#include "Text.h"
#include "Store.h"
#include "Url.h"
#include "message/Compose.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kelvra_provider {

std::vector<std::string> EnvelopeOf(const Composition &composition)
{
    std::vector<std::string> envelope;
    for (const auto *list : {&composition.to, &composition.cc, &composition.bcc})
        for (const Mailbox &m : *list)
            envelope.push_back(m.address);
    return envelope;
}

std::string EnvelopeWords(const Composition &composition)
{
    std::string words;
    for (const std::string &address : EnvelopeOf(composition))
        words += (words.empty() ? "" : ", ") + address;
    return words;
}

std::unique_ptr<const std::string> ComposeBytes(const Composition &composition)
{
    if (g_composeHook != nullptr)
        g_composeHook();
    return std::make_unique<const std::string>(Compose(composition));
}

void KeepCopy(SentCopy &copy)
{
    try {
        copy.Keep();
    } catch (const MapiError &e) {
        Log("the message went out, but its copy could not be kept in Sent (code " + std::to_string(e.code) + ")");
    }
}

namespace {

// Delivery into the session's own mailbox: the inbox, and the sender's
// copy in Sent. Nothing leaves the machine (or the mailbox's server), so
// it delivers mail to others only when the profile says so; without that
// it takes mail to the profile's own address alone.
class IntoMailbox final : public WayOut {
public:
    explicit IntoMailbox(bool anyone) : anyone_(anyone) {}

    std::string Name() const override
    {
        return anyone_ ? "the mailbox (localdelivery: nothing leaves this machine)"
                       : "none: only mail to the profile's own address is delivered, into its mailbox";
    }

    std::string Send(Session &session, const Composition &composition) const override
    {
        const Profile &p = session.profile;
        if (!anyone_)
            for (const std::string &address : EnvelopeOf(composition))
                if (!SameText(address, p.senderAddress))
                    Refuse("profile " + p.name + " has no way for mail to leave this machine, so nothing was sent to " +
                               address + ": name an SMTP server (smtp = ...) or a sendmail program (sendmail = ...), " +
                               "take them from your mail setup (kelvra profile import), install the system's " +
                               "sendmail (/usr/sbin/sendmail), or deliver into the mailbox on purpose " +
                               "(localdelivery = yes)",
                           MAPI_E_FAILURE);
        const std::unique_ptr<const std::string> bytes = ComposeBytes(composition);
        const std::unique_ptr<SentCopy> copy = session.store->PrepareSent(*bytes);
        session.store->Add(*bytes, false);
        KeepCopy(*copy);
        return "delivered into the mailbox " + p.mailbox +
               (IsImapMailbox(p.mailbox) ? std::string(" (it was sent to no one)")
                                         : std::string(" (nothing left this machine)"));
    }

    std::string Check(const Profile &p, const std::string &) const override
    {
        if (anyone_)
            return "delivery into the mailbox " + p.mailbox + " (localdelivery; nothing leaves this machine)";
        Refuse("no way out: the profile names no smtp server or sendmail program, and no system sendmail is "
               "installed; " + (p.senderAddress.empty() ? std::string("the profile names no sender, so no mail is delivered")
                                                        : "only mail to " + p.senderAddress +
                                                              " is delivered (into its mailbox)"),
               MAPI_E_FAILURE);
    }

private:
    bool anyone_;
};

bool IsExecutableFile(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

} // namespace

std::unique_ptr<WayOut> MailboxWayOut(bool anyone) { return std::make_unique<IntoMailbox>(anyone); }

std::unique_ptr<WayOut> ChooseWayOut(const Profile &profile, std::span<const char *const> systemSendmail)
{
    if (!profile.smtpUrl.empty())
        return SmtpWayOut(profile);
    if (!profile.sendmail.empty())
        return SendmailWayOut(profile.sendmail, false);
    if (profile.localDelivery)
        return MailboxWayOut(true);
    for (const char *program : systemSendmail)
        if (IsExecutableFile(program))
            return SendmailWayOut({program}, true);
    return MailboxWayOut(false);
}

} // namespace kelvra_provider
