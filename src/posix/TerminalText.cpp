#include "posix/TerminalText.h"

namespace kelvra_posix {

namespace {

// The bidirectional embeddings, overrides and isolates (U+202A to U+202E,
// U+2066 to U+2069) at the start of `text`, in the visible form they are
// shown in: they reorder what follows them on the screen, so a name could
// read as another. Null for anything else.
const char *BidiControl(std::string_view text)
{
    static const char *const kMarks[] = {"<U+202A>", "<U+202B>", "<U+202C>", "<U+202D>", "<U+202E>",
                                         "<U+2066>", "<U+2067>", "<U+2068>", "<U+2069>"};
    if (text.size() < 3 || static_cast<unsigned char>(text[0]) != 0xE2)
        return nullptr;
    const auto second = static_cast<unsigned char>(text[1]), third = static_cast<unsigned char>(text[2]);
    if (second == 0x80 && third >= 0xAA && third <= 0xAE)
        return kMarks[third - 0xAA];
    if (second == 0x81 && third >= 0xA6 && third <= 0xA9)
        return kMarks[5 + third - 0xA6];
    return nullptr;
}

} // namespace

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
        } else if (const char *mark = BidiControl(utf8.substr(i))) {
            out += mark;
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace kelvra_posix
