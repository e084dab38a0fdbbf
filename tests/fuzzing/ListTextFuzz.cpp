// List text: splitting never yields an empty item or one with blanks at an end.
#include "kelvra/ListText.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const host::String text(reinterpret_cast<const char16_t *>(data), size / 2);
    host::TStringList items;
    kelvra::SplitList(text, items);
    for (const host::String &item : items.Lines())
        if (item.empty() || item.front() <= 0x20 || item.back() <= 0x20)
            std::abort();
    return 0;
}
