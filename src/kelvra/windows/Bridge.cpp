#include "Bridge.h"

#include "BridgeWire.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::bridge {

namespace {

// How long a helper may send nothing, not even its heartbeat, before it
// counts as gone.
constexpr DWORD kSilenceBound = 10000;
constexpr WORD kOwnMachine = sizeof(void *) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
constexpr const wchar_t *kHelperName = sizeof(void *) == 8 ? L"kelvra-mapi32.exe" : L"kelvra-mapi64.exe";

std::string Utf8(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// The reason for each thread's last failed bridged call, handed out as the
// provider's would be (KelvraMapiLastReason), and said to the debugger. Kept
// by thread identifier, not in a thread-local string: the C++ runtime keeps
// a library loaded while any thread holds a thread-local object of it with a
// destructor, and the helper ends with this library's unloading. A thread's
// entry goes with its next call, so only threads whose last call failed
// hold one.
std::mutex g_reasonMutex;
std::map<DWORD, std::string> g_reasons;

void ClearReason()
{
    std::lock_guard<std::mutex> lock(g_reasonMutex);
    g_reasons.erase(GetCurrentThreadId());
}

void Say(const std::string &what)
{
    const std::string line = "Kelvra: the mail bridge: " + what + "\n";
    OutputDebugStringA(line.c_str());
}

void Fail(const std::string &why)
{
    {
        std::lock_guard<std::mutex> lock(g_reasonMutex);
        g_reasons[GetCurrentThreadId()] = "the mail bridge: " + why;
    }
    Say(why);
}

// A value under `root` in one registry view, as text (environment
// variables expanded); empty when missing.
std::wstring RegistryText(HKEY root, const std::wstring &path, const wchar_t *name, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return {};
    DWORD type = 0, size = 0;
    std::wstring text;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        text.resize(size / sizeof(wchar_t) + 1);
        if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(text.data()), &size) != ERROR_SUCCESS)
            text.clear();
        text.resize(std::wcslen(text.c_str()));
    }
    RegCloseKey(key);
    if (type == REG_EXPAND_SZ && !text.empty()) {
        std::wstring expanded(ExpandEnvironmentStringsW(text.c_str(), nullptr, 0), L'\0');
        ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        text = expanded.c_str();
    }
    return text;
}

// The mail client Windows uses for Simple MAPI, as Windows finds it: the
// user's choice (HKCU\Software\Clients\Mail's default value) before the
// machine's (HKLM, the 64-bit registry view first, then the 32-bit one);
// its DLL is the client key's DLLPathEx, else its DLLPath, under the
// user's key of that client, else the machine's.
struct MailClient {
    std::wstring name;
    bool usersChoice = false;
    std::wstring dll;
};

std::wstring ClientDll(HKEY root, const std::wstring &client, REGSAM view)
{
    const std::wstring key = L"Software\\Clients\\Mail\\" + client;
    std::wstring path = RegistryText(root, key, L"DLLPathEx", view);
    return path.empty() ? RegistryText(root, key, L"DLLPath", view) : path;
}

MailClient FindMailClient()
{
    const wchar_t *mail = L"Software\\Clients\\Mail";
    MailClient found;
    found.name = RegistryText(HKEY_CURRENT_USER, mail, nullptr, 0);
    if (!found.name.empty()) {
        found.usersChoice = true;
        found.dll = ClientDll(HKEY_CURRENT_USER, found.name, 0);
        for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
            if (found.dll.empty())
                found.dll = ClientDll(HKEY_LOCAL_MACHINE, found.name, view);
        return found;
    }
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        const std::wstring client = RegistryText(HKEY_LOCAL_MACHINE, mail, nullptr, view);
        if (client.empty())
            continue;
        const std::wstring dll = ClientDll(HKEY_LOCAL_MACHINE, client, view);
        if (found.name.empty() || !dll.empty())
            found = {client, false, dll};
        if (!dll.empty())
            break;
    }
    return found;
}

// The system's Simple MAPI handler's DLL; empty when none is registered.
std::wstring HandlerPath() { return FindMailClient().dll; }

