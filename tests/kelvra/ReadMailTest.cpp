#include "FakeMapiCalls.h"

#include "host/FormFile.h"
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

using kelvra::EKelvraError;
using kelvra::TFindFlag;
using kelvra::TKelvraReadMail;
using kelvra::TMessageFlag;
using kelvra::TReadFlag;
using kelvra::TReadMailState;
using kelvra::TRecipientType;
namespace fs = std::filesystem;

namespace {

// A message record for the fake to hand out; the texts are copied.
struct Message {
    MapiMessage record{};
    MapiRecipDesc originator{};
    std::vector<MapiRecipDesc> recips;
    std::vector<MapiFileDesc> files;
    std::vector<std::string> paths;

    explicit Message(const char *subject = "Subject", const char *type = nullptr)
    {
        record.lpszSubject = const_cast<char *>(subject);
        record.lpszMessageType = const_cast<char *>(type);
    }
    Message &Recip(ULONG cls, const char *name, const char *address)
    {
        recips.push_back(fake::Recip(cls, name, address));
        return *this;
    }
    Message &File(const std::string &path, const char *name)
    {
        paths.push_back(path);
        MapiFileDesc f{};
        f.lpszFileName = const_cast<char *>(name);
        files.push_back(f);
        return *this;
    }
    void Queue()
    {
        for (size_t i = 0; i < files.size(); ++i)
            files[i].lpszPathName = paths[i].empty() ? nullptr : paths[i].data();
        record.nRecipCount = static_cast<ULONG>(recips.size());
        record.lpRecips = recips.empty() ? nullptr : recips.data();
        record.nFileCount = static_cast<ULONG>(files.size());
        record.lpFiles = files.empty() ? nullptr : files.data();
        FakeMapi_QueueReadMessage(&record);
    }
};

void Touch(const fs::path &p) { std::ofstream(p) << "x"; }

// Points the system's temporary folder at `folder` while it lives.
class ScopedTempFolder {
public:
    explicit ScopedTempFolder(const fs::path &folder)
    {
#if defined(_WIN32)
        saved_ = Get(L"TMP");
        SetEnvironmentVariableW(L"TMP", folder.wstring().c_str());
#else
        const char *old = std::getenv("TMPDIR");
        had_ = old != nullptr;
        saved_ = had_ ? old : "";
        setenv("TMPDIR", folder.c_str(), 1);
#endif
    }
    ~ScopedTempFolder()
    {
#if defined(_WIN32)
        SetEnvironmentVariableW(L"TMP", saved_.empty() ? nullptr : saved_.c_str());
#else
        if (had_)
            setenv("TMPDIR", saved_.c_str(), 1);
        else
            unsetenv("TMPDIR");
#endif
    }

private:
#if defined(_WIN32)
    static std::wstring Get(const wchar_t *name)
    {
        wchar_t buffer[32768];
        const DWORD len = GetEnvironmentVariableW(name, buffer, 32768);
        return len > 0 && len < 32768 ? std::wstring(buffer, len) : std::wstring();
    }
    std::wstring saved_;
#else
    bool had_ = false;
    std::string saved_;
#endif
};

using ReadMail = fake::FakeMapiTest;

} // namespace

TEST_F(ReadMail, FindsWithTheFilterAsTypeAndAnEmptySeedAndReadsWhatItFinds)
{
    TKelvraReadMail mail;
    mail.SetFindFlags({TFindFlag::ffFifo, TFindFlag::ffUnreadOnly});
    mail.SetReadFlags({TReadFlag::rfPeek, TReadFlag::rfEnvelopeOnly});
    mail.SetMessageTypeFilter(u"IPM.Test");
    FakeMapi_QueueFoundId("id-1");
    Message("One").Queue();
    ASSERT_TRUE(mail.First());
    EXPECT_EQ(mail.State(), TReadMailState::Held);
    EXPECT_EQ(mail.GetMessageID(), u"id-1");
    EXPECT_EQ(mail.GetSubject(), u"One");

    const auto calls = fake::Calls();
    ASSERT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIFindNext", "MAPIReadMail"}));
    EXPECT_EQ(calls[0].Text("type"), "IPM.Test");
    EXPECT_EQ(calls[0].Text("seed"), "");
    EXPECT_EQ(calls[0].Num("flags"), 0x4120u);
    EXPECT_EQ(calls[0].Num("session"), 0u);
    EXPECT_EQ(calls[1].Text("id"), "id-1");
    EXPECT_EQ(calls[1].Num("flags"), 0xC0u);
    EXPECT_EQ(mail.MapiReadFlags(), 0xC0u);
    Message("Again").Queue();
    mail.SetReadFlags({TReadFlag::rfBodyAsFile, TReadFlag::rfSuppressAttach});
    EXPECT_EQ(mail.MapiReadFlags(), 0xA00u);
}

