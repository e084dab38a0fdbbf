// Envelope reads from the header block alone, and the persistent envelope
// cache: an envelope-only read shows what a read through GMime's whole
// message shows, and the cache is never trusted past a change of the file
// or of itself.
#include "Child.h"
#include "ProviderSession.h"

#include "message/Envelope.h"
#include "cache/EnvelopeCache.h"
#include "maildir/Maildir.h"
#include "message/Message.h"
#include "message/ReadRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <thread>

using namespace provider_test;

namespace {

std::string Text(const char *text) { return text != nullptr ? text : "(null)"; }

std::string Describe(const MapiRecipDesc &r)
{
    return std::to_string(r.ulRecipClass) + " " + Text(r.lpszName) + " <" + Text(r.lpszAddress) + "> " +
           std::string(static_cast<const char *>(r.lpEntryID), r.ulEIDSize);
}

// What an envelope-only record shows, as one text to compare.
std::string Describe(const MapiMessage &m)
{
    std::string out = "subject=" + Text(m.lpszSubject) + "\ntype=" + Text(m.lpszMessageType) +
                      "\nreceived=" + Text(m.lpszDateReceived) + "\nconversation=" + Text(m.lpszConversationID) +
                      "\nflags=" + std::to_string(m.flFlags) + "\nnote=" + Text(m.lpszNoteText) + "\n";
    if (m.lpOriginator != nullptr)
        out += "from=" + Describe(*m.lpOriginator) + "\n";
    for (ULONG i = 0; i < m.nRecipCount; ++i)
        out += "recip=" + Describe(m.lpRecips[i]) + "\n";
    return out;
}

class Envelopes : public Provider {
protected:
    // A message written as another program delivers it; its identifier.
    std::string Deliver(const std::string &text, const std::string &id)
    {
        WriteFile(mailbox / "tmp" / id, text);
        fs::rename(mailbox / "tmp" / id, mailbox / "cur" / (id + ":2,S"));
        return id;
    }

    std::string EnvelopeOf(const std::string &id, LHANDLE h = 0, ULONG flags = MAPI_ENVELOPE_ONLY)
    {
        lpMapiMessage m = nullptr;
        EXPECT_EQ(MAPIReadMail(h != 0 ? h : session, 0, S(id.c_str()), MAPI_PEEK | flags, 0, &m), 0u);
        if (m == nullptr)
            return {};
        const std::string out = Describe(*m);
        MAPIFreeBuffer(m);
        return out;
    }

    fs::path CacheFile() const
    {
        return kelvra_provider::EnvelopeCache::FileFor((home / "cache" / "kelvra").string(), mailbox.string());
    }