// The machine a PE file is built for (its file header's Machine); 0 when
// the file cannot be read as one.
WORD MachineOf(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    WORD machine = 0;
    IMAGE_DOS_HEADER dos{};
    DWORD read = 0;
    if (ReadFile(file, &dos, sizeof dos, &read, nullptr) && read == sizeof dos && dos.e_magic == IMAGE_DOS_SIGNATURE &&
        dos.e_lfanew > 0 && SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
        struct {
            DWORD signature;
            IMAGE_FILE_HEADER header;
        } nt{};
        if (ReadFile(file, &nt, sizeof nt, &read, nullptr) && read == sizeof nt && nt.signature == IMAGE_NT_SIGNATURE)
            machine = nt.header.Machine;
    }
    CloseHandle(file);
    return machine;
}

// The folder this library's DLL is in, with its trailing backslash.
std::wstring OwnFolder()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&OwnFolder), &self);
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string SystemText(DWORD code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring out = text != nullptr ? text : L"";
    LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' '))
        out.pop_back();
    return Utf8(out) + " (" + std::to_string(code) + ")";
}

// A machine's bitness in words.
const char *Bitness(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64: return "64-bit";
    case IMAGE_FILE_MACHINE_I386: return "32-bit";
    case 0: return "not found, or no Windows DLL";
    default: return "built for another processor";
    }
}

// The helper process and our end of its pipe (overlapped, so that every
// wait is bounded and notices the process ending).
class Helper {
public:
    ~Helper() { End(); }

    bool Running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    // Starts it and reads its greeting.
    bool Launch(const std::wstring &exe, const std::wstring &handler, std::string &why)
    {
        End();
        static std::atomic<unsigned> serial{0};
        const std::wstring name = L"\\\\.\\pipe\\kelvra-bridge-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++serial);
        pipe_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
                                 65536, 0, nullptr);
        if (pipe_ == INVALID_HANDLE_VALUE) {
            pipe_ = nullptr;
            why = "no pipe for the helper: " + SystemText(GetLastError());
            return false;
        }
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE child = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
        if (child == INVALID_HANDLE_VALUE || event_ == nullptr) {
            why = "no pipe for the helper: " + SystemText(GetLastError());
            if (child != INVALID_HANDLE_VALUE)
                CloseHandle(child);
            End();
            return false;
        }
        std::wstring command = L"\"" + exe + L"\" " +
                               std::to_wstring(reinterpret_cast<ULONG_PTR>(child)) + L" \"" + handler + L"\"";
        PROCESS_INFORMATION info{};
        DWORD error = 0;
        const BOOL started = StartOnly(exe, command, child, info, error);
        CloseHandle(child);
        if (!started) {
            why = "the helper " + Utf8(exe) + " does not start: " + SystemText(error);
            End();
            return false;
        }
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        std::string hello;
        if (!ReadFrame(hello, why)) {
            End();
            return false;
        }
        Reader greeting(hello);
        const std::uint8_t kind = greeting.U8();
        if (kind == kRefused) {
            why = "the helper cannot load " + Utf8(handler) + ": " + SystemText(greeting.U32());
            End();
            return false;
        }
        if (kind != kHello) {
            why = "the helper greeted with something else";
            End();
            return false;
        }
        present_ = greeting.U32();
        return true;
    }

    std::uint32_t Present() const { return present_; }

    // Sends a request and reads its answer; on failure the helper is ended
    // and `unread` tells whether it had ended idle before taking the request.
    bool Exchange(const std::string &request, std::string &answer, std::string &why, bool &unread)
    {
        unread = false;
        Writer head;
        head.U32(static_cast<std::uint32_t>(request.size()));
        bool ok = Transfer(true, const_cast<char *>(head.Data().data()), 4, why) &&
                  Transfer(true, const_cast<char *>(request.data()), static_cast<DWORD>(request.size()), why);
        bool any = false;
        while (ok) {
            std::string frame;
            ok = ReadFrame(frame, why);
            if (!ok)
                break;
            any = true;
            if (frame[0] == kAnswer) {
                answer = frame.substr(1);
                return true;
            }
            if (frame[0] != kBusy) {
                why = "the helper answered with something else";
                ok = false;
            }
        }
        DWORD code = STILL_ACTIVE;
        if (process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_OBJECT_0)
            GetExitCodeProcess(process_, &code);
        unread = !any && code == 0;
        End();
        return false;
    }

    // Ends it: the end of its input, then, after a second, the process.
    void End()
    {
        if (pipe_ != nullptr)
            CloseHandle(pipe_);
        pipe_ = nullptr;
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, 1000) != WAIT_OBJECT_0)
                TerminateProcess(process_, 1);
            CloseHandle(process_);
        }
        process_ = nullptr;
        if (event_ != nullptr)
            CloseHandle(event_);
        event_ = nullptr;
    }