TEST_F(ReadMail, WalksToTheEndAndStartsOverWithoutRaising)
{
    TKelvraReadMail mail;
    FakeMapi_QueueResult("MAPIFindNext", MAPI_E_NO_MESSAGES);
    EXPECT_FALSE(mail.First()); // an empty mailbox
    EXPECT_EQ(mail.GetMessageID(), u"");
    EXPECT_EQ(mail.State(), TReadMailState::NoMessage);

    FakeMapi_Reset();
    for (const char *id : {"A", "B"}) {
        FakeMapi_QueueFoundId(id);
        Message(id).Queue();
    }
    FakeMapi_QueueResult("MAPIFindNext", 0);
    FakeMapi_QueueResult("MAPIFindNext", 0);
    FakeMapi_QueueResult("MAPIFindNext", MAPI_E_NO_MESSAGES);
    EXPECT_TRUE(mail.Next()); // nothing selected: the first
    EXPECT_TRUE(mail.Next());
    EXPECT_EQ(mail.GetSubject(), u"B");
    EXPECT_FALSE(mail.Next());
    EXPECT_EQ(mail.State(), TReadMailState::NoMessage);
    EXPECT_EQ(mail.GetSubject(), u"");

    std::vector<std::string> seeds;
    for (const auto &c : fake::Calls())
        if (c.function == "MAPIFindNext")
            seeds.push_back(*c.Text("seed"));
    EXPECT_EQ(seeds, (std::vector<std::string>{"", "A", "B"}));
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIFindNext", "MAPIReadMail", "MAPIFindNext",
                                                           "MAPIFreeBuffer", "MAPIReadMail", "MAPIFindNext",
                                                           "MAPIFreeBuffer"}));
    FakeMapi_QueueFoundId("A");
    Message("A").Queue();
    EXPECT_TRUE(mail.Next()); // starts over
    EXPECT_EQ(fake::Last("MAPIFindNext").Text("seed"), "");
}

TEST_F(ReadMail, AnIdentifierFillingTheWholeBufferIsTakenWhole)
{
    TKelvraReadMail mail;
    const std::string full(514, 'x'); // no zero byte anywhere in the buffer
    FakeMapi_QueueFoundIdBytes(full.data(), full.size());
    host::AnsiString found;
    EXPECT_TRUE(mail.NextMessageID("seed", "", found));
    EXPECT_EQ(found, full);
    FakeMapi_QueueResult("MAPIFindNext", MAPI_E_INVALID_MESSAGE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.NextMessageID("gone", "", found); }), 17);
}

TEST_F(ReadMail, MessageCountWalksWithTheHeldMessagesTypeAndMovesNothing)
{
    TKelvraReadMail mail;
    EXPECT_EQ(mail.MessageCount(), 0); // an empty mailbox
    FakeMapi_Reset();
    mail.SetMessageTypeFilter(u"IPM.Filter");
    FakeMapi_QueueFoundId("m1");
    Message("Held", "IPM.Held").Queue();
    ASSERT_TRUE(mail.First());
    FakeMapi_ClearCalls();
    for (const char *id : {"m1", "m2", "m3"})
        FakeMapi_QueueFoundId(id);
    for (int i = 0; i < 3; ++i)
        FakeMapi_QueueResult("MAPIFindNext", 0);
    FakeMapi_QueueResult("MAPIFindNext", MAPI_E_NO_MESSAGES);
    EXPECT_EQ(mail.MessageCount(), 3);
    std::vector<std::string> seeds;
    for (const auto &c : fake::Calls()) {
        EXPECT_EQ(c.function, "MAPIFindNext");
        EXPECT_EQ(c.Text("type"), "IPM.Held");
        seeds.push_back(*c.Text("seed"));
    }
    EXPECT_EQ(seeds, (std::vector<std::string>{"", "m1", "m2", "m3"}));
    EXPECT_EQ(mail.GetMessageID(), u"m1");
    EXPECT_EQ(mail.GetSubject(), u"Held");
}