    // A second process walks the folder through a session of its own and
    // reports the envelopes it read.
    std::string WalkInChild()
    {
        int pipes[2];
        EXPECT_EQ(pipe(pipes), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(pipes[0]);
            LHANDLE h = 0;
            std::string out;
            if (MAPILogon(0, S("Work"), nullptr, 0, 0, &h) == 0) {
                for (const std::string &id : Walk(0, "IPM"))
                    out += EnvelopeOf(id, h);
                MAPILogoff(h, 0, 0, 0);
            }
            (void)!write(pipes[1], out.data(), out.size());
            _exit(0);
        }
        close(pipes[1]);
        std::string out;
        char buffer[4096];
        for (ssize_t n; (n = read(pipes[0], buffer, sizeof buffer)) > 0;)
            out.append(buffer, static_cast<size_t>(n));
        close(pipes[0]);
        WaitBounded(child, std::chrono::minutes(1));
        return out;
    }
};

// Header blocks whose fields are easy to get wrong: several To and Cc
// headers, groups, encoded words, folding, the conversation's sources in
// their order, the flags, an unterminated block, a blank continuation line,
// a message that starts with its blank line.
const char *const kHeaders[] = {
    "From: \"Ann Example\" <ann@example.org>\r\nTo: a@example.org, \"B, Bee\" <b@example.org>\r\n"
    "Cc: c@example.org\r\nTo: d@example.org\r\nCc: team: e@example.org, f@example.org;\r\n"
    "Bcc: g@example.org\r\nSubject: several\r\n\r\nbody\r\n",
    "From: =?utf-8?q?J=C3=BCrgen?= <j@example.org>\r\nSubject: =?iso-8859-1?q?caf=E9?= and\r\n =?utf-8?b?w7w=?=\r\n"
    "To: =?utf-8?q?M=C3=BCller?= <m@example.org>\r\n\r\n",
    "Subject: conversation\r\nX-Conversation-ID: conv-1\r\nReferences: <r1@x> <r2@x>\r\nMessage-ID: <own@x>\r\n\r\n",
    "Subject: references\r\nReferences: <r1@x>\r\n <r2@x>\r\nIn-Reply-To: <i@x>\r\nMessage-ID: <own@x>\r\n\r\n",
    "Subject: reply\r\nIn-Reply-To: <i@x>\r\nMessage-ID: <own@x>\r\n\r\n",
    "Subject: own\r\nMessage-ID:\r\n <own@x>\r\n\r\n",
    "Subject: flags\r\nDisposition-Notification-To: <ann@example.org>\r\nX-Unsent: 1\r\n"
    "X-Message-Class: IPM.Note.Custom\r\n\r\n",
    "subject: lower case\nfrom: x@example.org\nx-unsent: 0\nX-Message-Class:\n\tIPM.B\n  .C\n\nbody\n",
    "Subject: first\r\nSubject: second\r\nFrom: nobody\r\nFrom: second@example.org\r\n\r\n",
    "Subject: no blank line at all\r\nTo: a@example.org",
    "X-Message-Class: IPM.A\r\n \r\nSubject: after a blank continuation\r\n\r\n",
    "\r\nSubject: in the body\r\n",
    "\r\nSubject: in the body\r\n\r\nand a blank line later\r\n",
    "Subject: raw \xC3\xA9t\xC3\xA9 UTF-8\r\nTo: \"Jos\xC3\xA9\" <jose@example.org>\r\n\r\n",
    "To: undisclosed-recipients:;\r\nSubject: empty group\r\n\r\n",
};

} // namespace

TEST_F(Envelopes, TheHeaderBlockAloneShowsWhatTheWholeMessageShows)
{
    for (size_t i = 0; i < std::size(kHeaders); ++i) {
        const std::string id = Deliver(kHeaders[i], "1700000000.M" + std::to_string(i) + "P1Q1.test");
        const std::optional<kelvra_provider::StoredFile> entry = kelvra_provider::maildir::Maildir(mailbox.string()).Find(id);
        ASSERT_TRUE(entry);
        kelvra_provider::ReadOptions options;
        options.envelopeOnly = true;
        const std::string whole = Describe(kelvra_provider::ReadRecord(*entry, false, options)->Message());
        const int fd = open(entry->path.c_str(), O_RDONLY);
        const std::optional<std::string> header = kelvra_provider::ReadHeaderBlock(fd);
        close(fd);
        ASSERT_TRUE(header);
        const kelvra_provider::Envelope envelope = kelvra_provider::EnvelopeOfHeader(*header);
        EXPECT_EQ(Describe(kelvra_provider::EnvelopeRecord(*entry, envelope, false)->Message()), whole) << kHeaders[i];
        // And through the entry point, from the file and then from the cache.
        EXPECT_EQ(EnvelopeOf(id), whole);
        EXPECT_EQ(EnvelopeOf(id), whole);
    }
}

TEST_F(Envelopes, AHeaderBlockPastTheBoundIsReadWhole)
{
    const std::string id =
        Deliver("Subject: long\r\nX-Filler: " + std::string(300000, 'y') + "\r\nTo: late@example.org\r\n\r\nx", "1700000000.M1P1Q1.long");
    const std::string shown = EnvelopeOf(id);
    EXPECT_NE(shown.find("subject=long"), std::string::npos);
    EXPECT_NE(shown.find("late@example.org"), std::string::npos);
}

