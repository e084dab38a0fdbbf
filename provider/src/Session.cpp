#include "Session.h"

#include "Errors.h"
#include "OpenStore.h"
#include "Url.h"

#include <map>
#include <mutex>

namespace kelvra_provider {

namespace {

struct SessionTable {
    std::mutex mutex;
    std::map<LHANDLE, std::shared_ptr<Session>> sessions;
    LHANDLE next = 0x4B31;
};

// Never destroyed: an application may log off from its own exit-time
// destructors, after this library's statics would be gone.
SessionTable &Table()
{
    static SessionTable *table = new SessionTable;
    return *table;
}

} // namespace

LHANDLE OpenSession(Profile profile, SecretText password, std::shared_ptr<MailStore> store)
{
    SessionTable &t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const LHANDLE handle = t.next++;
    t.sessions[handle] = std::make_shared<Session>(Session{std::move(profile), std::move(password), std::move(store)});
    return handle;
}

void CloseSession(LHANDLE handle)
{
    SessionTable &t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.sessions.erase(handle) == 0)
        Fail(MAPI_E_INVALID_SESSION);
}

void RefuseNoSuchMessage(const Session &session, const std::string &id)
{
    const std::string &mailbox = session.profile.mailbox;
    Refuse("no message has the identifier \"" + id + "\" in " +
               (IsImapMailbox(mailbox) ? "the folder " + WithoutPassword(mailbox) : "the Maildir " + mailbox),
           MAPI_E_INVALID_MESSAGE);
}

SessionInUse FindSession(LHANDLE handle)
{
    if (handle == 0) {
        // A session for this call only, on the default profile.
        auto session = std::make_shared<Session>(Session{LoadProfile(""), SecretText(), nullptr});
        session->store = OpenStore(session->profile, "", false);
        return SessionInUse(std::move(session));
    }
    SessionTable &t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.sessions.find(handle);
    if (it == t.sessions.end())
        Fail(MAPI_E_INVALID_SESSION);
    return SessionInUse(it->second);
}

} // namespace kelvra_provider
