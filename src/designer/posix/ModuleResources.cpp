// POSIX: a package module hands its resources out through FindPackageResource.
#include "../ModuleResources.h"

namespace designer {

std::optional<std::span<const std::uint8_t>> FindModuleResource(host::TModuleHandle module, TResourceKind kind,
                                                                 std::u16string_view name, std::uint16_t language)
{
    const auto find = reinterpret_cast<TFindPackageResourceProc>(host::FindExport(module, "FindPackageResource"));
    if (find == nullptr)
        return std::nullopt;
    const std::u16string terminated(name);
    const void *data = nullptr;
    std::size_t size = 0;
    if (find(static_cast<std::uint16_t>(kind), terminated.c_str(), language, &data, &size) == 0)
        return std::nullopt;
    return std::span<const std::uint8_t>(static_cast<const std::uint8_t *>(data), size);
}

} // namespace designer
