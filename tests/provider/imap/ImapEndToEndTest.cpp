// The four components against the provider on an IMAP mailbox: a real
// Dovecot on loopback, started and stopped by this test.
#include "Dovecot.h"
#include "ProviderHome.h"

#include "kelvra/Kelvra.h"

using namespace provider_test;

TEST(ImapEndToEnd, SendWalkReadSaveDeleteAndResolve)
{
    dovecot::Server server;
    const fs::path home = fs::temp_directory_path() / ("kelvra-imap-e2e-" + std::to_string(getpid()));
    fs::remove_all(home);
    WriteFile(home / "contacts.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nN:Example;Ann;;;\r\nEMAIL:ann@example.org\r\n"
                                     "END:VCARD\r\n");
    WriteFile(home / "profiles.ini", "[Imap]\nmailbox = " + server.TlsUrl() + "\ncafile = " +
                                         server.certificate.string() +
                                         "\naddressbook = contacts.vcf\nname = Kelvra Tester\n"
                                         "address = tester@example.org\nlocaldelivery = yes\n");
    setenv("KELVRA_MAPI_PROFILES", (home / "profiles.ini").c_str(), 1);
    setenv("TMPDIR", home.c_str(), 1);
    setenv("KELVRA_MAPI_LOG", (home / "provider.log").c_str(), 1);
    kelvra::MAPIDLL = u"libkelvramapi.so";
    {
        kelvra::TKelvraSession session;
        session.SetProfileName(u"Imap");
        session.SetPassword(u"secret");

        const std::string attachment = (home / "data.bin").string();
        std::string bytes;
        for (int i = 0; i < 50000; ++i)
            bytes += static_cast<char>((i * 13) % 256);
        WriteFile(attachment, bytes);
        kelvra::TKelvraSendMail mail;
        mail.SetSession(&session);
        mail.SetSendTo(u"Ann");
        mail.SetSubject(u"Over IMAP");
        mail.GetBody().Add(u"First line");
        mail.SetAttach(host::FromUtf8(attachment));
        mail.Send(); // no SMTP server: delivered to the folder, a copy in Sent

        kelvra::TKelvraReadMail inbox;
        inbox.SetSession(&session);
        EXPECT_EQ(inbox.MessageCount(), 1);
        ASSERT_TRUE(inbox.First());
        EXPECT_EQ(inbox.GetSubject(), u"Over IMAP");
        EXPECT_EQ(inbox.GetBody().Lines(), (std::vector<host::String>{u"First line"}));
        EXPECT_EQ(inbox.GetRecipients(), u"Ann Example");
        ASSERT_EQ(inbox.GetFileCount(), 1u);
        EXPECT_EQ(ReadFile(host::ToUtf8(inbox.GetPathName(0))), bytes);

        kelvra::TKelvraReadMail unread;
        unread.SetSession(&session);
        unread.SetFindFlags({kelvra::TFindFlag::ffUnreadOnly});
        EXPECT_FALSE(unread.First()); // read, so marked \Seen on the server

        // Saved as a new UID; the identifier the component keeps still
        // names it in this session.
        inbox.SetSubject(u"Over IMAP (edited)");
        inbox.Save();
        inbox.Read();
        EXPECT_EQ(inbox.GetSubject(), u"Over IMAP (edited)");
        EXPECT_EQ(ReadFile(host::ToUtf8(inbox.GetPathName(0))), bytes);
        EXPECT_EQ(inbox.MessageCount(), 1);

        inbox.Delete();
        EXPECT_EQ(inbox.MessageCount(), 0);

        kelvra::TKelvraContact contact;
        contact.SetSession(&session);
        contact.SetContactName(u"ann");
        EXPECT_EQ(contact.GetResolvedAddress(), u"ann@example.org");
    }
    if (::testing::Test::HasFailure())
        std::cerr << ReadFile(home / "provider.log") << server.Log();
    unsetenv("KELVRA_MAPI_PROFILES");
    unsetenv("TMPDIR");
    unsetenv("KELVRA_MAPI_LOG");
    fs::remove_all(home);
}
