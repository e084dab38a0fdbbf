// Windows: a package module's resources are the DLL's own.
#include "../ModuleResources.h"

#include <windows.h>

namespace designer {

std::optional<std::span<const std::uint8_t>> FindModuleResource(host::TModuleHandle module, TResourceKind kind,
                                                                 std::u16string_view name, std::uint16_t language)
{
    const auto instance = static_cast<HMODULE>(module);
    const std::wstring wide(name.begin(), name.end());
    HRSRC found = FindResourceExW(instance, MAKEINTRESOURCEW(static_cast<WORD>(kind)), wide.c_str(), language);
    if (found == nullptr)
        return std::nullopt;
    HGLOBAL loaded = LoadResource(instance, found);
    const void *data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr)
        return std::nullopt;
    return std::span<const std::uint8_t>(static_cast<const std::uint8_t *>(data), SizeofResource(instance, found));
}

} // namespace designer
