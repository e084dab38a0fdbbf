// Windows: LoadLibraryW/GetProcAddress for the platform library, the
// system's message table for the load failure, DeleteFileW for files.
#include "host/System.h"

#include <windows.h>

namespace host {

namespace {

std::wstring Wide(const String &text)
{
    return std::wstring(text.begin(), text.end());
}

// The system's text for an error code, without its trailing line break.
String SystemErrorText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD len = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    String text;
    if (len != 0 && buffer != nullptr)
        text.assign(buffer, buffer + len);
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    if (text.empty())
        text = u"System error " + FromAscii(std::to_string(code));
    return text;
}

} // namespace

TModuleHandle LoadModule(const String &fileName, String &errorText)
{
    const std::wstring name = Wide(fileName);
    HMODULE module = LoadLibraryW(name.c_str());
    if (module == nullptr) {
        // Read at once: anything else may overwrite the last error.
        const DWORD code = GetLastError();
        errorText = SystemErrorText(code);
    }
    return reinterpret_cast<TModuleHandle>(module);
}

void *FindExport(TModuleHandle module, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool RemoveFile(const String &path)
{
    return DeleteFileW(Wide(path).c_str()) != 0;
}

} // namespace host

namespace host {

namespace {

// Full, long-named, lower-case form of a path, for comparing.
std::wstring Canonical(const std::wstring &path)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD len = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (len >= full.size()) {
        full.resize(len);
        len = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (len == 0)
        return {};
    full.resize(len);
    std::wstring longName(full.size() + MAX_PATH, L'\0');
    const DWORD longLen = GetLongPathNameW(full.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
    if (longLen > 0 && longLen < longName.size()) {
        longName.resize(longLen);
        full = longName;
    }
    CharLowerBuffW(full.data(), static_cast<DWORD>(full.size()));
    return full;
}

} // namespace

bool IsInTempFolder(const String &path)
{
    const std::wstring p(path.begin(), path.end());
    const size_t sep = p.find_last_of(L"\\/:");
    if (sep == std::wstring::npos)
        return false;
    const std::wstring name = p.substr(sep + 1);
    if (name.empty() || name == L"." || name == L"..")
        return false;
    wchar_t tempPath[MAX_PATH + 1];
    const DWORD tempLen = GetTempPathW(MAX_PATH + 1, tempPath);
    if (tempLen == 0 || tempLen > MAX_PATH)
        return false;
    std::wstring temp = Canonical(std::wstring(tempPath, tempLen));
    std::wstring folder = Canonical(p.substr(0, sep + 1));
    if (temp.empty() || folder.empty())
        return false;
    if (temp.back() != L'\\')
        temp += L'\\';
    if (folder.back() != L'\\')
        folder += L'\\';
    return folder.compare(0, temp.size(), temp) == 0;
}

} // namespace host
