// Text types of the component framework and the one pair of conversions
// between the components' UTF-16 text and the platform's narrow text.
#pragma once

#include "host/Export.h"

#include <string>
#include <string_view>

namespace host {

// The components' text: UTF-16, as the framework's String.
using String = std::u16string;
// Narrow text in the system's ANSI code page, as the platform's records hold it.
using AnsiString = std::string;

// UTF-16 to the system's ANSI code page. A character the code page cannot
// hold becomes the code page's default character, as the platform's own
// conversion does; nothing is dropped silently and nothing raises.
//   Windows: CP_ACP through WideCharToMultiByte.
//   POSIX:   the character set of the environment's locale (LC_ALL, LC_CTYPE,
//            LANG), read once without changing the process's locale; a plain
//            ASCII locale (the C locale) counts as UTF-8.
KELVRA_API AnsiString ToAnsi(std::u16string_view text);
// The system's ANSI code page to UTF-16. Bytes that do not decode become
// U+FFFD (POSIX) or what MultiByteToWideChar makes of them (Windows).
KELVRA_API String FromAnsi(std::string_view text);

// The name of the character set ToAnsi/FromAnsi use (for diagnostics/tests).
KELVRA_API std::string AnsiCharset();

// UTF-8 <-> UTF-16, independent of the locale. Used for exception texts
// (what()), form files and the command line. Malformed input becomes U+FFFD.
KELVRA_API std::string ToUtf8(std::u16string_view text);
KELVRA_API String FromUtf8(std::string_view text);

// Where `text` stops being UTF-8: the offset of its first byte that starts
// no character FromUtf8 would read, npos when all of it is UTF-8. For
// callers that refuse such text rather than have it changed.
KELVRA_API std::size_t InvalidUtf8At(std::string_view text);

// Convenience for literals and identifiers that are plain ASCII.
KELVRA_API String FromAscii(std::string_view text);

// Shared by the converters: UTF-8 encoding of UTF-16 where a lone surrogate
// becomes `replacement` (a whole UTF-8 sequence).
KELVRA_API std::string EncodeUtf8(std::u16string_view text, std::string_view replacement);

} // namespace host
