// The bridge to a Simple MAPI handler of the other bitness (Windows only).
//
// A process loads only DLLs of its own bitness, and a mail client's Simple
// MAPI DLL is of the client's. When the system's handler (the default
// client under HKCU\Software\Clients\Mail, else HKLM's, its DLLPathEx or
// DLLPath under the user's key of that client, else the machine's) is of
// the other bitness, the library starts the helper Kelvra ships beside its
// DLL (kelvra-mapi32.exe for a 64-bit application, kelvra-mapi64.exe for a
// 32-bit one), which loads the handler; each entry point then carries its
// call over a pipe. What the handler gives back is made anew here and freed
// with the bridge's MAPIFreeBuffer, as a direct call's would be.
//
// One helper per process, started on first use; it ends with the library's
// unloading, or by itself after a minute with no session open. A helper
// that ends during a call, or sends nothing (not even its heartbeat) for
// ten seconds, fails the call with MAPI_E_FAILURE and a reason; the next
// call starts a new one. Calls go over one at a time.
#pragma once

#include "mapi/SimpleMapi.h"

#include <string>

namespace kelvra::bridge {

// Whether the bridge takes the place of `libraryName` (the system's
// MAPI32.DLL, by any spelling of its name): the system's handler is of the
// other bitness and its helper starts and loads it. False otherwise, and
// on failure (with a reason for the debugger's log): the caller then loads
// the library directly, as without a bridge.
bool Start(const std::u16string &libraryName);

// Whether `name` is the system's MAPI32.DLL, by any spelling of its name.
bool IsSystemLibrary(const std::u16string &name);

// What a failed call's error says of the mail system on Windows: the mail
// client Windows uses (the user's choice or the machine's), its DLL and
// bitness, whether Kelvra's helper carries the calls, whether the DLL
// offers MAPISendMailW; or that no client is registered, and what to do.
std::string Diagnosis();

// The bridge's entry point of that export name (one of the twelve,
// MAPISendMailW or KelvraMapiLastReason), or null when the handler lacks it.
void *EntryPoint(const char *exportName);

} // namespace kelvra::bridge
