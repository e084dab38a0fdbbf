// The sessions logged on with a profile, and their table: what a handle
// stands for while an entry point's call uses it.
#pragma once

#include "Errors.h"
#include "book/AddressBook.h"
#include "message/HeaderText.h"
#include "profile/Profile.h"

#include <memory>

namespace kelvra_provider {

// What a session keeps between its sends (Smtp.h).
struct Outbox;
std::shared_ptr<Outbox> NewOutbox();
class MailStore;

struct Session {
    Profile profile;
    SecretText password; // as given to MAPILogon
    std::shared_ptr<MailStore> store;
    std::shared_ptr<Outbox> outbox = NewOutbox();
    std::shared_ptr<BookCache> books = std::make_shared<BookCache>();
};

LHANDLE OpenSession(Profile profile, SecretText password, std::shared_ptr<MailStore> store);
// MAPI_E_INVALID_SESSION for an unknown handle.
void CloseSession(LHANDLE handle);
// A session in use by an entry point's call: until the call ends, the
// thread reads 8-bit text in the session's fallback charset.
class SessionInUse {
public:
    explicit SessionInUse(std::shared_ptr<Session> session)
        : session_(std::move(session)), fallback_(session_->profile.fallbackCharset)
    {
    }
    Session &operator*() const { return *session_; }
    Session *operator->() const { return session_.get(); }

private:
    std::shared_ptr<Session> session_;
    FallbackScope fallback_;
};

// The session of a handle; handle 0 is a session on the default profile.
SessionInUse FindSession(LHANDLE handle);

// Refuses with MAPI_E_INVALID_MESSAGE: the mailbox holds no message `id`.
[[noreturn]] void RefuseNoSuchMessage(const Session &session, const std::string &id);
// Runs a call about the message `id` of the session's mailbox: when the
// mailbox holds no such message (MAPI_E_INVALID_MESSAGE) and no reason was
// given, the reason names the identifier and the mailbox.
template <class Body>
auto AboutMessage(const Session &session, const std::string &id, Body &&body)
{
    try {
        return body();
    } catch (const MapiError &e) {
        if (e.code == MAPI_E_INVALID_MESSAGE && LastReason().empty())
            RefuseNoSuchMessage(session, id);
        throw;
    }
}

} // namespace kelvra_provider
