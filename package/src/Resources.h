// The module's resources on POSIX: the files of package/resources, built in
// by package/CMakeLists.txt (bitmaps without their .bmp file header, as a
// Windows resource holds them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvrap {

struct TResource {
    std::uint16_t Kind; // designer::TResourceKind
    const char16_t *Name;
    std::uint16_t Language;
    const unsigned char *Data;
    std::size_t Size;
};

std::span<const TResource> Resources();

} // namespace kelvrap
