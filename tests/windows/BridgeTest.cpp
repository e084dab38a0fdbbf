// The bridge under Wine: a recording Simple MAPI library of the other
// bitness only (bin/other/libfakemapi.dll) is the system's mail client in
// this test's own Wine prefix. Every entry point carried through the helper
// gives the recording library exactly what a direct call gives the one of
// this program's bitness (linked in, same script), and the application
// exactly what that one answers; records come back made anew and free once.
// A helper killed during a call fails it, and the next call works. Built
// again with KELVRA_BRIDGE_USER: the same, with the client the user's choice
// alone (HKCU) and another the machine's default; and with
// KELVRA_BRIDGE_OFF: with the bridge turned off, no call reaches the
// recording library.
#include "BridgeSetup.h"
#include "FakeMapi.h"
#include "FakeMapiCalls.h"

#include "kelvra/Kelvra.h"
#include "mapi/EntryPoints.h"

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bridge_test;

const char kCalls[] = "handle 0x77\n"
                      "resolved Ann Smith|SMTP:ann@example.org|EID-1\n"
                      "found msg-0001\n"
                      "read Subject \xC3\xA4|Note text|Bob|SMTP:bob@example.org|C:\\tmp\\a.txt|a.txt\n"
                      "saved msg-0002\n"
                      "address Carol|SMTP:carol@example.org\n"
                      "result MAPIDeleteMail 11\n";

// The entry points of one library, each under its name in
// mapi/EntryPoints.h.
struct Table {
#define TABLE_MEMBER(name, type, accessor) type name;
    MAPI_ENTRY_POINTS(TABLE_MEMBER)
#undef TABLE_MEMBER
};

