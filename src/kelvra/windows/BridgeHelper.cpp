// kelvra-mapi32.exe / kelvra-mapi64.exe: the helper that carries an
// application's Simple MAPI calls to a mail client's DLL of the other
// bitness (see Bridge.h).
//
//   kelvra-mapiNN.exe PIPE-HANDLE HANDLER-DLL
//
// Its pipe to the library is a handle it inherits, named by number; its
// standard handles lead nowhere, so a handler that prints or reads its input
// cannot disturb the frames, and no process the handler starts inherits the
// pipe. It loads the handler, greets with the entry points it has, then
// answers one request at a time: the call made with the records read from
// the request, the records the handler gave back written out and freed with
// its MAPIFreeBuffer. While a call runs it sends a heartbeat every second,
// so the library can tell a long call (a dialog the user is in) from a
// helper that is gone. It ends at the end of its input, or after a minute
// with no session open and no call.
#include "BridgeCalls.h"
#include "BridgeWire.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

using namespace kelvra::bridge;

namespace {

HANDLE g_pipe = nullptr; // to the library, both ways
std::mutex g_writeMutex;

bool WriteAll(const char *data, DWORD size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(g_pipe, data, size, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool SendFrame(Frame kind, const std::string &body = {})
{
    std::lock_guard<std::mutex> lock(g_writeMutex);
    Writer head;
    head.U32(static_cast<std::uint32_t>(body.size() + 1));
    head.U8(kind);
    return WriteAll(head.Data().data(), static_cast<DWORD>(head.Data().size())) &&
           WriteAll(body.data(), static_cast<DWORD>(body.size()));
}

bool ReadAll(char *data, DWORD size)
{
    while (size > 0) {
        DWORD read = 0;
        if (!ReadFile(g_pipe, data, size, &read, nullptr) || read == 0)
            return false;
        data += read;
        size -= read;
    }
    return true;
}

// The next request; false at the end of input.
bool ReceiveRequest(std::string &body)
{
    char head[4];
    if (!ReadAll(head, 4))
        return false;
    Reader length(std::string(head, 4));
    body.resize(length.U32());
    return body.empty() || ReadAll(body.data(), static_cast<DWORD>(body.size()));
}

// The handler's entry points, each under its name in mapi/EntryPoints.h;
// null where it lacks one.
struct Handler {
#define KELVRA_MEMBER(name, type, ...) type name = nullptr;
    MAPI_ENTRY_POINTS(KELVRA_MEMBER) MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_MEMBER)
#undef KELVRA_MEMBER

    // One bit per Call it has.
    std::uint32_t Present() const
    {
        std::uint32_t bits = 0;
#define KELVRA_BIT(name, ...) bits |= name != nullptr ? 1u << k##name : 0u;
        MAPI_ENTRY_POINTS(KELVRA_BIT) MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_BIT)
#undef KELVRA_BIT
        return bits;
    }
};

template <class Fn> Fn Find(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// Reads one request, calls the handler with its fields, and writes the
// answer, each call's fields as BridgeCalls.h describes them. A call the
// handler lacks (the library never sends one) is refused like an unknown one.
std::string Answer(const Handler &h, Reader &in)
{
    Writer out;
    const std::uint32_t call = in.U32();
    switch (call) {
#define KELVRA_CASE(name, ...)                                         \
    case k##name:                                                      \
        if (h.name == nullptr)                                         \
            throw WireError("a call the handler lacks");               \
        Serve(Fields<k##name>::List{}, h.name, in, out, h.FreeBuffer); \
        return out.Data();
        MAPI_ENTRY_POINTS(KELVRA_CASE) MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_CASE)
#undef KELVRA_CASE
    default:
        break;
    }
    throw WireError("an unknown call");
}

// Sessions open and whether a call runs, for the heartbeat and the idle end.
std::mutex g_stateMutex;
std::condition_variable g_stateChanged;
bool g_busy = false;
int g_sessions = 0;
auto g_lastCall = std::chrono::steady_clock::now();

void Heartbeat()
{
    std::unique_lock<std::mutex> lock(g_stateMutex);
    for (;;) {
        g_stateChanged.wait_for(lock, std::chrono::seconds(1));
        if (g_busy) {
            lock.unlock();
            SendFrame(kBusy);
            lock.lock();
        } else if (g_sessions <= 0 && std::chrono::steady_clock::now() - g_lastCall >= std::chrono::minutes(1)) {
            // Idle: nothing pending (a request that arrived meanwhile keeps
            // the helper), so the library may start a new one on its next call.
            DWORD pending = 0;
            if (PeekNamedPipe(g_pipe, nullptr, 0, nullptr, &pending, nullptr) && pending == 0)
                ExitProcess(0);
            if (GetLastError() == ERROR_BROKEN_PIPE)
                ExitProcess(0);
        }
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    wchar_t *end = nullptr;
    g_pipe = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::wcstoull(argv[1], &end, 10)));
    if (end == argv[1] || *end != L'\0' || GetFileType(g_pipe) != FILE_TYPE_PIPE ||
        !SetHandleInformation(g_pipe, HANDLE_FLAG_INHERIT, 0))
        return 2;
    // The handler's own dialogs and errors are its business; no error box
    // of the system's stops the helper.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryW(argv[2]);
    if (module == nullptr) {
        Writer why;
        why.U32(GetLastError());
        SendFrame(kRefused, why.Data());
        return 1;
    }
    Handler h;
#define KELVRA_FIND(name, type, ...) h.name = Find<type>(module, "MAPI" #name);
    MAPI_ENTRY_POINTS(KELVRA_FIND) MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_FIND)
#undef KELVRA_FIND
    Writer hello;
    hello.U32(h.Present());
    if (!SendFrame(kHello, hello.Data()))
        return 1;
    std::thread(Heartbeat).detach();
    std::string request;
    while (ReceiveRequest(request)) {
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            g_busy = true;
        }
        Reader in(request);
        const std::uint32_t call = Reader(request).U32();
        std::string answer;
        try {
            answer = Answer(h, in);
        } catch (...) {
            return 3; // a request it cannot read, or cannot hold: the library ends the call as failed
        }
        const std::uint32_t result = Reader(answer).U32();
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            g_busy = false;
            g_lastCall = std::chrono::steady_clock::now();
            if (result == SUCCESS_SUCCESS && call == kLogon)
                ++g_sessions;
            else if (result == SUCCESS_SUCCESS && call == kLogoff)
                --g_sessions;
        }
        if (!SendFrame(kAnswer, answer))
            return 1;
    }
    return 0;
}
