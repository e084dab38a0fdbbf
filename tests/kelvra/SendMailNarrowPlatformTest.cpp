// Runs alone in its process, against a build of the recording library that
// lacks MAPISendMailW: with MAPIUNICODE on, Send makes the narrow call.
#include "FakeMapiCalls.h"

#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

namespace {

class SendMailNarrowPlatform : public fake::FakeMapiTest {
protected:
    void SetUp() override
    {
        kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_PARTIAL_NAME;
        FakeMapi_Reset();
        kelvra::MAPIUNICODE = true;
    }
    void TearDown() override
    {
        kelvra::MAPIUNICODE = false;
        FakeMapiTest::TearDown();
    }
};

} // namespace

TEST_F(SendMailNarrowPlatform, WithoutTheWideExportSendFallsBackToTheNarrowCall)
{
    const host::String subject = u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600";
    const host::String path = u"/tmp/\u041E\u0442\u0447\u0451\u0442.txt";
    kelvra::TKelvraSendMail mail;
    mail.SetSubject(subject);
    mail.SetSendTo(u"\u0418\u0432\u0430\u043D");
    mail.SetAttach(path);
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    mail.Send();
    // Exactly as with the setting off: every text in the code page, every
    // item looked up.
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIResolveName", "MAPISendMail"}));
    const fake::Call c = fake::Last("MAPISendMail");
    EXPECT_EQ(c.Text("msg.subject"), host::ToAnsi(subject));
    EXPECT_EQ(c.Text("msg.recips[0].name"), host::ToAnsi(u"\u0418\u0432\u0430\u043D"));
    EXPECT_EQ(c.Text("msg.files[0].path"), host::ToAnsi(path));

    // The narrow call's failures are reported as ever.
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    FakeMapi_QueueResult("MAPISendMail", MAPI_E_INVALID_RECIPS);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.Send(); }), 25);
}
