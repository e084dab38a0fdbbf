// The one rule for text printed for a terminal that may come from strangers
// (a message's texts, a contact's name): no byte of it may be a command to
// the terminal (an escape sequence, a carriage return that hides a line, a
// bell). Shared by the kelvra command and the provider's terminal dialogs.
#pragma once

#include <string>
#include <string_view>

namespace kelvra_posix {

// Valid UTF-8 as it is printed: C0 controls and DEL in caret form ("^[",
// "^M", "^?"), C1 controls as U+FFFD, the bidirectional embeddings,
// overrides and isolates as "<U+202E>" and the like. With `lines`, line breaks (LF, CR LF)
// and tabs stay, so a text keeps its layout; without, it stays on one line
// and holds no tab. The caller makes the text valid UTF-8 first (its bytes
// that are not become U+FFFD), with the converter it has.
std::string ShownOnTerminal(std::string_view utf8, bool lines);

} // namespace kelvra_posix