private:
    // Reads or writes all of `size` bytes, each wait bounded.
    bool Transfer(bool write, char *data, DWORD size, std::string &why)
    {
        while (size > 0) {
            OVERLAPPED io{};
            io.hEvent = event_;
            ResetEvent(event_);
            DWORD done = 0;
            const BOOL now = write ? WriteFile(pipe_, data, size, nullptr, &io) : ReadFile(pipe_, data, size, nullptr, &io);
            if (!now && GetLastError() != ERROR_IO_PENDING) {
                why = "the helper ended during the call";
                return false;
            }
            HANDLE waits[2] = {event_, process_};
            const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kSilenceBound);
            if (woke != WAIT_OBJECT_0) {
                CancelIoEx(pipe_, &io);
                GetOverlappedResult(pipe_, &io, &done, TRUE);
                why = woke == WAIT_OBJECT_0 + 1 ? "the helper ended during the call"
                                                : "the helper sent nothing for " +
                                                      std::to_string(kSilenceBound / 1000) + " seconds";
                if (woke == WAIT_OBJECT_0 + 1 && done > 0 && done == size)
                    return true; // all there before it ended
                return false;
            }
            if (!GetOverlappedResult(pipe_, &io, &done, FALSE) || done == 0) {
                why = "the helper ended during the call";
                return false;
            }
            data += done;
            size -= done;
        }
        return true;
    }

    bool ReadFrame(std::string &frame, std::string &why)
    {
        char head[4];
        if (!Transfer(false, head, 4, why))
            return false;
        const std::uint32_t size = Reader(std::string(head, 4)).U32();
        if (size == 0 || size > (64u << 20)) {
            why = "the helper sent a frame of no sense";
            return false;
        }
        frame.resize(size);
        return Transfer(false, frame.data(), size, why);
    }

    // Starts the helper with `inherit` (its pipe, named on its command line)
    // its one inherited handle, and standard handles that lead nowhere: an
    // application's own inheritable handles stay its own, and whatever the
    // handler writes to standard output goes nowhere.
    static BOOL StartOnly(const std::wstring &exe, std::wstring &command, HANDLE inherit, PROCESS_INFORMATION &info,
                          DWORD &error)
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<std::byte> storage(size);
        auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            error = GetLastError();
            return FALSE;
        }
        STARTUPINFOEXW extended{};
        extended.StartupInfo.cb = sizeof extended;
        extended.StartupInfo.dwFlags = STARTF_USESTDHANDLES; // all null
        extended.lpAttributeList = list;
        BOOL started = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &inherit, sizeof inherit,
                                                 nullptr, nullptr);
        if (started)
            started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                     &extended.StartupInfo, &info);
        error = GetLastError();
        DeleteProcThreadAttributeList(list);
        return started;
    }

    HANDLE process_ = nullptr;
    HANDLE pipe_ = nullptr;
    HANDLE event_ = nullptr;
    std::uint32_t present_ = 0;
};

std::mutex g_callMutex;
Helper g_helper;
std::wstring g_helperPath;
std::wstring g_handlerPath;
std::uint32_t g_present = 0;

// The records handed out, each owning its parts, until MAPIFreeBuffer.
std::mutex g_blockMutex;
std::map<void *, std::unique_ptr<Arena>> g_blocks;

template <class T> T *HandOut(std::unique_ptr<Arena> arena, T *record)
{
    if (record != nullptr) {
        std::lock_guard<std::mutex> lock(g_blockMutex);
        g_blocks.emplace(record, std::move(arena));
    }
    return record;
}

// One call over the bridge: its answer, or nothing (the reason set).
std::optional<Reader> CallHelper(const Writer &request)
{
    std::lock_guard<std::mutex> lock(g_callMutex);
    ClearReason();
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string why;
        if (!g_helper.Running() && !g_helper.Launch(g_helperPath, g_handlerPath, why)) {
            Fail(why);
            return std::nullopt;
        }
        std::string answer;
        bool unread = false;
        if (g_helper.Exchange(request.Data(), answer, why, unread))
            return Reader(std::move(answer));
        if (!unread) {
            Fail(why);
            return std::nullopt;
        }
        // It had ended, idle, with the request unread: a new one takes it.
    }
    Fail("the helper ended twice before taking the call");
    return std::nullopt;
}

