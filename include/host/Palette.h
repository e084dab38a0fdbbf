// Registering components for a designer's palette.
//
// The framework keeps no palette of its own: RegisterComponents hands the
// page and its classes to the designer that installed itself with
// SetRegisterComponentsHandler. A class becomes known to form files through
// RegisterClass (host/Properties.h), which its own unit does; placing it on
// a palette does not do that a second time.
#pragma once

#include "host/Export.h"

#include "host/Text.h"

#include <initializer_list>
#include <span>

namespace host {

struct TComponentClass;

using TRegisterComponentsHandler = void (*)(std::u16string_view page,
                                            std::span<const TComponentClass *const> classes);

// Puts `classes`, in this order, on the palette page `page`. Raises
// Exception when no designer is listening, and for an empty page name or a
// null class (nothing is handed on then).
KELVRA_API void RegisterComponents(std::u16string_view page, std::initializer_list<const TComponentClass *> classes);
KELVRA_API void RegisterComponents(std::u16string_view page, std::span<const TComponentClass *const> classes);

// The designer that receives RegisterComponents; null stops listening.
KELVRA_API void SetRegisterComponentsHandler(TRegisterComponentsHandler handler);

} // namespace host
