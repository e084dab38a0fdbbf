#include "kelvra/Binding.h"

#include "Internal.h"
#include "host/System.h"
#include "kelvra/Errors.h"

#if defined(_WIN32)
#include "windows/Bridge.h"
#endif

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace kelvra {

#if defined(_WIN32)
TSharedText MAPIDLL{u"MAPI32.DLL"};
#else
TSharedText MAPIDLL{u"libkelvramapi.so"};
#endif

std::atomic<bool> MAPIUNICODE{false};
std::atomic<bool> MAPIBRIDGE{true};

TSharedText &TSharedText::operator=(host::String value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = std::move(value);
    return *this;
}

host::String TSharedText::Get() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
}

namespace {

enum Slot : std::size_t {
    kLogon, kLogoff, kSendMail, kSendDocuments, kFindNext, kReadMail,
    kSaveMail, kDeleteMail, kFreeBuffer, kAddress, kDetails, kResolveName, kSlotCount
};

// Export names, in the order of lookup.
const char16_t *const kExportNames[kSlotCount] = {
    u"MAPILogon", u"MAPILogoff", u"MAPISendMail", u"MAPISendDocuments",
    u"MAPIFindNext", u"MAPIReadMail", u"MAPISaveMail", u"MAPIDeleteMail",
    u"MAPIFreeBuffer", u"MAPIAddress", u"MAPIDetails", u"MAPIResolveName",
};

// Process-wide: loaded once, never unloaded, never cleared. The slots are
// filled under the mutex before `g_loaded` is set; whoever sees it set sees
// them filled.
std::mutex g_loadMutex;
std::atomic<bool> g_loaded{false};
host::TModuleHandle g_library = nullptr;
void *g_slots[kSlotCount] = {};
// Not one of the twelve: looked up the same way, but a library without it
// is as good as one with it.
const char kSendMailW[] = "MAPISendMailW";
void *g_sendMailW = nullptr;
// The Kelvra provider's reason for the thread's last failure, beside the
// twelve; other platform libraries have none.
using LastReasonFn = ULONG (*)(LPSTR, ULONG);
void *g_lastReason = nullptr;

template <class Fn>
Fn EntryPoint(Slot slot, const char16_t *accessorName)
{
    InitMapi();
    // The message is made only when it is needed: this runs at every call.
    if (g_slots[slot] == nullptr)
        CheckFunction(false, accessorName);
    return reinterpret_cast<Fn>(g_slots[slot]);
}

} // namespace

void CheckCondition(bool condition, const host::String &message)
{
    if (!condition)
        throw EKelvraError(0, message);
}

void CheckFunction(bool available, const host::String &functionName)
{
    CheckCondition(available, u"Function '" + functionName + u"' not available.");
}

host::String NarrowText(const char *narrow)
{
    return narrow != nullptr ? host::FromAnsi(narrow) : host::String();
}

void InitMapi()
{
    if (g_loaded.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> lock(g_loadMutex);
    if (g_loaded.load(std::memory_order_relaxed))
        return; // another thread loaded it meanwhile
    const host::String name = MAPIDLL.Get();
#if defined(_WIN32)
    if (MAPIBRIDGE.load() && bridge::Start(name)) {
        for (std::size_t i = 0; i < kSlotCount; ++i)
            g_slots[i] = bridge::EntryPoint(host::ToAnsi(kExportNames[i]).c_str());
        g_sendMailW = bridge::EntryPoint(kSendMailW);
        g_lastReason = bridge::EntryPoint("KelvraMapiLastReason");
        g_loaded.store(true, std::memory_order_release);
        return;
    }
#endif
    host::String errorText;
    host::TModuleHandle library = host::LoadModule(name, errorText);
    if (library == nullptr)
        throw EKelvraError(0, errorText + u": " + name); // the next call tries again
    g_library = library;
    for (std::size_t i = 0; i < kSlotCount; ++i)
        g_slots[i] = host::FindExport(g_library, host::ToAnsi(kExportNames[i]).c_str());
    g_sendMailW = host::FindExport(g_library, kSendMailW);
    g_lastReason = host::FindExport(g_library, "KelvraMapiLastReason");
    g_loaded.store(true, std::memory_order_release);
}

LPMAPILOGON MapiLogOn() { return EntryPoint<LPMAPILOGON>(kLogon, u"MapiLogOn"); }
LPMAPILOGOFF MapiLogOff() { return EntryPoint<LPMAPILOGOFF>(kLogoff, u"MapiLogOff"); }
LPMAPISENDMAIL MapiSendMail() { return EntryPoint<LPMAPISENDMAIL>(kSendMail, u"MapiSendMail"); }
LPMAPISENDDOCUMENTS MapiSendDocuments()
{
    return EntryPoint<LPMAPISENDDOCUMENTS>(kSendDocuments, u"MapiSendDocuments");
}
LPMAPIFINDNEXT MapiFindNext() { return EntryPoint<LPMAPIFINDNEXT>(kFindNext, u"MapiFindNext"); }
LPMAPIREADMAIL MapiReadMail() { return EntryPoint<LPMAPIREADMAIL>(kReadMail, u"MapiReadMail"); }
LPMAPISAVEMAIL MapiSaveMail() { return EntryPoint<LPMAPISAVEMAIL>(kSaveMail, u"MapiSaveMail"); }
LPMAPIDELETEMAIL MapiDeleteMail() { return EntryPoint<LPMAPIDELETEMAIL>(kDeleteMail, u"MapiDeleteMail"); }
LPMAPIFREEBUFFER MapiFreeBuffer() { return EntryPoint<LPMAPIFREEBUFFER>(kFreeBuffer, u"MapiFreeBuffer"); }
LPMAPIADDRESS MapiAddress() { return EntryPoint<LPMAPIADDRESS>(kAddress, u"MapiAddress"); }
LPMAPIDETAILS MapiDetails() { return EntryPoint<LPMAPIDETAILS>(kDetails, u"MapiDetails"); }
LPMAPIRESOLVENAME MapiResolveName()
{
    return EntryPoint<LPMAPIRESOLVENAME>(kResolveName, u"MapiResolveName");
}

host::String PlatformReason()
{
    if (!g_loaded.load(std::memory_order_acquire))
        return {};
    std::string reason;
    if (g_lastReason != nullptr) {
        const auto reasonOf = reinterpret_cast<LastReasonFn>(g_lastReason);
        reason.assign(1024, '\0');
        const ULONG length = reasonOf(reason.data(), static_cast<ULONG>(reason.size()));
        reason.resize(std::min<std::size_t>(length, reason.size() - 1));
    }
#if defined(_WIN32)
    // The system's library says no more than its code: what Windows would
    // use says the rest.
    if (reason.empty() && bridge::IsSystemLibrary(MAPIDLL.Get()))
        reason = bridge::Diagnosis();
#endif
    return host::FromUtf8(reason);
}

host::String MailSystemDescription()
{
#if defined(_WIN32)
    try {
        InitMapi();
    } catch (const EKelvraError &) {
        // Not loaded: the registry still says which client it would be.
    }
    if (bridge::IsSystemLibrary(MAPIDLL.Get()))
        return host::FromUtf8(bridge::Diagnosis());
#endif
    return {};
}

LPMAPISENDMAILW OptionalSendMailW()
{
    InitMapi();
    return reinterpret_cast<LPMAPISENDMAILW>(g_sendMailW);
}

} // namespace kelvra
