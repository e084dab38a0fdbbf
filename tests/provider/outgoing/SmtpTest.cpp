// Outgoing mail through a real SMTP server on loopback, started here:
// Debian's aiosmtpd, with its Mailbox handler or with our own handler
// (refusals, authentication, STARTTLS, a dropped connection).
#include "ProviderHome.h"

#include "kelvra/Kelvra.h"

#include "SmtpServer.h"

#include <atomic>
#include <future>
#include <thread>

using namespace provider_test;

namespace {

using loopback::Server;

const std::string kPython = "/usr/bin/python3";

class Smtp : public WithSmtpServer<WithLog<>> {
protected:
    void SetUp() override
    {
        WithSmtpServer::SetUp();
        kelvra::MAPIDLL = u"libkelvramapi.so";
    }
    // No copy of a sent message left under the Sent folder's tmp/.
    bool NothingStaged() const
    {
        const fs::path staging = mailbox / ".Sent" / "tmp";
        return !fs::exists(staging) || fs::is_empty(staging);
    }

    void Profile(const std::string &extra)
    {
        WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddressbook = contacts.vcf\nname = Kelvra Tester\n"
                            "address = tester@example.org\nsmtp = smtp://127.0.0.1:" +
                                std::to_string(port) + "\n" + extra);
        session.SetProfileName(u"Smtp");
    }

    int SendCode(kelvra::TKelvraSendMail &mail)
    {
        try {
            mail.Send();
            return 0;
        } catch (const kelvra::EKelvraError &e) {
            return e.ErrorCode;
        }
    }

    std::unique_ptr<kelvra::TKelvraSendMail> Mail()
    {
        auto mail = std::make_unique<kelvra::TKelvraSendMail>();
        mail->SetSession(&session);
        mail->SetSendTo(u"Ann");
        mail->SetSubject(u"Over the wire");
        mail->GetBody().Add(u"Hello over SMTP.");
        return mail;
    }

    kelvra::TKelvraSession session;
};

} // namespace

TEST_F(Smtp, WhatArrivesIsWhatWasSentWithBccOnlyInTheEnvelope)
{
    const fs::path file = home / "table.bin";
    std::string bytes;
    for (int i = 0; i < 100000; ++i)
        bytes += static_cast<char>(i * 31 % 256);
    WriteFile(file, bytes);
    Profile("plain = yes\n");
    auto server = StartSmtp();
    auto mail = Mail();
    mail->SetCc(u"bob@example.org");
    mail->SetBcc(u"secret@example.net");
    mail->SetAttach(host::FromUtf8(file.string()));
    ASSERT_EQ(SendCode(*mail), 0);

    EXPECT_EQ(ReadFile(received / "1.env"), "tester@example.org\nann@example.org\nbob@example.org\nsecret@example.net\n");
    const auto sent = Messages(mailbox / ".Sent");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(NothingStaged());
    // Byte for byte, CRLF on the wire (the server keeps what it received).
    EXPECT_EQ(ReadFile(received / "1.eml"), ReadFile(sent[0]));
    const std::string wire = ReadFile(received / "1.eml");
    EXPECT_EQ(wire.find("secret@example.net"), std::string::npos);
    EXPECT_TRUE(Messages(mailbox).empty()); // not delivered locally
}

TEST_F(Smtp, TheMailboxHandlerOfAiosmtpdStoresTheEnvelope)
{
    Profile("plain = yes\n");
    Server server(port, {kPython, "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(port), "-c",
                         "aiosmtpd.handlers.Mailbox", (received / "box").string()});
    auto mail = Mail();
    mail->SetBcc(u"hidden@example.net");
    ASSERT_EQ(SendCode(*mail), 0);
    const auto stored = Messages(received / "box");
    ASSERT_EQ(stored.size(), 1u);
    const std::string text = ReadFile(stored[0]);
    EXPECT_NE(text.find("X-RcptTo: ann@example.org, hidden@example.net"), std::string::npos) << text;
    EXPECT_NE(text.find("Subject: Over the wire"), std::string::npos);
    EXPECT_EQ(text.find("Bcc:"), std::string::npos);
}

TEST_F(Smtp, ARefusedRecipientSendsNothingAndIsLogged)
{
    Profile("plain = yes\n");
    auto server = StartSmtp({"--refuse", "bob"});
    auto mail = Mail();
    mail->SetCc(u"bob@example.org");
    EXPECT_EQ(SendCode(*mail), 14);
    EXPECT_FALSE(fs::exists(received / "1.eml"));
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
    EXPECT_TRUE(NothingStaged()); // the copy made ready while it went is gone
    EXPECT_NE(Log().find("recipient <bob@example.org> (550"), std::string::npos)
        << Log();
}

