// How every entry point ends: whatever goes wrong inside becomes a result
// code (nothing raises across the ABI), and the thread's reason and outcome
// are the call's own.
#pragma once

#include "Errors.h"
#include "mapi/SimpleMapi.h"

#include <new>

namespace kelvra_provider {

// Runs `body` as an entry point's work: SUCCESS_SUCCESS when it returns,
// else the code it failed with (MAPI_E_INSUFFICIENT_MEMORY when memory ran
// out, MAPI_E_FAILURE for anything else). A reason left by a refusal the
// body recovered from is cleared; an outcome stays only on success.
template <class Body>
ULONG Guard(Body &&body)
{
    LastReason().clear(); // a reason is the call's own, and so is an outcome
    LastOutcome().clear();
    try {
        body();
        LastReason().clear(); // refused on the way, and recovered: no reason
        return SUCCESS_SUCCESS;
    } catch (const MapiError &e) {
        LastOutcome().clear();
        return e.code;
    } catch (const std::bad_alloc &) {
        LastOutcome().clear();
        return MAPI_E_INSUFFICIENT_MEMORY;
    } catch (...) {
        LastOutcome().clear();
        return MAPI_E_FAILURE;
    }
}

} // namespace kelvra_provider
