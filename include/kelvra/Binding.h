// The Simple MAPI binding: the platform library is loaded by file name on
// first use, once per process, and never unloaded; its twelve entry points
// are looked up by name, and each accessor hands one out or raises.
#pragma once

#include "host/Export.h"

#include "host/Text.h"
#include "mapi/SimpleMapi.h"

#include <atomic>
#include <mutex>
#include <string_view>

namespace kelvra {

// A process-wide text setting that any thread may read and assign.
class KELVRA_API TSharedText {
public:
    explicit TSharedText(host::String value) : value_(std::move(value)) {}
    TSharedText(const TSharedText &) = delete;
    TSharedText &operator=(const TSharedText &) = delete;

    TSharedText &operator=(host::String value);
    host::String Get() const;
    operator host::String() const { return Get(); }
    friend bool operator==(const TSharedText &a, std::u16string_view b) { return a.Get() == b; }

private:
    mutable std::mutex mutex_;
    host::String value_;
};

// The file name of the platform's Simple MAPI library, read afresh at every
// load attempt; changing it after a successful load has no effect.
// Default: "MAPI32.DLL" on Windows; on POSIX the Kelvra provider
// "libkelvramapi.so", looked for beside the program, then on the library path.
extern KELVRA_API TSharedText MAPIDLL;

// Whether TKelvraSendMail::Send hands its texts to the platform as UTF-16,
// so that a subject, body, recipient or attachment path outside the system's
// ANSI code page arrives whole. Off by default: the components then keep to
// narrow text in the code page. Read at every Send; any thread may set it.
//
// When on, and the platform library exports MAPISendMailW (Windows 8 and
// later, mail clients that register as the system's Simple MAPI handler,
// Wine, and the Kelvra provider on POSIX), Send builds the wide record
// (MapiMessageW, mapi/SimpleMapi.h) with the components' UTF-16 texts
// unchanged and calls MAPISendMailW, with the same flags, session and
// results as MAPISendMail. Recipients are still resolved through the narrow
// MAPIResolveName, whose answer can only hold code-page text; an item that
// the code page cannot hold exactly is not resolved there but handed over
// as typed, for the platform to resolve. A library without MAPISendMailW
// gets the narrow call, as with the setting off; that is not an error. No
// other call has a wide form, so nothing else changes.
extern KELVRA_API std::atomic<bool> MAPIUNICODE;

// Whether, on Windows, the library bridges to a Simple MAPI handler of the
// other bitness. An application of one bitness cannot load a mail client's
// DLL of the other: when MAPIDLL names the system's MAPI32.DLL and the
// system's handler (the user's default mail client under
// HKCU\Software\Clients\Mail, else the machine's under HKLM, its DLLPathEx
// or DLLPath) is of the other
// bitness, the library starts a helper of that bitness shipped beside its
// DLL (kelvra-mapi32.exe for a 64-bit application, kelvra-mapi64.exe for a
// 32-bit one), which loads the handler and carries out every call; what it
// gives back is made anew in the application's process and freed with
// MAPIFreeBuffer as usual. A helper that ends or falls silent fails the
// call with MAPI_E_FAILURE and starts anew on the next one. With the same
// bitness, no handler registered, or this set to false (before the first
// call), MAPI32.DLL is loaded directly. No effect on POSIX. Default: true.
extern KELVRA_API std::atomic<bool> MAPIBRIDGE;

// What the mail system is, in words, for a user to read when something
// fails: on Windows, with MAPIDLL naming the system's MAPI32.DLL, the mail
// client Windows uses for Simple MAPI (the user's choice or the machine's),
// its DLL and bitness, whether the library's helper carries the calls,
// whether it offers MAPISendMailW; or that no client is registered, and
// what to do. Loads the library first if it can. Empty elsewhere. The same
// words end the error text of a failed call that has no reason of its own.
KELVRA_API host::String MailSystemDescription();

// Loads the library and looks up its entry points unless that has happened.
// Raises EKelvraError (ErrorCode 0) with the system's text for the failure,
// ": " and the file name when the library cannot be loaded; the next call
// tries again. Threads that make their first call at once load it once.
KELVRA_API void InitMapi();

// Each returns its entry point, loading the library first if needed. A
// missing export raises EKelvraError (ErrorCode 0) "Function 'MapiXxx' not
// available." on every call.
KELVRA_API LPMAPILOGON MapiLogOn();
KELVRA_API LPMAPILOGOFF MapiLogOff();
KELVRA_API LPMAPISENDMAIL MapiSendMail();
KELVRA_API LPMAPISENDDOCUMENTS MapiSendDocuments();
KELVRA_API LPMAPIFINDNEXT MapiFindNext();
KELVRA_API LPMAPIREADMAIL MapiReadMail();
KELVRA_API LPMAPISAVEMAIL MapiSaveMail();
KELVRA_API LPMAPIDELETEMAIL MapiDeleteMail();
KELVRA_API LPMAPIFREEBUFFER MapiFreeBuffer();
KELVRA_API LPMAPIADDRESS MapiAddress();
KELVRA_API LPMAPIDETAILS MapiDetails();
KELVRA_API LPMAPIRESOLVENAME MapiResolveName();

} // namespace kelvra
