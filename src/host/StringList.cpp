#include "host/StringList.h"

namespace host {

String TStringList::Text() const
{
    std::size_t size = 0;
    for (const String &line : lines_)
        size += line.size() + 2;
    String text;
    text.reserve(size);
    for (const String &line : lines_) {
        text += line;
        text += u"\r\n";
    }
    return text;
}

void TStringList::SetText(std::u16string_view text)
{
    std::vector<String> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        if (c == u'\r' || c == u'\n') {
            lines.emplace_back(text.substr(start, i - start));
            i += (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    lines_ = std::move(lines);
}

std::size_t TStringList::Add(String line)
{
    lines_.push_back(std::move(line));
    return lines_.size() - 1;
}

} // namespace host