TEST_F(ReadMail, ChangesThatMatterReReadAndOthersDoNot)
{
    TKelvraReadMail mail;
    mail.SetReadFlags({TReadFlag::rfPeek}); // nothing selected: stored only
    mail.SetMessageTypeFilter(u"IPM.A");
    EXPECT_TRUE(fake::Calls().empty());

    Message().Queue();
    mail.SetMessageID(u"id");
    mail.SetMessageID(u"id"); // unchanged: no read
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"MAPIReadMail"});

    FakeMapi_ClearCalls();
    Message().Queue();
    Message().Queue();
    mail.SetReadFlags({TReadFlag::rfPeek});
    mail.SetReadFlags({TReadFlag::rfEnvelopeOnly});
    mail.SetMessageTypeFilter(u"IPM.A");
    mail.SetMessageTypeFilter(u"IPM.B");
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIFreeBuffer", "MAPIReadMail", "MAPIFreeBuffer",
                                                           "MAPIReadMail"}));
    EXPECT_EQ(fake::Calls()[1].Num("flags"), 0x40u);

    mail.SetMessageID(u"");
    EXPECT_EQ(mail.State(), TReadMailState::NoMessage);
    EXPECT_EQ(fake::Last("MAPIFreeBuffer").Raw("block"), "known");
}

TEST_F(ReadMail, TheRecordIsReleasedOnceOnEveryPath)
{
    TKelvraReadMail mail;
    // The platform succeeds but returns no record.
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.SetMessageID(u"ghost"); }), -1);
    EXPECT_EQ(mail.State(), TReadMailState::SelectedNotHeld);

    // A failing read leaves the identifier selected and nothing held.
    FakeMapi_QueueResult("MAPIReadMail", MAPI_E_INVALID_MESSAGE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.SetMessageID(u"bad"); }), 17);
    EXPECT_EQ(mail.GetMessageID(), u"bad");
    EXPECT_EQ(mail.State(), TReadMailState::SelectedNotHeld);

    // A failing release still lets go of the record.
    Message().Queue();
    mail.SetMessageID(u"ok");
    FakeMapi_QueueResult("MAPIFreeBuffer", MAPI_E_FAILURE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.FreeMapiMessage(); }), 2);
    EXPECT_EQ(mail.GetMapiMessage(), nullptr);
    mail.FreeMapiMessage(); // nothing left to free
    EXPECT_EQ(FakeMapi_BlocksHandedOut(), 1u);

    // Destroyed while holding one: released then too.
    {
        TKelvraReadMail other;
        Message().Queue();
        other.SetMessageID(u"held");
    }
    EXPECT_EQ(FakeMapi_BlocksHandedOut(), 2u);
}

TEST_F(ReadMail, TemporaryFilesAreDeletedOnlyInsideTheTemporaryFolder)
{
    // A temporary folder of the test's own, and a "home" beside it.
    const fs::path base = fs::temp_directory_path() / ("kelvra-readmail-" + std::to_string(getpid()));
    const fs::path temp = base / "tmp";
    const fs::path home = base / "home";
    fs::create_directories(temp / "sub");
    fs::create_directories(home);
    ScopedTempFolder scoped(temp);

    const fs::path copy = temp / "copy.txt";
    const fs::path outside = home / "letter.txt";
    const fs::path bare = "kelvra-bare.txt";           // no folder part
    const fs::path inward = temp / "sub" / ".." / "inward.txt"; // ".." that stays inside
    const fs::path detour = temp / ".." / "home" / "letter.txt"; // ".." that leads out

    struct {
        kelvra::TReadFlags flags;
        bool deleted;
    } rows[] = {
        {{}, true},
        {{TReadFlag::rfSuppressAttach}, false}, // the platform wrote no files
        {{TReadFlag::rfSuppressAttach, TReadFlag::rfBodyAsFile}, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.flags.Bits());
        for (const fs::path &p : {copy, outside, bare, fs::path(temp / "inward.txt")})
            Touch(p);
        TKelvraReadMail mail;
        mail.SetReadFlags(row.flags);
        Message m;
        m.File(copy.string(), "report.txt").File(outside.string(), nullptr).File(bare.string(), nullptr)
            .File("", "x").File(detour.string(), nullptr).File(inward.string(), nullptr);
        m.Queue();
        mail.SetMessageID(u"with-files");
        mail.FreeMapiMessage();
        EXPECT_EQ(!fs::exists(copy), row.deleted);
        EXPECT_EQ(!fs::exists(temp / "inward.txt"), row.deleted);
        EXPECT_TRUE(fs::exists(outside)); // a file of the user's, however named
        EXPECT_TRUE(fs::exists(bare));
    }
    fs::remove(bare);
    fs::remove_all(base);
}