// Reads an answer's fields; a malformed answer fails the call.
template <class F> ULONG Answered(const Writer &request, F &&read)
{
    std::optional<Reader> answer = CallHelper(request);
    if (!answer)
        return MAPI_E_FAILURE;
    // Nothing raises across the entry point: a malformed answer, or one
    // that asks for more memory than there is, fails the call.
    try {
        return read(*answer);
    } catch (const WireError &error) {
        Fail(std::string("the helper's answer cannot be read: ") + error.what());
        return MAPI_E_FAILURE;
    } catch (const std::bad_alloc &) {
        Fail("the helper's answer does not fit in memory");
        return MAPI_E_INSUFFICIENT_MEMORY;
    } catch (const std::exception &error) {
        Fail(std::string("the helper's answer cannot be taken: ") + error.what());
        return MAPI_E_FAILURE;
    }
}

Writer Request(Call call, LHANDLE session, ULONG_PTR ui)
{
    Writer w;
    w.U32(call);
    w.U64(session);
    w.U64(ui);
    return w;
}

// An identifier the helper gave back, into the caller's buffer as the
// handler would have written it.
void CopyId(Reader &answer, LPSTR out)
{
    Arena arena;
    ULONG size = 0;
    const char *id = static_cast<const char *>(answer.Bytes(arena, &size));
    if (out == nullptr || id == nullptr)
        return;
    // The caller's buffer holds kIdSize bytes, its terminating zero among
    // them: a longer identifier fails the call rather than leave it open.
    if (size >= kIdSize)
        throw WireError("an identifier longer than the caller's buffer");
    std::memcpy(out, id, size);
    out[size] = '\0';
}

ULONG MAPI_CALL Logon(ULONG_PTR ui, LPSTR profile, LPSTR password, FLAGS flags, ULONG reserved, LPLHANDLE session)
{
    Writer w;
    w.U32(kLogon);
    w.U64(ui);
    w.Text(profile);
    w.Text(password);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [&](Reader &r) {
        const ULONG result = r.U32();
        const LHANDLE handle = static_cast<LHANDLE>(r.U64());
        if (session != nullptr)
            *session = handle;
        return result;
    });
}

ULONG MAPI_CALL Logoff(LHANDLE session, ULONG_PTR ui, FLAGS flags, ULONG reserved)
{
    Writer w = Request(kLogoff, session, ui);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [](Reader &r) { return r.U32(); });
}

ULONG MAPI_CALL SendMail(LHANDLE session, ULONG_PTR ui, lpMapiMessage message, FLAGS flags, ULONG reserved)
{
    Writer w = Request(kSendMail, session, ui);
    w.Message(message);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [](Reader &r) { return r.U32(); });
}

ULONG MAPI_CALL SendMailW(LHANDLE session, ULONG_PTR ui, lpMapiMessageW message, FLAGS flags, ULONG reserved)
{
    Writer w = Request(kSendMailW, session, ui);
    w.Message(message);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [](Reader &r) { return r.U32(); });
}

ULONG MAPI_CALL SendDocuments(ULONG_PTR ui, LPSTR delimiter, LPSTR paths, LPSTR names, ULONG reserved)
{
    Writer w;
    w.U32(kSendDocuments);
    w.U64(ui);
    w.Text(delimiter);
    w.Text(paths);
    w.Text(names);
    w.U32(reserved);
    return Answered(w, [](Reader &r) { return r.U32(); });
}

ULONG MAPI_CALL FindNext(LHANDLE session, ULONG_PTR ui, LPSTR type, LPSTR seed, FLAGS flags, ULONG reserved, LPSTR id)
{
    Writer w = Request(kFindNext, session, ui);
    w.Text(type);
    w.Text(seed);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [&](Reader &r) {
        const ULONG result = r.U32();
        CopyId(r, id);
        return result;
    });
}

