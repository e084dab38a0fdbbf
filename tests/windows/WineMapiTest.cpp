// Against the system's own MAPI32.DLL: under Wine, a real Simple MAPI
// library that no one here wrote. Runs alone in its process, with the
// default MAPIDLL.
#include "EntryPoints.h"
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>

using kelvra::EKelvraError;

namespace {

// The platform's answer to a call, as the components see it.
int Code(ULONG result)
{
    try {
        kelvra::Check(result);
        return 0;
    } catch (const EKelvraError &e) {
        // The code's text; beside it, what Windows would use: Wine's own client.
        EXPECT_EQ(e.what(), host::ToUtf8(kelvra::CheckMessage(result)));
        const std::string what = host::ToUtf8(kelvra::LastReason());
        EXPECT_EQ(what.rfind("the mail client is Native Mail Client (the machine's default), its Simple MAPI DLL ", 0), 0u)
            << what;
        EXPECT_NE(what.find(", called through the system's MAPI32.DLL"), std::string::npos) << what;
        return e.ErrorCode;
    }
}

} // namespace

TEST(WineMapi, TheDefaultLibraryLoadsWithAllTwelveEntryPoints)
{
    EXPECT_EQ(kelvra::MAPIDLL, u"MAPI32.DLL");
    kelvra::InitMapi();
    ExpectAllTwelveEntryPoints();
    // What kelvra profile check prints on Windows.
    const std::string described = host::ToUtf8(kelvra::MailSystemDescription());
    EXPECT_EQ(described.rfind("the mail client is Native Mail Client (the machine's default), its Simple MAPI DLL ", 0),
              0u)
        << described;
}

TEST(WineMapi, ASessionLogsOnAndOff)
{
    kelvra::TKelvraSession session;
    session.SetProfileName(u"Kelvra");
    session.SetFlags({kelvra::TSessionFlag::seNewSession});
    session.Open();
    EXPECT_TRUE(session.GetActive());
    EXPECT_NE(session.Handle(), 0u);
    session.Close();
    EXPECT_FALSE(session.GetActive());
}

// What Wine's MAPI32.DLL answers when no mail client provides Simple MAPI:
// everything past logon is "not supported" (26), except that it resolves
// any name to itself.
TEST(WineMapi, CallsItDoesNotSupportRaiseWithTheirRealCode)
{
    kelvra::TKelvraSession session;
    session.Open();
    const LHANDLE s = session.Handle();
    char id[513] = {};
    char someId[] = "1";
    lpMapiMessage message = nullptr;
    MapiMessage empty{};
    MapiRecipDesc recip{};
    ULONG count = 0;
    lpMapiRecipDesc recips = nullptr;
    char delimiter[] = ";";

    EXPECT_EQ(Code(kelvra::MapiFindNext()(s, 0, nullptr, nullptr, MAPI_LONG_MSGID, 0, id)), 26);
    EXPECT_EQ(Code(kelvra::MapiReadMail()(s, 0, someId, 0, 0, &message)), 26);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(Code(kelvra::MapiSaveMail()(s, 0, &empty, MAPI_LONG_MSGID, 0, id)), 26);
    EXPECT_EQ(Code(kelvra::MapiDeleteMail()(s, 0, someId, 0, 0)), 26);
    EXPECT_EQ(Code(kelvra::MapiAddress()(s, 0, nullptr, 4, nullptr, 0, nullptr, 0, 0, &count, &recips)), 26);
    EXPECT_EQ(Code(kelvra::MapiDetails()(s, 0, &recip, 0, 0)), 26);
    EXPECT_EQ(Code(kelvra::MapiSendDocuments()(0, delimiter, nullptr, nullptr, 0)), 26);
    EXPECT_EQ(Code(kelvra::MapiFreeBuffer()(nullptr)), 0);

    lpMapiRecipDesc resolved = nullptr;
    char name[] = "Alice";
    ASSERT_EQ(Code(kelvra::MapiResolveName()(s, 0, name, 0, 0, &resolved)), 0);
    ASSERT_NE(resolved, nullptr);
    EXPECT_STREQ(resolved->lpszName, "Alice");
    EXPECT_STREQ(resolved->lpszAddress, "SMTP:Alice");
    EXPECT_EQ(resolved->ulEIDSize, 0u);
    EXPECT_EQ(Code(kelvra::MapiFreeBuffer()(resolved)), 0);
}

