#include "FakeMapiCalls.h"
#include "SendMailCases.h"

#include "host/Application.h"
#include "host/FormFile.h"
#include "host/OpenDialog.h"
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

#include <memory>

using kelvra::EKelvraError;
using kelvra::TKelvraSendMail;
using kelvra::TSendFlag;

namespace {


void QueueResolved(const char *name, const char *address)
{
    const MapiRecipDesc r = fake::Recip(MAPI_TO, name, address);
    FakeMapi_QueueResolved(&r);
}

using SendMail = fake::FakeMapiWithWindow;

} // namespace

TEST_F(SendMail, AnEmptyComponentSendsAnEmptyRecordWithoutSession)
{
    TKelvraSendMail mail;
    mail.Send();
    ASSERT_EQ(fake::CallNames(), std::vector<std::string>{"MAPISendMail"});
    const fake::Call c = fake::Calls()[0];
    EXPECT_EQ(c.Num("session"), 0u);
    EXPECT_EQ(c.Num("ui"), 0u);
    EXPECT_EQ(c.Num("flags"), 0u);
    EXPECT_EQ(c.Num("reserved"), 0u);
    for (const char *key : {"msg.subject", "msg.noteText", "msg.messageType", "msg.dateReceived",
                            "msg.conversationID", "msg.originator", "msg.recips", "msg.files"})
        EXPECT_TRUE(c.IsNull(key)) << key;
    EXPECT_EQ(c.Num("msg.reserved"), 0u);
    EXPECT_EQ(c.Num("msg.flags"), 0u);
    EXPECT_EQ(c.Num("msg.recipCount"), 0u);
    EXPECT_EQ(c.Num("msg.fileCount"), 0u);
}

TEST_F(SendMail, TextsGoAsAnsiAndTheBodyLosesOnlyItsLastLineBreak)
{
    struct {
        std::vector<host::String> lines;
        std::optional<std::string> noteText;
    } rows[] = {
        {{}, std::nullopt},
        {{u""}, ""},
        {{u"x", u"y"}, "x\r\ny"},
        {{u"x", u""}, "x\r\n"},
    };
    TKelvraSendMail mail;
    mail.SetSubject(u"Hello \"you\"");
    mail.SetMessageType(u"IPM.Note");
    for (const auto &row : rows) {
        FakeMapi_Reset();
        host::TStringList body;
        body.Assign(row.lines);
        mail.SetBody(body);
        mail.Send();
        const fake::Call c = fake::Last("MAPISendMail");
        EXPECT_EQ(c.Text("msg.noteText"), row.noteText);
        EXPECT_EQ(c.Text("msg.subject"), "Hello \"you\"");
        EXPECT_EQ(c.Text("msg.messageType"), "IPM.Note");
    }

    // Body is the component's own copy.
    host::TStringList other{u"mine"};
    mail.SetBody(other);
    other.Add(u"later");
    EXPECT_EQ(mail.GetBody().Count(), 1u);
}

TEST_F(SendMail, FlagsGoToTheCallExceptTheReceiptWhichGoesToTheMessage)
{
    struct {
        kelvra::TSendFlags flags;
        unsigned long long call;
        unsigned long long message;
    } rows[] = {
        {{TSendFlag::sfReceiptRequested}, 0x0, 0x2},
        {{TSendFlag::sfDialog, TSendFlag::sfLogonUI, TSendFlag::sfNewSession}, 0xB, 0x0},
        {{TSendFlag::sfDialog, TSendFlag::sfReceiptRequested}, 0x8, 0x2},
    };
    for (const auto &row : rows) {
        FakeMapi_Reset();
        TKelvraSendMail mail;
        mail.SetFlags(row.flags);
        EXPECT_EQ(mail.MapiFlags(), row.call);
        mail.Send();
        const fake::Call c = fake::Last("MAPISendMail");
        EXPECT_EQ(c.Num("flags"), row.call);
        EXPECT_EQ(c.Num("msg.flags"), row.message);
    }
}