ULONG MAPI_CALL ReadMail(LHANDLE session, ULONG_PTR ui, LPSTR id, FLAGS flags, ULONG reserved, lpMapiMessage *message)
{
    Writer w = Request(kReadMail, session, ui);
    w.Text(id);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [&](Reader &r) {
        const ULONG result = r.U32();
        auto arena = std::make_unique<Arena>();
        MapiMessage *read = r.Message(*arena);
        if (message != nullptr && (read != nullptr || result == SUCCESS_SUCCESS))
            *message = HandOut(std::move(arena), read);
        return result;
    });
}

ULONG MAPI_CALL SaveMail(LHANDLE session, ULONG_PTR ui, lpMapiMessage message, FLAGS flags, ULONG reserved, LPSTR id)
{
    Writer w = Request(kSaveMail, session, ui);
    w.Message(message);
    w.U32(flags);
    w.U32(reserved);
    w.Bytes(id, id != nullptr ? strnlen(id, kIdSize) : 0, id != nullptr);
    return Answered(w, [&](Reader &r) {
        const ULONG result = r.U32();
        CopyId(r, id);
        return result;
    });
}

ULONG MAPI_CALL DeleteMail(LHANDLE session, ULONG_PTR ui, LPSTR id, FLAGS flags, ULONG reserved)
{
    Writer w = Request(kDeleteMail, session, ui);
    w.Text(id);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [](Reader &r) { return r.U32(); });
}

ULONG MAPI_CALL FreeBuffer(LPVOID block)
{
    if (block == nullptr)
        return SUCCESS_SUCCESS;
    std::unique_ptr<Arena> freed;
    std::lock_guard<std::mutex> lock(g_blockMutex);
    const auto it = g_blocks.find(block);
    if (it == g_blocks.end())
        return MAPI_E_FAILURE; // never handed out, or freed already
    freed = std::move(it->second);
    g_blocks.erase(it);
    return SUCCESS_SUCCESS;
}

ULONG MAPI_CALL Address(LHANDLE session, ULONG_PTR ui, LPSTR caption, ULONG editFields, LPSTR labels, ULONG count,
                        lpMapiRecipDesc recips, FLAGS flags, ULONG reserved, LPULONG newCount,
                        lpMapiRecipDesc *newRecips)
{
    Writer w = Request(kAddress, session, ui);
    w.Text(caption);
    w.U32(editFields);
    w.Text(labels);
    w.Recips(count, recips);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [&](Reader &r) {
        const ULONG result = r.U32();
        auto arena = std::make_unique<Arena>();
        ULONG n = 0;
        MapiRecipDesc *chosen = r.Recips(*arena, &n);
        if (newCount != nullptr)
            *newCount = n;
        if (newRecips != nullptr && (chosen != nullptr || result == SUCCESS_SUCCESS))
            *newRecips = HandOut(std::move(arena), chosen);
        return result;
    });
}

ULONG MAPI_CALL Details(LHANDLE session, ULONG_PTR ui, lpMapiRecipDesc recip, FLAGS flags, ULONG reserved)
{
    Writer w = Request(kDetails, session, ui);
    w.Recip(recip);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [](Reader &r) { return r.U32(); });
}

ULONG MAPI_CALL ResolveName(LHANDLE session, ULONG_PTR ui, LPSTR name, FLAGS flags, ULONG reserved,
                            lpMapiRecipDesc *recip)
{
    Writer w = Request(kResolveName, session, ui);
    w.Text(name);
    w.U32(flags);
    w.U32(reserved);
    return Answered(w, [&](Reader &r) {
        const ULONG result = r.U32();
        auto arena = std::make_unique<Arena>();
        MapiRecipDesc *resolved = r.Recip(*arena);
        if (recip != nullptr && (resolved != nullptr || result == SUCCESS_SUCCESS))
            *recip = HandOut(std::move(arena), resolved);
        return result;
    });
}

// The thread's last bridge failure, as the provider hands out its reasons.
ULONG LastReason(LPSTR buffer, ULONG size)
{
    std::lock_guard<std::mutex> lock(g_reasonMutex);
    const auto found = g_reasons.find(GetCurrentThreadId());
    const std::string_view reason = found != g_reasons.end() ? std::string_view(found->second) : std::string_view();
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(reason.size(), size - 1);
        std::memcpy(buffer, reason.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<ULONG>(reason.size());
}

} // namespace

bool IsSystemLibrary(const std::u16string &name)
{
    std::u16string upper = name;
    for (char16_t &c : upper)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return upper == u"MAPI32.DLL" || upper == u"MAPI32";
}

