// Routines private to the runtime unit.
#pragma once

#include "host/Text.h"
#include "mapi/SimpleMapi.h"

namespace kelvra {

class TKelvraSession;

// Raise EKelvraError with ErrorCode 0 when the condition does not hold.
void CheckCondition(bool condition, const host::String &message);
// "Function '<name>' not available." when the entry point is missing.
void CheckFunction(bool available, const host::String &functionName);

// The parent window of every platform call: 0 without a session or when it
// says seNoParentWindow, else the application's main window.
ULONG_PTR ParentWindow(const TKelvraSession *session);

} // namespace kelvra
