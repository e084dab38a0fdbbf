// What a read shows of a stored message and what a save keeps of it, and
// how a save stays one file that other Maildir programs see change.
#include "ProgramOutput.h"
#include "ProviderSession.h"

#include "message/Envelope.h"
#include "maildir/Maildir.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>

using namespace provider_test;

namespace {

// A message a mail client might send: a text and an HTML alternative with an
// inline image, an invitation, a second inline text, a forwarded message
// and a document, in a thread.
const char kRich[] =
    "From: Ann Example <ann@example.org>\r\n"
    "To: tester@example.org\r\n"
    "Subject: Plans\r\n"
    "Date: Mon, 07 Dec 2026 09:00:00 +0000\r\n"
    "Message-ID: <plans-2@example.org>\r\n"
    "In-Reply-To: <plans-1@example.org>\r\n"
    "References: <plans-0@example.org> <plans-1@example.org>\r\n"
    "X-Mailer: Somewhere 1.0\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=M\r\n"
    "\r\n"
    "--M\r\n"
    "Content-Type: multipart/alternative; boundary=A\r\n"
    "\r\n"
    "--A\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "See the plan.\r\n"
    "--A\r\n"
    "Content-Type: multipart/related; boundary=R\r\n"
    "\r\n"
    "--R\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "\r\n"
    "<p>See the <b>plan</b>.<img src=\"cid:logo\"></p>\r\n"
    "--R\r\n"
    "Content-Type: image/png\r\n"
    "Content-ID: <logo>\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "iVBORw0KGgo=\r\n"
    "--R--\r\n"
    "--A--\r\n"
    "--M\r\n"
    "Content-Type: text/calendar; method=REQUEST\r\n"
    "\r\n"
    "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"
    "--M\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "A second note.\r\n"
    "--M\r\n"
    "Content-Type: message/rfc822\r\n"
    "\r\n"
    "From: bob@example.org\r\nSubject: Earlier\r\n\r\nThe earlier message.\r\n"
    "--M\r\n"
    "Content-Type: application/pdf\r\n"
    "Content-Disposition: attachment; filename=\"plan.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0xLjQ=\r\n"
    "--M--\r\n";

const char kWithAttachment[] =
    "From: Ann Example <ann@example.org>\r\n"
    "To: tester@example.org\r\n"
    "Subject: Report\r\n"
    "References: <r-1@example.org>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=X\r\n"
    "\r\n"
    "--X\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "The body.\r\n"
    "--X\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
    "\r\n"
    "payload\r\n"
    "--X--\r\n";

class Save : public Provider {
protected:
    // Stores a message as another program would, arrived long ago.
    std::string Store(const std::string &bytes, const std::string &id = "1600000000.M1P1Q1.test")
    {
        const fs::path file = mailbox / "cur" / (id + ":2,S");
        WriteFile(file, bytes);
        const timespec times[2] = {{1600000000, 123}, {1600000000, 123}};
        utimensat(AT_FDCWD, file.c_str(), times, 0);
        return id;
    }

    lpMapiMessage Read(const std::string &id, FLAGS flags = MAPI_PEEK)
    {
        lpMapiMessage m = nullptr;
        EXPECT_EQ(MAPIReadMail(session, 0, S(id.c_str()), flags, 0, &m), 0u);
        return m;
    }

    ULONG SaveOver(lpMapiMessage m, const std::string &id)
    {
        char buffer[513];
        std::strcpy(buffer, id.c_str());
        const ULONG result = MAPISaveMail(session, 0, m, MAPI_LONG_MSGID, 0, buffer);
        EXPECT_EQ(buffer, id); // the identifier stays
        return result;
    }

    // Deletes the record's files, as a caller does, and frees it.
    static void Release(lpMapiMessage m)
    {
        for (ULONG i = 0; m != nullptr && i < m->nFileCount; ++i)
            if (m->lpFiles[i].lpszPathName != nullptr)
                fs::remove(m->lpFiles[i].lpszPathName);
        MAPIFreeBuffer(m);
    }

