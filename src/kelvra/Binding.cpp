#include "kelvra/Binding.h"

#include "Internal.h"
#include "host/System.h"
#include "kelvra/Errors.h"

#include <cstddef>

namespace kelvra {

#if defined(_WIN32)
host::String MAPIDLL = u"MAPI32.DLL";
#else
host::String MAPIDLL = u"libkelvramapi.so";
#endif

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

// Process-wide: loaded once, never unloaded, never cleared.
host::TModuleHandle g_library = nullptr;
void *g_slots[kSlotCount] = {};

template <class Fn>
Fn EntryPoint(Slot slot, const char16_t *accessorName)
{
    InitMapi();
    CheckFunction(g_slots[slot] != nullptr, accessorName);
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
    if (g_library != nullptr)
        return;
    host::String errorText;
    host::TModuleHandle library = host::LoadModule(MAPIDLL, errorText);
    if (library == nullptr)
        throw EKelvraError(0, errorText + u": " + MAPIDLL);
    g_library = library;
    for (std::size_t i = 0; i < kSlotCount; ++i)
        g_slots[i] = host::FindExport(g_library, host::ToAnsi(kExportNames[i]).c_str());
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

} // namespace kelvra
