// Ownership of one block the platform allocated (a resolved entry, an
// address-book answer, a read message).
#pragma once

#include "mapi/SimpleMapi.h"

namespace kelvra {

// Frees the block exactly once with MAPIFreeBuffer. Free() frees it and
// raises on a failing result, for the normal path; the destructor frees it
// on the way out of an exception, where a second failure has nowhere to go.
class TMapiBlock {
public:
    explicit TMapiBlock(void *block = nullptr) : block_(block) {}
    ~TMapiBlock();
    TMapiBlock(const TMapiBlock &) = delete;
    TMapiBlock &operator=(const TMapiBlock &) = delete;

    void *Get() const { return block_; }
    void Free();

private:
    void *block_;
};

} // namespace kelvra
