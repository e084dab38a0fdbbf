// The provider's entry points called directly, against real folders.
#include "ProviderSession.h"
#include "Python.h"

#include <glib.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>

#include <cstdio>
#include <cstring>
#include <map>

using namespace provider_test;

TEST_F(Provider, ProfilesAreSectionsOfTheProfileFile)
{
    LHANDLE h = 0;
    EXPECT_EQ(MAPILogon(0, S("Nowhere"), nullptr, 0, 0, &h), MAPI_E_LOGON_FAILURE);
    EXPECT_EQ(MAPILogon(0, S("home"), nullptr, 0, 0, &h), 0u); // names ignore case
    EXPECT_TRUE(fs::is_directory(home / "home-mail" / "new"));
    EXPECT_EQ(MAPILogoff(h, 0, 0, 0), 0u);
    EXPECT_EQ(MAPILogoff(h, 0, 0, 0), MAPI_E_INVALID_SESSION);
    char id[513];
    EXPECT_EQ(MAPIFindNext(h, 0, S(""), S(""), MAPI_LONG_MSGID, 0, id), MAPI_E_INVALID_SESSION);

    // No name: the file's default. Handle 0: the same, for one call.
    EXPECT_EQ(MAPILogon(0, nullptr, nullptr, 0, 0, &h), 0u);
    MAPILogoff(h, 0, 0, 0);
    EXPECT_EQ(MAPIFindNext(0, 0, S(""), S(""), MAPI_LONG_MSGID, 0, id), MAPI_E_NO_MESSAGES);

    // No profile file at all: the embedded default, in the XDG data folder.
    unsetenv("KELVRA_MAPI_PROFILES");
    EXPECT_EQ(MAPILogon(0, nullptr, nullptr, 0, 0, &h), 0u);
    EXPECT_TRUE(fs::is_directory(home / "data" / "kelvra" / "Mail" / "cur"));
    MAPILogoff(h, 0, 0, 0);
    EXPECT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &h), MAPI_E_LOGON_FAILURE);
}