template <class Fn> Fn Export(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// The recording library linked into this program, called directly.
[[maybe_unused]] Table Direct()
{
    HMODULE m = GetModuleHandleW(L"libfakemapi.dll");
#define TABLE_EXPORT(name, type, accessor) Export<type>(m, "MAPI" #name),
    return {MAPI_ENTRY_POINTS(TABLE_EXPORT)};
#undef TABLE_EXPORT
}

// The binding's, which the bridge serves.
[[maybe_unused]] Table Bound()
{
#define TABLE_ACCESSOR(name, type, accessor) kelvra::accessor(),
    return {MAPI_ENTRY_POINTS(TABLE_ACCESSOR)};
#undef TABLE_ACCESSOR
}

std::string Show(const char *text) { return text == nullptr ? "null" : "\"" + std::string(text) + "\""; }

std::string Show(const MapiRecipDesc &r)
{
    std::string out = "{" + std::to_string(r.ulRecipClass) + " " + Show(r.lpszName) + " " + Show(r.lpszAddress) +
                      " " + std::to_string(r.ulEIDSize) + " ";
    out += r.lpEntryID == nullptr ? "null" : std::string(static_cast<const char *>(r.lpEntryID), r.ulEIDSize);
    return out + "}";
}

// A run of every call with arguments that tell null from empty; what each
// answered and gave back, as text.
[[maybe_unused]] std::string RunEveryCall(const Table &t)
{
    std::ostringstream out;
    LHANDLE session = 0;
    out << "logon " << t.Logon(0x1234, const_cast<char *>("profile"), nullptr, MAPI_LOGON_UI | MAPI_NEW_SESSION, 0,
                               &session)
        << " session " << session << "\n";

    char eid[] = {'E', '\0', 'X'};
    MapiRecipDesc recips[2] = {{0, MAPI_TO, const_cast<char *>("Ann"), const_cast<char *>("SMTP:ann@example.org"),
                                sizeof eid, eid},
                               {0, MAPI_BCC, const_cast<char *>(""), nullptr, 0, nullptr}};
    BYTE tag[] = {1, 2, 3};
    MapiFileTagExt type{0, sizeof tag, tag, 0, nullptr};
    MapiFileDesc files[1] = {{0, 0, 5, const_cast<char *>("C:\\tmp\\a.txt"), nullptr, &type}};
    MapiMessage message{};
    message.lpszSubject = const_cast<char *>("Gr\xFC\xDF" "e");
    message.lpszNoteText = const_cast<char *>("");
    message.flFlags = MAPI_RECEIPT_REQUESTED;
    message.nRecipCount = 2;
    message.lpRecips = recips;
    message.nFileCount = 1;
    message.lpFiles = files;
    out << "send " << t.SendMail(session, 0x5678, &message, MAPI_DIALOG, 0) << "\n";

    lpMapiRecipDesc resolved = nullptr;
    out << "resolve " << t.ResolveName(session, 0, const_cast<char *>("Ann"), MAPI_AB_NOMODIFY, 0, &resolved);
    out << " " << (resolved != nullptr ? Show(*resolved) : "null") << " free " << t.FreeBuffer(resolved) << "\n";

    char id[512] = "untouched";
    out << "find " << t.FindNext(session, 0, nullptr, const_cast<char *>(""), MAPI_UNREAD_ONLY, 0, id) << " " << id
        << "\n";

    lpMapiMessage read = nullptr;
    out << "read " << t.ReadMail(session, 0, id, MAPI_PEEK | MAPI_SUPPRESS_ATTACH, 0, &read);
    if (read != nullptr) {
        out << " " << Show(read->lpszSubject) << " " << Show(read->lpszNoteText) << " " << read->nRecipCount << " "
            << Show(read->lpRecips[0]) << " " << read->nFileCount << " " << Show(read->lpFiles[0].lpszPathName) << " "
            << Show(read->lpFiles[0].lpszFileName) << " " << read->lpFiles[0].nPosition;
    }
    out << " free " << t.FreeBuffer(read) << "\n";

    char saved[512] = "";
    out << "save " << t.SaveMail(session, 0, &message, 0, 0, saved) << " " << saved << "\n";
    out << "delete " << t.DeleteMail(session, 0, const_cast<char *>("msg-0001"), 0, 0) << "\n";

    ULONG count = 0;
    lpMapiRecipDesc chosen = nullptr;
    out << "address " << t.Address(session, 0, const_cast<char *>("Pick"), 2, nullptr, 2, recips, 0, 0, &count,
                                   &chosen)
        << " " << count << " " << (chosen != nullptr ? Show(chosen[0]) : "null") << " free " << t.FreeBuffer(chosen)
        << "\n";
    out << "details " << t.Details(session, 0x9ABC, &recips[0], MAPI_AB_NOMODIFY, 0) << "\n";
    out << "documents " << t.SendDocuments(0, const_cast<char *>(";"), const_cast<char *>("C:\\a.txt;C:\\b.txt"),
                                           nullptr, 0)
        << "\n";
    out << "logoff " << t.Logoff(session, 0, 0, 0) << "\n";
    return out.str();
}

#if !defined(KELVRA_BRIDGE_OFF)

#if defined(KELVRA_BRIDGE_USER)
constexpr bool kUsersChoice = true;
#else
constexpr bool kUsersChoice = false;
#endif

class Bridge : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Prepare(kCalls, false, kUsersChoice);
    }
    static void TearDownTestSuite() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Clients\\Mail"); }
};

TEST_F(Bridge, AFailedCallNamesTheMailClientItsDllAndTheWayThere)
{
    KillHelpers();
    WriteScript("result MAPIDeleteMail 11\n");
    try {
        kelvra::Check(kelvra::MapiDeleteMail()(0, 0, const_cast<char *>("msg-1"), 0, 0));
        ADD_FAILURE() << "no error";
    } catch (const kelvra::EKelvraError &e) {
        // The code's text alone; the diagnosis is the reason beside it.
        EXPECT_EQ(e.what(), host::ToUtf8(kelvra::CheckMessage(11)));
        const std::string what = host::ToUtf8(kelvra::LastReason());
        EXPECT_EQ(e.ErrorCode, 11);
        for (const std::string &says :
             {std::string("the mail client is KelvraRecorder") +
                  (kUsersChoice ? " (the user's choice)" : " (the machine's default)"),
              "its Simple MAPI DLL " + Narrow(kFolder) + "other\\libfakemapi.dll (" +
                  (sizeof(void *) == 8 ? "32-bit" : "64-bit") + ")",
              std::string("reached through Kelvra's helper"), std::string("; it offers MAPISendMailW")})
            EXPECT_NE(what.find(says), std::string::npos) << what << "\nlacks: " << says;
    }
    EXPECT_EQ(host::ToUtf8(kelvra::MailSystemDescription()).rfind("the mail client is KelvraRecorder", 0), 0u);

    // With no client registered anywhere, the description says so.
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Clients\\Mail");
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY mail = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Clients\\Mail", 0, KEY_SET_VALUE | view, &mail) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(mail, nullptr);
            RegCloseKey(mail);
        }
    }
    const std::string none = host::ToUtf8(kelvra::MailSystemDescription());
    EXPECT_EQ(none.rfind("no mail client is registered for Simple MAPI", 0), 0u) << none;
    Prepare(kCalls, false, kUsersChoice);
    KillHelpers();
    DeleteFileW(kLog.c_str());
}

