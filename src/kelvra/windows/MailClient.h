// The mail client Windows uses for Simple MAPI, as Windows finds it, and
// the machine a DLL is built for (Windows only).
#pragma once

#include <windows.h>

#include <string>

namespace kelvra::bridge {

// This library's own machine.
constexpr WORD kOwnMachine = sizeof(void *) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;

// The user's choice (HKCU\Software\Clients\Mail's default value) before the
// machine's (HKLM, the 64-bit registry view first, then the 32-bit one);
// its DLL is the client key's DLLPathEx, else its DLLPath, under the
// user's key of that client, else the machine's. Empty fields when none is
// registered.
struct MailClient {
    std::wstring name;
    bool usersChoice = false;
    std::wstring dll;
};
MailClient FindMailClient();

// The machine a PE file is built for (its file header's Machine); 0 when
// the file cannot be read as one.
WORD MachineOf(const std::wstring &path);

// A machine's bitness in words.
const char *Bitness(WORD machine);

} // namespace kelvra::bridge
