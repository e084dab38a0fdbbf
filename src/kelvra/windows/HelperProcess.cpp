#include "HelperProcess.h"

#include "BridgeWire.h"
#include "SystemText.h"

#include <atomic>
#include <cstddef>
#include <vector>

namespace kelvra::bridge {

namespace {

// How long a helper may send nothing, not even its heartbeat, before it
// counts as gone.
constexpr DWORD kSilenceBound = 10000;
constexpr const wchar_t *kHelperName = sizeof(void *) == 8 ? L"kelvra-mapi32.exe" : L"kelvra-mapi64.exe";

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

} // namespace

std::wstring HelperPath() { return OwnFolder() + kHelperName; }

bool HelperProcess::Launch(const std::wstring &exe, const std::wstring &handler, std::string &why)
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

bool HelperProcess::Exchange(const std::string &request, std::string &answer, std::string &why, bool &unread)
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

void HelperProcess::End()
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

// Reads or writes all of `size` bytes, each wait bounded.
bool HelperProcess::Transfer(bool write, char *data, DWORD size, std::string &why)
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

bool HelperProcess::ReadFrame(std::string &frame, std::string &why)
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
BOOL HelperProcess::StartOnly(const std::wstring &exe, std::wstring &command, HANDLE inherit, PROCESS_INFORMATION &info,
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

} // namespace kelvra::bridge
