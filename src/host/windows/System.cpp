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