TEST_F(Provider, SendDeliversLocallyAndKeepsACopyInSent)
{
    const fs::path file = home / "report.bin";
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes += static_cast<char>(i % 256);
    WriteFile(file, bytes);
    MapiFileDesc attachment{};
    attachment.lpszPathName = S(file.c_str());
    attachment.lpszFileName = S("Report 2026.bin");
    attachment.nPosition = 0xFFFFFFFF;
    ASSERT_EQ(Send("Quarterly\r\nBcc: evil@example.org", {Recip(MAPI_TO, "Ann"), Recip(MAPI_CC, "bobby"),
                                                          Recip(MAPI_BCC, "Hidden", "SMTP:hidden@example.org")},
                   {attachment}, "Body text.", MAPI_RECEIPT_REQUESTED, "IPM.Kelvra.Report"),
              0u);

    const auto inbox = Messages(mailbox);
    const auto sent = Messages(mailbox / ".Sent");
    ASSERT_EQ(inbox.size(), 1u);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(inbox[0].parent_path().filename(), "new");
    EXPECT_EQ(sent[0].parent_path().filename(), "cur");
    EXPECT_NE(sent[0].filename().string().find(":2,S"), std::string::npos);
    const std::string raw = ReadFile(inbox[0]);
    SCOPED_TRACE(raw);
    EXPECT_EQ(raw, ReadFile(sent[0]));
    EXPECT_NE(raw.find("From: Kelvra Tester <tester@example.org>\r\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("To: Ann Example <ann@example.org>\r\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("Cc: Bob Example <bob@example.org>\r\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("hidden@example.org"), std::string::npos); // Bcc in no header
    EXPECT_EQ(raw.find("\nBcc:"), std::string::npos);
    EXPECT_NE(raw.find("Subject: Quarterly  Bcc: evil@example.org\r\n"), std::string::npos); // one header line
    EXPECT_NE(raw.find("Disposition-Notification-To: tester@example.org"), std::string::npos);
    EXPECT_NE(raw.find("X-Message-Class: IPM.Kelvra.Report"), std::string::npos);
    EXPECT_NE(raw.find("filename=\"Report 2026.bin\""), std::string::npos) << raw;
    EXPECT_NE(raw.find("Content-Transfer-Encoding: base64"), std::string::npos);
    // Every line ends in CRLF.
    for (size_t i = raw.find('\n'); i != std::string::npos; i = raw.find('\n', i + 1))
        ASSERT_EQ(raw[i - 1], '\r') << "bare LF at " << i;
}

TEST_F(Provider, SendRefusesWhatCannotGo)
{
    MapiFileDesc missing{};
    missing.lpszPathName = S("/nonexistent/kelvra/file.txt");
    EXPECT_EQ(Send("x", {Recip(MAPI_TO, "ann@example.org")}, {missing}), MAPI_E_ATTACHMENT_NOT_FOUND);
    MapiFileDesc folder{};
    folder.lpszPathName = S(home.c_str());
    EXPECT_EQ(Send("x", {Recip(MAPI_TO, "ann@example.org")}, {folder}), MAPI_E_ATTACHMENT_OPEN_FAILURE);
    EXPECT_EQ(Send("x", {Recip(MAPI_TO, "Nobody Known")}), MAPI_E_UNKNOWN_RECIPIENT);
    EXPECT_EQ(Send("x", {Recip(MAPI_TO, "Example")}), MAPI_E_AMBIGUOUS_RECIPIENT);
    EXPECT_EQ(Send("x", {}), MAPI_E_INVALID_RECIPS);
    EXPECT_EQ(Send("x", {Recip(MAPI_ORIG, "ann@example.org")}), MAPI_E_BAD_RECIPTYPE);
    EXPECT_TRUE(Messages(mailbox).empty());
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
}

TEST_F(Provider, AMessageThatWentOutIsSentEvenWhenItsSentCopyCannotBeKept)
{
    // The Sent folder's cur/ is a file: the copy cannot take its place.
    fs::create_directories(mailbox / ".Sent" / "tmp");
    fs::create_directories(mailbox / ".Sent" / "new");
    WriteFile(mailbox / ".Sent" / "cur", "not a folder");
    setenv("KELVRA_MAPI_LOG", (home / "provider.log").c_str(), 1);
    EXPECT_EQ(Send("went out", {Recip(MAPI_TO, "ann@example.org")}), 0u);
    unsetenv("KELVRA_MAPI_LOG");
    EXPECT_EQ(Walk().size(), 1u);
    EXPECT_TRUE(fs::is_empty(mailbox / ".Sent" / "tmp")); // nothing left behind
    EXPECT_NE(ReadFile(home / "provider.log").find("could not be kept in Sent"), std::string::npos);
}

TEST_F(Provider, TheLogIsAFileOrStandardErrorNeverAFifo)
{
    const fs::path fifo = home / "log.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("KELVRA_MAPI_LOG", fifo.c_str(), 1);
    // No reader: opening it for writing would block for ever.
    WriteFile(mailbox / ".Sent" / "cur", "not a folder");
    fs::create_directories(mailbox / ".Sent" / "tmp");
    EXPECT_EQ(Send("logged", {Recip(MAPI_TO, "ann@example.org")}), 0u);
    // "off" and the null device are no log at all: nothing on standard error.
    for (const char *none : {"off", "/dev/null"}) {
        setenv("KELVRA_MAPI_LOG", none, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Send("unsent", {Recip(MAPI_TO, "Nobody Known")}), MAPI_E_UNKNOWN_RECIPIENT);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << none;
    }
    unsetenv("KELVRA_MAPI_LOG");
}

TEST_F(Provider, ResolveNameSearchesTheAddressBook)
{
    struct {
        const char *text;
        ULONG result;
        const char *name;
        const char *address;
    } rows[] = {
        {"ann@example.org", 0, "Ann Example", "ann@example.org"},
        {"SMTP:BOB@example.org", 0, "Bob Example", "bob@example.org"},
        {"ann example", 0, "Ann Example", "ann@example.org"},
        {"Bobby", 0, "Bob Example", "bob@example.org"},
        {"Example", MAPI_E_AMBIGUOUS_RECIPIENT, nullptr, nullptr},
        {"Carol", MAPI_E_UNKNOWN_RECIPIENT, nullptr, nullptr},
        {"carol@example.net", 0, "carol@example.net", "carol@example.net"},
        // A mailbox with its display name, as a mail reader takes it: that
        // address with that name, whatever the book calls it.
        {"Carol Other <carol@example.net>", 0, "Carol Other", "carol@example.net"},
        {"\"Example, Annie\" <ann@example.org>", 0, "Example, Annie", "ann@example.org"},
        {"=?utf-8?q?J=C3=B6rg?= <j@example.net>", 0, "J\xC3\xB6rg", "j@example.net"},
        {"<j@example.net>", 0, "j@example.net", "j@example.net"},
        {"\"Ann\r\nBcc: eve@example.net\" <ann@example.org>", 0, "Ann  Bcc: eve@example.net", "ann@example.org"},
        {"Carol <not an address>", MAPI_E_UNKNOWN_RECIPIENT, nullptr, nullptr},
        {"Ann <ann@example.org>, Bob <bob@example.org>", MAPI_E_UNKNOWN_RECIPIENT, nullptr, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        lpMapiRecipDesc r = nullptr;
        ASSERT_EQ(MAPIResolveName(session, 0, S(row.text), 0, 0, &r), row.result);
        if (row.result != 0) {
            EXPECT_EQ(r, nullptr);
            continue;
        }
        EXPECT_STREQ(r->lpszName, row.name);
        EXPECT_STREQ(r->lpszAddress, row.address);
        EXPECT_GT(r->ulEIDSize, 0u);
        EXPECT_EQ(MAPIFreeBuffer(r), 0u);
        EXPECT_EQ(MAPIFreeBuffer(r), MAPI_E_FAILURE); // once only
    }
    int local = 0;
    EXPECT_EQ(MAPIFreeBuffer(&local), MAPI_E_FAILURE);
    EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
}

TEST_F(Provider, AnApplicationsOwnClassIsKeptEvenWhenItBeginsLikeOrdinaryMail)
{
    ASSERT_EQ(Send("custom", {Recip(MAPI_TO, "ann@example.org")}, {}, "x", 0, "IPM.Note.Custom"), 0u);
    const std::string stored = ReadFile(Messages(mailbox).at(0));
    EXPECT_NE(stored.find("X-Message-Class: IPM.Note.Custom\r\n"), std::string::npos) << stored;
    // Nobody on Cc, Bcc or Reply-To: no empty header for them.
    for (const char *empty : {"\nCc:", "\nBcc:", "\nReply-To:"})
        EXPECT_EQ(stored.find(empty), std::string::npos) << empty << stored;
    const auto ids = Walk(0, "IPM.Note.Custom");
    ASSERT_EQ(ids.size(), 1u);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(ids[0].c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszMessageType, "IPM.Note.Custom");
    // Saved, it keeps it.
    m->lpszSubject = S("custom, saved");
    char id[513];
    std::strcpy(id, ids[0].c_str());
    ASSERT_EQ(MAPISaveMail(session, 0, m, MAPI_LONG_MSGID, 0, id), 0u);
    MAPIFreeBuffer(m);
    ASSERT_EQ(MAPIReadMail(session, 0, id, MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszMessageType, "IPM.Note.Custom");
    MAPIFreeBuffer(m);
    EXPECT_EQ(Walk(0, "IPM.Note.Custom").size(), 1u);
}

TEST_F(Provider, FindNextWalksInAStableOrderAndReadMailMarksRead)
{
    for (const char *subject : {"one", "two", "three"})
        ASSERT_EQ(Send(subject, {Recip(MAPI_TO, "ann@example.org")}), 0u);
    ASSERT_EQ(Send("typed", {Recip(MAPI_TO, "ann@example.org")}, {}, "x", 0, "IPM.Kelvra.Other"), 0u);
    const auto all = Walk();
    ASSERT_EQ(all.size(), 3u); // the empty type is ordinary mail (IPM.Note) only
    EXPECT_EQ(Walk(0, "IPM.Kelvra").size(), 1u);
    EXPECT_EQ(Walk(0, "IPM").size(), 4u);
    EXPECT_EQ(Walk(MAPI_GUARANTEE_FIFO), all); // delivered in this order

    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(all[0].c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszSubject, "one");
    EXPECT_STREQ(m->lpszNoteText, "Hello.\r\nSecond line.");
    EXPECT_STREQ(m->lpszMessageType, "IPM.Note");
    EXPECT_EQ(m->flFlags, MAPI_UNREAD | MAPI_SENT);
    ASSERT_NE(m->lpOriginator, nullptr);
    EXPECT_STREQ(m->lpOriginator->lpszAddress, "tester@example.org");
    EXPECT_EQ(m->lpOriginator->ulRecipClass, MAPI_ORIG);
    ASSERT_EQ(m->nRecipCount, 1u);
    EXPECT_STREQ(m->lpRecips[0].lpszName, "Ann Example");
    EXPECT_EQ(std::strlen(m->lpszDateReceived), 16u); // YYYY/MM/DD HH:MM
    EXPECT_EQ(m->lpszDateReceived[4], '/');
    MAPIFreeBuffer(m);
    EXPECT_EQ(Walk(MAPI_UNREAD_ONLY).size(), 3u); // peeked: still unread

    ASSERT_EQ(MAPIReadMail(session, 0, S(all[0].c_str()), 0, 0, &m), 0u);
    MAPIFreeBuffer(m);
    EXPECT_EQ(Walk(MAPI_UNREAD_ONLY), (std::vector<std::string>{all[1], all[2]}));
    ASSERT_EQ(MAPIReadMail(session, 0, S(all[0].c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_EQ(m->flFlags, MAPI_SENT);
    MAPIFreeBuffer(m);

    // A deleted seed: the walk goes on after the place where it stood.
    ASSERT_EQ(MAPIDeleteMail(session, 0, S(all[1].c_str()), 0, 0), 0u);
    EXPECT_EQ(MAPIDeleteMail(session, 0, S(all[1].c_str()), 0, 0), MAPI_E_INVALID_MESSAGE);
    char next[513];
    ASSERT_EQ(MAPIFindNext(session, 0, S(""), S(all[1].c_str()), MAPI_LONG_MSGID, 0, next), 0u);
    EXPECT_EQ(next, all[2]);
    ASSERT_EQ(MAPIFindNext(session, 0, S(""), S(all[1].c_str()), MAPI_LONG_MSGID | MAPI_GUARANTEE_FIFO, 0, next), 0u);
    EXPECT_EQ(next, all[2]);
    EXPECT_EQ(MAPIReadMail(session, 0, S(all[1].c_str()), 0, 0, &m), MAPI_E_INVALID_MESSAGE);
}

TEST_F(Provider, AttachmentsAreDecodedIntoAPrivateFolderUnderSafeNames)
{
    const std::string payload = "binary\0data\xff", nasty[] = {"../../escape.txt", "/etc/passwd", "a\nb\x01.txt", ".hidden"};
    const std::string mime =
        "From: Someone <someone@example.org>\r\nTo: tester@example.org\r\nSubject: files\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=XX\r\n\r\n"
        "--XX\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nSee attached.\r\n"
        "--XX\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\"../../escape.txt\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nYmluYXJ5AGRhdGH/\r\n"
        "--XX\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\"/etc/passwd\"\r\n\r\nroot\r\n"
        "--XX\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\".hidden\"\r\n\r\nh\r\n"
        "--XX--\r\n";
    (void)nasty;
    WriteFile(mailbox / "new" / "1700000000.M1P1Q1.test", mime);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S("1700000000.M1P1Q1.test"), 0, 0, &m), 0u);
    EXPECT_STREQ(m->lpszNoteText, "See attached.");
    ASSERT_EQ(m->nFileCount, 3u);
    const fs::path folder = fs::path(m->lpFiles[0].lpszPathName).parent_path();
    EXPECT_EQ(folder.parent_path(), home / "tmp");
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_STREQ(m->lpFiles[0].lpszFileName, "escape.txt"); // a file name: the last part of the path it was given
    EXPECT_EQ(fs::path(m->lpFiles[0].lpszPathName).filename(), "escape.txt");
    EXPECT_EQ(ReadFile(m->lpFiles[0].lpszPathName), std::string("binary\0data\xff", 12));
    EXPECT_EQ(fs::path(m->lpFiles[1].lpszPathName).filename(), "passwd");
    EXPECT_EQ(fs::path(m->lpFiles[2].lpszPathName).filename(), "hidden");
    for (ULONG i = 0; i < m->nFileCount; ++i)
        EXPECT_EQ(fs::path(m->lpFiles[i].lpszPathName).parent_path(), folder);
    // The caller deletes the files; freeing the record removes the folder.
    for (ULONG i = 0; i < m->nFileCount; ++i)
        fs::remove(m->lpFiles[i].lpszPathName);
    MAPIFreeBuffer(m);
    EXPECT_FALSE(fs::exists(folder));

    // Suppressed attachments are described by name, with no file.
    ASSERT_EQ(MAPIReadMail(session, 0, S("1700000000.M1P1Q1.test"), MAPI_SUPPRESS_ATTACH, 0, &m), 0u);
    ASSERT_EQ(m->nFileCount, 3u);
    EXPECT_STREQ(m->lpFiles[1].lpszFileName, "passwd");
    for (ULONG i = 0; i < m->nFileCount; ++i)
        EXPECT_EQ(m->lpFiles[i].lpszPathName, nullptr);
    MAPIFreeBuffer(m);
    EXPECT_TRUE(fs::is_empty(home / "tmp"));
    ASSERT_EQ(MAPIReadMail(session, 0, S("1700000000.M1P1Q1.test"), MAPI_ENVELOPE_ONLY, 0, &m), 0u);
    EXPECT_EQ(m->nFileCount, 0u);
    EXPECT_EQ(m->lpszNoteText, nullptr);
    EXPECT_STREQ(m->lpszSubject, "files");
    MAPIFreeBuffer(m);
    ASSERT_EQ(MAPIReadMail(session, 0, S("1700000000.M1P1Q1.test"), MAPI_BODY_AS_FILE | MAPI_SUPPRESS_ATTACH, 0, &m), 0u);
    ASSERT_EQ(m->nFileCount, 4u);
    EXPECT_EQ(ReadFile(m->lpFiles[0].lpszPathName), "See attached.");
    fs::remove(m->lpFiles[0].lpszPathName);
    MAPIFreeBuffer(m);
}

TEST_F(Provider, SaveStoresNewMessagesAndReplacesOldOnesKeepingTheirIdentity)
{
    ASSERT_EQ(Send("original", {Recip(MAPI_TO, "ann@example.org")}), 0u);
    const std::string id = Walk().at(0);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), 0, 0, &m), 0u);
    m->lpszSubject = S("edited");
    char buffer[513];
    std::strcpy(buffer, id.c_str());
    ASSERT_EQ(MAPISaveMail(session, 0, m, MAPI_LONG_MSGID, 0, buffer), 0u);
    MAPIFreeBuffer(m);
    EXPECT_EQ(buffer, id);
    EXPECT_EQ(Walk(), std::vector<std::string>{id});
    EXPECT_EQ(Walk(MAPI_UNREAD_ONLY).size(), 0u); // still read
    ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszSubject, "edited");
    EXPECT_STREQ(m->lpOriginator->lpszAddress, "tester@example.org");
    MAPIFreeBuffer(m);

    MapiMessage draft{};
    draft.lpszSubject = S("draft");
    draft.flFlags = MAPI_UNREAD;
    buffer[0] = '\0';
    ASSERT_EQ(MAPISaveMail(session, 0, &draft, MAPI_LONG_MSGID, 0, buffer), 0u);
    EXPECT_NE(std::string(buffer), "");
    EXPECT_EQ(Walk().size(), 2u);
    ASSERT_EQ(MAPIReadMail(session, 0, buffer, MAPI_PEEK, 0, &m), 0u);
    EXPECT_EQ(m->flFlags, MAPI_UNREAD); // not sent
    MAPIFreeBuffer(m);
}

TEST_F(Provider, MalformedMessagesAreReadAsWellAsTheyCanBe)
{
    const std::string samples[] = {
        "", "no header at all", "Subject: \xff\xfe bytes\r\n\r\nbody",
        "Subject: " + std::string(100000, 'x') + "\r\n\r\n", "Content-Type: multipart/mixed; boundary=Z\r\n\r\n--Z\r\n",
        "From: <<<>>>\r\nTo: ,,,@\r\nContent-Type: text/html\r\n\r\n<p>only html</p>",
    };
    int n = 0;
    for (const std::string &sample : samples) {
        const std::string id = "1700000001.M" + std::to_string(n++) + "P1Q1.test";
        WriteFile(mailbox / "cur" / (id + ":2,S"), sample);
        lpMapiMessage m = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), 0, 0, &m), 0u) << id;
        ASSERT_NE(m, nullptr);
        for (ULONG i = 0; i < m->nFileCount; ++i)
            fs::remove(m->lpFiles[i].lpszPathName);
        MAPIFreeBuffer(m);
    }
}

