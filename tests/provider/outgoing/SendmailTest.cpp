// Outgoing mail handed to a sendmail program: a recording script shows the
// exact argument list, standard input and what each way of failing gives;
// Debian's msmtp-mta as /usr/sbin/sendmail relays to aiosmtpd on loopback,
// a relay that refuses, one that is down and one that never answers.
#include "ProviderHome.h"

#include "kelvra/Kelvra.h"

#include "SmtpServer.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>

using namespace provider_test;

namespace {


class Sendmail : public WithLog<> {
protected:
    void SetUp() override
    {
        WithLog::SetUp();
        kelvra::MAPIDLL = u"libkelvramapi.so";
        const char *h = std::getenv("HOME");
        oldHome = h != nullptr ? h : "";
        setenv("HOME", home.c_str(), 1); // msmtp reads ~/.msmtprc
        // Records its arguments (one a line) and standard input, says a line
        // on standard error, and does what the file `then` says.
        WriteFile(home / "bin" / "record",
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" + (home / "args").string() +
                      "\"\ncat > \"" + (home / "stdin").string() + "\"\necho 'recorded; second line' >&2\n"
                      "echo 'not shown' >&2\n. \"" + (home / "then").string() + "\"\n");
        fs::permissions(home / "bin" / "record", fs::perms::owner_all);
        WriteFile(home / "then", "exit 0\n");
    }
    void TearDown() override
    {
        setenv("HOME", oldHome.c_str(), 1);
        WithLog::TearDown();
    }

    // A profile is read at logon: the session logs on anew with it.
    void Profile(const std::string &sendmail, const std::string &extra = "")
    {
        session.Close();
        WriteFile(profiles, "[Out]\nmailbox = Mail\naddressbook = contacts.vcf\nname = Kelvra Tester\n"
                            "address = tester@example.org\nsendmail = " +
                                sendmail + "\n" + extra);
        session.SetProfileName(u"Out");
    }

    // Sends to Ann, Cc bob@, Bcc secret@; 0 or the error code.
    int Send()
    {
        kelvra::TKelvraSendMail mail;
        mail.SetSession(&session);
        mail.SetSendTo(u"Ann");
        mail.SetCc(u"bob@example.org");
        mail.SetBcc(u"secret@example.net");
        mail.SetSubject(u"Handed over");
        mail.GetBody().Add(u"Line one.");
        mail.GetBody().Add(u"Line two.");
        try {
            mail.Send();
            return 0;
        } catch (const kelvra::EKelvraError &e) {
            return e.ErrorCode;
        }
    }

    // Nothing kept in Sent, and nothing left staged for it.
    bool NoSentCopy() const
    {
        const fs::path staging = mailbox / ".Sent" / "tmp";
        return Messages(mailbox / ".Sent").empty() && (!fs::exists(staging) || fs::is_empty(staging));
    }


    std::string oldHome;
    kelvra::TKelvraSession session;
};

const std::string kEnvelope = "-oi\n-f\ntester@example.org\n--\nann@example.org\nbob@example.org\nsecret@example.net\n";

} // namespace

TEST_F(Sendmail, TheProgramGetsTheEnvelopeAfterItsOwnWordsAndTheMessageInLocalLines)
{
    Profile("'" + (home / "bin" / "record").string() + "' 'two words' -t\\ x");
    ASSERT_EQ(Send(), 0);
    EXPECT_EQ(ReadFile(home / "args"), "two words\n-t x\n" + kEnvelope);
    const std::string text = ReadFile(home / "stdin");
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_NE(text.find("\nSubject: Handed over\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Line one.\nLine two."), std::string::npos) << text;
    EXPECT_EQ(text.find("secret@"), std::string::npos) << text; // Bcc in no header
    // The Sent copy is the message as composed (CRLF lines, as every stored one).
    const auto sent = Messages(mailbox / ".Sent");
    ASSERT_EQ(sent.size(), 1u);
    std::string copy = ReadFile(sent[0]);
    std::erase(copy, '\r');
    EXPECT_EQ(copy, text);
    EXPECT_TRUE(Messages(mailbox).empty()); // handed over, not delivered locally
}

TEST_F(Sendmail, EachFailureIsItsCodeAndALogLineAndKeepsNoCopy)
{
    const std::string record = (home / "bin" / "record").string();
    const struct {
        std::string then, profileExtra;
        int code;
        std::string logged;
    } rows[] = {
        {"exit 67\n", "", MAPI_E_UNKNOWN_RECIPIENT,
         "exited with status 67 (EX_NOUSER: addressee unknown): recorded; second line"},
        {"exit 75\n", "", MAPI_E_FAILURE, "exited with status 75 (EX_TEMPFAIL: a failure that may pass; try again later)"},
        {"exit 1\n", "", MAPI_E_FAILURE, "exited with status 1: recorded; second line"},
        {"kill -TERM $$\n", "", MAPI_E_FAILURE, "was ended by signal 15"},
        {"exec sleep 30\n", "timeout = 1\n", MAPI_E_FAILURE,
         "did not finish within 1 seconds (the profile's timeout) and was stopped: recorded"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.then);
        WriteFile(home / "then", row.then);
        Profile(record, row.profileExtra);
        fs::remove(home / "provider.log");
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(), row.code);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
        EXPECT_NE(Log().find("sendmail " + record + " " + row.logged), std::string::npos) << Log();
        EXPECT_TRUE(NoSentCopy());
    }
    // A program that is not there.
    Profile((home / "bin" / "missing").string());
    EXPECT_EQ(Send(), MAPI_E_FAILURE);
    EXPECT_NE(Log().find("cannot be started: No such file or directory"), std::string::npos) << Log();
    EXPECT_TRUE(NoSentCopy());
}

