// Routines private to the runtime unit.
#pragma once

#include "host/Text.h"
#include "mapi/SimpleMapi.h"

#include <cstddef>
#include <cstdint>

namespace kelvra {

class TKelvraSession;

// Keeps the reason of the EKelvraError about to be raised on this thread
// (LastReason).
void SetLastReason(host::String reason);

// Raise EKelvraError with ErrorCode 0 when the condition does not hold.
void CheckCondition(bool condition, const host::String &message);
// "Function '<name>' not available." when the entry point is missing.
void CheckFunction(bool available, const host::String &functionName);

// Why the platform library's last call on this thread failed, in its own
// words, when it says (the Kelvra provider does); empty otherwise, and when
// no library is loaded.
host::String PlatformReason();
// What the platform library's last send on this thread did, in its own
// words, when it says (the Kelvra provider does); empty otherwise.
host::String PlatformOutcome();

// MAPISendMailW of the platform library, loading it first if needed (which
// may raise); null when the library does not export it, which is no error.
LPMAPISENDMAILW OptionalSendMailW();

// A record count as the platform takes it (a 32-bit count); raises when
// a list is too long for one call.
ULONG RecordCount(std::size_t count);

// MAPIResolveName of one name, without dialog or logon interface: the
// platform's entry, for the caller to release (TMapiBlock), or null when the
// name did not resolve, whatever the code. The caller gathers the window
// and the session first (the session may log on).
lpMapiRecipDesc ResolveEntry(ULONG_PTR window, LHANDLE session, char *name);

// The flag word of an option set: bit i of the set adds bits[i].
template <class Flags, std::size_t N>
std::uint32_t FlagWord(Flags flags, const std::uint32_t (&bits)[N])
{
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < N; ++i)
        if ((flags.Bits() & (1u << i)) != 0)
            word |= bits[i];
    return word;
}

// A narrow text of the platform as text; a null pointer reads as empty.
host::String NarrowText(const char *narrow);

// The parent window of every platform call: 0 without a session or when it
// says seNoParentWindow, else the application's main window.
ULONG_PTR ParentWindow(const TKelvraSession *session);

} // namespace kelvra