    static std::vector<std::pair<std::string, std::string>> Files(lpMapiMessage m)
    {
        std::vector<std::pair<std::string, std::string>> files;
        for (ULONG i = 0; i < m->nFileCount; ++i)
            files.emplace_back(m->lpFiles[i].lpszFileName, ReadFile(m->lpFiles[i].lpszPathName));
        return files;
    }
};

} // namespace

TEST_F(Save, AReadHandsOutEveryPartAndASaveKeepsWhatTheRecordDidNotChange)
{
    const std::string id = Store(kRich);
    lpMapiMessage m = Read(id);
    EXPECT_STREQ(m->lpszNoteText, "See the plan.");
    const std::string received = m->lpszDateReceived;
    const auto files = Files(m);
    // (The line break before a boundary belongs to the boundary.)
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"message.html", "<p>See the <b>plan</b>.<img src=\"cid:logo\"></p>"},
        {"attachment", std::string("\x89PNG\r\n\x1a\n", 8)},
        {"invite.ics", "BEGIN:VCALENDAR\r\nEND:VCALENDAR"},
        {"message.txt", "A second note."},
        {"message.eml", "From: bob@example.org\r\nSubject: Earlier\r\n\r\nThe earlier message."},
        {"plan.pdf", "%PDF-1.4"},
    };
    EXPECT_EQ(files, expected);

    // Saved unchanged: nothing is written at all.
    const auto before = Messages(mailbox);
    ASSERT_EQ(SaveOver(m, id), 0u);
    EXPECT_EQ(Messages(mailbox), before);
    EXPECT_EQ(ReadFile(before.at(0)), kRich);

    // A new subject changes the subject and nothing else.
    m->lpszSubject = S("Plans, revised");
    ASSERT_EQ(SaveOver(m, id), 0u);
    Release(m);
    const auto after = Messages(mailbox);
    ASSERT_EQ(after.size(), 1u);
    const std::string raw = ReadFile(after[0]);
    for (const char *kept : {"In-Reply-To: <plans-1@example.org>\r\n",
                             "References: <plans-0@example.org> <plans-1@example.org>\r\n",
                             "X-Mailer: Somewhere 1.0\r\n", "Date: Mon, 07 Dec 2026 09:00:00 +0000\r\n",
                             "Message-ID: <plans-2@example.org>\r\n", "Subject: Plans, revised\r\n"})
        EXPECT_NE(raw.find(kept), std::string::npos) << kept << "\n" << raw;
    m = Read(id);
    EXPECT_EQ(Files(m), expected);
    EXPECT_EQ(m->lpszDateReceived, received); // it arrived when it arrived
    Release(m);
    struct stat st {};
    ASSERT_EQ(stat(after[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(Walk(MAPI_GUARANTEE_FIFO), std::vector<std::string>{id});

    // Mail with only HTML: its text is the HTML read as text, and the HTML
    // still a file to open.
    const std::string html = Store("Subject: Only HTML\r\nContent-Type: text/html\r\n\r\n<p>Hi</p>\r\n", "1600000001.M1P1Q1.test");
    m = Read(html);
    EXPECT_STREQ(m->lpszNoteText, "Hi");
    EXPECT_EQ(Files(m), (std::vector<std::pair<std::string, std::string>>{{"message.html", "<p>Hi</p>\r\n"}}));
    Release(m);
}

TEST_F(Save, ASaveChangesTheBodyAndAttachmentsTheRecordChangedAndKeepsWhatAPartialReadDidNotShow)
{
    const std::string id = Store(kWithAttachment);
    struct Row {
        const char *what;
        FLAGS flags;
        bool editBody;
        const char *body;      // the stored body afterwards
        bool attachmentStays;
    } rows[] = {
        {"envelope only", MAPI_ENVELOPE_ONLY, false, "The body.", true},
        {"attachments suppressed, new text", MAPI_SUPPRESS_ATTACH, true, "Edited.", true},
        {"body as a file", MAPI_BODY_AS_FILE, false, "Edited.", true},
        {"whole, attachment dropped", 0, false, "Edited.", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        lpMapiMessage m = Read(id, MAPI_PEEK | row.flags);
        m->lpszSubject = S(row.what);
        if (row.editBody)
            m->lpszNoteText = S("Edited.");
        if (row.flags == 0)
            m->nFileCount = 0;
        ASSERT_EQ(SaveOver(m, id), 0u);
        Release(m);
        m = Read(id);
        EXPECT_STREQ(m->lpszSubject, row.what);
        EXPECT_STREQ(m->lpszNoteText, row.body);
        EXPECT_EQ(m->nFileCount, row.attachmentStays ? 1u : 0u);
        Release(m);
        const std::string raw = ReadFile(Messages(mailbox).at(0));
        EXPECT_NE(raw.find("References: <r-1@example.org>"), std::string::npos) << raw;
    }

    // A file the caller adds is attached; the same record saved twice adds it once.
    const fs::path extra = home / "extra.txt";
    WriteFile(extra, "extra bytes");
    lpMapiMessage m = Read(id);
    MapiFileDesc file{};
    file.lpszPathName = S(extra.c_str());
    file.lpszFileName = S("extra.txt");
    m->nFileCount = 1;
    m->lpFiles = &file;
    ASSERT_EQ(SaveOver(m, id), 0u);
    ASSERT_EQ(SaveOver(m, id), 0u);
    MAPIFreeBuffer(m);
    m = Read(id);
    EXPECT_EQ(Files(m), (std::vector<std::pair<std::string, std::string>>{{"extra.txt", "extra bytes"}}));
    Release(m);

    // A record of the caller's own making lists the attachments it wants: a
    // stored one with the same name and bytes stays as it is.
    MapiMessage own{};
    own.lpszSubject = S("own");
    own.lpszNoteText = nullptr; // the stored body stays
    own.flFlags = MAPI_SENT;
    own.nFileCount = 1;
    own.lpFiles = &file;
    ASSERT_EQ(SaveOver(&own, id), 0u);
    m = Read(id);
    EXPECT_STREQ(m->lpszNoteText, "Edited.");
    EXPECT_EQ(m->nFileCount, 1u);
    Release(m);
}

TEST_F(Save, AMessageTextWhoseFileCannotBeReadFailsTheSaveAndWritesNothing)
{
    const std::string id = Store(kWithAttachment);
    const std::string before = ReadFile(Messages(mailbox).at(0));
    const struct {
        const char *what;
        ULONG result;
        std::function<void(const fs::path &)> spoil;
    } rows[] = {
        {"removed", MAPI_E_ATTACHMENT_NOT_FOUND, [](const fs::path &p) { fs::remove(p); }},
        {"a folder in its place", MAPI_E_ATTACHMENT_OPEN_FAILURE,
         [](const fs::path &p) { fs::remove(p), fs::create_directory(p); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        lpMapiMessage m = Read(id, MAPI_PEEK | MAPI_BODY_AS_FILE);
        ASSERT_GE(m->nFileCount, 1u);
        const fs::path text = m->lpFiles[0].lpszPathName;
        row.spoil(text);
        m->lpszSubject = S("never saved");
        EXPECT_EQ(SaveOver(m, id), row.result);
        fs::remove_all(text);
        Release(m);
        EXPECT_EQ(ReadFile(Messages(mailbox).at(0)), before);
    }
}

TEST_F(Save, ASaveIsANewFileOfTheSameIdentifierAndTakesOverAFlagSetMeanwhile)
{
    const std::string id = Store(kWithAttachment);
    const fs::path original = Messages(mailbox).at(0);
    struct stat before {};
    stat(original.c_str(), &before);
    lpMapiMessage m = Read(id);
    m->lpszSubject = S("first save");
    ASSERT_EQ(SaveOver(m, id), 0u);
    auto files = Messages(mailbox);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_FALSE(fs::exists(original)); // indexers see a file go and another come
    EXPECT_EQ(files[0].filename(), id + ",R=1:2,S");
    EXPECT_EQ(Walk(), std::vector<std::string>{id});

    // Another program flags the message while the save runs.
    static fs::path flagged;
    kelvra_provider::maildir::g_rewriteHook = [](const std::string &old) {
        flagged = fs::path(old).parent_path() / (fs::path(old).filename().string() + "F");
        fs::rename(old, flagged);
        kelvra_provider::maildir::g_rewriteHook = nullptr;
    };
    m->lpszSubject = S("second save");
    ASSERT_EQ(SaveOver(m, id), 0u);
    files = Messages(mailbox);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), id + ",R=2:2,SF");
    EXPECT_NE(ReadFile(files[0]).find("second save"), std::string::npos);

    // One that never stops renaming it: the save gives up, the message whole.
    kelvra_provider::maildir::g_rewriteHook = [](const std::string &old) {
        fs::rename(old, fs::path(old).parent_path() / (fs::path(old).filename().string() + "T"));
    };
    m->lpszSubject = S("third save");
    EXPECT_EQ(SaveOver(m, id), MAPI_E_FAILURE);
    kelvra_provider::maildir::g_rewriteHook = nullptr;
    files = Messages(mailbox);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(ReadFile(files[0]).find("second save"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(mailbox / "tmp"));
    Release(m);
}

TEST_F(Save, StoredMessagesAreSyncedToTheirFolders)
{
    static std::vector<std::string> synced;
    synced.clear();
    kelvra_provider::maildir::g_fsync = [](int fd) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
            synced.push_back(fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string());
        return fsync(fd);
    };
    ASSERT_EQ(Send("durable", {Recip(MAPI_TO, "ann@example.org")}), 0u);
    EXPECT_EQ(synced, (std::vector<std::string>{(mailbox / "new").string(), (mailbox / ".Sent" / "cur").string()}));
    synced.clear();
    const std::string id = Walk().at(0);
    lpMapiMessage m = Read(id, 0);
    EXPECT_EQ(synced, (std::vector<std::string>{(mailbox / "cur").string(), (mailbox / "new").string()}));
    synced.clear();
    m->lpszSubject = S("saved");
    ASSERT_EQ(SaveOver(m, id), 0u);
    EXPECT_EQ(synced, std::vector<std::string>{(mailbox / "cur").string()});
    Release(m);

    // A read whose marking fails leaves no decoded file behind.
    WriteFile(mailbox / "new" / "1600000002.M1P1Q1.test", kWithAttachment);
    kelvra_provider::maildir::g_fsync = [](int fd) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            errno = EIO;
            return -1;
        }
        return fsync(fd);
    };
    lpMapiMessage failed = nullptr;
    EXPECT_EQ(MAPIReadMail(session, 0, S("1600000002.M1P1Q1.test"), 0, 0, &failed), MAPI_E_FAILURE);
    kelvra_provider::maildir::g_fsync = &fsync;
    EXPECT_EQ(failed, nullptr);
    EXPECT_TRUE(fs::is_empty(home / "tmp"));
}

TEST_F(Save, LogonRemovesWhatInterruptedWritersLeftInTmp)
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0); // a process that is gone
    const std::string dead = "1700000000.M000001P" + std::to_string(child) + "Q1." + host;
    const std::string alive = "1700000000.M000002P" + std::to_string(getpid()) + "Q2." + host;
    for (const std::string &name : {dead, alive, std::string("foreign-fresh"), std::string("foreign-old")})
        WriteFile(mailbox / "tmp" / name, std::string(1000, 'x'));
    WriteFile(mailbox / ".Sent" / "tmp" / dead, "x");
    const timespec old[2] = {{std::time(nullptr) - 37 * 3600, 0}, {std::time(nullptr) - 37 * 3600, 0}};
    utimensat(AT_FDCWD, (mailbox / "tmp" / "foreign-old").c_str(), old, 0);
    LHANDLE other = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &other), 0u);
    MAPILogoff(other, 0, 0, 0);
    std::vector<std::string> left;
    for (const auto &e : fs::directory_iterator(mailbox / "tmp"))
        left.push_back(e.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{alive, "foreign-fresh"}));
    EXPECT_TRUE(fs::is_empty(mailbox / ".Sent" / "tmp"));
}