// A program that exits 0 before it has read the whole message (here the
// first 64 KiB of one with a 3 MB attachment) has not taken it: the send
// fails and keeps no copy.
TEST_F(Sendmail, AProgramThatStopsReadingEarlyHasNotTakenTheMessage)
{
    WriteFile(home / "bin" / "short", "#!/bin/sh\nhead -c 65536 > '" + (home / "queued").string() + "'\nexit 0\n");
    fs::permissions(home / "bin" / "short", fs::perms::owner_all);
    WriteFile(home / "big.bin", std::string(3 << 20, 'x'));
    Profile((home / "bin" / "short").string());
    kelvra::TKelvraSendMail mail;
    mail.SetSession(&session);
    mail.SetSendTo(u"ann@example.org");
    mail.SetSubject(u"Big");
    mail.SetAttach(host::FromUtf8((home / "big.bin").string()));
    int code = 0;
    try {
        mail.Send();
    } catch (const kelvra::EKelvraError &e) {
        code = e.ErrorCode;
    }
    EXPECT_EQ(code, MAPI_E_FAILURE);
    EXPECT_EQ(ReadFile(home / "queued").size(), 65536u);
    EXPECT_NE(Log().find("exited with status 0 but left "), std::string::npos) << Log();
    EXPECT_TRUE(mail.Outcome().empty());
    EXPECT_TRUE(NoSentCopy());
}

TEST_F(Sendmail, NoRecipientIsEverTakenForAnOption)
{
    Profile((home / "bin" / "record").string());
    kelvra::TKelvraSendMail mail;
    mail.SetSession(&session);
    for (const char16_t *to : {u"-oQ/tmp/x@example.org", u"\"-X /tmp/log\"@example.org", u"a@b.org -X/tmp/log"}) {
        SCOPED_TRACE(host::ToUtf8(to));
        mail.SetSendTo(host::String(u"SMTP:") + to);
        fs::remove(home / "args");
        EXPECT_THROW(mail.Send(), kelvra::EKelvraError);
        EXPECT_FALSE(fs::exists(home / "args")); // it never ran
    }
}

// Debian's msmtp-mta: /usr/sbin/sendmail is msmtp, configured by the user's
// ~/.msmtprc, here to relay to a server on loopback.
class MsmtpMta : public WithSmtpServer<Sendmail> {
protected:
    void SetUp() override
    {
        WithSmtpServer::SetUp();
        std::error_code error;
        if (!fs::is_symlink("/usr/sbin/sendmail", error) || fs::read_symlink("/usr/sbin/sendmail", error).filename() != "msmtp")
            GTEST_SKIP() << "/usr/sbin/sendmail is not msmtp-mta's (apt-get install msmtp-mta)";
        WriteFile(home / ".msmtprc", "defaults\nauth off\ntls off\nlogfile " + (home / "msmtp.log").string() +
                                         "\naccount relay\nhost 127.0.0.1\nport " + std::to_string(port) +
                                         "\nfrom tester@example.org\naccount default : relay\n");
        fs::permissions(home / ".msmtprc", fs::perms::owner_read | fs::perms::owner_write);
        Profile("/usr/sbin/sendmail", "timeout = 5\n");
    }
};

TEST_F(MsmtpMta, RelaysTheMessageWithItsEnvelopeAndBccInNoHeader)
{
    auto relay = StartSmtp();
    ASSERT_EQ(Send(), 0) << ReadFile(home / "msmtp.log");
    EXPECT_EQ(ReadFile(received / "1.env"), "tester@example.org\nann@example.org\nbob@example.org\nsecret@example.net\n");
    const std::string wire = ReadFile(received / "1.eml");
    EXPECT_NE(wire.find("Subject: Handed over\r\n"), std::string::npos) << wire;
    EXPECT_NE(wire.find("Line one.\r\nLine two."), std::string::npos) << wire;
    EXPECT_EQ(wire.find("secret@"), std::string::npos) << wire;
    ASSERT_EQ(Messages(mailbox / ".Sent").size(), 1u);
}

TEST_F(MsmtpMta, ARelayThatRefusesIsDownOrNeverAnswersFailsTheSendWithoutACopy)
{
    {
        auto relay = StartSmtp({"--refuse", "bob"});
        EXPECT_EQ(Send(), MAPI_E_FAILURE); // msmtp says EX_DATAERR, not EX_NOUSER
        EXPECT_NE(Log().find("sendmail /usr/sbin/sendmail exited with status"), std::string::npos) << Log();
        EXPECT_NE(Log().find("bob@example.org"), std::string::npos) << Log(); // msmtp names the refused one
        EXPECT_FALSE(fs::exists(received / "1.eml"));
        EXPECT_TRUE(NoSentCopy());
    }
    // Down: nothing listens on the port any more.
    fs::remove(home / "provider.log");
    EXPECT_EQ(Send(), MAPI_E_FAILURE);
    EXPECT_NE(Log().find("sendmail /usr/sbin/sendmail exited with status"), std::string::npos) << Log();
    EXPECT_TRUE(NoSentCopy());
    // Never answers: connections are taken (the listening socket's backlog)
    // and no greeting ever comes; the profile's timeout ends it.
    std::optional<loopback::Listener> listener(std::in_place, port);
    ASSERT_TRUE(listener->Listening());
    fs::remove(home / "provider.log");
    Profile("/usr/sbin/sendmail", "timeout = 2\n");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(), MAPI_E_FAILURE);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    listener.reset();
    EXPECT_NE(Log().find("did not finish within 2 seconds"), std::string::npos) << Log();
    EXPECT_TRUE(NoSentCopy());
}
