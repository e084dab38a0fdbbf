// The provider on an IMAP mailbox, against a real Dovecot on loopback that
// this program starts, with Python's imaplib as the second client.
#include "imap/ImapFixture.h"

#include "Errors.h"
#include "imap/Connection.h"
#include "imap/ImapStore.h"
#include "message/Mime.h"
#include "message/Parse.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

using namespace provider_test;

TEST_F(Imap, WalksInUidOrderOrByArrivalFilteredByTypeAndUnread)
{
    // Arrival times out of UID order; one report, two read.
    Append("third", "-", 1700000300);
    Append("first", "\\Seen", 1700000100);
    Append("report", "-", 1700000150, "X-Message-Class: IPM.Kelvra.Report\r\n");
    Append("second", "\\Seen", 1700000200);
    ASSERT_EQ(Logon(), 0u);

    EXPECT_EQ(Subjects(), (std::vector<std::string>{"third", "first", "second"}));
    EXPECT_EQ(Subjects(MAPI_GUARANTEE_FIFO), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(Subjects(MAPI_UNREAD_ONLY), (std::vector<std::string>{"third"}));
    EXPECT_EQ(Subjects(0, "IPM.Kelvra"), (std::vector<std::string>{"report"}));
    EXPECT_EQ(Subjects(MAPI_GUARANTEE_FIFO, "IPM"), (std::vector<std::string>{"first", "report", "second", "third"}));
    EXPECT_EQ(Subjects(MAPI_UNREAD_ONLY, "IPM"), (std::vector<std::string>{"third", "report"}));

    // A walk with envelope reads takes a few commands, not a few per message.
    for (int i = 0; i < 40; ++i)
        Append("more " + std::to_string(i));
    const std::uint64_t before = kelvra_provider::imap::ImapCommandCount();
    EXPECT_EQ(Subjects().size(), 43u);
    EXPECT_LE(kelvra_provider::imap::ImapCommandCount() - before, 4u);

    // Mail that arrives during a session is seen by the next walk.
    Append("late");
    EXPECT_EQ(Subjects().back(), "late");

    // Identifiers are opaque and checked: nonsense is no message.
    char buffer[64];
    EXPECT_EQ(MAPIFindNext(session, 0, S(""), S("no such id"), 0, 0, buffer), ULONG(MAPI_E_INVALID_MESSAGE));
    lpMapiMessage m = nullptr;
    EXPECT_EQ(MAPIReadMail(session, 0, S("1.0000000999"), 0, 0, &m), ULONG(MAPI_E_INVALID_MESSAGE));
    EXPECT_EQ(kelvra_provider::LastReason(), "no message has the identifier \"1.0000000999\" in the folder " +
                                     dovecot->PlainUrl(folder));
}

TEST_F(Imap, ReadsMarkSeenOnTheServerUnlessPeeking)
{
    const std::string uid = Append("peek at me");
    ASSERT_EQ(Logon(), 0u);
    const std::string id = Walk().at(0);

    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszSubject, "peek at me");
    EXPECT_STREQ(m->lpszNoteText, "peek at me body");
    EXPECT_NE(m->flFlags & MAPI_UNREAD, 0u);
    EXPECT_STREQ(m->lpOriginator->lpszAddress, "ann@example.org");
    MAPIFreeBuffer(m);
    EXPECT_EQ(OnServer()[uid].flags.find("\\Seen"), std::string::npos);

    ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_ENVELOPE_ONLY, 0, &m), 0u);
    EXPECT_EQ(m->lpszNoteText, nullptr);
    EXPECT_EQ(m->flFlags & MAPI_UNREAD, 0u); // read now, and the record says so
    MAPIFreeBuffer(m);
    EXPECT_NE(OnServer()[uid].flags.find("\\Seen"), std::string::npos);
    EXPECT_TRUE(Walk(MAPI_UNREAD_ONLY).empty());
}