TEST_F(Provider, WithoutAUserInterfaceDialogsAreNotSupported)
{
    ULONG count = 0;
    lpMapiRecipDesc recips = nullptr;
    EXPECT_EQ(MAPIAddress(session, 0, nullptr, 5, nullptr, 0, nullptr, 0, 0, &count, &recips),
              MAPI_E_INVALID_EDITFIELDS);
    EXPECT_EQ(MAPIAddress(session, 0, nullptr, 4, nullptr, 0, nullptr, 0, 0, &count, &recips), MAPI_E_NOT_SUPPORTED);
    MapiMessage m{};
    EXPECT_EQ(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0), MAPI_E_NOT_SUPPORTED);
}

TEST_F(Provider, ReadsAMaildirThatPythonWrote)
{
    const std::string id = RunPython({"write", mailbox.string()});
    ASSERT_FALSE(id.empty());
    char found[513];
    ASSERT_EQ(MAPIFindNext(session, 0, S(""), S(""), MAPI_LONG_MSGID, 0, found), 0u);
    EXPECT_EQ(found + std::string("\n"), id);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, found, 0, 0, &m), 0u);
    EXPECT_STREQ(m->lpszSubject, "Gr\xC3\xBC\xC3\x9F" "e aus Python");
    EXPECT_STREQ(m->lpszNoteText, "Hallo Welt\r\nzweite Zeile");
    EXPECT_STREQ(m->lpOriginator->lpszAddress, "py@example.org");
    ASSERT_EQ(m->nRecipCount, 3u); // both Cc headers count
    EXPECT_STREQ(m->lpRecips[1].lpszAddress, "first@example.org");
    EXPECT_STREQ(m->lpRecips[2].lpszAddress, "second@example.org");
    EXPECT_EQ(m->lpRecips[2].ulRecipClass, MAPI_CC);
    ASSERT_EQ(m->nFileCount, 1u);
    std::string expected;
    for (int i = 0; i < 256; ++i)
        expected += static_cast<char>(i);
    EXPECT_EQ(ReadFile(m->lpFiles[0].lpszPathName), expected);
    fs::remove(m->lpFiles[0].lpszPathName);
    MAPIFreeBuffer(m);
}

