#include "kelvra/Errors.h"

#include "Internal.h"

#include <utility>

namespace kelvra {

namespace {

const char16_t kUnknown[] = u"Unknown error.";

// Indexed by result code; 7 has no text of its own.
const char16_t *const kMessages[] = {
    nullptr,
    u"The user canceled one of the dialog boxes.",
    u"One or more unspecified errors occurred.",
    u"There was no default logon, and the user failed to log on successfully when the logon dialog box was displayed.",
    u"An attachment could not be written to a temporary file because there was not enough space on the disk.",
    u"There was insufficient memory to proceed.",
    u"Access denied.",
    kUnknown,
    u"The user had too many sessions open simultaneously.",
    u"There were too many file attachments in the message.",
    u"There were too many recipients of the message.",
    u"An attachment could not be located at the specified path. Either the drive letter was invalid, the path was not found on that drive, or the file was not found in that path.",
    u"The specified attachment could not be opened.",
    u"An attachment could not be written to a temporary file. Check directory permissions.",
    u"The recipient could not be resolved to any address. The recipient might not exist or might be unknown.",
    u"The recipient type in the message was invalid.",
    u"A matching message could not be found.",
    u"An invalid message identifier.",
    u"The text in the message was too large.",
    u"An invalid session handle.",
    u"Type not supported.",
    u"The recipient requested has not been or could not be resolved to a unique address list entry.",
    u"Message in use.",
    u"Network failure.",
    u"The value of the EditFields parameter was outside the range of 0 through 4.",
    u"One or more of the recipients in the address list was not valid.",
    u"The operation was not supported by the underlying messaging system.",
};

constexpr std::uint32_t kLastCode = sizeof kMessages / sizeof kMessages[0] - 1;

// The reason of the thread's most recent EKelvraError.
thread_local String t_lastReason;

} // namespace

EKelvraError::EKelvraError(std::int32_t errorCode, String message)
    : host::Exception(std::move(message)), ErrorCode(errorCode)
{
}

void SetLastReason(String reason) { t_lastReason = std::move(reason); }

String LastReason() { return t_lastReason; }

const char16_t *CheckMessage(std::uint32_t resultCode)
{
    if (resultCode == 0 || resultCode > kLastCode)
        return kUnknown;
    return kMessages[resultCode];
}

void Check(std::uint32_t resultCode)
{
    if (resultCode == 0)
        return;
    // The platform's own reason, when it gives one: what was refused and why.
    SetLastReason(PlatformReason());
    throw EKelvraError(static_cast<std::int32_t>(resultCode), CheckMessage(resultCode));
}

} // namespace kelvra
