// A program that leaves a process behind: run alone, it starts itself again
// with an argument (without a console window, as the bridge starts its
// helper) and ends at once; the copy it started sleeps ten minutes, holding
// the output it inherited. in-prefix-test.sh runs it through in-prefix.sh.
#include <windows.h>

#include <string>

int main(int argc, char **)
{
    if (argc > 1) {
        Sleep(600000);
        return 0;
    }
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n == MAX_PATH)
        return 1;
    std::wstring command = L"\"" + std::wstring(self) + L"\" stay";
    STARTUPINFOW start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &start,
                        &info))
        return 1;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}
