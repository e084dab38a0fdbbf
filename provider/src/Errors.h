// The provider's one way to fail, and its log: a result code on its way
// out of an entry point, the reason kept for the caller, the log line.
#pragma once

#include "mapi/SimpleMapi.h"

#include <string>

namespace kelvra_provider {

// A Simple MAPI result code on its way out of an entry point.
struct MapiError {
    ULONG code;
};

[[noreturn]] inline void Fail(ULONG code) { throw MapiError{code}; }

// Writes one line to the provider's log: the file KELVRA_MAPI_LOG names,
// or standard error when it says "stderr"; none when it is unset, empty,
// "off", or names anything but a regular file (the null device, a FIFO).
void Log(const std::string &line);
// Whether the caller prints each refusal's reason itself (from
// KelvraMapiLastReason): Refuse's line then goes to a log file alone,
// never to standard error.
void ReasonsToCaller(bool told);
// Logs why, then fails with `code`: the one form of a refusal that says
// what was refused (never a secret). The reason is also kept as the
// thread's last (KelvraMapiLastReason), until its next call begins.
[[noreturn]] void Refuse(const std::string &why, ULONG code = MAPI_E_FAILURE);
// The reason of the thread's last refusal in this call; empty when none.
std::string &LastReason();
// What the thread's last send did, in words, when it succeeded
// (KelvraMapiLastOutcome); empty when none.
std::string &LastOutcome();

} // namespace kelvra_provider