TEST_F(ReadMail, ALinkOutOfTheTemporaryFolderOrATemporaryFolderAtTheRootDeletesNothing)
{
    // A link inside the temporary folder that leads to the user's folder:
    // made here, or (where the system cannot make one, as under Wine) made
    // beforehand by the test run and named in KELVRA_LINKED_TEMP.
    fs::path base = fs::temp_directory_path() / ("kelvra-readmail-link-" + std::to_string(getpid()));
    bool ours = true;
    std::error_code linked;
    fs::create_directories(base / "tmp");
    fs::create_directories(base / "home");
    fs::create_directory_symlink(base / "home", base / "tmp" / "link", linked);
    if (linked) {
        fs::remove_all(base);
        const char *prepared = std::getenv("KELVRA_LINKED_TEMP");
        if (prepared == nullptr)
            GTEST_SKIP() << "no directory links here: " << linked.message();
        base = fs::path(prepared).parent_path();
        ours = false;
    }
    const fs::path temp = base / "tmp";
    const fs::path home = base / "home";
    const fs::path letter = home / "letter.txt";
    struct {
        fs::path tempFolder;
        fs::path file;
    } rows[] = {
        {temp, temp / "link" / "letter.txt"},
        {temp.root_path(), letter}, // the temporary folder is the root itself
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file.string());
        Touch(letter);
        ScopedTempFolder scoped(row.tempFolder);
        TKelvraReadMail mail;
        Message m;
        m.File(row.file.string(), nullptr);
        m.Queue();
        mail.SetMessageID(u"with-a-link");
        mail.FreeMapiMessage();
        EXPECT_TRUE(fs::exists(letter));
    }
    if (ours) {
        fs::remove(temp / "link");
        fs::remove_all(base);
    }
}

TEST_F(ReadMail, ContentReadsEmptyWithoutARecordAndSettersChangeNothing)
{
    TKelvraReadMail mail;
    mail.SetSubject(u"x");
    mail.SetBodyText(u"x");
    mail.SetMessageFlags({TMessageFlag::mfSent});
    mail.SetOriginatorName(u"x");
    EXPECT_EQ(mail.GetSubject(), u"");
    EXPECT_EQ(mail.GetBodyText(), u"");
    EXPECT_EQ(mail.GetBody().Count(), 0u);
    EXPECT_EQ(mail.GetMessageFlags(), kelvra::TMessageFlags{});
    EXPECT_EQ(mail.GetFiles(), u"");
    EXPECT_EQ(mail.GetRecipients(), u"");
    EXPECT_EQ(mail.GetFileCount(), 0u);
    EXPECT_EQ(mail.GetRecipientCount(), 0u);
    EXPECT_EQ(mail.GetRecipientType(0), TRecipientType::rtOriginator);
    EXPECT_EQ(mail.GetOriginatorAddress(), u"");
}

