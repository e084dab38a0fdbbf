#include "posix/TerminalText.h"

namespace kelvra_posix {

std::string ShownOnTerminal(std::string_view utf8, bool lines)
{
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const bool lineBreak = c == '\n' || (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n');
        if (lines && (lineBreak || c == '\t')) {
            if (c != '\r')
                out += static_cast<char>(c); // CR LF is shown as the line break it is
        } else if (c < 0x20 || c == 0x7F) {
            out += '^';
            out += static_cast<char>(c == 0x7F ? '?' : c + 0x40);
        } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F &&
                   static_cast<unsigned char>(utf8[i + 1]) >= 0x80) {
            out += "\xEF\xBF\xBD"; // a C1 control (U+0080 to U+009F)
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace kelvra_posix
