#include "kelvra/ListText.h"

namespace kelvra {

namespace {

bool IsBlank(char16_t c) { return c <= 0x20; }
bool IsSeparator(char16_t c) { return c == u';' || c == u','; }

std::u16string_view Trim(std::u16string_view item)
{
    while (!item.empty() && IsBlank(item.front()))
        item.remove_prefix(1);
    while (!item.empty() && IsBlank(item.back()))
        item.remove_suffix(1);
    return item;
}

} // namespace

void SplitList(std::u16string_view text, host::TStringList &list)
{
    list.Clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !IsSeparator(text[i]))
            continue;
        const std::u16string_view item = Trim(text.substr(start, i - start));
        if (!item.empty())
            list.Add(String(item));
        start = i + 1;
    }
}

void AppendListItem(String &list, std::u16string_view item)
{
    if (!list.empty())
        list += u';';
    list += item;
}

} // namespace kelvra
