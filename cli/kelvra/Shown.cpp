#include "Shown.h"

#include "host/Text.h"

namespace kelvra_cli {

std::string Shown(std::string_view text, bool lines)
{
    // Read as UTF-16 by the components' own converter: bytes that are not
    // UTF-8 are U+FFFD by then.
    const std::u16string in = host::FromUtf8(text);
    std::u16string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const char16_t c = in[i];
        const bool lineBreak = c == u'\n' || (c == u'\r' && i + 1 < in.size() && in[i + 1] == u'\n');
        if (lines && (lineBreak || c == u'\t')) {
            if (c != u'\r')
                out += c; // CR LF is shown as the line break it is
        } else if (c < 0x20 || c == 0x7F) {
            out += u'^';
            out += static_cast<char16_t>(c == 0x7F ? u'?' : c + 0x40);
        } else if (c >= 0x80 && c <= 0x9F) {
            out += u'\uFFFD';
        } else {
            out += c;
        }
    }
    return host::ToUtf8(out);
}

} // namespace kelvra_cli
