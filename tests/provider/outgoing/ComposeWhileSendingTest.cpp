// A message sent over SMTP is composed while its envelope's commands go:
// its attachments are checked before the first command, and a message that
// cannot be composed meanwhile abandons the transaction, leaving nothing
// behind (no message at the server, no Sent copy, no staged file), and the
// session's next send goes out whole. Against a real SMTP server on
// loopback (Debian's aiosmtpd).
#include "ProviderSession.h"
#include "SmtpServer.h"

#include "message/Message.h"
#include "message/Compose.h"

using namespace provider_test;

namespace {

class ComposeWhileSending : public WithSmtpServer<WithLog<>> {
protected:
    void SetUp() override
    {
        WithSmtpServer::SetUp();
        WriteFile(profiles, "[Smtp]\nmailbox = Mail\nname = Kelvra Tester\naddress = tester@example.org\n"
                            "plain = yes\nsmtp = smtp://127.0.0.1:" + std::to_string(port) + "\n");
        attachment = home / "figures.bin";
        WriteFile(attachment, std::string(200000, 'f'));
        ASSERT_EQ(MAPILogon(0, S("Smtp"), nullptr, 0, 0, &session), 0u);
    }
    void TearDown() override
    {
        kelvra_provider::g_composeHook = nullptr;
        MAPILogoff(session, 0, 0, 0);
        WithSmtpServer::TearDown();
    }

    ULONG Send(const char *subject)
    {
        MapiRecipDesc to{};
        to.ulRecipClass = MAPI_TO;
        to.lpszName = S("ann@example.org");
        MapiFileDesc file{};
        file.nPosition = static_cast<ULONG>(-1);
        const std::string path = attachment.string();
        file.lpszPathName = S(path.c_str());
        MapiMessage m{};
        m.lpszSubject = S(subject);
        m.lpszNoteText = S("text");
        m.nRecipCount = 1;
        m.lpRecips = &to;
        m.nFileCount = 1;
        m.lpFiles = &file;
        return MAPISendMail(session, 0, &m, 0, 0);
    }

    // Nothing a send leaves behind: no staged Sent copy, no temporary file.
    bool NothingLeft() const
    {
        for (const fs::path &folder : {mailbox / ".Sent" / "tmp", home / "tmp"})
            if (fs::exists(folder) && !fs::is_empty(folder))
                return false;
        return true;
    }

    fs::path attachment;
    LHANDLE session = 0;
};

fs::path g_attachment; // what the compose hook removes

} // namespace

TEST_F(ComposeWhileSending, AttachmentsAreCheckedBeforeTheServerIsAsked)
{
    // No server at all: a missing attachment is what the send says.
    fs::remove(attachment);
    EXPECT_EQ(Send("missing"), static_cast<ULONG>(MAPI_E_ATTACHMENT_NOT_FOUND));
    EXPECT_TRUE(NothingLeft());
}

TEST_F(ComposeWhileSending, AMessageThatCannotBeComposedAbandonsTheTransaction)
{
    const auto server = StartSmtp();
    ASSERT_TRUE(server->Running());
    ASSERT_EQ(Send("first"), 0u);
    // Another program removes the attachment after the check, while the
    // envelope goes.
    g_attachment = attachment;
    kelvra_provider::g_composeHook = [] { fs::remove(g_attachment); };
    EXPECT_EQ(Send("abandoned"), static_cast<ULONG>(MAPI_E_ATTACHMENT_NOT_FOUND));
    kelvra_provider::g_composeHook = nullptr;
    EXPECT_FALSE(fs::exists(received / "2.eml"));
    EXPECT_EQ(Messages(mailbox / ".Sent").size(), 1u);
    EXPECT_TRUE(NothingLeft());
    EXPECT_NE(Log().find("the transaction was abandoned and nothing was sent"),
              std::string::npos);
    // The next send goes out whole, on a connection of its own.
    WriteFile(attachment, std::string(200000, 'g'));
    ASSERT_EQ(Send("after"), 0u);
    const auto sent = Messages(mailbox / ".Sent");
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_TRUE(fs::exists(received / "2.eml"));
    const std::string wire = ReadFile(received / "2.eml");
    EXPECT_NE(wire.find("Subject: after"), std::string::npos);
    EXPECT_TRUE(wire == ReadFile(sent[0]) || wire == ReadFile(sent[1]));
    EXPECT_NE(ReadFile(received / "1.peer"), ReadFile(received / "2.peer"));
}
