// Send with MAPIUNICODE, against the recording library with MAPISendMailW.
// Runs in a code page that lacks Cyrillic, Japanese and emoji (a Latin-1
// locale natively, Wine's Western code page under Wine; tests/CMakeLists.txt).
#include "FakeMapiCalls.h"
#include "SendMailCases.h"

#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

using kelvra::TKelvraSendMail;
using kelvra::TSendFlag;

namespace {

bool InCodePage(const host::String &text) { return host::FromAnsi(host::ToAnsi(text)) == text; }

class SendMailWide : public fake::FakeMapiWithWindow {
protected:
    void SetUp() override
    {
        FakeMapiWithWindow::SetUp();
        kelvra::MAPIUNICODE = true;
    }
    void TearDown() override
    {
        kelvra::MAPIUNICODE = false;
        FakeMapiWithWindow::TearDown();
    }
};

// U+1F600 and U+1D11E: each a surrogate pair in UTF-16.
const host::String kSubject = u"Gr\u00FC\u00DFe \u65E5\u672C\u8A9E \U0001F600";
const host::String kPath = u"/tmp/\u041E\u0442\u0447\u0451\u0442/\u5831\u544A \U0001F4CE.txt";

} // namespace

TEST_F(SendMailWide, TextsAndPathsGoAsTheComponentsHoldThemSurrogatePairsIncluded)
{
    ASSERT_FALSE(InCodePage(kSubject)) << "this test needs a code page without Japanese: " << host::AnsiCharset();
    TKelvraSendMail mail;
    mail.SetSubject(kSubject);
    mail.SetMessageType(u"IPM.Note.\u00C9t\u00E9");
    mail.SetBody(host::TStringList{u"\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435",
                                   u"\U0001D11E clef"});
    mail.SetAttach(kPath + u"; C:\\Donn\u00E9es\\\u65E5\u672C.doc ");
    mail.SetFlags({TSendFlag::sfDialog, TSendFlag::sfReceiptRequested});
    mail.Send();

    ASSERT_EQ(fake::CallNames(), std::vector<std::string>{"MAPISendMailW"});
    const fake::Call c = fake::Calls()[0];
    EXPECT_EQ(c.WText("msg.subject"), kSubject);
    EXPECT_EQ(c.WText("msg.noteText"),
              u"\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435\r\n\U0001D11E clef");
    EXPECT_EQ(c.WText("msg.messageType"), u"IPM.Note.\u00C9t\u00E9");
    for (const char *key : {"msg.dateReceived", "msg.conversationID", "msg.originator", "msg.recips"})
        EXPECT_TRUE(c.IsNull(key)) << key;
    EXPECT_EQ(c.Num("flags"), 0x8u);
    EXPECT_EQ(c.Num("msg.flags"), 0x2u);
    EXPECT_EQ(c.Num("msg.reserved"), 0u);
    EXPECT_EQ(c.Num("session"), 0u);
    EXPECT_EQ(c.Num("ui"), 0u);
    // In reverse list order, trimmed, with no place in the text.
    ASSERT_EQ(c.Num("msg.fileCount"), 2u);
    EXPECT_EQ(c.WText("msg.files[0].path"), u"C:\\Donn\u00E9es\\\u65E5\u672C.doc");
    EXPECT_EQ(c.WText("msg.files[1].path"), kPath);
    for (const char *key : {"msg.files[0]", "msg.files[1]"}) {
        EXPECT_EQ(c.Num(std::string(key) + ".position"), 0xFFFFFFFFu);
        EXPECT_TRUE(c.IsNull(std::string(key) + ".name"));
        EXPECT_TRUE(c.IsNull(std::string(key) + ".type"));
    }

    // Empty texts go as null, one empty line as an empty text.
    FakeMapi_Reset();
    TKelvraSendMail empty;
    empty.Send();
    const fake::Call e = fake::Last("MAPISendMailW");
    for (const char *key : {"msg.subject", "msg.noteText", "msg.messageType", "msg.recips", "msg.files"})
        EXPECT_TRUE(e.IsNull(key)) << key;
    empty.SetBody(host::TStringList{u""});
    empty.Send();
    EXPECT_EQ(fake::Last("MAPISendMailW").WText("msg.noteText"), u"");
}