TEST_F(SendMail, RecipientsAreResolvedToToThenCcThenBccRecords)
{
    TKelvraSendMail mail;
    mail.SetSendTo(u" ann@x.org;\tbob ,");
    mail.SetCc(u"Smith, John");
    mail.SetBcc(u"ann@x.org;" + host::String(1, char16_t(0xD800)));
    // One result per resolution, in order; resolved entries for the zeros.
    for (ULONG result : {0u, 21u, 0u, 14u, 0u, 14u}) // ann, bob, Smith, John, ann, lone surrogate
        FakeMapi_QueueResult("MAPIResolveName", result);
    QueueResolved("Ann Smith", "SMTP:ann@x.org");
    QueueResolved("Smith family", ""); // resolved, but without an address
    QueueResolved("Ann Smith", "SMTP:ann@x.org");
    mail.Send();

    const auto calls = fake::Calls();
    std::vector<std::string> resolvedNames;
    for (const auto &c : calls)
        if (c.function == "MAPIResolveName") {
            resolvedNames.push_back(*c.Text("name"));
            EXPECT_EQ(c.Num("flags"), 0u);
            EXPECT_EQ(c.Num("session"), 0u);
            EXPECT_EQ(c.Num("ui"), 0u);
        }
    EXPECT_EQ(resolvedNames, (std::vector<std::string>{"ann@x.org", "bob", "Smith", "John", "ann@x.org", "?"}));

    const fake::Call send = fake::Last("MAPISendMail");
    fake::ExpectRecips<std::string>(send, {{1, "Ann Smith", "SMTP:ann@x.org"},
                                           {1, "bob", std::nullopt},
                                           {2, "Smith family", std::nullopt},
                                           {2, "John", std::nullopt},
                                           {3, "Ann Smith", "SMTP:ann@x.org"},
                                           {3, "?", std::nullopt}});
    EXPECT_EQ(FakeMapi_BlocksHandedOut(), 3u); // each freed once (the fixture checks)
}

TEST_F(SendMail, AttachmentsGoInReverseOrderWithoutAPosition)
{
    TKelvraSendMail mail;
    mail.SetAttach(u" /tmp/one.txt ;/tmp/a,b.txt;\"/tmp/q.txt\"");
    mail.Send();
    const fake::Call c = fake::Last("MAPISendMail");
    ASSERT_EQ(c.Num("msg.fileCount"), 4u);
    const char *paths[] = {"\"/tmp/q.txt\"", "b.txt", "/tmp/a", "/tmp/one.txt"};
    for (int i = 0; i < 4; ++i) {
        const std::string key = "msg.files[" + std::to_string(i) + "]";
        EXPECT_EQ(c.Text(key + ".path"), paths[i]);
        EXPECT_EQ(c.Num(key + ".position"), 0xFFFFFFFFu);
        EXPECT_EQ(c.Num(key + ".flags"), 0u);
        EXPECT_EQ(c.Num(key + ".reserved"), 0u);
        EXPECT_TRUE(c.IsNull(key + ".name"));
        EXPECT_TRUE(c.IsNull(key + ".type"));
    }
}

TEST_F(SendMail, AnInactiveSessionIsLoggedOnByTheFirstCallThatNeedsIt)
{
    host::TComponent form(nullptr);
    auto *session = new kelvra::TKelvraSession(&form);
    auto *mail = new TKelvraSendMail(&form);
    mail->SetSession(session);
    mail->SetSendTo(u"ann");
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    mail->Send();
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPILogon", "MAPIResolveName", "MAPISendMail"}));
    EXPECT_TRUE(session->GetActive());
    EXPECT_EQ(fake::Calls()[1].Num("session"), 0x5E55u);
    EXPECT_EQ(fake::Calls()[1].Num("ui"), kMainWindow);
    EXPECT_EQ(fake::Last("MAPISendMail").Num("session"), 0x5E55u);
    EXPECT_EQ(fake::Last("MAPISendMail").Num("ui"), kMainWindow);

    delete session;
    EXPECT_EQ(mail->GetSession(), nullptr);
    FakeMapi_Reset();
    mail->SetSendTo(u"");
    mail->Send();
    EXPECT_EQ(fake::Last("MAPISendMail").Num("session"), 0u);
}

TEST_F(SendMail, EveryFailureRaisesWithThePlatformsCodeAndFreesEverything)
{
    send_cases::EveryFailureRaisesWithThePlatformsCode("MAPISendMail", u"/nowhere");
}

