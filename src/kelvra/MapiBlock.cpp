#include "MapiBlock.h"

#include "kelvra/Binding.h"
#include "kelvra/Errors.h"

namespace kelvra {

TMapiBlock::~TMapiBlock()
{
    if (block_ == nullptr)
        return;
    try {
        MapiFreeBuffer()(block_);
    } catch (...) {
        // Only reached while another exception is on its way out.
    }
}

void TMapiBlock::Free()
{
    if (block_ == nullptr)
        return;
    const LPMAPIFREEBUFFER freeBuffer = MapiFreeBuffer();
    void *block = block_;
    block_ = nullptr;
    Check(freeBuffer(block));
}

} // namespace kelvra
