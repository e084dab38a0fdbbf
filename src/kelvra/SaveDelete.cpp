// TKelvraReadMail: saving the held message back and deleting the selected one.
#include "kelvra/ReadMail.h"

#include "Internal.h"
#include "kelvra/Binding.h"
#include "kelvra/Errors.h"

#include <cstring>

namespace kelvra {

namespace {

// The identifier buffer of MAPISaveMail (512 characters with
// MAPI_LONG_MSGID, and room to spare).
constexpr std::size_t kSaveBufferSize = 516;

} // namespace

void TKelvraReadMail::Save()
{
    // A partial record handed back could replace the stored message with
    // one that lacks what the read left out.
    CheckCondition(FMapiMessage == nullptr || !(FReadFlags.Contains(TReadFlag::rfEnvelopeOnly) ||
                                                FReadFlags.Contains(TReadFlag::rfSuppressAttach) ||
                                                FReadFlags.Contains(TReadFlag::rfBodyAsFile)),
                   u"The message was read without all of its body and attachments (ReadFlags has rfEnvelopeOnly, "
                   u"rfSuppressAttach or rfBodyAsFile), so saving it could lose them. Read it again without those "
                   u"flags, then edit and save it.");
    // An identifier set through MessageID may be longer than any the
    // platform hands out; it is refused rather than cut or overrun.
    CheckCondition(FMessageID.size() < kSaveBufferSize,
                   u"The message identifier is too long to save: at most " +
                       host::FromAscii(std::to_string(kSaveBufferSize - 1)) + u" bytes are possible.");
    char buffer[kSaveBufferSize] = {};
    std::memcpy(buffer, FMessageID.data(), FMessageID.size());
    lpMapiMessage message = FMapiMessage;
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPISAVEMAIL saveMail = MapiSaveMail();
    // What the platform writes back into the buffer is not taken over: the
    // selection and the held record stay as they are.
    Check(saveMail(session, window, message, MAPI_LONG_MSGID, 0, buffer));
}

void TKelvraReadMail::Delete()
{
    FreeMapiMessage();
    host::AnsiString id = FMessageID;
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPIDELETEMAIL deleteMail = MapiDeleteMail();
    Check(deleteMail(session, window, id.data(), 0, 0));
}

} // namespace kelvra