TEST_F(ReadMail, ContentIsReadFromTheRecordWithTheListFallBacks)
{
    TKelvraReadMail mail;
    Message m("Hello");
    m.record.lpszNoteText = const_cast<char *>("line 1\r\nline 2\rline 3\n");
    m.record.lpszDateReceived = const_cast<char *>("2026/12/07 09:30");
    m.record.flFlags = MAPI_SENT | MAPI_RECEIPT_REQUESTED | 0x100;
    m.Recip(MAPI_TO, "Ann", "ann@x.org").Recip(MAPI_CC, "", "bob@x.org").Recip(MAPI_BCC, nullptr, nullptr)
        .Recip(MAPI_ORIG, "Me", "me@x.org").Recip(7, "Odd", nullptr);
    m.File("/tmp/kelvra-none/a.txt", "a.txt").File("/tmp/kelvra-none/b", "").File("", nullptr);
    m.Queue();
    mail.SetMessageID(u"content");

    EXPECT_EQ(mail.GetBody().Lines(), (std::vector<host::String>{u"line 1", u"line 2", u"line 3"}));
    EXPECT_EQ(mail.GetDateReceived(), u"2026/12/07 09:30");
    EXPECT_EQ(mail.GetRecipients(), u"Ann;bob@x.org;Me;Odd");
    EXPECT_EQ(mail.GetFiles(), u"a.txt;/tmp/kelvra-none/b");
    EXPECT_EQ(mail.GetRecipientCount(), 5u);
    const TRecipientType types[] = {TRecipientType::rtTo, TRecipientType::rtCc, TRecipientType::rtBcc,
                                    TRecipientType::rtOriginator, TRecipientType::rtOriginator,
                                    TRecipientType::rtOriginator};
    for (std::uint32_t i = 0; i < 6; ++i)
        EXPECT_EQ(mail.GetRecipientType(i), types[i]) << i;
    EXPECT_EQ(mail.GetPathName(99), u"");
    EXPECT_EQ(mail.GetMessageFlags(), (kelvra::TMessageFlags{TMessageFlag::mfSent, TMessageFlag::mfReceiptRequested}));

    // Only the three flag bits change; the platform's own bits stay.
    mail.SetMessageFlags({TMessageFlag::mfUnread});
    EXPECT_EQ(mail.GetMapiMessage()->flFlags, 0x101u);

    // No originator entry: its setters change nothing.
    mail.SetOriginatorName(u"Someone");
    EXPECT_EQ(mail.GetOriginatorName(), u"");
    mail.FreeMapiMessage();
}

TEST_F(ReadMail, EditsLiveInTheRecordUntilSavedAndAreGoneAfterARead)
{
    TKelvraReadMail mail;
    Message m("Old");
    MapiRecipDesc originator{};
    originator.lpszName = const_cast<char *>("Sender");
    m.record.lpOriginator = &originator;
    m.Queue();
    mail.SetMessageID(u"msg");

    mail.SetSubject(u"First edit");
    mail.SetSubject(u"New subject"); // the first copy is released, the record repointed
    mail.SetBody(host::TStringList{u"x"});
    EXPECT_EQ(mail.GetBodyText(), u"x");
    mail.SetMessageType(u"");
    mail.SetOriginatorName(u"Me");
    mail.SetOriginatorAddress(u"me@x.org");
    mail.SetConversationID(u"conv");
    mail.SetDateReceived(u"2026/01/01 00:00");
    mail.Save();

    const fake::Call save = fake::Last("MAPISaveMail");
    EXPECT_EQ(save.Text("msg.subject"), "New subject");
    EXPECT_EQ(save.Text("msg.noteText"), "x");
    EXPECT_EQ(save.Text("msg.messageType"), ""); // empty, not null
    EXPECT_EQ(save.Text("msg.originator.name"), "Me");
    EXPECT_EQ(save.Text("msg.originator.address"), "me@x.org");
    EXPECT_EQ(save.Text("msg.conversationID"), "conv");
    EXPECT_EQ(save.Text("id"), "msg");
    EXPECT_EQ(save.Num("flags"), 0x4000u);
    EXPECT_EQ(mail.GetMessageID(), u"msg");

    FakeMapi_QueueFoundId("next");
    Message("Next").Queue();
    mail.Next();
    EXPECT_EQ(mail.GetSubject(), u"Next");
}

TEST_F(ReadMail, ARecordReadWithoutItsBodyOrAttachmentsIsNotSaved)
{
    for (TReadFlag flag : {TReadFlag::rfEnvelopeOnly, TReadFlag::rfSuppressAttach, TReadFlag::rfBodyAsFile}) {
        SCOPED_TRACE(static_cast<int>(flag));
        FakeMapi_Reset();
        TKelvraReadMail mail;
        mail.SetReadFlags({flag, TReadFlag::rfPeek});
        Message().Queue();
        mail.SetMessageID(u"partial");
        mail.SetSubject(u"edited");
        FakeMapi_ClearCalls();
        try {
            mail.Save();
            ADD_FAILURE() << "no exception";
        } catch (const EKelvraError &e) {
            EXPECT_EQ(e.ErrorCode, 0);
            EXPECT_NE(std::string(e.what()).find("Read it again without those flags"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(fake::Calls().empty()); // the platform never saw it
        // Read again whole, it saves.
        Message().Queue();
        mail.SetReadFlags({TReadFlag::rfPeek});
        mail.SetSubject(u"edited");
        mail.Save();
        EXPECT_EQ(fake::Last("MAPISaveMail").Text("msg.subject"), "edited");
    }
    // The body lines are a copy: editing them changes nothing.
    TKelvraReadMail mail;
    Message m;
    m.record.lpszNoteText = const_cast<char *>("one\r\ntwo");
    m.Queue();
    mail.SetMessageID(u"lines");
    host::TStringList lines = mail.GetBody();
    lines.Add(u"three");
    EXPECT_EQ(mail.GetBodyText(), u"one\r\ntwo");
    EXPECT_EQ(mail.GetBody().Count(), 2u);
}

TEST_F(ReadMail, APlatformThatRepeatsTheSeedEndsTheWalkInsteadOfLoopingForEver)
{
    TKelvraReadMail mail;
    FakeMapi_QueueFoundId("same");
    FakeMapi_QueueFoundId("same");
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.MessageCount(); }), 0);
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIFindNext", "MAPIFindNext"}));
}