TEST_F(Save, LogonKeepsOnlyTheNewestRevisionThatASaveLeftBesideAnOlderOne)
{
    // A save stopped between its new file taking the place and the old
    // one's removal; and a message caught mid-move, which is left alone.
    WriteFile(mailbox / "cur" / "1700000000.M1P1Q1.host:2,S", "Subject: old\n\nold\n");
    WriteFile(mailbox / "cur" / "1700000000.M1P1Q1.host,R=1:2,S", "Subject: new\n\nnew\n");
    WriteFile(mailbox / "new" / "1700000000.M2P1Q1.host", "Subject: moving\n\nx\n");
    WriteFile(mailbox / "cur" / "1700000000.M2P1Q1.host:2,", "Subject: moving\n\nx\n");
    const long settled = kelvra_provider::maildir::g_settled;
    kelvra_provider::maildir::g_settled = 0;
    LHANDLE other = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &other), 0u);
    MAPILogoff(other, 0, 0, 0);
    kelvra_provider::maildir::g_settled = settled;
    std::vector<std::string> left;
    for (const fs::path &f : Messages(mailbox))
        left.push_back(f.filename());
    EXPECT_EQ(left, (std::vector<std::string>{"1700000000.M1P1Q1.host,R=1:2,S", "1700000000.M2P1Q1.host:2,",
                                              "1700000000.M2P1Q1.host"}));
    // Just written, a newer revision may belong to a save still going on.
    WriteFile(mailbox / "cur" / "1700000000.M3P1Q1.host:2,S", "Subject: old\n\nold\n");
    WriteFile(mailbox / "cur" / "1700000000.M3P1Q1.host,R=1:2,S", "Subject: new\n\nnew\n");
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &other), 0u);
    MAPILogoff(other, 0, 0, 0);
    EXPECT_EQ(Messages(mailbox).size(), 5u);
}