TEST_F(SendMail, SelectRecipientsRewritesTheListsFromTheDialogsAnswer)
{
    TKelvraSendMail mail;
    mail.SetSendTo(u"ann");
    mail.SetCc(u"Smith, John");
    QueueResolved("Ann", "SMTP:ann@x.org");
    FakeMapi_QueueResult("MAPIResolveName", 0);
    for (int i = 0; i < 2; ++i)
        FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    const MapiRecipDesc answer[] = {
        fake::Recip(MAPI_TO, "Ann", "SMTP:ann@x.org"), fake::Recip(MAPI_CC, "Smith", nullptr),
        fake::Recip(MAPI_ORIG, "Me", "me@x.org"),      fake::Recip(MAPI_BCC, nullptr, nullptr),
        fake::Recip(MAPI_TO, "Zed", "zed@x.org"),      fake::Recip(7, "Odd", "odd@x.org"),
    };
    FakeMapi_QueueAddressAnswer(6, answer);
    EXPECT_TRUE(mail.SelectRecipients());
    EXPECT_EQ(mail.GetSendTo(), u"SMTP:ann@x.org;zed@x.org");
    EXPECT_EQ(mail.GetCc(), u"Smith");
    EXPECT_EQ(mail.GetBcc(), u"");

    const fake::Call address = fake::Last("MAPIAddress");
    EXPECT_TRUE(address.IsNull("caption"));
    EXPECT_TRUE(address.IsNull("labels"));
    EXPECT_EQ(address.Num("editFields"), 4u);
    EXPECT_EQ(address.Num("flags"), 0u);
    EXPECT_EQ(address.Num("recipCount"), 3u);
    EXPECT_EQ(address.Text("recips[0].address"), "SMTP:ann@x.org");
    EXPECT_EQ(address.Num("recips[1].class"), 2u);
    EXPECT_EQ(address.Text("recips[2].name"), "John");
    EXPECT_TRUE(address.IsNull("recips[2].address"));

    // Every entry removed: empty lists, true, and nothing to free.
    FakeMapi_Reset();
    mail.SetSendTo(u"");
    mail.SetCc(u"");
    FakeMapi_QueueAddressAnswer(0, nullptr);
    EXPECT_TRUE(mail.SelectRecipients());
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"MAPIAddress"});
    EXPECT_TRUE(fake::Calls()[0].IsNull("recips"));
    EXPECT_EQ(fake::Calls()[0].Num("recipCount"), 0u);

    // Success with a count and no array: no entries, no crash.
    mail.SetSendTo(u"kept");
    FakeMapi_QueueAddressAnswer(3, nullptr);
    EXPECT_TRUE(mail.SelectRecipients());
    EXPECT_EQ(mail.GetSendTo(), u"");
    EXPECT_EQ(FakeMapi_BadFrees(), 0u);
}

TEST_F(SendMail, SelectRecipientsKeepsTheExactTextOnCancelAndOnFailure)
{
    TKelvraSendMail mail;
    const host::String odd = u" ann ,, ;bob";
    mail.SetSendTo(odd);
    FakeMapi_QueueResult("MAPIResolveName", 14);
    FakeMapi_QueueResult("MAPIResolveName", 14);
    FakeMapi_QueueResult("MAPIAddress", MAPI_USER_ABORT);
    EXPECT_FALSE(mail.SelectRecipients());
    EXPECT_EQ(mail.GetSendTo(), odd);

    FakeMapi_QueueResult("MAPIResolveName", 14);
    FakeMapi_QueueResult("MAPIResolveName", 14);
    FakeMapi_QueueResult("MAPIAddress", MAPI_E_INVALID_EDITFIELDS);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.SelectRecipients(); }), 24);
    EXPECT_EQ(mail.GetSendTo(), odd);

    // A release that fails after the rewrite raises; the rewrite stays.
    FakeMapi_QueueResult("MAPIResolveName", 14);
    FakeMapi_QueueResult("MAPIResolveName", 14);
    const MapiRecipDesc answer[] = {fake::Recip(MAPI_TO, "Bob", "bob@x.org")};
    FakeMapi_QueueAddressAnswer(1, answer);
    FakeMapi_QueueResult("MAPIFreeBuffer", MAPI_E_FAILURE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.SelectRecipients(); }), 2);
    EXPECT_EQ(mail.GetSendTo(), u"bob@x.org");
}

