// Package modules: the loadable libraries that bring components, their
// editors and their resources into a designer.
//
// A package module exports, with plain C names:
//   void Register(void)                      registers its components and editors
//   void Initialize(void)                    runs its units' start-up, in unit order
//   void Finalize(void)                      runs their finalization, in reverse order
//   const TPackageInfoTable *GetPackageInfoTable(void)   its units
// and carries resources: on Windows real resources of the DLL; on POSIX
// through one more export, FindPackageResource (TFindPackageResourceProc).
#pragma once

#include "host/System.h"
#include "host/Text.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

extern "C" {

// One unit of a module; either routine may be null (nothing to do).
struct TPackageUnitEntry {
    const char *Name; // UTF-8
    void (*Initialization)();
    void (*Finalization)();
};

struct TPackageInfoTable {
    std::uint32_t UnitCount;
    const TPackageUnitEntry *Units;
};

using TPackageProc = void (*)();
using TGetPackageInfoTableProc = const TPackageInfoTable *(*)();
// Finds resource `name` (compared without regard to ASCII case) of `kind`
// in `language` (0: any language); on success stores the bytes' address
// and size and returns 1, else returns 0. The bytes live as long as the
// module stays loaded.
using TFindPackageResourceProc = int (*)(std::uint16_t kind, const char16_t *name, std::uint16_t language,
                                         const void **data, std::size_t *size);
}

namespace designer {

// Resource kinds, numbered as Windows numbers them.
enum class TResourceKind : std::uint16_t {
    rkBitmap = 2,   // a device-independent bitmap: header, palette, pixels (no file header)
    rkRawData = 10, // bytes
};
constexpr std::uint16_t kLanguageUSEnglish = 1033;

// A loaded package module. Not copyable; one object per load.
class TPackageModule {
public:
    // Loads the module (a bare file name is looked for beside the program
    // first) and runs its Initialize. Raises host::Exception naming the file
    // when it cannot be loaded or lacks an entry point, or passes on what
    // Initialize raised; nothing stays loaded then.
    explicit TPackageModule(const host::String &fileName);
    // Drops the module's registrations, runs its Finalize, unloads it. A
    // Finalize that raises goes to host::Application().HandleException.
    ~TPackageModule();
    TPackageModule(const TPackageModule &) = delete;
    TPackageModule &operator=(const TPackageModule &) = delete;

    // Runs the module's Register; what it registers belongs to this module
    // and replaces what an earlier Register of it registered. When Register
    // raises, nothing of the module stays registered.
    void Register();

    // The module's units. Raises host::Exception when it gives no table.
    const TPackageInfoTable &InfoTable() const;

    // The bytes of a resource of the module, or nullopt when it has none of
    // that kind, name and language. Valid while the module is loaded.
    std::optional<std::span<const std::uint8_t>> FindResource(TResourceKind kind, std::u16string_view name,
                                                              std::uint16_t language = kLanguageUSEnglish) const;

    host::TModuleHandle Handle() const { return handle_; }

private:
    host::TModuleHandle handle_ = nullptr;
    TPackageProc register_ = nullptr;
    TPackageProc finalize_ = nullptr;
    TGetPackageInfoTableProc infoTable_ = nullptr;
};

} // namespace designer
