// The owner of the UTF-16 texts handed to one MAPISendMailW call.
#pragma once

#include "host/List.h"
#include "mapi/SimpleMapi.h"

#include <string>
#include <string_view>

namespace kelvra {

// A text in the wide records' own unit (WCHAR), code unit for code unit.
using WideString = std::basic_string<WCHAR>;
WideString ToWide(std::u16string_view text);

// The wide twin of TStringBuffers, owning its texts the same way: each
// appended text is copied to a heap block of its own whose address stays
// put until the list lets go of it; deleting an item (or destroying the
// list) frees its text, extracting it hands the text over.
class TWideStringBuffers : public host::TList {
public:
    TWideStringBuffers() = default;
    ~TWideStringBuffers() override;

    // The copy's address, for a record field; null for an empty text, which
    // stores nothing. Only the part before an embedded zero unit is kept.
    WCHAR *Append(std::u16string_view value);

protected:
    void Notify(void *item, host::TListNotification action) override;
};

} // namespace kelvra