TEST_F(Envelopes, TheCacheIsTrustedOnlyForTheFileItWasReadFrom)
{
    const std::string id = Deliver("Subject: first\r\n\r\nx", "1700000000.M1P1Q1.test");
    EXPECT_NE(EnvelopeOf(id).find("subject=first"), std::string::npos);
    MAPILogoff(session, 0, 0, 0); // written to the database
    session = 0;
    ASSERT_TRUE(fs::exists(CacheFile()));
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    const fs::path file = Messages(mailbox).at(0);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    // Replaced by another program at the same size and time, to the
    // nanosecond: only the inode differs.
    WriteFile(mailbox / "tmp" / "other", "Subject: again\r\n\r\nx");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, (mailbox / "tmp" / "other").c_str(), times, 0);
    fs::rename(mailbox / "tmp" / "other", file);
    EXPECT_NE(EnvelopeOf(id).find("subject=again"), std::string::npos);
    // Changed in place (another size), against the Maildir rule: envelope
    // reads trust the entry of the name and inode until the message is read
    // whole, which takes the change for them too.
    WriteFile(file, "Subject: third time\r\n\r\nx");
    EXPECT_NE(EnvelopeOf(id).find("subject=again"), std::string::npos);
    EXPECT_NE(EnvelopeOf(id, 0, 0).find("subject=third time"), std::string::npos);
    EXPECT_NE(EnvelopeOf(id).find("subject=third time"), std::string::npos);
    // Changed in place at the same size: another modification time.
    struct timespec pause = {0, 20000000};
    nanosleep(&pause, nullptr);
    WriteFile(file, "Subject: third tim3\r\n\r\nx");
    EXPECT_NE(EnvelopeOf(id, 0, 0).find("subject=third tim3"), std::string::npos);
    EXPECT_NE(EnvelopeOf(id).find("subject=third tim3"), std::string::npos);
    // Renamed (a flag change elsewhere): another name, the same envelope.
    fs::rename(file, mailbox / "cur" / (id + ":2,FS"));
    EXPECT_NE(EnvelopeOf(id).find("subject=third tim3"), std::string::npos);
}

TEST_F(Envelopes, EachSessionReadsEightBitTextInItsOwnFallbackCharset)
{
    // Bytes that are not UTF-8: "Привет" in KOI8-R, "ðÒÉ×ÅÔ" in windows-1252.
    const std::string raw = "\xF0\xD2\xC9\xD7\xC5\xD4";
    const std::string id = Deliver("From: " + raw + " <a@example.org>\r\nSubject: " + raw + "\r\n\r\n" + raw + "\r\n",
                                   "1700000000.M1P1Q1.test");
    const std::string latin = "\xC3\xB0\xC3\x92\xC3\x89\xC3\x97\xC3\x85\xC3\x94";
    const std::string cyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    // Logged on after the fixture's session, on the same folder and cache.
    WriteFile(profiles, ReadFile(profiles) + "[Cyrillic]\nmailbox = Mail\nfallbackcharset = koi8-r\n");
    LHANDLE other = 0;
    ASSERT_EQ(MAPILogon(0, S("Cyrillic"), nullptr, 0, 0, &other), 0u);
    char found[513];
    // A walk's step, then the read that follows it; the same again from
    // the cache; then from the cache in the other order; then whole.
    for (const bool workFirst : {true, true, false}) {
        SCOPED_TRACE(workFirst);
        for (const LHANDLE h : workFirst ? std::vector<LHANDLE>{session, other} : std::vector<LHANDLE>{other, session}) {
            ASSERT_EQ(MAPIFindNext(h, 0, S(""), S(""), MAPI_LONG_MSGID, 0, found), 0u);
            const std::string shown = EnvelopeOf(id, h);
            const std::string &expected = h == session ? latin : cyrillic;
            EXPECT_NE(shown.find("subject=" + expected + "\n"), std::string::npos) << shown;
            EXPECT_NE(shown.find("from=0 " + expected + " <"), std::string::npos) << shown;
        }
        MAPILogoff(other, 0, 0, 0); // the cache written
        ASSERT_EQ(MAPILogon(0, S("Cyrillic"), nullptr, 0, 0, &other), 0u);
    }
    EXPECT_NE(EnvelopeOf(id, session, 0).find("note=" + latin), std::string::npos);
    EXPECT_NE(EnvelopeOf(id, other, 0).find("note=" + cyrillic), std::string::npos);
    // A name iconv does not know is the default's, with a line in the log.
    WriteFile(profiles, ReadFile(profiles) + "[Unknown]\nmailbox = Mail\nfallbackcharset = no-such-charset\n");
    LHANDLE unknown = 0;
    ASSERT_EQ(MAPILogon(0, S("Unknown"), nullptr, 0, 0, &unknown), 0u);
    EXPECT_NE(EnvelopeOf(id, unknown).find("subject=" + latin), std::string::npos);
    MAPILogoff(unknown, 0, 0, 0);
    MAPILogoff(other, 0, 0, 0);
}

