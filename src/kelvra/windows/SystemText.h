// The system's texts in UTF-8, for the bridge's reasons (Windows only).
#pragma once

#include <windows.h>

#include <string>

namespace kelvra::bridge {

inline std::string Utf8(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// The system's words for an error code, and the code.
inline std::string SystemText(DWORD code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring out = text != nullptr ? text : L"";
    LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' '))
        out.pop_back();
    return Utf8(out) + " (" + std::to_string(code) + ")";
}

} // namespace kelvra::bridge