TEST_F(Smtp, ASessionSendsOverOneConnectionAndGoesOnAfterARefusal)
{
    Profile("plain = yes\n");
    auto server = StartSmtp({"--refuse", "bob"});
    auto mail = Mail();
    EXPECT_EQ(SendCode(*mail), 0);
    EXPECT_EQ(SendCode(*mail), 0);
    ASSERT_TRUE(fs::exists(received / "2.peer"));
    EXPECT_EQ(ReadFile(received / "1.peer"), ReadFile(received / "2.peer"));
    // libcurl closes a connection whose transaction failed; the next send
    // opens another.
    mail->SetCc(u"bob@example.org");
    EXPECT_EQ(SendCode(*mail), 14);
    mail->SetCc(u"");
    EXPECT_EQ(SendCode(*mail), 0);
    EXPECT_EQ(SendCode(*mail), 0);
    ASSERT_TRUE(fs::exists(received / "4.peer"));
    EXPECT_EQ(ReadFile(received / "3.peer"), ReadFile(received / "4.peer"));
    EXPECT_EQ(Messages(mailbox / ".Sent").size(), 4u);
    // A Sent folder removed meanwhile is made again.
    fs::remove_all(mailbox / ".Sent");
    EXPECT_EQ(SendCode(*mail), 0);
    EXPECT_EQ(Messages(mailbox / ".Sent").size(), 1u);
    // A server that went away and came back is connected to again.
    server.reset();
    server = StartSmtp();
    EXPECT_EQ(SendCode(*mail), 0);
}

TEST_F(Smtp, LoginOverStartTlsWithTheLogonPassword)
{
    const fs::path cert = home / "cert.pem", key = home / "key.pem";
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -addext "
                             "subjectAltName=IP:127.0.0.1 -keyout '" + key.string() + "' -out '" + cert.string() +
                             "' 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    Profile("user = kelvra\ncafile = " + cert.string() + "\n");
    auto server = StartSmtp({"--tls", cert.string(), key.string(), "--auth", "kelvra:secret"});

    session.SetPassword(u"wrong");
    auto mail = Mail();
    EXPECT_EQ(SendCode(*mail), 3);
    session.Close();
    session.SetPassword(u"secret");
    EXPECT_EQ(SendCode(*mail), 0);
    EXPECT_TRUE(fs::exists(received / "1.eml"));
    EXPECT_EQ(Messages(mailbox / ".Sent").size(), 1u);
}

TEST_F(Smtp, PlainTextIsRefusedUnlessTheProfileAllowsItOnLoopback)
{
    Profile(""); // no "plain = yes": STARTTLS is required, and this server has none
    auto server = StartSmtp();
    auto mail = Mail();
    EXPECT_EQ(SendCode(*mail), 23);
    EXPECT_FALSE(fs::exists(received / "1.eml"));
}

TEST_F(Smtp, AServerThatIsDownOrDropsTheLineIsANetworkFailure)
{
    Profile("plain = yes\n");
    auto mail = Mail();
    EXPECT_EQ(SendCode(*mail), 23); // nobody listens
    {
        auto server = StartSmtp({"--drop"});
        EXPECT_EQ(SendCode(*mail), 23);
    }
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
    EXPECT_TRUE(NothingStaged());
}

TEST_F(Smtp, AServerThatStallsEndsTheSendInsteadOfHangingIt)
{
    // Accepts the connection, greets, then says nothing more.
    const loopback::Listener listener(port);
    ASSERT_TRUE(listener.Listening());
    std::atomic<bool> done{false};
    std::thread stalling([&] {
        const int client = accept(listener.Fd(), nullptr, nullptr);
        if (client >= 0) {
            const char greeting[] = "220 stalling.example ESMTP\r\n";
            (void)!write(client, greeting, sizeof greeting - 1);
            while (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            close(client);
        }
    });
    Profile("plain = yes\nstalltimeout = 2\ntimeout = 5\n");
    auto mail = Mail();
    auto sent = std::async(std::launch::async, [&] { return SendCode(*mail); });
    const bool ended = sent.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    done = true;
    shutdown(listener.Fd(), SHUT_RDWR);
    stalling.join();
    ASSERT_TRUE(ended) << "Send still hangs";
    EXPECT_EQ(sent.get(), 23);
    EXPECT_NE(Log().find("libcurl 28"), std::string::npos) << Log();
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
}