TEST_F(Save, OneBadFileCostsNoWalkAndHangsNothing)
{
    // A blank continuation line, a header block without end, a FIFO.
    WriteFile(mailbox / "cur" / "1600000001.M1P1Q1.test:2,S", "X-Message-Class: IPM.X\r\n \r\nSubject: a\r\n\r\nx");
    WriteFile(mailbox / "cur" / "1600000002.M1P1Q1.test:2,S", "Subject: " + std::string(400000, 'y') +
                                                                    "\r\nX-Message-Class: IPM.Late\r\n\r\n");
    ASSERT_EQ(mkfifo((mailbox / "cur" / "1600000003.M1P1Q1.test:2,S").c_str(), 0600), 0);
    WriteFile(mailbox / "cur" / "1600000004.M1P1Q1.test:2,S", "Subject: d\r\n\r\nx");
    EXPECT_EQ(Walk(0, "IPM").size(), 3u);
    EXPECT_EQ(Walk(0, "IPM.X"), std::vector<std::string>{"1600000001.M1P1Q1.test"});
    // The class of a header past the bound is not looked for.
    EXPECT_EQ(Walk(0, ""), (std::vector<std::string>{"1600000002.M1P1Q1.test", "1600000004.M1P1Q1.test"}));
    lpMapiMessage m = nullptr;
    EXPECT_EQ(MAPIReadMail(session, 0, S("1600000003.M1P1Q1.test"), 0, 0, &m), MAPI_E_INVALID_MESSAGE);

    struct {
        const char *header, *cls;
    } rows[] = {
        {"X-Message-Class: IPM.A\r\n \r\n\r\n", "IPM.A"},
        {"X-Message-Class:\r\n\tIPM.B\r\n  .C\r\n", "IPM.B .C"},
        {"x-message-class: IPM.D\nX-Message-Class: IPM.E\n", "IPM.D"},
        {"Subject: s\r\n\r\nX-Message-Class: IPM.Body\r\n", ""},
        {"X-Message-Class: \r\n", ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(kelvra_provider::MessageClassOfHeader(row.header), row.cls) << row.header;
}

TEST_F(Save, AttachmentNamesAreSafeUniqueAndWholeCharacters)
{
    std::string mime = "Subject: many\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n";
    const std::string accented = "\xC3\xA9"; // é, two bytes
    std::string longName;
    for (int i = 0; i < 150; ++i)
        longName += accented;
    longName = "x" + longName + ".txt"; // the cut would fall inside a character
    for (const std::string &name : {longName, std::string("bad\xFF\xFE.txt")})
        mime += "--B\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename=\"" + name +
                "\"\r\n\r\nx\r\n";
    for (int i = 0; i < 2000; ++i)
        mime += "--B\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
                "filename=\"same.txt\"\r\n\r\n" + std::to_string(i) + "\r\n";
    mime += "--B--\r\n";
    const std::string id = Store(mime);
    lpMapiMessage m = Read(id);
    ASSERT_EQ(m->nFileCount, 2002u);
    for (ULONG i = 0; i < 2; ++i) {
        const std::string name = fs::path(m->lpFiles[i].lpszPathName).filename();
        EXPECT_LE(name.size(), 200u);
        EXPECT_TRUE(g_utf8_validate(name.c_str(), -1, nullptr)) << name;
    }
    EXPECT_EQ(fs::path(m->lpFiles[2].lpszPathName).filename(), "same.txt");
    EXPECT_EQ(fs::path(m->lpFiles[3].lpszPathName).filename(), "same (2).txt");
    EXPECT_EQ(fs::path(m->lpFiles[2001].lpszPathName).filename(), "same (2000).txt");
    EXPECT_EQ(ReadFile(m->lpFiles[2001].lpszPathName), "1999");
    Release(m);
}

TEST_F(Save, ATypeFilteredWalkSeesEveryRewrite)
{
    Store("X-Message-Class: IPM.Aaaa\r\nSubject: s\r\n\r\nx");
    EXPECT_EQ(Walk(0, "IPM.Aaaa").size(), 1u);
    // Replaced by another program under the same name, at the same size.
    const fs::path file = Messages(mailbox).at(0);
    WriteFile(mailbox / "tmp" / "other", "X-Message-Class: IPM.Bbbb\r\nSubject: s\r\n\r\nx");
    fs::rename(mailbox / "tmp" / "other", file);
    EXPECT_EQ(Walk(0, "IPM.Aaaa").size(), 0u);
    EXPECT_EQ(Walk(0, "IPM.Bbbb").size(), 1u);
    // Saved with a type of the same length.
    lpMapiMessage m = Read(Walk(0, "IPM").at(0));
    m->lpszMessageType = S("IPM.Cccc");
    ASSERT_EQ(SaveOver(m, Walk(0, "IPM").at(0)), 0u);
    Release(m);
    EXPECT_EQ(Walk(0, "IPM.Bbbb").size(), 0u);
    EXPECT_EQ(Walk(0, "IPM.Cccc").size(), 1u);
}

TEST_F(Save, AnIndexerThatTakesMessageFilesAsImmutableSeesASave)
{
    if (access("/usr/bin/notmuch", X_OK) != 0)
        GTEST_SKIP() << "notmuch is not installed";
    const std::string id = Store("From: ann@example.org\r\nSubject: original plan\r\nMessage-ID: <plan@example.org>\r\n"
                                 "\r\nThe plan.\r\n");
    WriteFile(home / "notmuch-config", "[database]\npath=" + mailbox.string() + "\n[new]\ntags=\n");
    setenv("NOTMUCH_CONFIG", (home / "notmuch-config").c_str(), 1);
    auto notmuch = [](std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/notmuch");
        return ProgramOutput(args);
    };
    notmuch({"new"});
    EXPECT_EQ(notmuch({"count", "subject:original"}), "1\n");
    lpMapiMessage m = Read(id);
    m->lpszSubject = S("revised plan");
    ASSERT_EQ(SaveOver(m, id), 0u);
    Release(m);
    notmuch({"new"});
    // The new content is indexed, and the index knows the message by its new file alone.
    EXPECT_EQ(notmuch({"count", "subject:revised"}), "1\n");
    EXPECT_EQ(notmuch({"search", "--output=files", "id:plan@example.org"}), Messages(mailbox).at(0).string() + "\n");
    unsetenv("NOTMUCH_CONFIG");
}

TEST_F(Save, ATextAndFileEditTouchesOnlyThePartsItNames)
{
    const std::string head = "Received: from x by y; Mon, 1 Jan 2001 00:00:00 +0000\n"
                             "From: Ann <ann@example.org>\n"
                             "To: Bob <bob@example.org>\n"
                             "Subject: parts\n"
                             "X-Odd-Header:no space after the colon\n"
                             "MIME-Version: 1.0\n"
                             "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
                             "preamble kept\n";
    const std::string kept = "--B\nContent-Type: text/csv; name=\"b.csv\"\n\nx,y\n";
    const std::string id = Store(head + "--B\nContent-Type: text/plain; charset=us-ascii\n\nold text\n"
                                        "--B\nContent-Type: application/octet-stream; name=\"a.bin\"\n"
                                        "Content-Transfer-Encoding: base64\n\nAAEC\n" +
                                 kept + "--B--\nepilogue kept\n");
    WriteFile(home / "c.txt", "new file\n");
    lpMapiMessage m = Read(id);
    ASSERT_EQ(m->nFileCount, 2u);
    std::vector<MapiFileDesc> files = {m->lpFiles[1], MapiFileDesc{}};
    const std::string added = (home / "c.txt").string();
    files[1].lpszPathName = S(added.c_str());
    const std::string removed = m->lpFiles[0].lpszPathName;
    m->lpFiles = files.data();
    m->lpszNoteText = S("new text");
    ASSERT_EQ(SaveOver(m, id), 0u);
    fs::remove(removed);
    Release(m);
    const std::string after = ReadFile(Messages(mailbox).at(0));
    EXPECT_EQ(after.substr(0, head.size()), head);
    EXPECT_EQ(after.find("AAEC"), std::string::npos);
    EXPECT_NE(after.find("\n\nnew text\n" + kept + "--B\n"), std::string::npos) << after;
    EXPECT_EQ(after.substr(after.size() - 21), "\n--B--\nepilogue kept\n");
    m = Read(id);
    EXPECT_STREQ(m->lpszNoteText, "new text");
    EXPECT_EQ(Files(m), (std::vector<std::pair<std::string, std::string>>{{"b.csv", "x,y"}, {"c.txt", "new file\n"}}));
    Release(m);
}

TEST_F(Save, AFileAddedToASinglePartMessageMovesItsContentIntoAPartByteForByte)
{
    const std::string fields = "Content-Type: text/plain; charset=iso-8859-1\r\n"
                               "Content-Transfer-Encoding: quoted-printable\r\n";
    const std::string body = "Gr=FC=DFe\r\nsoft line=\r\n break\r\n";
    const std::string id = Store("From: ann@example.org\r\nSubject: single\r\n" + fields + "\r\n" + body);
    WriteFile(home / "c.txt", "added\n");
    lpMapiMessage m = Read(id);
    const std::string added = (home / "c.txt").string();
    MapiFileDesc file{};
    file.lpszPathName = S(added.c_str());
    m->nFileCount = 1;
    m->lpFiles = &file;
    ASSERT_EQ(SaveOver(m, id), 0u);
    MAPIFreeBuffer(m);
    const std::string after = ReadFile(Messages(mailbox).at(0));
    EXPECT_EQ(after.rfind("From: ann@example.org\r\nSubject: single\r\n", 0), 0u) << after;
    EXPECT_NE(after.find("\r\n" + fields + "\r\n" + body + "\r\n--"), std::string::npos) << after;
    m = Read(id);
    EXPECT_STREQ(m->lpszNoteText, "Gr\xC3\xBC\xC3\x9F" "e\r\nsoft line break");
    EXPECT_EQ(Files(m), (std::vector<std::pair<std::string, std::string>>{{"c.txt", "added\n"}}));
    Release(m);
}

TEST_F(Save, AMessageWithoutItsBlankLineGetsOneWithANewText)
{
    const std::string id = Store("From: ann@example.org\nSubject: straight\nthe body line\n");
    lpMapiMessage m = Read(id);
    EXPECT_STREQ(m->lpszNoteText, "the body line");
    m->lpszNoteText = S("replaced");
    ASSERT_EQ(SaveOver(m, id), 0u);
    MAPIFreeBuffer(m);
    const std::string after = ReadFile(Messages(mailbox).at(0));
    EXPECT_EQ(after.rfind("From: ann@example.org\nSubject: straight\n", 0), 0u) << after;
    m = Read(id);
    EXPECT_STREQ(m->lpszSubject, "straight");
    EXPECT_STREQ(m->lpszNoteText, "replaced");
    Release(m);
}

// A byte-order mark before the first field (and an mbox line after it)
// stays where it is, byte for byte, whatever a save edits; the message then
// reads as saved.
TEST_F(Save, AByteOrderMarkBeforeTheFirstFieldStaysThroughEverySave)
{
    const std::string single = "\xEF\xBB\xBF" "From: Ann <ann@example.org>\r\nSubject: marked\r\n\r\nold text\r\n";
    const std::string parts = "\xEF\xBB\xBF" "From ann@example.org Tue Dec  8 12:00:00 2026\n"
                              "From: Ann <ann@example.org>\nSubject: marked\nMIME-Version: 1.0\n"
                              "Content-Type: multipart/mixed; boundary=\"M\"\n\n"
                              "--M\nContent-Type: text/plain\n\nold text\n"
                              "--M\nContent-Type: text/plain; name=\"a.txt\"\n\nkept\n--M--\n";
    const struct {
        const char *what;
        const std::string &stored;
        bool text, file;
    } rows[] = {
        {"a new text", single, true, false},      {"a file added", single, false, true},
        {"both", single, true, true},             {"a new text in a part", parts, true, false},
        {"a file added to the parts", parts, false, true}, {"both in parts", parts, true, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string id = Store(row.stored);
        const fs::path added = home / "c.txt";
        WriteFile(added, "added\n");
        lpMapiMessage m = Read(id);
        ASSERT_STREQ(m->lpszSubject, "marked");
        std::vector<std::pair<std::string, std::string>> expected = Files(m);
        std::vector<MapiFileDesc> files(m->lpFiles, m->lpFiles + m->nFileCount);
        if (row.file) {
            files.push_back(MapiFileDesc{});
            files.back().lpszPathName = S(added.c_str());
            expected.emplace_back("c.txt", "added\n");
        }
        m->lpFiles = files.data();
        m->nFileCount = static_cast<ULONG>(files.size());
        if (row.text)
            m->lpszNoteText = S("new text");
        ASSERT_EQ(SaveOver(m, id), 0u);
        Release(m);
        const std::vector<fs::path> now = Messages(mailbox);
        ASSERT_EQ(now.size(), 1u);
        const std::string after = ReadFile(now[0]);
        const std::string head = row.stored.substr(0, row.stored.find("Subject"));
        EXPECT_EQ(after.substr(0, head.size()), head) << after;
        m = Read(id);
        EXPECT_STREQ(m->lpszSubject, "marked");
        EXPECT_STREQ(m->lpszNoteText, row.text ? "new text" : "old text");
        EXPECT_EQ(Files(m), expected);
        Release(m);
        fs::remove(now[0]);
    }
}