TEST_F(Imap, AnAccessTokenFromAPasswordCommandSignsInByXoauth2)
{
    UseProfile("plain = yes\nauth = xoauth2\npasswordcmd = printf '%s\\n' '" + Server().Token() + "'\n");
    ASSERT_EQ(Logon(nullptr), 0u);
    Append("by token");
    EXPECT_EQ(Subjects(), std::vector<std::string>{"by token"});
    MAPILogoff(session, 0, 0, 0);
    session = 0;
    UseProfile("plain = yes\nauth = xoauth2\npasswordcmd = printf '%s\\n' '" + Server().Token("another key") + "'\n");
    EXPECT_EQ(Logon(nullptr), MAPI_E_LOGON_FAILURE);
    EXPECT_NE(ReadFile(home / "provider.log").find("refused the access token"), std::string::npos);
}

TEST_F(Imap, AFolderNameOutsideAsciiIsModifiedUtf7OnTheWire)
{
    // Python's client names the folder as IMAP writes it; the profile's URL
    // as a person writes it (UTF-8, percent-encoded).
    folder = "Gr&APwA3w-e&-Co";
    Client("create");
    UseProfile("plain = yes\n", Server().PlainUrl("Gr%C3%BC%C3%9Fe%26Co"));
    Append("in the folder");
    ASSERT_EQ(Logon(), 0u);
    EXPECT_EQ(Subjects(), std::vector<std::string>{"in the folder"});
    // A message the provider stores there is found there by the other client.
    MapiMessage m{};
    m.lpszSubject = S("stored by the provider");
    m.lpszNoteText = S("x");
    char id[513] = "";
    ASSERT_EQ(MAPISaveMail(session, 0, &m, MAPI_LONG_MSGID, 0, id), 0u);
    EXPECT_EQ(OnServer().size(), 2u);
    EXPECT_EQ(kelvra_provider::imap::ImapFolderName("Gr\xC3\xBC\xC3\x9F" "e&Co"), "Gr&APwA3w-e&-Co");
}

TEST_F(Imap, EncodedWordsSplitWithPaddingReadWholeOverImap)
{
    // As Python's email package folds a long Japanese subject: base64 words,
    // one ending in padding.
    Append("=?utf-8?b?5pel5pys6Kqe44Gu5Lu25ZCN44Gn44GZ?=\r\n =?utf-8?b?6ZW344GEIA==?=\r\n =?utf-8?b?5Lu25ZCN44Gn44GZ?=");
    ASSERT_EQ(Logon(), 0u);
    const std::string id = Walk().at(0);
    const std::string expected = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE4\xBB\xB6\xE5\x90\x8D\xE3\x81\xA7\xE3\x81\x99\xE9\x95\xB7\xE3\x81\x84 \xE4\xBB\xB6\xE5\x90\x8D\xE3\x81\xA7\xE3\x81\x99";
    EXPECT_EQ(Subject(id), expected);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_EQ(m->lpszSubject, expected);
    MAPIFreeBuffer(m);
}

// HTML-only mail reads the same text over IMAP as from a file.
TEST_F(Imap, HtmlOnlyMailReadsAsTextAsFromAFile)
{
    const fs::path corpus = fs::path(KELVRA_SOURCE_DIR) / "tests/provider/corpus";
    std::vector<std::string> expected;
    for (const char *name : {"html-outlook-reply.eml", "html-notification.eml"}) {
        std::string bytes;
        for (const char c : ReadFile(corpus / name))
            bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
        Client("append", {"-", "-"}, bytes);
        WriteFile(home / name, bytes);
        kelvra_provider::Ref<GMimeMessage> message(kelvra_provider::ParseMessageFile((home / name).string()));
        expected.push_back(kelvra_provider::NoteText(kelvra_provider::ShownParts(message.get())));
        ASSERT_GT(expected.back().size(), 100u);
    }
    ASSERT_EQ(Logon(), 0u);
    const std::vector<std::string> ids = Walk();
    ASSERT_EQ(ids.size(), expected.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        lpMapiMessage m = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(ids[i].c_str()), MAPI_PEEK | MAPI_SUPPRESS_ATTACH, 0, &m), 0u);
        EXPECT_EQ(std::string(m->lpszNoteText), expected[i]);
        MAPIFreeBuffer(m);
    }
}

