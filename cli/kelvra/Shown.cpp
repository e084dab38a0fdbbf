#include "Shown.h"

#include "host/Text.h"
#include "posix/TerminalText.h"

namespace kelvra_cli {

std::string Shown(std::string_view text, bool lines)
{
    // Through the components' own converter first: bytes that are not
    // UTF-8 are U+FFFD by then.
    return kelvra_posix::ShownOnTerminal(host::ToUtf8(host::FromUtf8(text)), lines);
}

} // namespace kelvra_cli