TEST_F(Envelopes, TheCacheFilesAreTheUsersAloneWhateverTheUmask)
{
    const mode_t before = umask(022);
    const std::string id = Deliver("Subject: private\r\n\r\nx", "1700000000.M1P1Q1.test");
    const std::string expected = EnvelopeOf(id);
    auto open = [&] { // files others could read, by name
        std::string found;
        for (const auto &e : fs::directory_iterator(CacheFile().parent_path()))
            if ((fs::symlink_status(e.path()).permissions() & (fs::perms::group_all | fs::perms::others_all)) !=
                fs::perms::none)
                found += e.path().filename().string() + " ";
        return found;
    };
    EXPECT_EQ(WalkInChild(), expected);
    ASSERT_TRUE(fs::exists(CacheFile().string() + "-wal"));
    EXPECT_EQ(open(), "");
    // As an older version left them: made private again by the next process.
    for (const char *suffix : {"", "-wal", "-shm"})
        fs::permissions(CacheFile().string() + suffix, fs::perms::owner_read | fs::perms::owner_write |
                                                           fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(WalkInChild(), expected);
    EXPECT_EQ(open(), "");
    umask(before);
}

TEST_F(Envelopes, ACacheThatIsMissingDamagedOrOfAnotherVersionIsMadeAnewOrLeftAlone)
{
    const std::string id = Deliver("Subject: kept\r\nX-Message-Class: IPM.Kept\r\n\r\nx", "1700000000.M1P1Q1.test");
    const std::string expected = EnvelopeOf(id);
    auto again = [&] {
        MAPILogoff(session, 0, 0, 0);
        ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    };
    again();
    // Damaged: its first page overwritten.
    {
        std::fstream f(CacheFile(), std::ios::in | std::ios::out | std::ios::binary);
        f << std::string(4096, 'X');
    }
    fs::remove(CacheFile().string() + "-wal");
    fs::remove(CacheFile().string() + "-shm");
    // A new process (the index of this one knows the class already).
    EXPECT_EQ(WalkInChild(), expected);
    EXPECT_EQ(WalkInChild(), expected);
    EXPECT_EQ(EnvelopeOf(id), expected);
    // Truncated.
    again();
    fs::resize_file(CacheFile(), 100);
    EXPECT_EQ(WalkInChild(), expected);
    // Deleted: nothing is lost.
    fs::remove(CacheFile());
    EXPECT_EQ(WalkInChild(), expected);
    ASSERT_TRUE(fs::exists(CacheFile()));
    // Entries that lie (a subject changed in the database) are not what a
    // damaged file looks like; but an older layout is made anew, and a newer
    // one is neither used nor changed.
    auto setVersion = [&](int version) {
        const std::string command = "sqlite3 '" + CacheFile().string() + "' 'PRAGMA user_version=" +
                                    std::to_string(version) + "; UPDATE envelope SET subject=\"stale\";' 2>/dev/null";
        return std::system(command.c_str()) == 0;
    };
    if (!setVersion(0))
        GTEST_SKIP() << "no sqlite3 program here";
    EXPECT_EQ(WalkInChild(), expected); // layout 0 with tables: not ours, made anew
    ASSERT_TRUE(setVersion(2));
    EXPECT_EQ(WalkInChild(), expected); // a layout whose texts were decoded otherwise
    ASSERT_TRUE(setVersion(5));
    EXPECT_EQ(WalkInChild(), expected); // a layout whose header blocks ended at an unfolded line
    ASSERT_TRUE(setVersion(6));
    EXPECT_EQ(WalkInChild(), expected); // the layout before, which took prose for an unfolded line
    ASSERT_TRUE(setVersion(99));
    const auto before = fs::last_write_time(CacheFile());
    EXPECT_EQ(WalkInChild(), expected);
    EXPECT_EQ(fs::last_write_time(CacheFile()), before);
}

TEST_F(Envelopes, TheCacheCanBeMovedOrTurnedOff)
{
    // A folder of its own: the fixture's session keeps its cache where the
    // default says.
    WriteFile(profiles, ReadFile(profiles) + "[Moved]\nmailbox = Other\ncache = moved-cache\n"
                                             "[Off]\nmailbox = Other\ncache = off\n");
    const fs::path other = home / "Other";
    for (const char *sub : {"tmp", "new", "cur"})
        fs::create_directories(other / sub);
    WriteFile(other / "tmp" / "m", "Subject: s\r\n\r\nx");
    fs::rename(other / "tmp" / "m", other / "cur" / "1700000000.M1P1Q1.test:2,S");
    for (const char *profile : {"Moved", "Off"}) {
        LHANDLE h = 0;
        ASSERT_EQ(MAPILogon(0, S(profile), nullptr, 0, 0, &h), 0u);
        EXPECT_NE(EnvelopeOf("1700000000.M1P1Q1.test", h).find("subject=s"), std::string::npos);
        MAPILogoff(h, 0, 0, 0);
    }
    EXPECT_TRUE(fs::exists(kelvra_provider::EnvelopeCache::FileFor((home / "moved-cache").string(), other.string())));
    EXPECT_FALSE(fs::exists(kelvra_provider::EnvelopeCache::FileFor((home / "cache" / "kelvra").string(), other.string())));
}

TEST_F(Envelopes, WalkingAndDeliveringInTwoProcessesAtOnceStaysCorrect)
{
    for (int i = 0; i < 50; ++i)
        Deliver("Subject: before " + std::to_string(i) + "\r\n\r\nx", "1700000000.M" + std::to_string(i) + "P1Q1.a");
    const pid_t child = fork();
    if (child == 0) {
        // Delivers, replaces and removes while the parent walks.
        for (int i = 0; i < 200; ++i) {
            const std::string id = "1700000001.M" + std::to_string(i) + "P2Q1.b";
            Deliver("Subject: during " + std::to_string(i) + "\r\n\r\nx", id);
            if (i % 3 == 0)
                Deliver("Subject: replaced " + std::to_string(i) + "\r\n\r\nx", id);
        }
        _exit(0);
    }
    for (int round = 0; round < 20; ++round) {
        for (const std::string &id : Walk(0, "IPM")) {
            lpMapiMessage m = nullptr;
            const ULONG rc = MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK | MAPI_ENVELOPE_ONLY, 0, &m);
            if (rc == MAPI_E_INVALID_MESSAGE)
                continue; // replaced between the step and the read: that is allowed
            ASSERT_EQ(rc, 0u);
            const std::string subject = m->lpszSubject;
            MAPIFreeBuffer(m);
            EXPECT_TRUE(subject.rfind("before ", 0) == 0 || subject.rfind("during ", 0) == 0 ||
                        subject.rfind("replaced ", 0) == 0)
                << subject;
        }
    }
    WaitBounded(child, std::chrono::minutes(1));
    // Afterwards every envelope is the one of the file as it is now, in this
    // process and in a new one.
    std::string expected;
    for (const std::string &id : Walk(0, "IPM")) {
        const std::optional<kelvra_provider::StoredFile> entry = kelvra_provider::maildir::Maildir(mailbox.string()).Find(id);
        kelvra_provider::ReadOptions options;
        options.envelopeOnly = true;
        const std::string whole = Describe(kelvra_provider::ReadRecord(*entry, false, options)->Message());
        EXPECT_EQ(EnvelopeOf(id), whole);
        expected += whole;
    }
    MAPILogoff(session, 0, 0, 0);
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    EXPECT_EQ(WalkInChild(), expected);
}