// Wine hands an outgoing message to the desktop's mail client (xdg-email, or
// a mailto: URL through winebrowser) and reports success whether or not a
// client opened, with or without the compose dialog. Its address book
// resolves every name to itself and has no dialog.
TEST(WineMapi, SendMailSendsAndSelectRecipientsIsNotSupported)
{
    kelvra::TKelvraSendMail mail;
    mail.SetSendTo(u"ann@example.org");
    mail.SetSubject(u"Kelvra under Wine");
    mail.GetBody().Add(u"Hello.");
    EXPECT_NO_THROW(mail.Send());
    mail.SetFlags({kelvra::TSendFlag::sfDialog});
    EXPECT_NO_THROW(mail.Send());

    try {
        mail.SelectRecipients();
        ADD_FAILURE() << "no exception";
    } catch (const EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 26);
    }
    EXPECT_EQ(mail.GetSendTo(), u"ann@example.org");
}

// Wine's MAPI32.DLL exports MAPISendMailW: with MAPIUNICODE on, Send takes
// it, with the compose dialog and without, and succeeds as the narrow call
// does (Wine converts for a mail client that has only the narrow call).
TEST(WineMapi, SendMailWithWideTextsGoesThroughMapiSendMailW)
{
    kelvra::InitMapi();
    EXPECT_NE(GetProcAddress(GetModuleHandleW(L"MAPI32.DLL"), "MAPISendMailW"), nullptr);
    kelvra::MAPIUNICODE = true;
    kelvra::TKelvraSendMail mail;
    mail.SetSendTo(u"ann@example.org");
    mail.SetSubject(u"\u65E5\u672C\u8A9E \U0001F600");
    mail.GetBody().Add(u"\u041F\u0440\u0438\u0432\u0435\u0442");
    EXPECT_NO_THROW(mail.Send());
    mail.SetFlags({kelvra::TSendFlag::sfDialog});
    EXPECT_NO_THROW(mail.Send());
    kelvra::MAPIUNICODE = false;
}

// Wine's MAPI32.DLL keeps no mailbox of its own: every mailbox call is "not
// supported" (26), and the component stays as it was.
TEST(WineMapi, ReadMailFindsNothingItCanRead)
{
    kelvra::TKelvraSession session;
    kelvra::TKelvraReadMail mail;
    mail.SetSession(&session);
    auto code = [](const std::function<void()> &call) {
        try {
            call();
        } catch (const EKelvraError &e) {
            return e.ErrorCode;
        }
        return 0;
    };
    EXPECT_EQ(code([&] { mail.First(); }), 26);
    EXPECT_EQ(code([&] { mail.MessageCount(); }), 26);
    EXPECT_EQ(code([&] { mail.SetMessageID(u"1"); }), 26);
    EXPECT_EQ(mail.State(), kelvra::TReadMailState::SelectedNotHeld);
    EXPECT_EQ(code([&] { mail.Save(); }), 26);
    EXPECT_EQ(code([&] { mail.Delete(); }), 26);
    EXPECT_TRUE(session.GetActive());
}

// Wine's address book resolves every name to itself, with no entry
// identifier, and shows no dialog.
TEST(WineMapi, AContactResolvesToItselfAndTheDialogsAreNotSupported)
{
    kelvra::TKelvraContact contact;
    contact.SetContactName(u"Alice");
    EXPECT_EQ(contact.GetResolvedName(), u"Alice");
    EXPECT_EQ(contact.GetResolvedAddress(), u"SMTP:Alice");
    EXPECT_EQ(contact.GetResolvedEntrySize(), 0u);
    EXPECT_EQ(contact.GetResolvedEntryID(), nullptr);
    for (bool browse : {false, true}) {
        try {
            browse ? contact.BrowseAddressBook() : contact.SelectContact();
            ADD_FAILURE() << "no exception";
        } catch (const EKelvraError &e) {
            EXPECT_EQ(e.ErrorCode, 26);
        }
    }
    EXPECT_EQ(contact.GetContactName(), u"Alice");
}
