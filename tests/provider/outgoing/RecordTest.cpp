// MAPISendMailW in a Latin-1 locale (tests/CMakeLists.txt): texts that the
// locale's character set lacks reach the recipient whole, over a real SMTP
// server on loopback, and text that is not UTF-16 is refused.
#include "SmtpServer.h"
#include "ProviderSession.h"
#include "Python.h"

#include "posix/Charset.h"

using namespace provider_test;

namespace {

// A wide text the record can point at.
WCHAR *W(std::u16string &text) { return text.data(); }

class WideSend : public WithSmtpServer<WithLog<>> {
protected:
    void SetUp() override
    {
        WithSmtpServer::SetUp();
        ASSERT_EQ(kelvra_posix::LocaleCharset(), "ISO-8859-1") << "run in a Latin-1 locale";
        WriteFile(contacts, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:\u0418\u0432\u0430\u043D "
                            "\u041F\u0435\u0442\u0440\u043E\u0432\r\nEMAIL:ivan@example.org\r\nEND:VCARD\r\n");
        WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddressbook = contacts.vcf\nname = Kelvra Tester\n"
                            "address = tester@example.org\nplain = yes\nsmtp = smtp://127.0.0.1:" +
                                std::to_string(port) + "\n");
        server = StartSmtp();
        ASSERT_EQ(MAPILogon(0, S("Smtp"), nullptr, 0, 0, &session), 0u);
    }
    void TearDown() override
    {
        MAPILogoff(session, 0, 0, 0);
        server.reset();
        WithSmtpServer::TearDown();
    }

    std::unique_ptr<loopback::Server> server;
    LHANDLE session = 0;
};

} // namespace

TEST_F(WideSend, TextsTheLocaleLacksArriveWhole)
{
    // File names in UTF-8, as the desktop keeps them.
    const fs::path report = home / u8"\u041E\u0442\u0447\u0451\u0442 \u65E5\u672C.txt";
    WriteFile(report, "report");
    WriteFile(home / "data.bin", std::string("\0\x01\xFF", 3));
    std::u16string subject = u"\u65E5\u672C\u8A9E\u306E\u4EF6\u540D \U0001F600";
    std::u16string body = u"\u041F\u0440\u0438\u0432\u0435\u0442\r\n\U0001D11E caf\u00E9";
    std::u16string ivan = u"\u0418\u0432\u0430\u043D \u041F\u0435\u0442\u0440\u043E\u0432";
    std::u16string bob = u"\u0411\u043E\u0431", bobAddress = u"SMTP:bob@example.org";
    std::u16string reportPath = report.u16string();
    std::u16string dataPath = (home / "data.bin").u16string(), dataName = u"\u0414\u0430\u043D\u043D\u044B\u0435.bin";

    MapiRecipDescW recips[2] = {};
    recips[0].ulRecipClass = MAPI_TO;
    recips[0].lpszName = W(ivan); // resolved in the address book by its exact name
    recips[1].ulRecipClass = MAPI_CC;
    recips[1].lpszName = W(bob);
    recips[1].lpszAddress = W(bobAddress);
    MapiFileDescW files[2] = {};
    files[0].lpszPathName = W(reportPath);
    files[0].nPosition = 0xFFFFFFFFu;
    files[1].lpszPathName = W(dataPath);
    files[1].lpszFileName = W(dataName);
    files[1].nPosition = 0xFFFFFFFFu;
    MapiMessageW message{};
    message.lpszSubject = W(subject);
    message.lpszNoteText = W(body);
    message.nRecipCount = 2;
    message.lpRecips = recips;
    message.nFileCount = 2;
    message.lpFiles = files;
    ASSERT_EQ(MAPISendMailW(session, 0, &message, MAPI_FORCE_UNICODE, 0), 0u);

    EXPECT_EQ(ReadFile(received / "1.env"), "tester@example.org\nivan@example.org\nbob@example.org\n");
    const auto fields = Fields(RunPython({"read", (received / "1.eml").string()}));
    EXPECT_EQ(fields.at("subject"), "\"\u65E5\u672C\u8A9E\u306E\u4EF6\u540D \U0001F600\"");
    EXPECT_EQ(fields.at("body"), "\"\u041F\u0440\u0438\u0432\u0435\u0442\\n\U0001D11E caf\u00E9\"");
    EXPECT_EQ(fields.at("names"), "[\"\u0418\u0432\u0430\u043D \u041F\u0435\u0442\u0440\u043E\u0432\", "
                                  "\"\u0411\u043E\u0431\"]");
    const std::string attachments = fields.at("attachments");
    EXPECT_NE(attachments.find("[\"\u041E\u0442\u0447\u0451\u0442 \u65E5\u672C.txt\", "), std::string::npos)
        << attachments;
    EXPECT_NE(attachments.find("[\"\u0414\u0430\u043D\u043D\u044B\u0435.bin\", "), std::string::npos) << attachments;
    EXPECT_EQ(Messages(mailbox / ".Sent").size(), 1u);
}

