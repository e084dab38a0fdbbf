// Windows: the ANSI code page is CP_ACP, converted by the system itself.
#include "host/Text.h"

#include <windows.h>

#include <limits>
#include <stdexcept>

namespace host {

namespace {

int CheckedLength(size_t size)
{
    if (size > static_cast<size_t>(std::numeric_limits<int>::max()))
        throw std::length_error("text too long for the system's conversion");
    return static_cast<int>(size);
}

} // namespace

std::string AnsiCharset()
{
    return "CP" + std::to_string(GetACP());
}

AnsiString ToAnsi(std::u16string_view text)
{
    if (text.empty())
        return {};
    const auto *src = reinterpret_cast<const wchar_t *>(text.data());
    const int srcLen = CheckedLength(text.size());
    const int len = WideCharToMultiByte(CP_ACP, 0, src, srcLen, nullptr, 0, nullptr, nullptr);
    AnsiString out(static_cast<size_t>(len), '\0');
    WideCharToMultiByte(CP_ACP, 0, src, srcLen, out.data(), len, nullptr, nullptr);
    return out;
}

String FromAnsi(std::string_view text)
{
    if (text.empty())
        return {};
    const int srcLen = CheckedLength(text.size());
    const int len = MultiByteToWideChar(CP_ACP, 0, text.data(), srcLen, nullptr, 0);
    std::wstring wide(static_cast<size_t>(len), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), srcLen, wide.data(), len);
    return String(wide.begin(), wide.end());
}

} // namespace host