TEST_F(Imap, InteropWithPythonBothWaysAttachmentsByteForByte)
{
    // Python's email package wrote it; the provider reads it.
    Client("compose");
    ASSERT_EQ(Logon(), 0u);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(Walk().at(0).c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszSubject, "Gr\xc3\xbc\xc3\x9f" "e aus Python");
    EXPECT_STREQ(m->lpszNoteText, "Hallo Welt\r\nzweite Zeile");
    ASSERT_EQ(m->nFileCount, 1u);
    EXPECT_STREQ(m->lpFiles[0].lpszFileName, "bytes.bin");
    std::string expected;
    for (int k = 0; k < 40; ++k)
        for (int i = 0; i < 256; ++i)
            expected += static_cast<char>(i);
    EXPECT_EQ(ReadFile(m->lpFiles[0].lpszPathName), expected);
    MAPIFreeBuffer(m);

    // The provider stores it; Python reads it the same way.
    const std::string path = (home / "data.bin").string();
    WriteFile(path, expected);
    MapiRecipDesc to = Recip(MAPI_TO, "Ann");
    MapiFileDesc file{};
    file.lpszPathName = S(path.c_str());
    file.lpszFileName = S("data.bin");
    file.nPosition = 0xFFFFFFFFu;
    MapiMessage draft{};
    draft.lpszSubject = S("Aus Kelvra \xc3\xbc");
    draft.lpszNoteText = S("Zeile eins\r\nZeile zwei\r\n");
    draft.nRecipCount = 1;
    draft.lpRecips = &to;
    draft.nFileCount = 1;
    draft.lpFiles = &file;
    draft.flFlags = MAPI_SENT;
    char id[64] = "";
    ASSERT_EQ(MAPISaveMail(session, 0, &draft, 0, 0, id), 0u);
    const std::string uid = std::string(id).substr(std::string(id).find('.') + 1);
    const std::string json = Client("read", {std::to_string(std::stoul(uid))});
    EXPECT_NE(json.find("\"subject\": \"Aus Kelvra \xc3\xbc\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"to\": [\"ann@example.org\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"body\": \"Zeile eins\\r\\nZeile zwei\\r\\n\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"data.bin\": \"e96760a87768717bcebcfd25ddc7d46b4dbc95a4b0014def080c08539f7d90d0\""), std::string::npos)
        << json;
}

