// The runtime's string-duplicating routines for narrow, zero-terminated text.
#pragma once

#include "host/Export.h"

#include <string_view>

namespace host {

// A new heap block holding `text` up to its first zero byte, then a zero byte.
// Release it with StrDispose only.
KELVRA_API char *StrNew(std::string_view text);
// Releases a block made by StrNew; null is allowed.
KELVRA_API void StrDispose(char *text) noexcept;

} // namespace host
