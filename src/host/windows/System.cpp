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

void UnloadModule(TModuleHandle module)
{
    if (module != nullptr)
        FreeLibrary(static_cast<HMODULE>(module));
}

bool RemoveFile(const String &path)
{
    return DeleteFileW(Wide(path).c_str()) != 0;
}

} // namespace host

namespace host {

namespace {

// The final, lower-case path of an existing folder, for comparing: the
// folder is opened and the system says where it really is, through every
// junction and symbolic link on the way. Empty when it cannot be opened.
std::wstring Canonical(const std::wstring &folder)
{
    const HANDLE handle = CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    std::wstring final(MAX_PATH, L'\0');
    DWORD len = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    if (len >= final.size()) {
        final.resize(len + 1);
        len = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(handle);
    if (len == 0 || len >= final.size())
        return {};
    final.resize(len);
    CharLowerBuffW(final.data(), static_cast<DWORD>(final.size()));
    return final;
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
    // A temporary folder that is a drive's root would make every file of the
    // drive deletable.
    if (temp.empty() || folder.empty() || temp.size() <= 7 /* \\?\c:\ */)
        return false;
    if (temp.back() != L'\\')
        temp += L'\\';
    if (folder.back() != L'\\')
        folder += L'\\';
    return folder.compare(0, temp.size(), temp) == 0;
}

} // namespace host