TEST_F(SendMailWide, RecipientsTheCodePageHoldsResolveTheOthersGoAsTyped)
{
    const host::String ivan = u"\u0418\u0432\u0430\u043D \u041F\u0435\u0442\u0440\u043E\u0432";
    const host::String smile = u"\U0001F600 smile";
    ASSERT_FALSE(InCodePage(ivan)) << "this test needs a code page without Cyrillic: " << host::AnsiCharset();
    host::TComponent form(nullptr);
    auto *session = new kelvra::TKelvraSession(&form);
    auto *mail = new TKelvraSendMail(&form);
    mail->SetSession(session);
    mail->SetSendTo(u"ann@x.org; " + ivan);
    mail->SetCc(u"bob");
    mail->SetBcc(smile + u";zoe");
    // The book answers in the code page; its texts come back as UTF-16.
    const host::AnsiString zoe = host::ToAnsi(u"Zo\u00EB M\u00FCller");
    const MapiRecipDesc ann = fake::Recip(MAPI_TO, "Ann Smith", "SMTP:ann@x.org");
    const MapiRecipDesc zoeEntry = fake::Recip(MAPI_TO, zoe.c_str(), "SMTP:zoe@x.org");
    FakeMapi_QueueResolved(&ann);
    FakeMapi_QueueResult("MAPIResolveName", 0);
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    FakeMapi_QueueResolved(&zoeEntry);
    mail->Send();

    // Only the names the code page holds are looked up, in the session.
    std::vector<std::string> looked;
    for (const fake::Call &c : fake::Calls())
        if (c.function == "MAPIResolveName") {
            looked.push_back(*c.Text("name"));
            EXPECT_EQ(c.Num("session"), 0x5E55u);
            EXPECT_EQ(c.Num("ui"), kMainWindow);
        }
    EXPECT_EQ(looked, (std::vector<std::string>{"ann@x.org", "bob", "zoe"}));

    const fake::Call send = fake::Last("MAPISendMailW");
    EXPECT_EQ(send.Num("session"), 0x5E55u);
    EXPECT_EQ(send.Num("ui"), kMainWindow);
    fake::ExpectRecips<host::String>(send, {{1, u"Ann Smith", u"SMTP:ann@x.org"},
                                            {1, ivan, std::nullopt},
                                            {2, u"bob", std::nullopt},
                                            {3, smile, std::nullopt},
                                            {3, u"Zo\u00EB M\u00FCller", u"SMTP:zoe@x.org"}});
    EXPECT_EQ(FakeMapi_BlocksHandedOut(), 2u); // each freed once (the fixture checks)
}

TEST_F(SendMailWide, EveryFailureRaisesWithThePlatformsCodeAndFreesEverything)
{
    send_cases::EveryFailureRaisesWithThePlatformsCode("MAPISendMailW", kPath);
}

TEST_F(SendMailWide, OffTheNarrowCallIsMadeEvenWhereTheWideOneIsExported)
{
    TKelvraSendMail mail;
    mail.SetSubject(kSubject);
    mail.SetAttach(kPath);
    kelvra::MAPIUNICODE = false;
    mail.Send();
    // Read at every send.
    kelvra::MAPIUNICODE = true;
    mail.Send();
    kelvra::MAPIUNICODE = false;
    mail.Send();
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPISendMail", "MAPISendMailW", "MAPISendMail"}));
    const fake::Call narrow = fake::Calls()[0];
    EXPECT_EQ(narrow.Text("msg.subject"), host::ToAnsi(kSubject));
    EXPECT_EQ(narrow.Text("msg.files[0].path"), host::ToAnsi(kPath));
    EXPECT_EQ(fake::Calls()[1].WText("msg.subject"), kSubject);
}
