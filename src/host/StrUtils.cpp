#include "host/StrUtils.h"

#include <cstring>

namespace host {

char *StrNew(std::string_view text)
{
    const size_t len = text.find('\0') == std::string_view::npos ? text.size() : text.find('\0');
    char *block = new char[len + 1];
    std::memcpy(block, text.data(), len);
    block[len] = '\0';
    return block;
}

void StrDispose(char *text) noexcept
{
    delete[] text;
}

} // namespace host
