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
class KELVRA_API EKelvraError : public host::Exception {
public:
    EKelvraError(std::int32_t errorCode, String message, String reason = {});

    std::int32_t ErrorCode;
    // The platform library's own reason, also at the end of the message;
    // empty when it gave none. A program that prints its own error lines
    // can put it first.
    String Reason;
};

// Returns for 0; raises EKelvraError with the code and its fixed English
// message for anything else, followed by the platform library's own reason
// in parentheses when it gives one (the Kelvra provider does: the profile
// and file, the recipient, the folder or the server). The code's 32 bits
// are kept, so the all-ones code reads as ErrorCode -1.
KELVRA_API void Check(std::uint32_t resultCode);

// The fixed message of a result code ("Unknown error." for 7 and past 26).
KELVRA_API const char16_t *CheckMessage(std::uint32_t resultCode);

} // namespace kelvra