TEST_F(Bridge, EveryCallReachesTheOtherBitnessExactlyAsADirectCallWould)
{
    FakeMapi_Reset();
    FakeMapi_Script(kCalls);
    const std::string direct = RunEveryCall(Direct());
    std::vector<std::string> directLines;
    for (size_t i = 0; i < FakeMapi_CallCount(); ++i)
        directLines.push_back(FakeMapi_Call(i));
    FakeMapi_Reset();

    const std::string bridged = RunEveryCall(Bound());
    EXPECT_EQ(bridged, direct);
    EXPECT_EQ(LogLines(), directLines);
    EXPECT_EQ(FakeMapi_CallCount(), 0u) << "a call reached the library of this program's bitness";
    // Each block the handler gave was freed in the helper: the lines above
    // hold its frees, where a direct caller's are.
}

TEST_F(Bridge, RecordsComeBackAsTheBridgesOwnAndFreeOnce)
{
    ASSERT_EQ(KillHelpers(), 1); // the next helper reads the new script
    WriteScript("resolved Dee|SMTP:dee@example.org|X\n");
    lpMapiRecipDesc resolved = nullptr;
    ASSERT_EQ(kelvra::MapiResolveName()(0, 0, const_cast<char *>("Dee"), 0, 0, &resolved), SUCCESS_SUCCESS);
    ASSERT_NE(resolved, nullptr);
    EXPECT_STREQ(resolved->lpszAddress, "SMTP:dee@example.org");
    EXPECT_EQ(kelvra::MapiFreeBuffer()(resolved), SUCCESS_SUCCESS);
    EXPECT_EQ(kelvra::MapiFreeBuffer()(resolved), MAPI_E_FAILURE);
    EXPECT_EQ(kelvra::MapiFreeBuffer()(nullptr), SUCCESS_SUCCESS);
}

