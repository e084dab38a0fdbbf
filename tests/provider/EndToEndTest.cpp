// The four components against the provider, in a profile of the test's
// own: what an application on Linux sees.
#include "ProviderHome.h"

#include "kelvra/Kelvra.h"

using namespace provider_test;
using kelvra::TFindFlag;

namespace {

class EndToEnd : public ProviderHome {
protected:
    void SetUp() override
    {
        ProviderHome::SetUp();
        kelvra::MAPIDLL = u"libkelvramapi.so"; // beside this program
        session.SetProfileName(u"Work");
    }

    void SendOne(const char16_t *subject, const char16_t *type = u"")
    {
        kelvra::TKelvraSendMail mail;
        mail.SetSession(&session);
        mail.SetSendTo(u"Ann");
        mail.SetSubject(subject);
        mail.SetMessageType(type);
        mail.Send();
    }

    kelvra::TKelvraSession session;
};

} // namespace

TEST_F(EndToEnd, SendThenWalkReadEditSaveAndDelete)
{
    const fs::path text = home / "notes.txt";
    const fs::path binary = home / "data.bin";
    std::string bytes;
    for (int i = 0; i < 70000; ++i)
        bytes += static_cast<char>((i * 7) % 256);
    WriteFile(text, "plain notes\n");
    WriteFile(binary, bytes);

    kelvra::TKelvraSendMail mail;
    mail.SetSession(&session);
    mail.SetSendTo(u"Ann; bob@example.org");
    mail.SetBcc(u"Bobby");
    mail.SetSubject(u"Minutes");
    mail.GetBody().Add(u"First line");
    mail.GetBody().Add(u"Second line");
    mail.SetAttach(host::FromUtf8(text.string() + ";" + binary.string()));
    mail.Send();

    kelvra::TKelvraReadMail inbox;
    inbox.SetSession(&session);
    EXPECT_EQ(inbox.MessageCount(), 1);
    ASSERT_TRUE(inbox.First());
    EXPECT_EQ(inbox.GetSubject(), u"Minutes");
    EXPECT_EQ(inbox.GetBody().Lines(), (std::vector<host::String>{u"First line", u"Second line"}));
    EXPECT_EQ(inbox.GetOriginatorAddress(), u"tester@example.org");
    // Every recipient was resolved through the address book; no Bcc in a sent message.
    EXPECT_EQ(inbox.GetRecipients(), u"Ann Example;Bob Example");
    EXPECT_EQ(inbox.GetMessageType(), u"IPM.Note");
    ASSERT_EQ(inbox.GetFileCount(), 2u);
    std::map<std::string, std::string> files;
    for (std::uint32_t i = 0; i < 2; ++i)
        files[host::ToUtf8(inbox.GetFileName(i))] = ReadFile(host::ToUtf8(inbox.GetPathName(i)));
    EXPECT_EQ(files["notes.txt"], "plain notes\n");
    EXPECT_EQ(files["data.bin"], bytes);
    const fs::path copy = host::ToUtf8(inbox.GetPathName(0));

    // Read (not peeked): no longer unread.
    kelvra::TKelvraReadMail unread;
    unread.SetSession(&session);
    unread.SetFindFlags({TFindFlag::ffUnreadOnly});
    EXPECT_FALSE(unread.First());

    inbox.SetSubject(u"Minutes (edited)");
    inbox.Save();
    inbox.Read();
    EXPECT_EQ(inbox.GetSubject(), u"Minutes (edited)");
    EXPECT_FALSE(fs::exists(copy)); // the first read's copies went with its record

    inbox.Delete();
    EXPECT_EQ(inbox.MessageCount(), 0);
    EXPECT_FALSE(inbox.Next());
    EXPECT_EQ(Messages(mailbox / ".Sent").size(), 1u);
}

TEST_F(EndToEnd, FiltersOrderAndTheAddressBook)
{
    SendOne(u"first");
    SendOne(u"report", u"IPM.Kelvra.Report");
    SendOne(u"second");

    kelvra::TKelvraReadMail inbox;
    inbox.SetSession(&session);
    inbox.SetFindFlags({TFindFlag::ffFifo});
    inbox.SetReadFlags({kelvra::TReadFlag::rfPeek});
    std::vector<host::String> subjects;
    for (bool more = inbox.First(); more; more = inbox.Next())
        subjects.push_back(inbox.GetSubject());
    EXPECT_EQ(subjects, (std::vector<host::String>{u"first", u"second"}));

    inbox.SetMessageTypeFilter(u"IPM.Kelvra");
    ASSERT_TRUE(inbox.First());
    EXPECT_EQ(inbox.GetSubject(), u"report");
    EXPECT_EQ(inbox.MessageCount(), 1); // counts the held message's type
    EXPECT_FALSE(inbox.Next());

    kelvra::TKelvraReadMail unread;
    unread.SetSession(&session);
    unread.SetFindFlags({TFindFlag::ffUnreadOnly});
    // Peeked only: all still unread. With no message held the count is of
    // ordinary mail; First with the "IPM" filter finds the report too.
    EXPECT_EQ(unread.MessageCount(), 2);
    unread.SetMessageTypeFilter(u"IPM.Kelvra");
    EXPECT_TRUE(unread.First());

    kelvra::TKelvraContact contact;
    contact.SetSession(&session);
    contact.SetContactName(u"bobby");
    EXPECT_EQ(contact.GetResolvedName(), u"Bob Example");
    EXPECT_EQ(contact.GetResolvedAddress(), u"bob@example.org");
    EXPECT_GT(contact.GetResolvedEntrySize(), 0u);
    try {
        contact.SetContactName(u"Example");
        ADD_FAILURE() << "no exception";
    } catch (const kelvra::EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 21);
    }
}
