// The bridge's calls (Windows only): each entry point's stub sends its
// call to the helper (HelperProcess.h) and hands back what the handler gave,
// its fields as BridgeCalls.h describes them; MAPIFreeBuffer frees those
// records here. What the mail client is: MailClient.h.
#include "Bridge.h"

#include "BridgeCalls.h"
#include "BridgeWire.h"
#include "HelperProcess.h"
#include "MailClient.h"
#include "SystemText.h"
#include "mapi/KelvraProvider.h"

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
#include <tuple>
#include <utility>

namespace kelvra::bridge {

namespace {

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

std::mutex g_callMutex;
HelperProcess g_helper;
std::wstring g_helperPath;
std::wstring g_handlerPath;
std::uint32_t g_present = 0;

// The records handed out, each owning its parts, until MAPIFreeBuffer.
std::mutex g_blockMutex;
std::map<void *, std::unique_ptr<Arena>> g_blocks;

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

// One call carried to the helper: the request from the caller's
// arguments, then the answer into them, each as Fields says.
template <Call C, class List> struct Carrier;
template <Call C, class... R> struct Carrier<C, Roles<R...>> {
    static ULONG MAPI_CALL Run(typename R::Param... args)
    {
        using All = std::tuple<R...>;
        const std::tuple<typename R::Param...> given(args...);
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            Writer request;
            request.U32(C);
            (std::tuple_element_t<I, All>::template Send<I>(request, given), ...);
            return Answered(request, [&](Reader &answer) {
                const ULONG result = answer.U32();
                (std::tuple_element_t<I, All>::template Take<I>(answer, result, given), ...);
                return result;
            });
        }(std::index_sequence_for<R...>{});
    }
};

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

// Each entry point's stub: its own type, carrying its call to the helper.
template <Call C, class Type> void *Stub()
{
    return reinterpret_cast<void *>(static_cast<Type>(&Carrier<C, typename Fields<C>::List>::Run));
}
// MAPIFreeBuffer frees here what the stubs made.
template <> void *Stub<kFreeBuffer, LPMAPIFREEBUFFER>()
{
    return reinterpret_cast<void *>(static_cast<LPMAPIFREEBUFFER>(&FreeBuffer));
}

} // namespace

void *HandOut(std::unique_ptr<Arena> arena, void *record)
{
    if (record != nullptr) {
        std::lock_guard<std::mutex> lock(g_blockMutex);
        g_blocks.emplace(record, std::move(arena));
    }
    return record;
}

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
    const std::wstring handler = FindMailClient().dll;
    if (handler.empty())
        return false;
    const WORD machine = MachineOf(handler);
    if (machine == 0 || machine == kOwnMachine)
        return false;
    std::lock_guard<std::mutex> lock(g_callMutex);
    g_helperPath = HelperPath();
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
#define KELVRA_ENTRY(name, type, ...) {"MAPI" #name, k##name, Stub<k##name, type>()},
        MAPI_ENTRY_POINTS(KELVRA_ENTRY) MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_ENTRY)
#undef KELVRA_ENTRY
    };
    if (std::strcmp(exportName, "KelvraMapiLastReason") == 0)
        return reinterpret_cast<void *>(static_cast<LPKELVRAMAPILASTREASON>(&LastReason));
    for (const Entry &e : entries)
        if (std::strcmp(exportName, e.name) == 0)
            return (g_present & (1u << e.bit)) != 0 ? e.function : nullptr;
    return nullptr;
}

} // namespace kelvra::bridge