TEST_F(Provider, WritesMessagesThatPythonReadsTheSame)
{
    const fs::path file = home / "bytes.bin";
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(255 - i);
    WriteFile(file, bytes);
    MapiFileDesc attachment{};
    attachment.lpszPathName = S(file.c_str());
    ASSERT_EQ(Send("Gr\xC3\xBC\xC3\x9F" "e \"quoted\"", {Recip(MAPI_TO, "Ann"), Recip(MAPI_CC, "Bobby"),
                                                         Recip(MAPI_BCC, "hidden@example.org")},
                   {attachment}, "Line one\r\nLine two"),
              0u);
    const auto fields = Fields(RunPython({"read", Messages(mailbox).at(0).string()}));
    EXPECT_EQ(fields.at("subject"), "\"Gr\xC3\xBC\xC3\x9F" "e \\\"quoted\\\"\"");
    EXPECT_EQ(fields.at("from"), "[\"tester@example.org\"]");
    EXPECT_EQ(fields.at("to"), "[\"ann@example.org\"]");
    EXPECT_EQ(fields.at("cc"), "[\"bob@example.org\"]");
    EXPECT_EQ(fields.at("bcc"), "[]");
    EXPECT_EQ(fields.at("body"), "\"Line one\\nLine two\"");
    gchar *sha = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar *>(bytes.data()),
                                             bytes.size());
    EXPECT_EQ(fields.at("attachments"), "[[\"bytes.bin\", \"" + std::string(sha) + "\"]]");
    g_free(sha);
    const std::string check = RunPython({"read", Messages(mailbox / ".Sent").at(0).string()});
    EXPECT_EQ(Fields(check).at("attachments"), fields.at("attachments"));
}

