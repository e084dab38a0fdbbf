// The provider's entry points, called directly, and a fixture logged on to
// a profile of a throw-away home.
#pragma once

#include "ProviderHome.h"

#include "mapi/SimpleMapi.h"

#include <string>
#include <vector>

#include "Exports.h" // the provider, linked in

namespace provider_test {

inline char *S(const char *text) { return const_cast<char *>(text); }

inline MapiRecipDesc Recip(ULONG cls, const char *name, const char *address = nullptr)
{
    MapiRecipDesc r{};
    r.ulRecipClass = cls;
    r.lpszName = S(name);
    r.lpszAddress = S(address);
    return r;
}

// Every identifier a walk of the session's folder finds with these flags
// and type, in its order.
inline std::vector<std::string> WalkIds(LHANDLE session, FLAGS flags = 0, const char *type = "")
{
    std::vector<std::string> ids;
    std::string seed;
    char buffer[513];
    while (MAPIFindNext(session, 0, S(type), seed.data(), flags | MAPI_LONG_MSGID, 0, buffer) == 0) {
        seed = buffer;
        ids.push_back(seed);
    }
    return ids;
}

class Provider : public ProviderHome {
protected:
    void SetUp() override
    {
        ProviderHome::SetUp();
        ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    }
    void TearDown() override
    {
        if (session != 0)
            MAPILogoff(session, 0, 0, 0);
        ProviderHome::TearDown();
    }

    ULONG Send(const char *subject, std::vector<MapiRecipDesc> recips, std::vector<MapiFileDesc> files = {},
               const char *body = "Hello.\r\nSecond line.", FLAGS messageFlags = 0, const char *type = nullptr)
    {
        MapiMessage m{};
        m.lpszSubject = S(subject);
        m.lpszNoteText = S(body);
        m.lpszMessageType = S(type);
        m.flFlags = messageFlags;
        m.nRecipCount = static_cast<ULONG>(recips.size());
        m.lpRecips = recips.empty() ? nullptr : recips.data();
        m.nFileCount = static_cast<ULONG>(files.size());
        m.lpFiles = files.empty() ? nullptr : files.data();
        return MAPISendMail(session, 0, &m, 0, 0);
    }

    std::vector<std::string> Walk(FLAGS flags = 0, const char *type = "") { return WalkIds(session, flags, type); }

    LHANDLE session = 0;
};

} // namespace provider_test