TEST_F(Envelopes, EntriesReadAheadAreTrustedOnlyForTheirFilesToo)
{
    // More messages than one read ahead of the cache brings, cached by a
    // first walk in another process.
    std::vector<std::string> ids;
    for (int i = 0; i < 300; ++i)
        ids.push_back(Deliver("Subject: message " + std::to_string(i) + "\r\nTo: r" + std::to_string(i) +
                                  "@example.org, s@example.org\r\n\r\nx",
                              "1700000000.M" + std::to_string(1000 + i) + "P1Q1.test"));
    auto expected = [&] {
        std::string out;
        for (const std::string &id : Walk(0, "IPM")) {
            const std::optional<kelvra_provider::StoredFile> entry = kelvra_provider::maildir::Maildir(mailbox.string()).Find(id);
            kelvra_provider::ReadOptions options;
            options.envelopeOnly = true;
            out += Describe(kelvra_provider::ReadRecord(*entry, false, options)->Message());
        }
        return out;
    };
    const std::string before = expected();
    EXPECT_EQ(WalkInChild(), before);
    EXPECT_EQ(WalkInChild(), before); // from the cache, read ahead
    // Some replaced under the same name (another file), some gone, some
    // new: each of those is read from its file, the rest still from the
    // cache.
    for (int i = 0; i < 300; i += 7) {
        WriteFile(mailbox / "tmp" / "replacement", "Subject: changed " + std::to_string(i) + "\r\n\r\nx");
        fs::rename(mailbox / "tmp" / "replacement", mailbox / "cur" / (ids[i] + ":2,S"));
    }
    fs::remove(mailbox / "cur" / (ids[10] + ":2,S"));
    fs::remove(mailbox / "cur" / (ids[11] + ":2,S"));
    Deliver("Subject: new\r\nCc: c@example.org\r\n\r\nx", "1700000000.M1010aP1Q1.test");
    const std::string after = expected();
    EXPECT_NE(after, before);
    EXPECT_EQ(WalkInChild(), after);
    EXPECT_EQ(WalkInChild(), after);
}

