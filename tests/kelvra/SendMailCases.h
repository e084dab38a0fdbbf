// Cases the narrow and the wide send share: each program runs them with
// its own send call, the narrow one as it is and the wide one under
// MAPIUNICODE in a code page that lacks most of the texts.
#pragma once

#include "FakeMapiCalls.h"

#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

namespace send_cases {

// Every way a send fails raises the platform's code and frees what the
// platform handed out, whichever send call (`sendCall`) the component
// makes; a cancelled compose dialog changes no property.
inline void EveryFailureRaisesWithThePlatformsCode(const char *sendCall, const host::String &attach)
{
    kelvra::TKelvraSendMail mail;
    mail.SetSendTo(u"ann;bob");
    mail.SetAttach(attach);
    const MapiRecipDesc ann = fake::Recip(MAPI_TO, "Ann", "SMTP:ann@x.org");
    const MapiRecipDesc bob = fake::Recip(MAPI_TO, "Bob", "SMTP:bob@x.org");

    FakeMapi_QueueResolved(&ann);
    FakeMapi_QueueResolved(&bob);
    FakeMapi_QueueResult(sendCall, MAPI_E_ATTACHMENT_NOT_FOUND);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.Send(); }), 11);

    // A release that fails raises before anything is sent.
    FakeMapi_Reset();
    FakeMapi_QueueResolved(&ann);
    FakeMapi_QueueResult("MAPIFreeBuffer", MAPI_E_FAILURE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.Send(); }), 2);
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIResolveName", "MAPIFreeBuffer"}));

    // The compose dialog cancelled.
    FakeMapi_Reset();
    mail.SetFlags({kelvra::TSendFlag::sfDialog});
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    FakeMapi_QueueResult(sendCall, MAPI_USER_ABORT);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.Send(); }), 1);
    EXPECT_EQ(mail.GetSendTo(), u"ann;bob");
    EXPECT_EQ(mail.GetAttach(), attach);
}

} // namespace send_cases
