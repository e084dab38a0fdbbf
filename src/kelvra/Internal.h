// Routines private to the runtime unit.
#pragma once

#include "host/Text.h"
#include "mapi/SimpleMapi.h"

#include <cstddef>

namespace kelvra {

class TKelvraSession;

// Raise EKelvraError with ErrorCode 0 when the condition does not hold.
void CheckCondition(bool condition, const host::String &message);
// "Function '<name>' not available." when the entry point is missing.
void CheckFunction(bool available, const host::String &functionName);

// A record count as the platform takes it (a 32-bit count); raises when
// a list is too long for one call.
ULONG RecordCount(std::size_t count);

// The parent window of every platform call: 0 without a session or when it
// says seNoParentWindow, else the application's main window.
ULONG_PTR ParentWindow(const TKelvraSession *session);

} // namespace kelvra