// Each attachment goes with its type as the shared MIME database knows the
// file by its name and first bytes, a text with the charset its bytes are
// in (all of them: also past the first piece read); Python's email package
// reads the same types in the message and in its Sent copy, and a read
// gives back every file whole.
TEST_F(Provider, AttachmentsCarryTheirContentType)
{
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89", 33);
    const std::string longText = std::string(65535, 'a') + "\xC3\xA9 and more\n"; // é across the first piece's end
    const struct {
        const char *name;
        std::string bytes;
        const char *type, *charset; // charset: null for none
    } rows[] = {
        {"chart.png", png, "image/png", nullptr},
        {"picture", png, "image/png", nullptr}, // no name to go by: the bytes say it
        {"notes.txt", "Gr\xC3\xBC\xC3\x9F" "e\n", "text/plain", "utf-8"},
        {"plain.txt", "only ASCII\n", "text/plain", "utf-8"},
        {"latin.txt", "Gr\xFC\xDF" "e\n", "text/plain", "windows-1252"},
        {"long.txt", longText, "text/plain", "utf-8"},
        {"late.txt", std::string(70000, 'b') + "caf\xE9\n", "text/plain", "windows-1252"},
        {"paper.pdf", "%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\ntrailer\n<< >>\n%%EOF\n", "application/pdf",
         nullptr},
        {"blob", std::string("\x01\x9c\xff\x00\x13\x37\xfe\x80\x00\x02", 10), "application/octet-stream", nullptr},
        {"empty.txt", "", "text/plain", "utf-8"}, // no content to go by: the name says it
    };
    std::vector<MapiFileDesc> files;
    for (const auto &row : rows) {
        WriteFile(home / "files" / row.name, row.bytes);
        MapiFileDesc f{};
        f.lpszPathName = S(strdup((home / "files" / row.name).c_str()));
        f.nPosition = 0xFFFFFFFFu;
        files.push_back(f);
    }
    const ULONG sent = Send("typed", {Recip(MAPI_TO, "Ann")}, files);
    for (MapiFileDesc &f : files)
        free(f.lpszPathName);
    ASSERT_EQ(sent, 0u);
    const nlohmann::json delivered =
        nlohmann::json::parse(Fields(RunPython({"read", Messages(mailbox).at(0).string()})).at("types"));
    const nlohmann::json kept =
        nlohmann::json::parse(Fields(RunPython({"read", Messages(mailbox / ".Sent").at(0).string()})).at("types"));
    EXPECT_EQ(kept, delivered);
    ASSERT_EQ(delivered.size(), std::size(rows));
    const std::vector<std::string> ids = Walk();
    ASSERT_EQ(ids.size(), 1u);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(ids[0].c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszNoteText, "Hello.\r\nSecond line."); // no text attachment taken for it
    ASSERT_EQ(m->nFileCount, std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(delivered[i][0], rows[i].name);
        EXPECT_EQ(delivered[i][1], rows[i].type);
        EXPECT_EQ(delivered[i][2], rows[i].charset != nullptr ? nlohmann::json(rows[i].charset) : nlohmann::json());
        EXPECT_STREQ(m->lpFiles[i].lpszFileName, rows[i].name);
        EXPECT_TRUE(ReadFile(m->lpFiles[i].lpszPathName) == rows[i].bytes);
        fs::remove(m->lpFiles[i].lpszPathName);
    }
    MAPIFreeBuffer(m);
}

