// The provider's text rules: narrow and wide texts across the ABI, UTF-8
// inside, comparisons without case, lines.
#pragma once

#include "mapi/SimpleMapi.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvra_provider {

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

// The text with ASCII letters in lower case (other bytes as they are).
std::string Lower(std::string text);
// The text without blanks (space, tab, CR, LF) at either end.
std::string Trim(std::string text);

// ASCII case-insensitive comparison and prefix test.
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view text, std::string_view prefix);

// Replaces CR, LF and other control characters by blanks: header values
// never gain a line of their own.
std::string OneLine(std::string_view text);

// The text with every line ending in CR LF: an LF alone gains its CR.
std::string WithCrlf(std::string_view text);

// The next line of a text from `start` on, without its line end (LF, or
// CR LF), moving `start` past it; false when no line is left. A last line
// without a line end counts.
bool NextLine(std::string_view text, std::size_t &start, std::string_view &line);

} // namespace kelvra_provider
