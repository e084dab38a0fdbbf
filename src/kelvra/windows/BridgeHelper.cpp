// kelvra-mapi32.exe / kelvra-mapi64.exe: the helper that carries an
// application's Simple MAPI calls to a mail client's DLL of the other
// bitness (see Bridge.cpp).
//
//   kelvra-mapiNN.exe PIPE-HANDLE HANDLER-DLL
//
// Its pipe to the library is a handle it inherits, named by number; its
// standard handles lead nowhere, so a handler that prints or reads its input
// cannot disturb the frames, and no process the handler starts inherits the
// pipe. It loads the handler, greets with the entry points it has, then
// answers one request at a time: the call made with the records read from the request, the records
// the handler gave back written out and freed with its MAPIFreeBuffer. While
// a call runs it sends a heartbeat every second, so the library can tell a
// long call (a dialog the user is in) from a helper that is gone. It ends at
// the end of its input, or after a minute with no session open and no call.
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

struct Handler {
    LPMAPILOGON logon = nullptr;
    LPMAPILOGOFF logoff = nullptr;
    LPMAPISENDMAIL sendMail = nullptr;
    LPMAPISENDMAILW sendMailW = nullptr;
    LPMAPISENDDOCUMENTS sendDocuments = nullptr;
    LPMAPIFINDNEXT findNext = nullptr;
    LPMAPIREADMAIL readMail = nullptr;
    LPMAPISAVEMAIL saveMail = nullptr;
    LPMAPIDELETEMAIL deleteMail = nullptr;
    LPMAPIFREEBUFFER freeBuffer = nullptr;
    LPMAPIADDRESS address = nullptr;
    LPMAPIDETAILS details = nullptr;
    LPMAPIRESOLVENAME resolveName = nullptr;

    std::uint32_t Present() const
    {
        // Bit 0: MAPIFreeBuffer; then one bit per Call.
        const bool present[] = {freeBuffer != nullptr, logon != nullptr,     logoff != nullptr,
                                sendMail != nullptr,   sendMailW != nullptr, sendDocuments != nullptr,
                                findNext != nullptr,   readMail != nullptr,  saveMail != nullptr,
                                deleteMail != nullptr, address != nullptr,   details != nullptr,
                                resolveName != nullptr};
        std::uint32_t bits = 0;
        for (std::uint32_t i = 0; i < kCallEnd; ++i)
            if (present[i])
                bits |= 1u << i;
        return bits;
    }
};