std::string Diagnosis()
{
    const MailClient client = FindMailClient();
    if (client.name.empty())
        return "no mail client is registered for Simple MAPI (neither HKEY_CURRENT_USER nor HKEY_LOCAL_MACHINE "
               "\\Software\\Clients\\Mail names one): install a mail program that offers Simple MAPI and make it "
               "the default one";
    std::string text = "the mail client is " + Utf8(client.name) +
                       (client.usersChoice ? " (the user's choice)" : " (the machine's default)");
    if (client.dll.empty())
        return text + ", which names no Simple MAPI DLL (DLLPathEx or DLLPath): it offers no Simple MAPI";
    const WORD machine = MachineOf(client.dll);
    text += ", its Simple MAPI DLL " + Utf8(client.dll) + " (" + Bitness(machine) + ")";
    std::lock_guard<std::mutex> lock(g_callMutex);
    if (!g_handlerPath.empty()) {
        return text + ", reached through Kelvra's helper " + Utf8(g_helperPath) +
               ((g_present & (1u << kSendMailW)) != 0 ? "; it offers MAPISendMailW" : "; it offers no MAPISendMailW");
    }
    text += std::string(", called through the system's MAPI32.DLL") +
            (machine != 0 && machine != kOwnMachine ? " by a program of the other bitness, without Kelvra's helper"
                                                    : "");
    if (machine == kOwnMachine) {
        // Looked at, not run: its entry code stays untouched.
        if (HMODULE dll = LoadLibraryExW(client.dll.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)) {
            text += GetProcAddress(dll, "MAPISendMailW") != nullptr ? "; it offers MAPISendMailW"
                                                                     : "; it offers no MAPISendMailW";
            FreeLibrary(dll);
        }
    }
    return text;
}

bool Start(const std::u16string &libraryName)
{
    if (!IsSystemLibrary(libraryName))
        return false;
    const std::wstring handler = HandlerPath();
    if (handler.empty())
        return false;
    const WORD machine = MachineOf(handler);
    if (machine == 0 || machine == kOwnMachine)
        return false;
    std::lock_guard<std::mutex> lock(g_callMutex);
    g_helperPath = OwnFolder() + kHelperName;
    g_handlerPath = handler;
    std::string why;
    if (!g_helper.Launch(g_helperPath, g_handlerPath, why)) {
        Say(why + "; loading " + Utf8(std::wstring(libraryName.begin(), libraryName.end())) + " directly");
        return false;
    }
    g_present = g_helper.Present();
    return true;
}

void *EntryPoint(const char *exportName)
{
    struct Entry {
        const char *name;
        int bit;
        void *function;
    };
    static const Entry entries[] = {
        {"MAPIFreeBuffer", 0, reinterpret_cast<void *>(&FreeBuffer)},
        {"MAPILogon", kLogon, reinterpret_cast<void *>(&Logon)},
        {"MAPILogoff", kLogoff, reinterpret_cast<void *>(&Logoff)},
        {"MAPISendMail", kSendMail, reinterpret_cast<void *>(&SendMail)},
        {"MAPISendMailW", kSendMailW, reinterpret_cast<void *>(&SendMailW)},
        {"MAPISendDocuments", kSendDocuments, reinterpret_cast<void *>(&SendDocuments)},
        {"MAPIFindNext", kFindNext, reinterpret_cast<void *>(&FindNext)},
        {"MAPIReadMail", kReadMail, reinterpret_cast<void *>(&ReadMail)},
        {"MAPISaveMail", kSaveMail, reinterpret_cast<void *>(&SaveMail)},
        {"MAPIDeleteMail", kDeleteMail, reinterpret_cast<void *>(&DeleteMail)},
        {"MAPIAddress", kAddress, reinterpret_cast<void *>(&Address)},
        {"MAPIDetails", kDetails, reinterpret_cast<void *>(&Details)},
        {"MAPIResolveName", kResolveName, reinterpret_cast<void *>(&ResolveName)},
    };
    if (std::strcmp(exportName, "KelvraMapiLastReason") == 0)
        return reinterpret_cast<void *>(&LastReason);
    for (const Entry &e : entries)
        if (std::strcmp(exportName, e.name) == 0)
            return (g_present & (1u << e.bit)) != 0 ? e.function : nullptr;
    return nullptr;
}

} // namespace kelvra::bridge
