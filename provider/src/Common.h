// Shared by the provider's parts: its error type and the narrow text rules.
#pragma once

#include "mapi/SimpleMapi.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kmp {

// A Simple MAPI result code on its way out of an entry point.
struct MapiError {
    ULONG code;
};

[[noreturn]] inline void Fail(ULONG code) { throw MapiError{code}; }

// Narrow texts cross the ABI in the character set of the environment's
// locale (a plain ASCII locale counts as UTF-8), as the components write
// them; inside, the provider works in UTF-8.
std::string NarrowToUtf8(std::string_view narrow);
std::string Utf8ToNarrow(std::string_view utf8);
// Whether the narrow character set is UTF-8 (texts then go out as they are).
bool NarrowIsUtf8();

// Wide texts (the records of MAPISendMailW) are UTF-16, zero-terminated,
// and become UTF-8 exactly, whatever the locale: they never go through the
// narrow character set. A text that is not UTF-16 (a surrogate without its
// partner) is refused, not mangled: it raises `code`, and the log names the
// field (never its text) and the unit where it goes wrong. Null is empty.
std::string WideToUtf8(const WCHAR *text, ULONG code, const char *field);

// A text field of a record: empty for null.
inline std::string_view View(const char *text) { return text != nullptr ? std::string_view(text) : std::string_view(); }

// ASCII case-insensitive comparison and prefix test.
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view text, std::string_view prefix);

// Replaces CR, LF and other control characters by blanks: header values
// never gain a line of their own.
std::string OneLine(std::string_view text);

// Opens a file for reading only when it is a regular file: never blocks on a
// FIFO or a device (O_NONBLOCK until fstat has said what it is). Returns the
// descriptor (close-on-exec), or -1 with errno set (EINVAL for a file that
// is not regular). `st` receives the file's status when given. With
// `keepNonBlocking` the flag stays (a read of a regular file does not
// block; a reader that meets EAGAIN clears it), which spares two calls.
int OpenRegular(const std::string &path, struct stat *st = nullptr, bool keepNonBlocking = false);
// The same for a stored message's file, which is never followed when it is
// a link (ELOOP): a mailbox entry is a message, not a way to another file.
int OpenMessageFile(const std::string &path, struct stat *st = nullptr, bool keepNonBlocking = false);
// The bytes of a regular file, at most `limit` of them (E2BIG past that);
// nullopt with errno set when it cannot be read.
std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit);

// "SMTP:" (any case) taken off an address.
std::string_view StripAddressType(std::string_view address);

// The one check of every mail address that enters the provider: an entry
// identifier, a vCard EMAIL, a recipient record, the profile's sender, and
// once more the SMTP envelope. Returns the plain "local@domain" (an "SMTP:"
// prefix, any case, taken off), or nullopt for anything else. Strict on
// purpose, since an address ends up inside SMTP commands and headers:
// - valid UTF-8, no control character (C0, DEL, C1), no blank of any kind;
// - exactly one "@", with a non-empty local part and domain;
// - the local part is dot-separated runs of letters, digits, non-ASCII
//   characters and !#$%&'*+-/=?^_`{|}~ (so no quoted local part, no
//   angle brackets, commas, semicolons, parentheses or backslashes, and no
//   leading, trailing or doubled dot);
// - the domain is at least two dot-separated labels of letters, digits,
//   non-ASCII characters and inner hyphens, or "localhost" (no address
//   literal in brackets).
std::optional<std::string> MailAddress(std::string_view text);
// Whether MailAddress accepts the text.
inline bool IsMailAddress(std::string_view text) { return MailAddress(text).has_value(); }

// How often this process has forked: a child sees a number its parent did
// not have (cheaper to ask at every call than the process identifier). A
// child has none of its parent's other threads.
unsigned ForkCount();

// While it lives, the calling thread blocks every signal, so that a thread
// started meanwhile takes none of the application's signals (a library's
// helper threads must not run its handlers).
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t old_;
};

// The loopback rule of both servers, for a host as libcurl's URL parser
// gives it (an IPv6 address in brackets).
bool IsLoopbackHost(const std::string &host);

// Writes one line to the provider's log: the file KELVRA_MAPI_LOG names,
// else standard error; none when it says "off" or names the null device.
void Log(const std::string &line);
// Whether the caller prints each refusal's reason itself (from
// KelvraMapiLastReason): Refuse's line then goes to the log file alone.
void ReasonsToCaller(bool told);
// The next line of a text from `start` on, without its line end (LF, or
// CR LF), moving `start` past it; false when no line is left. A last line
// without a line end counts.
bool NextLine(std::string_view text, std::size_t &start, std::string_view &line);

// Writes all of `bytes` to a descriptor (again after an interruption);
// MAPI_E_DISK_FULL when the disk or quota is full, else MAPI_E_FAILURE.
void WriteAll(int fd, std::string_view bytes);

// Logs why, then fails with `code`: the one form of a refusal that says
// what was refused (never a secret). The reason is also kept as the
// thread's last (KelvraMapiLastReason), until its next call begins.
[[noreturn]] void Refuse(const std::string &why, ULONG code = MAPI_E_FAILURE);
// The reason of the thread's last refusal in this call; empty when none.
std::string &LastReason();
// What the thread's last send did, in words, when it succeeded
// (KelvraMapiLastOutcome); empty when none.
std::string &LastOutcome();

} // namespace kmp
