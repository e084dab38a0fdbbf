// The one rule for text the kelvra command prints for a terminal: a
// message's texts come from strangers, so no byte of them may be a command
// to the terminal (an escape sequence, a carriage return that hides a line,
// a bell). --json output is not shown through it: JSON escapes every
// control character itself.
#pragma once

#include <string>
#include <string_view>

namespace kelvra_cli {

// A UTF-8 text as it is printed: C0 controls and DEL in caret form ("^[",
// "^M", "^?"), C1 controls and bytes that are not UTF-8 as U+FFFD. With
// `lines`, line breaks (LF, CR LF) and tabs stay: a message's text keeps its
// layout; without, the text stays on one line and holds no tab.
std::string Shown(std::string_view text, bool lines = false);

} // namespace kelvra_cli
