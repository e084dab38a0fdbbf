// KelvraP: the package module. It holds the design-time unit, requires the
// runtime unit's library and the designer's, and carries the resources a
// designer reads (palette bitmaps, DESCRIPTION, PACKAGEINFO).
#include "Resources.h"
#include "designer/PackageModule.h"
#include "KelvraE.h"

#include <cstring>

#if defined(_WIN32)
#  define KELVRAP_EXPORT extern "C" __declspec(dllexport)
#else
#  define KELVRAP_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// The units in unit order. None has start-up or finalization work that the
// module must run: the runtime unit registers its classes for form files
// when its library loads, and the design-time unit has none.
const TPackageUnitEntry kUnits[] = {
    {"KelvraP", nullptr, nullptr},
    {"KelvraE", nullptr, nullptr},
    {"Kelvra", nullptr, nullptr},
    {"SysInit", nullptr, nullptr},
};
constexpr std::uint32_t kUnitCount = sizeof kUnits / sizeof kUnits[0];
const TPackageInfoTable kTable{kUnitCount, kUnits};

// Initialize and Finalize pair up: only the first Initialize and the
// matching last Finalize run the units' routines.
int initializations = 0;

void FinalizeUnits(std::uint32_t count)
{
    while (count > 0)
        if (const auto finalization = kUnits[--count].Finalization)
            finalization();
}

} // namespace

KELVRAP_EXPORT void Register()
{
    kelvrae::Register();
}

KELVRAP_EXPORT void Initialize()
{
    if (initializations++ > 0)
        return;
    std::uint32_t done = 0;
    try {
        for (; done < kUnitCount; ++done)
            if (const auto initialization = kUnits[done].Initialization)
                initialization();
    } catch (...) {
        FinalizeUnits(done);
        initializations = 0;
        throw;
    }
}

KELVRAP_EXPORT void Finalize()
{
    if (initializations == 0 || --initializations > 0)
        return;
    FinalizeUnits(kUnitCount);
}

KELVRAP_EXPORT const TPackageInfoTable *GetPackageInfoTable()
{
    return &kTable;
}

#if !defined(_WIN32)
namespace {

bool SameName(const char16_t *a, const char16_t *b)
{
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    for (; *a != 0 && *b != 0; ++a, ++b)
        if (lower(*a) != lower(*b))
            return false;
    return *a == *b;
}

} // namespace

// The module's resources, as a Windows DLL carries them (see KelvraP.rc.in).
KELVRAP_EXPORT int FindPackageResource(std::uint16_t kind, const char16_t *name, std::uint16_t language,
                                       const void **data, std::size_t *size)
{
    if (name == nullptr || data == nullptr || size == nullptr)
        return 0;
    for (const kelvrap::TResource &r : kelvrap::Resources())
        if (r.Kind == kind && (language == 0 || r.Language == language) && SameName(r.Name, name)) {
            *data = r.Data;
            *size = r.Size;
            return 1;
        }
    return 0;
}
#endif
