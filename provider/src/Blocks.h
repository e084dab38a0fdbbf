// Everything the provider hands out lives in one Block, registered under
// the pointer the caller gets; MAPIFreeBuffer frees it exactly once.
#pragma once

#include "mapi/SimpleMapi.h"

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kmp {

class Block {
public:
    ~Block();

    // Copies owned by the block; empty texts are copied too (not null).
    LPSTR Text(std::string_view text);
    LPSTR TextOrNull(std::string_view text) { return text.empty() ? nullptr : Text(text); }
    LPVOID Bytes(std::string_view bytes);
    MapiRecipDesc *Recips(size_t count);
    MapiFileDesc *Files(size_t count);
    MapiMessage &Message() { return message_; }

    // A private folder of temporary files; removed, if empty by then, when
    // the block is freed (the caller deletes the files it was handed).
    void OwnFolder(std::string folder) { folder_ = std::move(folder); }

private:
    std::deque<std::string> texts_;
    std::deque<std::vector<MapiRecipDesc>> recips_;
    std::deque<std::vector<MapiFileDesc>> files_;
    MapiMessage message_{};
    std::string folder_;
};

// Fills one recipient record from UTF-8 texts, its copies owned by `block`;
// an empty name takes the address.
void FillRecip(Block &block, MapiRecipDesc &recip, ULONG recipClass, const std::string &name,
               const std::string &address, const std::string &entryId);

// Registers `block` under `top` (a pointer into it) and returns `top`.
void *HandOut(std::unique_ptr<Block> block, void *top);
// Frees a handed-out block: 0, or MAPI_E_FAILURE for an unknown pointer.
ULONG FreeBlock(void *top);

} // namespace kmp