TEST_F(ReadMail, SaveAndDeleteGiveEmptyIdentifiersAsEmptyTextAndKeepTheSelection)
{
    TKelvraReadMail mail;
    mail.Save(); // no record, no identifier: the platform decides
    fake::Call save = fake::Last("MAPISaveMail");
    EXPECT_TRUE(save.IsNull("msg"));
    EXPECT_EQ(save.Text("id"), "");
    mail.Delete();
    EXPECT_EQ(fake::Last("MAPIDeleteMail").Text("id"), "");

    Message().Queue();
    mail.SetMessageID(u"doomed");
    FakeMapi_ClearCalls();
    mail.Delete();
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIFreeBuffer", "MAPIDeleteMail"}));
    EXPECT_EQ(fake::Calls()[1].Text("id"), "doomed");
    EXPECT_EQ(fake::Calls()[1].Num("flags"), 0u);
    EXPECT_EQ(mail.State(), TReadMailState::SelectedNotHeld);
    FakeMapi_QueueResult("MAPIFindNext", MAPI_E_NO_MESSAGES);
    EXPECT_FALSE(mail.Next());
    EXPECT_EQ(fake::Last("MAPIFindNext").Text("seed"), "doomed");

    FakeMapi_QueueResult("MAPIDeleteMail", MAPI_E_INVALID_MESSAGE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.Delete(); }), 17);
}

TEST_F(ReadMail, AnIdentifierTooLongToSaveIsRefusedBeforeThePlatform)
{
    TKelvraReadMail mail;
    FakeMapi_QueueResult("MAPIReadMail", MAPI_E_INVALID_MESSAGE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.SetMessageID(host::String(516, u'x')); }), 17);
    FakeMapi_Reset();
    try {
        mail.Save();
        ADD_FAILURE() << "no exception";
    } catch (const EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 0);
        EXPECT_STREQ(e.what(), "The message identifier is too long to save: at most 515 bytes are possible.");
    }
    EXPECT_TRUE(fake::Calls().empty());

    FakeMapi_QueueResult("MAPIReadMail", MAPI_E_INVALID_MESSAGE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { mail.SetMessageID(host::String(515, u'y')); }), 17);
    mail.Save(); // fits, with its zero byte
    EXPECT_EQ(fake::Last("MAPISaveMail").Text("id"), std::string(515, 'y'));
}

TEST_F(ReadMail, FormFilesStoreTheOptionsTheFilterAndTheSession)
{
    host::TComponent form(nullptr);
    form.SetName(u"Form");
    auto *mail = new TKelvraReadMail(&form);
    mail->SetName(u"Reader");
    EXPECT_EQ(host::WriteForm(form), "object Form: TComponent\n"
                                     "  object Reader: TKelvraReadMail\n"
                                     "    FindFlags = []\n"
                                     "    ReadFlags = []\n"
                                     "  end\n"
                                     "end\n");
    mail->SetFindFlags({TFindFlag::ffUnreadOnly});
    mail->SetReadFlags({TReadFlag::rfPeek});
    mail->SetMessageTypeFilter(u"IPM.Kelvra");
    const std::string text = host::WriteForm(form);
    EXPECT_EQ(text, "object Form: TComponent\n"
                    "  object Reader: TKelvraReadMail\n"
                    "    FindFlags = [ffUnreadOnly]\n"
                    "    MessageTypeFilter = 'IPM.Kelvra'\n"
                    "    ReadFlags = [rfPeek]\n"
                    "  end\n"
                    "end\n");
    EXPECT_EQ(host::WriteForm(*host::ReadForm(text)), text);
    EXPECT_TRUE(fake::Calls().empty());
}
