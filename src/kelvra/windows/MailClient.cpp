#include "MailClient.h"

#include <cwchar>

namespace kelvra::bridge {

namespace {


// A value under `root` in one registry view, as text (environment
// variables expanded); empty when missing.
std::wstring RegistryText(HKEY root, const std::wstring &path, const wchar_t *name, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return {};
    DWORD type = 0, size = 0;
    std::wstring text;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        text.resize(size / sizeof(wchar_t) + 1);
        if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(text.data()), &size) != ERROR_SUCCESS)
            text.clear();
        text.resize(std::wcslen(text.c_str()));
    }
    RegCloseKey(key);
    if (type == REG_EXPAND_SZ && !text.empty()) {
        std::wstring expanded(ExpandEnvironmentStringsW(text.c_str(), nullptr, 0), L'\0');
        ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        text = expanded.c_str();
    }
    return text;
}

std::wstring ClientDll(HKEY root, const std::wstring &client, REGSAM view)
{
    const std::wstring key = L"Software\\Clients\\Mail\\" + client;
    std::wstring path = RegistryText(root, key, L"DLLPathEx", view);
    return path.empty() ? RegistryText(root, key, L"DLLPath", view) : path;
}

} // namespace

MailClient FindMailClient()
{
    const wchar_t *mail = L"Software\\Clients\\Mail";
    MailClient found;
    found.name = RegistryText(HKEY_CURRENT_USER, mail, nullptr, 0);
    if (!found.name.empty()) {
        found.usersChoice = true;
        found.dll = ClientDll(HKEY_CURRENT_USER, found.name, 0);
        for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
            if (found.dll.empty())
                found.dll = ClientDll(HKEY_LOCAL_MACHINE, found.name, view);
        return found;
    }
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        const std::wstring client = RegistryText(HKEY_LOCAL_MACHINE, mail, nullptr, view);
        if (client.empty())
            continue;
        const std::wstring dll = ClientDll(HKEY_LOCAL_MACHINE, client, view);
        if (found.name.empty() || !dll.empty())
            found = {client, false, dll};
        if (!dll.empty())
            break;
    }
    return found;
}

WORD MachineOf(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    WORD machine = 0;
    IMAGE_DOS_HEADER dos{};
    DWORD read = 0;
    if (ReadFile(file, &dos, sizeof dos, &read, nullptr) && read == sizeof dos && dos.e_magic == IMAGE_DOS_SIGNATURE &&
        dos.e_lfanew > 0 && SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
        struct {
            DWORD signature;
            IMAGE_FILE_HEADER header;
        } nt{};
        if (ReadFile(file, &nt, sizeof nt, &read, nullptr) && read == sizeof nt && nt.signature == IMAGE_NT_SIGNATURE)
            machine = nt.header.Machine;
    }
    CloseHandle(file);
    return machine;
}

const char *Bitness(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64: return "64-bit";
    case IMAGE_FILE_MACHINE_I386: return "32-bit";
    case 0: return "not found, or no Windows DLL";
    default: return "built for another processor";
    }
}

} // namespace kelvra::bridge
