// The library's one exception type, and Check, where a Simple MAPI result
// code becomes one.
#pragma once

#include "host/Export.h"

#include "host/Exception.h"

#include <cstdint>

namespace kelvra {

using host::String;

// Raised for every failure of the platform (ErrorCode is its result code)
// and of the binding (ErrorCode 0: the library or an entry point is missing).
// Its message is fixed by the code (CheckMessage); the platform's own words
// stand beside it, in LastReason.
class KELVRA_API EKelvraError : public host::Exception {
public:
    EKelvraError(std::int32_t errorCode, String message);

    std::int32_t ErrorCode;
};

// Returns for 0; raises EKelvraError with the code and its fixed English
// message (CheckMessage) for anything else. The code's 32 bits are kept, so
// the all-ones code reads as ErrorCode -1.
KELVRA_API void Check(std::uint32_t resultCode);

// Why the platform refused, in its own words, for the most recent
// EKelvraError raised on the calling thread: the Kelvra provider names the
// profile and file, the recipient, the folder or the server; on Windows the
// diagnosis of the mail client, or the bridge's failure; for a send, the
// attachment that is not a file. Empty when the platform gave no reason
// (and for the binding's own errors, whose message says it all). A program
// that prints its own error lines prints it first, then the message:
//
//     catch (const kelvra::EKelvraError &e) {
//         const kelvra::String reason = kelvra::LastReason();
//         // show reason (when not empty), then e.Message()
//     }
KELVRA_API String LastReason();

// The fixed message of a result code ("Unknown error." for 7 and past 26).
KELVRA_API const char16_t *CheckMessage(std::uint32_t resultCode);

} // namespace kelvra