TEST_F(SendMail, AddAttachmentAppendsThePickedFilesOrChangesNothing)
{
    host::TOpenDialogRequest seen;
    std::optional<std::vector<host::String>> answer = std::vector<host::String>{u"/a/one.txt", u"/b/two"};
    host::SetOpenDialogBackend([&](const host::TOpenDialogRequest &request) {
        seen = request;
        return answer;
    });
    TKelvraSendMail mail;
    EXPECT_TRUE(mail.AddAttachment());
    EXPECT_EQ(mail.GetAttach(), u"/a/one.txt;/b/two");
    EXPECT_EQ(seen.Filter, u"All files (*.*)|*.*|Text files (*.txt)|*.txt");
    EXPECT_EQ(seen.Options, (host::TOpenOptions{host::TOpenOption::ofHideReadOnly, host::TOpenOption::ofEnableSizing,
                                                host::TOpenOption::ofAllowMultiSelect}));
    EXPECT_EQ(seen.Title, u"");
    EXPECT_EQ(seen.InitialDir, u"");

    answer = std::vector<host::String>{u"/a/one.txt"};
    EXPECT_TRUE(mail.AddAttachment());
    EXPECT_EQ(mail.GetAttach(), u"/a/one.txt;/b/two;/a/one.txt");

    mail.SetAttach(u" odd ,; text");
    answer = std::nullopt;
    EXPECT_FALSE(mail.AddAttachment());
    EXPECT_EQ(mail.GetAttach(), u" odd ,; text");
    EXPECT_TRUE(fake::Calls().empty());
}

#if !defined(_WIN32)
TEST_F(SendMail, WithoutADisplayTheSystemFileDialogSaysSo)
{
    const char *display = std::getenv("DISPLAY");
    const std::string saved = display != nullptr ? display : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    TKelvraSendMail mail;
    EXPECT_THROW(mail.AddAttachment(), host::Exception);
    if (display != nullptr)
        setenv("DISPLAY", saved.c_str(), 1);
}
#endif

TEST_F(SendMail, TenThousandRecipientsAndAttachmentsGoInOneCall)
{
    host::String to, attach;
    for (int i = 0; i < 10000; ++i) {
        kelvra::AppendListItem(to, u"user" + host::FromAscii(std::to_string(i)) + u"@x.org");
        kelvra::AppendListItem(attach, u"/tmp/f" + host::FromAscii(std::to_string(i)));
    }
    TKelvraSendMail mail;
    mail.SetSendTo(to);
    mail.SetAttach(attach);
    for (int i = 0; i < 10000; ++i)
        FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    mail.Send();
    const fake::Call c = fake::Last("MAPISendMail");
    EXPECT_EQ(c.Num("msg.recipCount"), 10000u);
    EXPECT_EQ(c.Num("msg.fileCount"), 10000u);
    EXPECT_EQ(c.Text("msg.recips[9999].name"), "user9999@x.org");
    EXPECT_EQ(c.Text("msg.files[0].path"), "/tmp/f9999");
}

TEST_F(SendMail, FormFilesStoreWhatIsSetAndAlwaysBodyAndFlags)
{
    host::TComponent form(nullptr);
    form.SetName(u"Form");
    auto *mail = new TKelvraSendMail(&form);
    mail->SetName(u"Mail");
    EXPECT_EQ(host::WriteForm(form), "object Form: TComponent\n"
                                     "  object Mail: TKelvraSendMail\n"
                                     "    Body = ()\n"
                                     "    Flags = []\n"
                                     "  end\n"
                                     "end\n");
    auto *session = new kelvra::TKelvraSession(&form);
    session->SetName(u"Session");
    mail->SetSession(session);
    mail->SetSubject(u"Hi");
    mail->SetSendTo(u"a;b");
    mail->SetFlags({TSendFlag::sfDialog});
    mail->GetBody().Add(u"Line");
    const std::string text = host::WriteForm(form);
    EXPECT_EQ(text, "object Form: TComponent\n"
                    "  object Mail: TKelvraSendMail\n"
                    "    Body = (\n"
                    "      'Line')\n"
                    "    Flags = [sfDialog]\n"
                    "    SendTo = 'a;b'\n"
                    "    Session = Session\n"
                    "    Subject = 'Hi'\n"
                    "  end\n"
                    "  object Session: TKelvraSession\n"
                    "    Active = False\n"
                    "    Flags = []\n"
                    "  end\n"
                    "end\n");
    auto copy = host::ReadForm(text);
    auto *readMail = static_cast<TKelvraSendMail *>(copy->FindComponent(u"Mail"));
    EXPECT_EQ(readMail->GetSession(), copy->FindComponent(u"Session"));
    EXPECT_EQ(host::WriteForm(*copy), text);
    EXPECT_TRUE(fake::Calls().empty());
}