TEST_F(Provider, AMessageThatVanishesOrChangesUnderAWalkIsHandled)
{
    for (const char *subject : {"a", "b", "c", "d"})
        ASSERT_EQ(Send(subject, {Recip(MAPI_TO, "ann@example.org")}), 0u);
    const auto ids = Walk();
    ASSERT_EQ(ids.size(), 4u);

    // Found, then deleted by someone else before it is read.
    fs::remove(Messages(mailbox).at(0));
    lpMapiMessage m = nullptr;
    EXPECT_EQ(MAPIReadMail(session, 0, S(ids[0].c_str()), 0, 0, &m), MAPI_E_INVALID_MESSAGE);

    // Deliveries and deletions between the steps of a walk: no crash and
    // no message twice.
    std::vector<std::string> seen;
    std::string seed;
    char buffer[513];
    int step = 0;
    while (MAPIFindNext(session, 0, S(""), seed.data(), MAPI_LONG_MSGID, 0, buffer) == 0) {
        seed = buffer;
        seen.push_back(seed);
        if (step++ == 0) {
            ASSERT_EQ(Send("late", {Recip(MAPI_TO, "ann@example.org")}), 0u);
            ASSERT_EQ(MAPIDeleteMail(session, 0, S(ids[2].c_str()), 0, 0), 0u);
        }
    }
    std::vector<std::string> unique = seen;
    std::sort(unique.begin(), unique.end());
    EXPECT_EQ(std::unique(unique.begin(), unique.end()), unique.end());
    EXPECT_EQ(std::count(seen.begin(), seen.end(), ids[2]), 0);
}