TEST_F(Envelopes, FilesReadAheadOfAWalkAreTrustedOnlyForTheirFiles)
{
    WriteFile(profiles, ReadFile(profiles) + "[Off]\nmailbox = Mail\ncache = off\n");
    LHANDLE off = 0;
    ASSERT_EQ(MAPILogon(0, S("Off"), nullptr, 0, 0, &off), 0u);
    std::vector<std::string> ids;
    for (int i = 0; i < 300; ++i)
        ids.push_back(Deliver(std::string(i % 9 == 4 ? "X-Message-Class: IPC.Skip\r\n" : "") + "Subject: message " +
                                  std::to_string(i) + "\r\n\r\nx",
                              "1700000000.M" + std::to_string(1000 + i) + "P1Q1.test"));
    // Walks with reads, as the components do; `meanwhile` acts after the
    // first step, when the files after it have been read ahead.
    auto walk = [&](const std::function<void()> &meanwhile) {
        std::map<std::string, std::string> subjects;
        std::string seed;
        char buffer[513];
        while (MAPIFindNext(off, 0, S("IPM"), seed.data(), MAPI_LONG_MSGID, 0, buffer) == 0) {
            seed = buffer;
            if (subjects.empty())
                meanwhile();
            lpMapiMessage m = nullptr;
            EXPECT_EQ(MAPIReadMail(off, 0, S(seed.c_str()), MAPI_PEEK | MAPI_ENVELOPE_ONLY, 0, &m), 0u) << seed;
            if (m != nullptr)
                subjects[seed] = m->lpszSubject;
            MAPIFreeBuffer(m);
        }
        return subjects;
    };
    auto shown = walk([] {});
    ASSERT_EQ(shown.size(), 300u - 300u / 9 - (300 % 9 > 4 ? 1 : 0));
    EXPECT_EQ(shown[ids[7]], "message 7");
    EXPECT_EQ(shown.count(ids[13]), 0u);
    // Changed in place after it was read ahead: the read sees the change.
    shown = walk([&] { WriteFile(mailbox / "cur" / (ids[60] + ":2,S"), "Subject: changed in place\r\n\r\nx"); });
    EXPECT_EQ(shown[ids[60]], "changed in place");
    // Replaced, removed and delivered after the read ahead: the walk sees
    // the folder as it is now.
    shown = walk([&] {
        WriteFile(mailbox / "tmp" / "other", "X-Message-Class: IPC.Skip\r\nSubject: replaced\r\n\r\nx");
        fs::rename(mailbox / "tmp" / "other", mailbox / "cur" / (ids[70] + ":2,S"));
        WriteFile(mailbox / "tmp" / "third", "Subject: now ordinary\r\n\r\nx");
        fs::rename(mailbox / "tmp" / "third", mailbox / "cur" / (ids[76] + ":2,S"));
        fs::remove(mailbox / "cur" / (ids[80] + ":2,S"));
        Deliver("Subject: late\r\n\r\nx", "1700000000.M1200aP1Q1.test");
        // A walk under way looks at the folder again at most every tenth of
        // a second: past that, it sees what changed.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    });
    EXPECT_EQ(shown.count(ids[70]), 0u);
    EXPECT_EQ(shown[ids[76]], "now ordinary");
    EXPECT_EQ(shown.count(ids[80]), 0u);
    EXPECT_EQ(shown["1700000000.M1200aP1Q1.test"], "late");
    MAPILogoff(off, 0, 0, 0);
}

TEST_F(Envelopes, AProcessForkedWhileFilesAreReadAheadWalksOnItsOwn)
{
    // A folder no walk has seen: its first step reads the first stretch and
    // leaves the next one being read by a thread of its own.
    const fs::path fresh = home / "Fresh";
    for (const char *sub : {"tmp", "new", "cur"})
        fs::create_directories(fresh / sub);
    for (int i = 0; i < 600; ++i)
        WriteFile(fresh / "cur" / ("1700000000.M" + std::to_string(1000 + i) + "P1Q1.test:2,S"),
                  std::string(i % 3 == 1 ? "X-Message-Class: IPC.Skip\r\n" : "") + "Subject: message " + std::to_string(i) +
                      "\r\n\r\nx");
    WriteFile(profiles, ReadFile(profiles) + "[Fresh]\nmailbox = " + fresh.string() + "\ncache = off\n");
    LHANDLE h = 0;
    ASSERT_EQ(MAPILogon(0, S("Fresh"), nullptr, 0, 0, &h), 0u);
    auto walk = [&](std::string seed) {
        std::vector<std::string> ids;
        char buffer[513];
        while (MAPIFindNext(h, 0, S("IPM"), seed.data(), MAPI_LONG_MSGID, 0, buffer) == 0)
            ids.push_back(seed = buffer);
        return ids;
    };
    std::vector<std::string> expected;
    for (int i = 0; i < 600; ++i)
        if (i % 3 != 1) // the first message of the second stretch among them
            expected.push_back("1700000000.M" + std::to_string(1000 + i) + "P1Q1.test");
    char first[513];
    ASSERT_EQ(MAPIFindNext(h, 0, S("IPM"), S(""), MAPI_LONG_MSGID, 0, first), 0u);
    ASSERT_EQ(std::string(first), expected.front());
    const pid_t child = fork();
    if (child == 0) {
        std::vector<std::string> ids = walk(first);
        ids.insert(ids.begin(), first);
        _exit(ids == expected ? 0 : 1);
    }
    const int status = WaitBounded(child, std::chrono::minutes(1));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> ids = walk(first);
    ids.insert(ids.begin(), first);
    EXPECT_EQ(ids, expected);
    MAPILogoff(h, 0, 0, 0);
}

TEST_F(Envelopes, AWalkThatSeesTheWholeFolderPrunesTheCacheOfMessagesGone)
{
    for (int i = 0; i < 3; ++i)
        Deliver("Subject: s" + std::to_string(i) + "\r\n\r\nx", "1700000000.M" + std::to_string(i) + "P1Q1.test");
    EXPECT_EQ(Walk().size(), 3u);
    MAPILogoff(session, 0, 0, 0); // the cache written
    session = 0;
    // Another program removes two.
    fs::remove(mailbox / "cur" / "1700000000.M0P1Q1.test:2,S");
    fs::remove(mailbox / "cur" / "1700000000.M2P1Q1.test:2,S");
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    EXPECT_EQ(Walk(0, "IPM").size(), 1u); // to the end, classes and all
    MAPILogoff(session, 0, 0, 0);
    session = 0;
    const auto cache = kelvra_provider::EnvelopeCache::Open((home / "cache" / "kelvra").string(), mailbox.string());
    ASSERT_NE(cache, nullptr);
    EXPECT_FALSE(cache->Entry("1700000000.M0P1Q1.test"));
    EXPECT_TRUE(cache->Entry("1700000000.M1P1Q1.test"));
    EXPECT_FALSE(cache->Entry("1700000000.M2P1Q1.test"));
}

TEST_F(Envelopes, WithoutACacheAWalkTakesClassesAndTheReadsAfterItWholeEnvelopes)
{
    // With no cache to keep envelopes in, a walk reads each header block for
    // its class alone; the envelope read that follows still shows it all.
    WriteFile(profiles, ReadFile(profiles) + "[Off]\nmailbox = Mail\ncache = off\n");
    MAPILogoff(session, 0, 0, 0);
    ASSERT_EQ(MAPILogon(0, S("Off"), nullptr, 0, 0, &session), 0u);
    std::vector<std::string> ordinary;
    for (int i = 0; i < 300; ++i) {
        const std::string id = "1700000000.M" + std::to_string(1000 + i) + "P1Q1.off";
        if (i % 3 == 0) {
            Deliver("X-Message-Class: IPC.Other\r\nSubject: other\r\n\r\nx", id);
        } else {
            Deliver("From: =?utf-8?q?J=C3=B6rg?= <j@example.org>\r\nTo: r" + std::to_string(i) +
                        "@example.org\r\nSubject: note " + std::to_string(i) + "\r\n\r\nx",
                    id);
            ordinary.push_back(id);
        }
    }
    ASSERT_EQ(Walk(0, "IPM"), ordinary);
    ASSERT_EQ(Walk(0, "IPC").size(), 100u);
    std::string seed;
    char found[513];
    size_t n = 0;
    while (MAPIFindNext(session, 0, S("IPM"), seed.data(), MAPI_LONG_MSGID, 0, found) == 0) {
        seed = found;
        const std::string shown = EnvelopeOf(seed);
        const std::string i = seed.substr(12, 4); // 1000 + i
        const std::string number = std::to_string(std::stoi(i) - 1000);
        EXPECT_NE(shown.find("subject=note " + number + "\n"), std::string::npos) << shown;
        EXPECT_NE(shown.find("J\xC3\xB6rg"), std::string::npos) << shown;
        EXPECT_NE(shown.find("r" + number + "@example.org"), std::string::npos) << shown;
        ++n;
    }
    EXPECT_EQ(n, ordinary.size());
}
