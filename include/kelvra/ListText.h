// List text: how recipients and attachments travel as one string.
//
// Reading: ";" and "," both end an item; each item is trimmed of every
// character from U+0000 to U+0020 at both ends; empty items are dropped.
// There is no quoting: a comma or semicolon inside a display name or a file
// path always splits it. Writing: items joined by ";" alone.
#pragma once

#include "host/Export.h"

#include "host/StringList.h"

#include <string_view>
#include <vector>

namespace kelvra {

using host::String;

// Empties `list`, then appends the items of `text` in order.
KELVRA_API void SplitList(std::u16string_view text, host::TStringList &list);

// The one writer of list text: appends `item` to `list`, after a ";" when
// the list is not empty. Amortised constant time per character.
KELVRA_API void AppendListItem(String &list, std::u16string_view item);

} // namespace kelvra
