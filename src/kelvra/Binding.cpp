#include "kelvra/Binding.h"

#include "Internal.h"
#include "host/System.h"
#include "kelvra/Errors.h"
#include "mapi/EntryPoints.h"
#include "mapi/KelvraProvider.h"

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

// One slot per entry point of mapi/EntryPoints.h, in its order.
enum Slot : std::size_t {
#define KELVRA_SLOT(name, type, accessor) k##name,
    MAPI_ENTRY_POINTS(KELVRA_SLOT)
#undef KELVRA_SLOT
    kSlotCount
};

// Export names, in the order of lookup.
const char *const kExportNames[kSlotCount] = {
#define KELVRA_EXPORT_NAME(name, type, accessor) "MAPI" #name,
    MAPI_ENTRY_POINTS(KELVRA_EXPORT_NAME)
#undef KELVRA_EXPORT_NAME
};

// Process-wide: loaded once, never unloaded, never cleared. The slots are
// filled under the mutex before `g_loaded` is set; whoever sees it set sees
// them filled.
std::mutex g_loadMutex;
std::atomic<bool> g_loaded{false};
host::TModuleHandle g_library = nullptr;
void *g_slots[kSlotCount] = {};
// Beside the twelve: looked up the same way, but a library without them is
// as good as one with them.
enum OptionalSlot : std::size_t {
#define KELVRA_SLOT(name, type) kOptional##name,
    MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_SLOT)
#undef KELVRA_SLOT
    kOptionalCount
};
const char *const kOptionalNames[kOptionalCount] = {
#define KELVRA_EXPORT_NAME(name, type) "MAPI" #name,
    MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_EXPORT_NAME)
#undef KELVRA_EXPORT_NAME
};
void *g_optional[kOptionalCount] = {};
// The Kelvra provider's reason for the thread's last failure
// (mapi/KelvraProvider.h); other platform libraries have none.
void *g_lastReason = nullptr;
void *g_lastOutcome = nullptr;

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
    if (!condition) {
        SetLastReason({}); // the message says it all
        throw EKelvraError(0, message);
    }
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
            g_slots[i] = bridge::EntryPoint(kExportNames[i]);
        for (std::size_t i = 0; i < kOptionalCount; ++i)
            g_optional[i] = bridge::EntryPoint(kOptionalNames[i]);
        g_lastReason = bridge::EntryPoint("KelvraMapiLastReason");
        g_lastOutcome = bridge::EntryPoint("KelvraMapiLastOutcome");
        g_loaded.store(true, std::memory_order_release);
        return;
    }
#endif
    host::String errorText;
    host::TModuleHandle library = host::LoadModule(name, errorText);
    if (library == nullptr)
    {
        SetLastReason({});
        throw EKelvraError(0, errorText + u": " + name); // the next call tries again
    }
    g_library = library;
    for (std::size_t i = 0; i < kSlotCount; ++i)
        g_slots[i] = host::FindExport(g_library, kExportNames[i]);
    for (std::size_t i = 0; i < kOptionalCount; ++i)
        g_optional[i] = host::FindExport(g_library, kOptionalNames[i]);
    g_lastReason = host::FindExport(g_library, "KelvraMapiLastReason");
    g_lastOutcome = host::FindExport(g_library, "KelvraMapiLastOutcome");
    g_loaded.store(true, std::memory_order_release);
}

#define KELVRA_ACCESSOR(name, type, accessor) \
    type accessor() { return EntryPoint<type>(k##name, u"" #accessor); }
MAPI_ENTRY_POINTS(KELVRA_ACCESSOR)
#undef KELVRA_ACCESSOR

host::String PlatformReason()
{
    if (!g_loaded.load(std::memory_order_acquire))
        return {};
    std::string reason;
    if (g_lastReason != nullptr) {
        const auto reasonOf = reinterpret_cast<LPKELVRAMAPILASTREASON>(g_lastReason);
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

host::String PlatformOutcome()
{
    if (!g_loaded.load(std::memory_order_acquire) || g_lastOutcome == nullptr)
        return {};
    const auto outcome = reinterpret_cast<LPKELVRAMAPILASTOUTCOME>(g_lastOutcome);
    std::string text(outcome(nullptr, 0), '\0');
    outcome(text.data(), static_cast<ULONG>(text.size() + 1));
    return host::FromUtf8(text);
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
    return reinterpret_cast<LPMAPISENDMAILW>(g_optional[kOptionalSendMailW]);
}

} // namespace kelvra
