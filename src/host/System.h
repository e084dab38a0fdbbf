// The operating-system services the library needs: loading a shared library
// by file name, finding its exports, and deleting files. Not installed: no
// public header needs them. They are exported for the design-time library,
// which loads a package module as the components load the platform's.
#pragma once

#include "host/Export.h"

#include "host/Text.h"

namespace host {

// An opaque module handle; null means not loaded.
using TModuleHandle = void *;

// Loads a shared library, searching as the platform does for a bare name
// (Windows: LoadLibraryW; POSIX: a bare name is looked for in the program's
// own folder, then in the library's module folder `kelvraN` beside the
// installed libkelvra, then on the dynamic linker's search path). On failure returns null and sets
// `errorText` to the system's text for the error.
KELVRA_API TModuleHandle LoadModule(const String &fileName, String &errorText);

// The address of an exported symbol, or null.
KELVRA_API void *FindExport(TModuleHandle module, const char *name);
// Gives back a module LoadModule loaded (the system unloads it when no one
// else holds it); null is ignored.
KELVRA_API void UnloadModule(TModuleHandle module);

// Deletes a file; true on success. No error is raised.
KELVRA_API bool RemoveFile(const String &path);

} // namespace host

namespace host {

// Whether `path` names a file inside the system's temporary folder
// (Windows: GetTempPathW; POSIX: TMPDIR, else /tmp), compared as canonical
// paths, so that ".." or a symbolic link cannot lead out of it.
KELVRA_API bool IsInTempFolder(const String &path);

} // namespace host