TEST_F(WideSend, TextThatIsNotUtf16IsRefusedAndNothingGoes)
{
    WriteFile(home / "a.txt", "a");
    std::u16string good = u"fine", to = u"ann@example.org", path = (home / "a.txt").u16string();
    std::u16string loneHigh = u"x\xD83D", loneLow = u"\xDE00x", swapped = u"\xDE00\xD83D";
    struct {
        const char *field;
        std::u16string *subject, *name, *path, *fileName;
        ULONG code;
        const char *logged;
    } rows[] = {
        {"subject", &loneHigh, &to, &path, &good, MAPI_E_FAILURE, "the subject"},
        {"recipient", &good, &loneLow, &path, &good, MAPI_E_INVALID_RECIPS, "a recipient's name"},
        {"path", &good, &to, &swapped, &good, MAPI_E_ATTACHMENT_OPEN_FAILURE, "an attachment's path"},
        {"file name", &good, &to, &path, &loneHigh, MAPI_E_ATTACHMENT_OPEN_FAILURE, "an attachment's file name"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.field);
        MapiRecipDescW recip{};
        recip.ulRecipClass = MAPI_TO;
        recip.lpszName = W(*row.name);
        MapiFileDescW file{};
        file.lpszPathName = W(*row.path);
        file.lpszFileName = W(*row.fileName);
        MapiMessageW message{};
        message.lpszSubject = W(*row.subject);
        message.nRecipCount = 1;
        message.lpRecips = &recip;
        message.nFileCount = 1;
        message.lpFiles = &file;
        EXPECT_EQ(MAPISendMailW(session, 0, &message, 0, 0), row.code);
        // The log names the field, never the text.
        const std::string log = Log();
        EXPECT_NE(log.find(std::string("refused: ") + row.logged + " is not UTF-16"), std::string::npos) << log;
    }
    EXPECT_TRUE(fs::is_empty(received));
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
    EXPECT_TRUE(!fs::exists(mailbox / ".Sent" / "tmp") || fs::is_empty(mailbox / ".Sent" / "tmp"));
}

// The narrow call in the same locale: a name taken from a path's bytes is
// read in the locale's character set, as every narrow text is.
TEST_F(WideSend, TheNarrowCallReadsANameFromAPathInTheLocale)
{
    const std::string path = (home / "caf\xE9.txt").string(); // Latin-1 bytes
    WriteFile(path, "x");
    std::string subject = "Gr\xFC\xDF" "e";
    MapiRecipDesc r = Recip(MAPI_TO, "ann@example.org");
    MapiFileDesc f{};
    f.lpszPathName = S(path.c_str());
    f.nPosition = 0xFFFFFFFFu;
    MapiMessage m{};
    m.lpszSubject = subject.data();
    m.nRecipCount = 1;
    m.lpRecips = &r;
    m.nFileCount = 1;
    m.lpFiles = &f;
    ASSERT_EQ(MAPISendMail(session, 0, &m, 0, 0), 0u);
    const auto fields = Fields(RunPython({"read", (received / "1.eml").string()}));
    EXPECT_EQ(fields.at("subject"), "\"Gr\u00FC\u00DFe\"");
    EXPECT_EQ(fields.at("attachments").substr(0, 13), "[[\"caf\u00E9.txt\"");
}