TEST_F(Provider, AFailedWriteLeavesNothingBehindAndLosesNothing)
{
    const fs::path big = home / "big.bin";
    WriteFile(big, std::string(200000, 'x'));
    MapiFileDesc attachment{};
    attachment.lpszPathName = S(big.c_str());
    ASSERT_EQ(Send("big", {Recip(MAPI_TO, "ann@example.org")}, {attachment}), 0u);
    const std::string id = Walk().at(0);
    const fs::path stored = Messages(mailbox).at(0);
    const std::string before = ReadFile(stored);

    // Files may not grow past 64 KiB for a while: writes fail part way.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);

    lpMapiMessage m = nullptr;
    const ULONG read = MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK, 0, &m);
    // The message is saved back bigger than the limit allows.
    MapiMessage edited{};
    edited.lpszSubject = S("edited");
    edited.nFileCount = 1;
    edited.lpFiles = &attachment;
    char buffer[513];
    std::strcpy(buffer, id.c_str());
    const ULONG saved = MAPISaveMail(session, 0, &edited, MAPI_LONG_MSGID, 0, buffer);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);

    EXPECT_EQ(read, MAPI_E_ATTACHMENT_WRITE_FAILURE);
    EXPECT_TRUE(fs::is_empty(home / "tmp")); // the partial copy and its folder are gone
    EXPECT_EQ(saved, MAPI_E_FAILURE);
    EXPECT_EQ(ReadFile(stored), before); // the old message is whole
    EXPECT_TRUE(fs::is_empty(mailbox / "tmp"));
}