template <class Fn> Fn Find(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// A message identifier buffer of the size callers give, holding `id`.
struct IdBuffer {
    char text[kIdSize] = {};
    explicit IdBuffer(const char *id)
    {
        if (id != nullptr)
            std::strncpy(text, id, kIdSize - 1);
    }
};

// The identifier a call wrote: up to its zero, or the whole buffer.
void WriteId(Writer &out, const IdBuffer &id) { out.Bytes(id.text, strnlen(id.text, kIdSize)); }

// Frees a block the handler gave, once.
void Release(const Handler &h, void *block)
{
    if (block != nullptr && h.freeBuffer != nullptr)
        h.freeBuffer(block);
}

std::string Answer(const Handler &h, Reader &in)
{
    Arena arena;
    Writer out;
    const std::uint32_t call = in.U32();
    switch (call) {
    case kLogon: {
        const ULONG_PTR ui = in.U64();
        char *profile = in.Text(arena);
        char *password = in.Text(arena);
        const FLAGS flags = in.U32();
        const ULONG reserved = in.U32();
        LHANDLE session = 0;
        out.U32(h.logon(ui, profile, password, flags, reserved, &session));
        out.U64(session);
        break;
    }
    case kLogoff: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        const FLAGS flags = in.U32();
        out.U32(h.logoff(session, ui, flags, in.U32()));
        break;
    }
    case kSendMail:
    case kSendMailW: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        MapiMessage *narrow = call == kSendMail ? in.Message(arena) : nullptr;
        MapiMessageW *wide = call == kSendMailW ? in.MessageW(arena) : nullptr;
        const FLAGS flags = in.U32();
        const ULONG reserved = in.U32();
        out.U32(call == kSendMail ? h.sendMail(session, ui, narrow, flags, reserved)
                                  : h.sendMailW(session, ui, wide, flags, reserved));
        break;
    }
    case kSendDocuments: {
        const ULONG_PTR ui = in.U64();
        char *delimiter = in.Text(arena);
        char *paths = in.Text(arena);
        char *names = in.Text(arena);
        out.U32(h.sendDocuments(ui, delimiter, paths, names, in.U32()));
        break;
    }
    case kFindNext: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        char *type = in.Text(arena);
        char *seed = in.Text(arena);
        const FLAGS flags = in.U32();
        const ULONG reserved = in.U32();
        IdBuffer id(nullptr);
        out.U32(h.findNext(session, ui, type, seed, flags, reserved, id.text));
        WriteId(out, id);
        break;
    }
    case kReadMail: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        char *id = in.Text(arena);
        const FLAGS flags = in.U32();
        const ULONG reserved = in.U32();
        lpMapiMessage message = nullptr;
        out.U32(h.readMail(session, ui, id, flags, reserved, &message));
        out.Message(message);
        Release(h, message);
        break;
    }
    case kSaveMail: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        MapiMessage *message = in.Message(arena);
        const FLAGS flags = in.U32();
        const ULONG reserved = in.U32();
        IdBuffer id(in.Text(arena));
        out.U32(h.saveMail(session, ui, message, flags, reserved, id.text));
        WriteId(out, id);
        break;
    }
    case kDeleteMail: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        char *id = in.Text(arena);
        const FLAGS flags = in.U32();
        out.U32(h.deleteMail(session, ui, id, flags, in.U32()));
        break;
    }
    case kAddress: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        char *caption = in.Text(arena);
        const ULONG editFields = in.U32();
        char *labels = in.Text(arena);
        ULONG count = 0;
        MapiRecipDesc *recips = in.Recips(arena, &count);
        const FLAGS flags = in.U32();
        const ULONG reserved = in.U32();
        ULONG newCount = 0;
        lpMapiRecipDesc newRecips = nullptr;
        out.U32(h.address(session, ui, caption, editFields, labels, count, recips, flags, reserved, &newCount,
                          &newRecips));
        out.Recips(newCount, newRecips);
        Release(h, newRecips);
        break;
    }
    case kDetails: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        MapiRecipDesc *recip = in.Recip(arena);
        const FLAGS flags = in.U32();
        out.U32(h.details(session, ui, recip, flags, in.U32()));
        break;
    }
    case kResolveName: {
        const LHANDLE session = in.U64();
        const ULONG_PTR ui = in.U64();
        char *name = in.Text(arena);
        const FLAGS flags = in.U32();
        const ULONG reserved = in.U32();
        lpMapiRecipDesc recip = nullptr;
        out.U32(h.resolveName(session, ui, name, flags, reserved, &recip));
        out.Recip(recip);
        Release(h, recip);
        break;
    }
    default:
        throw WireError("an unknown call");
    }
    return out.Data();
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
    h.logon = Find<LPMAPILOGON>(module, "MAPILogon");
    h.logoff = Find<LPMAPILOGOFF>(module, "MAPILogoff");
    h.sendMail = Find<LPMAPISENDMAIL>(module, "MAPISendMail");
    h.sendMailW = Find<LPMAPISENDMAILW>(module, "MAPISendMailW");
    h.sendDocuments = Find<LPMAPISENDDOCUMENTS>(module, "MAPISendDocuments");
    h.findNext = Find<LPMAPIFINDNEXT>(module, "MAPIFindNext");
    h.readMail = Find<LPMAPIREADMAIL>(module, "MAPIReadMail");
    h.saveMail = Find<LPMAPISAVEMAIL>(module, "MAPISaveMail");
    h.deleteMail = Find<LPMAPIDELETEMAIL>(module, "MAPIDeleteMail");
    h.freeBuffer = Find<LPMAPIFREEBUFFER>(module, "MAPIFreeBuffer");
    h.address = Find<LPMAPIADDRESS>(module, "MAPIAddress");
    h.details = Find<LPMAPIDETAILS>(module, "MAPIDetails");
    h.resolveName = Find<LPMAPIRESOLVENAME>(module, "MAPIResolveName");
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