TEST_F(Imap, SaveAppendsThenRemovesExactlyTheOldUid)
{
    const std::string old = Append("draft", "\\Flagged", 1700000000);
    const std::string other = Append("bystander");
    Client("store", {other, "\\Deleted"}); // another client's mark, not ours to act on
    ASSERT_EQ(Logon(), 0u);
    const std::vector<std::string> ids = Walk();
    ASSERT_EQ(ids.size(), 2u);

    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(ids[0].c_str()), MAPI_PEEK, 0, &m), 0u);
    m->lpszSubject = S("draft (edited)");
    char id[64];
    std::snprintf(id, sizeof id, "%s", ids[0].c_str());
    ASSERT_EQ(MAPISaveMail(session, 0, m, 0, 0, id), 0u);
    EXPECT_NE(std::string(id), ids[0]);
    // The record saved again is judged against the message as saved.
    ASSERT_EQ(MAPISaveMail(session, 0, m, 0, 0, id), 0u);
    MAPIFreeBuffer(m);

    std::map<std::string, Stored> stored = OnServer();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored.count(old), 0u);
    EXPECT_NE(stored[other].flags.find("\\Deleted"), std::string::npos);
    const std::string saved = stored.rbegin()->first;
    EXPECT_NE(saved, other);
    EXPECT_NE(stored[saved].flags.find("\\Flagged"), std::string::npos); // flags kept
    EXPECT_EQ(stored[saved].time, 1700000000);                           // and the arrival time
    const std::string bytes = Client("fetch", {saved});
    EXPECT_NE(bytes.find("Subject: draft (edited)\r\n"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("From: Ann Example <ann@example.org>\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\n\r\ndraft body\r\n"), std::string::npos);

    // The new identifier reads; so does the old one in this session (the
    // components keep the identifier they had), and in no other.
    EXPECT_EQ(Subject(id), "draft (edited)");
    EXPECT_EQ(Subject(ids[0]), "draft (edited)");
    EXPECT_EQ(Walk(), (std::vector<std::string>{ids[1], id}));
    LHANDLE second = 0;
    ASSERT_EQ(MAPILogon(0, S("Imap"), S("secret"), 0, 0, &second), 0u);
    EXPECT_EQ(MAPIReadMail(second, 0, S(ids[0].c_str()), MAPI_PEEK, 0, &m), ULONG(MAPI_E_INVALID_MESSAGE));
    MAPILogoff(second, 0, 0, 0);

    // Delete: exactly that message, once.
    EXPECT_EQ(MAPIDeleteMail(session, 0, id, 0, 0), 0u);
    EXPECT_EQ(MAPIDeleteMail(session, 0, id, 0, 0), ULONG(MAPI_E_INVALID_MESSAGE));
    stored = OnServer();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.begin()->first, other);
}

TEST_F(Imap, IdentifiersOfAnEarlierUidValidityAreRefused)
{
    Append("before");
    ASSERT_EQ(Logon(), 0u);
    const std::string old = Walk().at(0);
    Client("recreate"); // the folder made anew: a new UIDVALIDITY, UIDs from 1 again
    Append("after");

    lpMapiMessage m = nullptr;
    EXPECT_EQ(MAPIReadMail(session, 0, S(old.c_str()), 0, 0, &m), ULONG(MAPI_E_INVALID_MESSAGE));
    char buffer[64];
    EXPECT_EQ(MAPIFindNext(session, 0, S(""), S(old.c_str()), 0, 0, buffer), ULONG(MAPI_E_INVALID_MESSAGE));
    EXPECT_EQ(MAPIDeleteMail(session, 0, S(old.c_str()), 0, 0), ULONG(MAPI_E_INVALID_MESSAGE));
    const std::vector<std::string> now = Walk();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now[0], old);
    EXPECT_EQ(Subject(now[0]), "after");
    EXPECT_EQ(OnServer().size(), 1u);
}

