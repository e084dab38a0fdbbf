// The owner of the narrow texts handed to one platform call.
#pragma once

#include "host/Export.h"

#include "host/List.h"
#include "host/StrUtils.h"

#include <string_view>

namespace kelvra {

// Each appended text is copied to a heap block of its own (host::StrNew)
// whose address stays put until the list lets go of it; deleting an item
// (or destroying the list) frees its text, extracting it hands the text
// over, to be freed with host::StrDispose.
class KELVRA_API TStringBuffers : public host::TList {
public:
    TStringBuffers() = default;
    ~TStringBuffers() override;

    // The copy's address, for a record field; null for an empty text, which
    // stores nothing. Only the part before an embedded zero byte is kept, so
    // a text that starts with one is empty too.
    char *Append(std::string_view value);

protected:
    void Notify(void *item, host::TListNotification action) override;
};

} // namespace kelvra
