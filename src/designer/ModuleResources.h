// The resources of a loaded module: one implementation per OS.
#pragma once

#include "designer/PackageModule.h"

namespace designer {

std::optional<std::span<const std::uint8_t>> FindModuleResource(host::TModuleHandle module, TResourceKind kind,
                                                                 std::u16string_view name, std::uint16_t language);

} // namespace designer