TEST_F(Imap, LogonPasswordsAndTls)
{
    EXPECT_EQ(Logon("wrong"), ULONG(MAPI_E_LOGON_FAILURE));
    // In the server's own words.
    EXPECT_NE(ReadFile(home / "provider.log").find("login refused for tester: \"Authentication failed."),
              std::string::npos)
        << ReadFile(home / "provider.log");
    EXPECT_EQ(Logon(""), ULONG(MAPI_E_LOGON_FAILURE)); // no password anywhere
    EXPECT_NE(ReadFile(home / "provider.log").find(": no password was found for tester at imap://"), std::string::npos);
    UseProfile("plain = yes\npassword = secret\n");
    EXPECT_EQ(Logon(""), 0u); // the profile's password

    const std::string ca = "cafile = " + Server().certificate.string() + "\n";
    struct {
        std::string url, extra;
        ULONG code;
    } cases[] = {
        // TLS from the start, the certificate checked by address and by name.
        {Server().TlsUrl(folder), ca, 0},
        {"imaps://tester@localhost:" + std::to_string(Server().tlsPort) + "/" + folder, ca, 0},
        // A certificate nobody vouches for is refused before the password goes.
        {Server().TlsUrl(folder), "", MAPI_E_FAILURE},
        // imap:// means STARTTLS, also on loopback unless the profile says plain.
        {Server().PlainUrl(folder), ca, 0},
        {Server().PlainUrl(folder), "", MAPI_E_FAILURE},
        // Plain on loopback, named or by address; a missing folder is no logon.
        {"imap://tester@localhost:" + std::to_string(Server().plainPort) + "/" + folder, "plain = yes\n", 0},
        {Server().PlainUrl("NoSuchFolder"), "plain = yes\n", MAPI_E_FAILURE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url + " " + c.extra);
        UseProfile(c.extra, c.url);
        EXPECT_EQ(Logon(), c.code);
        if (c.code == 0) {
            EXPECT_TRUE(Walk().empty());
        }
    }

    // A server that accepts and never answers ends the logon after the
    // stall timeout, not never.
    const loopback::Listener listener;
    ASSERT_TRUE(listener.Listening());
    UseProfile("plain = yes\nstalltimeout = 1\n", "imap://tester@127.0.0.1:" + std::to_string(listener.Port()) + "/INBOX");
    EXPECT_EQ(Logon(), ULONG(MAPI_E_FAILURE));

    // TLS that cannot be made fails with its reason in the log and nothing
    // on the application's standard error: that listener on imaps://, and
    // the server's plain port, where imaps:// meets an IMAP greeting.
    const struct {
        int port;
        const char *said;
    } failures[] = {
        {listener.Port(), "no TLS connection: the server did not finish it in time"},
        {Server().plainPort, "no TLS connection: An unexpected TLS packet was received."},
    };
    for (const auto &row : failures) {
        SCOPED_TRACE(row.port);
        UseProfile(ca + "stalltimeout = 1\n", "imaps://tester@127.0.0.1:" + std::to_string(row.port) + "/INBOX");
        fflush(stderr);
        const int saved = dup(2);
        const int file = open((home / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, 2);
        close(file);
        const ULONG code = Logon();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        EXPECT_EQ(code, ULONG(MAPI_E_FAILURE));
        EXPECT_EQ(ReadFile(home / "stderr"), "");
        EXPECT_NE(ReadFile(home / "provider.log").find(row.said), std::string::npos) << ReadFile(home / "provider.log");
    }
}

TEST_F(Imap, ServerStoppedMidWalkFailsAndTheSessionComesBack)
{
    for (int i = 0; i < 5; ++i)
        Append("message " + std::to_string(i));
    ASSERT_EQ(Logon(), 0u);
    char buffer[64];
    ASSERT_EQ(MAPIFindNext(session, 0, S(""), S(""), 0, 0, buffer), 0u);
    const std::string first = buffer;

    Server().Stop();
    lpMapiMessage m = nullptr;
    EXPECT_EQ(MAPIReadMail(session, 0, S(first.c_str()), MAPI_PEEK, 0, &m), ULONG(MAPI_E_FAILURE));
    EXPECT_EQ(MAPIDeleteMail(session, 0, S(first.c_str()), 0, 0), ULONG(MAPI_E_FAILURE));
    // The walk goes on from what it knows, or fails; it never ends early
    // as if the folder were empty.
    std::string seed = first;
    ULONG code = 0;
    int steps = 0;
    while ((code = MAPIFindNext(session, 0, S(""), S(seed.c_str()), 0, 0, buffer)) == 0 && steps < 10) {
        seed = buffer;
        ++steps;
    }
    EXPECT_TRUE(code == MAPI_E_FAILURE || (code == MAPI_E_NO_MESSAGES && steps == 4)) << code;
    Server().Start();

    ASSERT_EQ(MAPIReadMail(session, 0, S(first.c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszSubject, "message 0");
    MAPIFreeBuffer(m);
    EXPECT_EQ(Walk().size(), 5u);
}

TEST_F(Imap, LocalDeliveryDeliversToTheFolderAndKeepsACopyInSent)
{
    UseProfile("plain = yes\nlocaldelivery = yes\n");
    ASSERT_EQ(Logon(), 0u);
    MapiRecipDesc to = Recip(MAPI_TO, "Bobby");
    MapiMessage mail{};
    mail.lpszSubject = S("to the server");
    mail.lpszNoteText = S("text");
    mail.nRecipCount = 1;
    mail.lpRecips = &to;
    ASSERT_EQ(MAPISendMail(session, 0, &mail, 0, 0), 0u);
    std::map<std::string, Stored> inbox = OnServer();
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(inbox.begin()->second.flags.find("\\Seen"), std::string::npos);
    const std::string saved = folder;
    folder = "Sent";
    std::map<std::string, Stored> sent = OnServer();
    ASSERT_FALSE(sent.empty());
    EXPECT_NE(sent.rbegin()->second.flags.find("\\Seen"), std::string::npos);
    EXPECT_NE(Client("fetch", {sent.rbegin()->first}).find("Subject: to the server"), std::string::npos);
    folder = saved;
}

namespace {

// A second server that offers neither CONDSTORE nor QRESYNC (its
// capabilities listed without them).
dovecot::Server &ServerWithoutModSequences()
{
    static dovecot::Server *server = new dovecot::Server(
        "imap_capability = IMAP4rev1 LITERAL+ SASL-IR LOGIN-REFERRALS ID ENABLE IDLE SORT SORT=DISPLAY "
        "THREAD=REFERENCES THREAD=REFS THREAD=ORDEREDSUBJECT MULTIAPPEND URL-PARTIAL CATENATE UNSELECT CHILDREN "
        "NAMESPACE UIDPLUS LIST-EXTENDED I18NLEVEL=1 ESEARCH ESORT SEARCHRES WITHIN CONTEXT=SEARCH LIST-STATUS "
        "BINARY MOVE SPECIAL-USE\n");
    static struct Stopper {
        ~Stopper() { delete server; }
    } stopper;
    return *server;
}

class ImapCache : public Imap {
protected:
    struct Walked {
        std::vector<std::string> subjects;
        size_t unread = 0;
        std::uint64_t commands = 0; // for the walk and its reads, after the logon
    };

    // A walk with an envelope read of each message in a new session, then
    // one of the unread ones.
    Walked WalkInNewSession()
    {
        EXPECT_EQ(Logon(), 0u);
        Walked w;
        const std::uint64_t before = kelvra_provider::imap::ImapCommandCount();
        w.subjects = Subjects();
        w.commands = kelvra_provider::imap::ImapCommandCount() - before;
        w.unread = Walk(MAPI_UNREAD_ONLY).size();
        MAPILogoff(session, 0, 0, 0);
        session = 0;
        return w;
    }

    // What the cache is for, on the server the fixture uses.
    void KeepsUpWithTheServer()
    {
        Client("create");
        UseProfile("plain = yes\n");
        std::vector<std::string> uids, subjects;
        for (int i = 0; i < 30; ++i) {
            subjects.push_back("message " + std::to_string(i));
            uids.push_back(Append(subjects.back()));
        }
        const Walked first = WalkInNewSession(); // fills the cache
        EXPECT_EQ(first.subjects, subjects);
        // From the cache: no header is fetched, the listing is brought up to
        // the server in at most three commands.
        const Walked warm = WalkInNewSession();
        EXPECT_EQ(warm.subjects, subjects);
        EXPECT_EQ(warm.unread, 30u);
        EXPECT_LE(warm.commands, 3u);
        // One new message, one read elsewhere, one gone.
        Client("store", {uids[5], "\\Seen"});
        Client("expunge", {uids[7]});
        Append("late");
        subjects.erase(subjects.begin() + 7);
        subjects.push_back("late");
        const Walked changed = WalkInNewSession();
        EXPECT_EQ(changed.subjects, subjects);
        EXPECT_EQ(changed.unread, 29u);
        EXPECT_LE(changed.commands, 4u); // and the new message's header
        // The folder made anew (a new UIDVALIDITY): nothing kept of it holds.
        Client("recreate");
        Append("fresh");
        const Walked anew = WalkInNewSession();
        EXPECT_EQ(anew.subjects, std::vector<std::string>{"fresh"});
        EXPECT_EQ(anew.unread, 1u);
    }
};

} // namespace

TEST_F(ImapCache, AWarmWalkCostsAFewCommandsWithCondstoreAndQresync) { KeepsUpWithTheServer(); }

TEST_F(ImapCache, AWarmWalkCostsAFewCommandsWithoutThem)
{
    dovecot = &ServerWithoutModSequences();
    KeepsUpWithTheServer();
}

TEST_F(ImapCache, APasswordWrittenIntoTheUrlReachesNeitherTheCacheNorTheLog)
{
    Append("one");
    std::string url = dovecot->PlainUrl(folder);
    url.insert(url.find("://") + 3 + std::string("tester").size(), ":hunter2");
    ASSERT_NE(url.find("tester:hunter2@"), std::string::npos) << url;
    UseProfile("plain = yes\n", url);
    EXPECT_EQ(WalkInNewSession().subjects, std::vector<std::string>{"one"});
    size_t files = 0;
    for (const auto &e : fs::recursive_directory_iterator(home / "cache")) {
        if (!e.is_regular_file())
            continue;
        ++files;
        EXPECT_EQ(ReadFile(e.path()).find("hunter2"), std::string::npos) << e.path();
    }
    EXPECT_GT(files, 0u);
    // Nor the log, which says it is not used.
    const std::string log = ReadFile(home / "provider.log");
    EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
    EXPECT_NE(log.find("the password written into its mailbox URL is not used"), std::string::npos) << log;
}

// The list and the message agree over IMAP for a broken header block: the
// server's header text is bounded by the rule a whole read keeps (a line a
// sender forgot to fold continues its field; a body that starts without a
// blank line starts there, whatever field-like lines it holds later).
TEST_F(Imap, EnvelopeOnlyAndWholeReadsAgreeOnABrokenHeaderBlock)
{
    Client("append", {"-", "-"},
           "From: Ann Example <ann@example.org>\r\nX-Signature: a=rsa; b=QUJD\r\nREVGR0hJSktMTU5PUA==\r\n"
           "Subject: after the unfolded line\r\n\r\nfirst body\r\n");
    Client("append", {"-", "-"},
           "From: Ann Example <ann@example.org>\r\nSubject: the real subject\r\nThis line starts the body.\r\n"
           "and this goes on\r\nSubject: only text in the body\r\n\r\nmore body\r\n");
    ASSERT_EQ(Logon(), 0u);
    const std::vector<std::string> ids = Walk();
    ASSERT_EQ(ids.size(), 2u);
    const char *const expected[] = {"after the unfolded line", "the real subject"};
    for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(expected[i]);
        EXPECT_EQ(Subject(ids[i]), expected[i]);
        lpMapiMessage m = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(ids[i].c_str()), MAPI_PEEK | MAPI_SUPPRESS_ATTACH, 0, &m), 0u);
        EXPECT_STREQ(m->lpszSubject, expected[i]);
        MAPIFreeBuffer(m);
    }
}

