// What the bridge's tests share: a recording Simple MAPI library of the
// other bitness only (bin/other/libfakemapi.dll), registered as the system's
// mail client in the tests' own Wine prefix, its script and its log, and the
// helper processes the bridge starts.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace bridge_test {

inline std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

inline std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

inline const std::wstring kFolder = ProgramFolder();
inline const std::wstring kScript = kFolder + L"bridge-script.txt";
inline const std::wstring kLog = kFolder + (sizeof(void *) == 8 ? L"bridge-log-64.txt" : L"bridge-log-32.txt");
inline constexpr const wchar_t *kHelper = sizeof(void *) == 8 ? L"kelvra-mapi32.exe" : L"kelvra-mapi64.exe";

inline void WriteScript(const std::string &text)
{
    std::ofstream(Narrow(kScript), std::ios::binary) << text;
}

inline std::vector<std::string> LogLines()
{
    std::ifstream in(Narrow(kLog), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The recording library of the other bitness, as the system's mail client.
// Its path under DLLPath, or (`extended`) under DLLPathEx with a DLLPath
// that names no file, which the handler's lookup must then pass over. With
// `usersChoice` it is the user's choice alone (under HKCU), while the
// machine's default (HKLM) is another client, which has no DLL.
inline void RegisterOtherBitnessClient(bool extended = false, bool usersChoice = false)
{
    const std::wstring dll = kFolder + L"other\\libfakemapi.dll";
    const std::wstring missing = L"C:\\nowhere\\missing.dll";
    HKEY mail = nullptr, client = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Clients\\Mail", 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, &mail, nullptr),
              ERROR_SUCCESS);
    const wchar_t name[] = L"KelvraRecorder";
    const wchar_t other[] = L"AnotherClient";
    RegSetValueExW(mail, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(usersChoice ? other : name),
                   usersChoice ? sizeof other : sizeof name);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Clients\\Mail");
    if (usersChoice) {
        RegCloseKey(mail);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Clients\\Mail", 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &mail, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(mail, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(name), sizeof name);
    }
    ASSERT_EQ(RegCreateKeyExW(mail, name, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &client, nullptr),
              ERROR_SUCCESS);
    const auto set = [&](const wchar_t *value, const std::wstring &path) {
        RegSetValueExW(client, value, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    };
    set(L"DLLPath", extended ? missing : dll);
    if (extended)
        set(L"DLLPathEx", dll);
    else
        RegDeleteValueW(client, L"DLLPathEx");
    RegCloseKey(client);
    RegCloseKey(mail);
}

// Calls `act` with each helper process of ours; how many there were.
template <class Act> int ForEachHelper(Act act)
{
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, kHelper) == 0) {
            act(entry.th32ProcessID);
            ++count;
        }
    CloseHandle(snapshot);
    return count;
}

// Ends every helper process of ours; how many there were.
inline int KillHelpers()
{
    return ForEachHelper([](DWORD id) {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            TerminateProcess(process, 9);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    });
}

// This program's way to the recording library of the other bitness: its
// script, its log (emptied) and its registration as the mail client.
inline void Prepare(const std::string &script, bool extended = false, bool usersChoice = false)
{
    DeleteFileW(kLog.c_str());
    WriteScript(script);
    SetEnvironmentVariableW(L"FAKEMAPI_SCRIPT", kScript.c_str());
    SetEnvironmentVariableW(L"FAKEMAPI_LOG", kLog.c_str());
    RegisterOtherBitnessClient(extended, usersChoice);
}

} // namespace bridge_test
