// The package record a package module carries (its PACKAGEINFO resource):
// what kind of module it is, which packages it needs, which units it holds.
//
// Byte layout, every number little-endian:
//
//   offset  size  field
//   0       4     signature "KPKI"
//   4       2     layout version: 1
//   6       1     module kind: 1 (a package module; no other kind is defined)
//   7       1     options: bit 0 design-time only, bit 1 run-time only
//                 (bits 2 to 7 zero)
//   8       2     R, the number of required packages
//   10      2     U, the number of contained units
//   12      ...   R required packages, each a name
//           ...   U units, each one byte of unit kind (0 ordinary, 1 the
//                 package's own unit, 2 the start-up unit) and a name
//
// A name is 2 bytes of length N (1 to 65535) and N bytes of UTF-8, without
// a terminating zero; it holds no zero byte. Nothing follows the last unit.
#pragma once

#include "host/Set.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace designer {

enum class TPackageOption : std::uint8_t {
    poDesignOnly, // only a designer loads it
    poRunOnly,    // only applications load it
};
using TPackageOptions = host::Set<TPackageOption>;

enum class TUnitKind : std::uint8_t {
    ukOrdinary = 0,
    ukPackage = 1, // the package's own unit
    ukStartup = 2, // the unit that starts the module
};

struct TPackageUnitInfo {
    TUnitKind Kind = TUnitKind::ukOrdinary;
    std::string Name; // UTF-8
    bool operator==(const TPackageUnitInfo &) const = default;
};

struct TPackageInfo {
    TPackageOptions Options;
    std::vector<std::string> Requires; // file names of the required packages, UTF-8
    std::vector<TPackageUnitInfo> Units;
    bool operator==(const TPackageInfo &) const = default;
};

// The record's bytes. Raises host::Exception for a name that is empty, too
// long, holds a zero byte or is not UTF-8, for more than 65535 entries, and
// for both design-time and run-time only.
std::vector<std::uint8_t> WritePackageInfo(const TPackageInfo &info);

// The record the bytes hold. Raises host::Exception, saying what is wrong
// and at which offset, for anything that does not follow the layout exactly.
TPackageInfo ReadPackageInfo(std::span<const std::uint8_t> bytes);

} // namespace designer