// A listing's attachment counts: from the structure the walk fetches with
// each header, kept in the cache, so a listing fetches no body; and the
// same count a read of the message hands out, for every message of the
// corpus of other programs' mail and for the usual shapes.
TEST_F(Imap, FileCountsComeWithTheWalkAndMatchTheRead)
{
    const std::string head = "From: ann@example.org\r\nSubject: shape\r\nMIME-Version: 1.0\r\n";
    auto part = [](const std::string &type, const std::string &more = "") {
        return "--b\r\nContent-Type: " + type + "\r\n" + more + "\r\nsome content\r\n";
    };
    const std::string shapes[] = {
        head + "\r\nplain\r\n",
        head + "Content-Type: text/html\r\n\r\n<p>html only</p>\r\n",
        head + "Content-Type: multipart/alternative; boundary=b\r\n\r\n" + part("text/plain") + part("text/html") +
            "--b--\r\n",
        head + "Content-Type: multipart/mixed; boundary=b\r\n\r\n" + part("text/plain") +
            part("text/plain", "Content-Disposition: attachment; filename=notes.txt\r\n") + part("image/png") +
            part("message/rfc822", "") + "--b--\r\n",
        head + "Content-Type: multipart/mixed; boundary=b\r\n\r\n" + part("application/pdf") + part("text/plain") +
            part("text/plain") + "--b--\r\n",
    };
    std::vector<std::string> messages(std::begin(shapes), std::end(shapes));
    for (const auto &file : fs::directory_iterator(fs::path(KELVRA_SOURCE_DIR) / "tests/provider/corpus"))
        messages.push_back(ReadFile(file.path()));
    for (const std::string &message : messages)
        Client("append", {"-", "-"}, message);

    std::vector<ULONG> first;
    for (const bool warm : {false, true}) {
        SCOPED_TRACE(warm ? "a new session, the cache warm" : "the first walk");
        ASSERT_EQ(Logon(), 0u);
        const std::vector<std::string> ids = Walk();
        ASSERT_EQ(ids.size(), messages.size());
        // Nothing is asked of the server, but on the first walk for the
        // corpus's oddities, whose structure a server may read otherwise:
        // those are read once.
        std::vector<ULONG> counts;
        for (size_t i = 0; i < ids.size(); ++i) {
            const std::uint64_t before = kelvra_provider::imap::ImapCommandCount();
            ULONG count = 99;
            EXPECT_EQ(KelvraMapiFileCount(session, S(ids[i].c_str()), &count), 0u);
            counts.push_back(count);
            if (warm || i < std::size(shapes)) {
                EXPECT_EQ(kelvra_provider::imap::ImapCommandCount(), before) << messages[i].substr(0, 400);
            }
        }
        if (warm) {
            EXPECT_EQ(counts, first);
            // The server's own account of the session, once it wrote it:
            // no body fetched.
            auto ended = [&] {
                const std::string log = dovecot->Log();
                size_t n = 0;
                for (size_t at = log.find("Logged out"); at != std::string::npos; at = log.find("Logged out", at + 1))
                    ++n;
                return std::pair{n, log.substr(std::min(log.size(), log.rfind("Logged out")))};
            };
            const size_t before = ended().first;
            MAPILogoff(session, 0, 0, 0);
            session = 0;
            for (int i = 0; i < 100 && ended().first == before; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_NE(ended().second.find(" body_count=0"), std::string::npos) << ended().second;
            break;
        }
        for (size_t i = 0; i < ids.size(); ++i) {
            lpMapiMessage m = nullptr;
            ASSERT_EQ(MAPIReadMail(session, 0, S(ids[i].c_str()), MAPI_PEEK | MAPI_SUPPRESS_ATTACH, 0, &m), 0u);
            EXPECT_EQ(counts[i], m->nFileCount) << messages[i].substr(0, 400);
            MAPIFreeBuffer(m);
        }
        first = counts;
    }
    // Without a walk before, and nothing kept: a few small commands, no body.
    ASSERT_EQ(Logon(), 0u);
    const std::vector<std::string> ids = Walk();
    fs::remove_all(home / "cache");
    ASSERT_EQ(Logon(), 0u);
    const std::uint64_t before = kelvra_provider::imap::ImapCommandCount();
    ULONG count = 99;
    EXPECT_EQ(KelvraMapiFileCount(session, S(ids.at(3).c_str()), &count), 0u);
    EXPECT_EQ(count, 3u); // notes.txt, the picture and the message
    EXPECT_LE(kelvra_provider::imap::ImapCommandCount() - before, 4u);
}