TEST_F(Bridge, TheWideSendGoesOverWhole)
{
    kelvra::MAPIUNICODE = true;
    DeleteFileW(kLog.c_str());
    kelvra::TKelvraSendMail mail;
    mail.SetSubject(u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600");
    mail.SetBody(host::TStringList{u"\u0417\u0434\u0440\u0430\u0432"});
    mail.Send();
    kelvra::MAPIUNICODE = false;
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    const fake::Call call = fake::Parse(lines[0]);
    EXPECT_EQ(call.function, "MAPISendMailW");
    EXPECT_EQ(call.WText("msg.subject"), u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600");
    EXPECT_EQ(call.WText("msg.noteText"), u"\u0417\u0434\u0440\u0430\u0432");
}

TEST_F(Bridge, AHelperKilledDuringACallFailsItAndTheNextCallWorks)
{
    KillHelpers();
    WriteScript("sleep MAPISendMail 30000\n");
    std::thread killer([] {
        // Until the helper is up and in the call, then once.
        for (int i = 0; i < 100 && KillHelpers() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    MapiMessage message{};
    const auto start = std::chrono::steady_clock::now();
    const ULONG result = kelvra::MapiSendMail()(0, 0, &message, 0, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    killer.join();
    EXPECT_EQ(result, MAPI_E_FAILURE);
    EXPECT_LT(took, std::chrono::seconds(20)) << "the failure waited for the handler's sleep";

    WriteScript("handle 0x99\n");
    LHANDLE session = 0;
    EXPECT_EQ(kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS);
    EXPECT_EQ(session, 0x99u);
}

TEST_F(Bridge, AHelperThatFallsSilentFailsTheCallWithItsReason)
{
    WriteScript("");
    LHANDLE session = 0;
    ASSERT_EQ(kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS); // a helper runs
    // Stopped whole (heartbeat and all), as a helper the system no longer
    // runs would be.
    using SuspendFn = LONG(NTAPI *)(HANDLE);
    const auto suspend =
        reinterpret_cast<SuspendFn>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSuspendProcess")));
    ASSERT_NE(suspend, nullptr);
    int suspended = 0;
    ForEachHelper([&](DWORD id) {
        if (HANDLE process = OpenProcess(PROCESS_SUSPEND_RESUME, FALSE, id)) {
            suspended += suspend(process) == 0 ? 1 : 0;
            CloseHandle(process);
        }
    });
    ASSERT_EQ(suspended, 1);

    kelvra::TKelvraSendMail mail;
    mail.SetSubject(u"never sent");
    const auto start = std::chrono::steady_clock::now();
    try {
        mail.Send();
        ADD_FAILURE() << "no exception";
    } catch (const kelvra::EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, static_cast<std::int32_t>(MAPI_E_FAILURE));
        EXPECT_EQ(e.Message(), kelvra::CheckMessage(MAPI_E_FAILURE));
        const std::string reason = host::ToUtf8(kelvra::LastReason());
        EXPECT_NE(reason.find("the mail bridge: the helper sent nothing for 10 seconds"), std::string::npos) << reason;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(KillHelpers(), 0) << "the silent helper was left running";
    EXPECT_EQ(kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS);
}

TEST_F(Bridge, AHandlerWritingToStandardOutputDoesNotDisturbTheCalls)
{
    KillHelpers(); // the next helper reads the new script
    WriteScript("handle 0x51\nchatter MAPILogon\nresolved Eve|SMTP:eve@example.org|E\nchatter MAPIResolveName\n");
    LHANDLE session = 0;
    ASSERT_EQ(kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS);
    EXPECT_EQ(session, 0x51u);
    lpMapiRecipDesc resolved = nullptr;
    ASSERT_EQ(kelvra::MapiResolveName()(session, 0, const_cast<char *>("Eve"), 0, 0, &resolved), SUCCESS_SUCCESS);
    ASSERT_NE(resolved, nullptr);
    EXPECT_STREQ(resolved->lpszAddress, "SMTP:eve@example.org");
    EXPECT_EQ(kelvra::MapiFreeBuffer()(resolved), SUCCESS_SUCCESS);
    EXPECT_EQ(kelvra::MapiLogOff()(session, 0, 0, 0), SUCCESS_SUCCESS);
}

// The helper inherits its pipe and nothing else: an application's own
// inheritable handle (here the writing end of a pipe it reads) is not held
// open by it, so the application still sees that pipe's end.
TEST_F(Bridge, TheHelperInheritsNoHandleOfTheApplication)
{
    KillHelpers();
    WriteScript("handle 0x61\n");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, &inherit, 0));
    LHANDLE session = 0;
    ASSERT_EQ(kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS); // a helper starts
    ASSERT_EQ(ForEachHelper([](DWORD) {}), 1);
    CloseHandle(write);
    DWORD pending = 0;
    EXPECT_FALSE(PeekNamedPipe(read, nullptr, 0, nullptr, &pending, nullptr)) << "the helper holds the writing end";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseHandle(read);
    EXPECT_EQ(kelvra::MapiLogOff()(session, 0, 0, 0), SUCCESS_SUCCESS);
}

TEST_F(Bridge, AHelperWithNoSessionEndsAfterAMinuteAndTheNextCallStartsAnother)
{
    KillHelpers();
    WriteScript("handle 0x42\n");
    LHANDLE session = 0;
    ASSERT_EQ(kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS);
    ASSERT_EQ(kelvra::MapiLogOff()(session, 0, 0, 0), SUCCESS_SUCCESS);
    ASSERT_EQ(ForEachHelper([](DWORD) {}), 1);
    const auto start = std::chrono::steady_clock::now();
    while (ForEachHelper([](DWORD) {}) != 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(90))
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto ended = std::chrono::steady_clock::now() - start;
    EXPECT_GE(ended, std::chrono::seconds(55)) << "it ended before its minute";
    EXPECT_LT(ended, std::chrono::seconds(90)) << "it did not end";
    EXPECT_EQ(kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS);
    EXPECT_EQ(session, 0x42u);
}

#else

TEST(BridgeOff, NoCallReachesTheOtherBitnessLibrary)
{
    Prepare("");
    kelvra::MAPIBRIDGE = false;
    LHANDLE session = 0;
    // Wine's own MAPI32.DLL answers (it cannot load the registered client);
    // whatever it answers, the recording library hears nothing.
    kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, &session);
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(KillHelpers(), 0) << "a helper was started";
}

#endif

} // namespace
