// The bridge's wire decoder (what the library reads of its helper's
// answers, and the helper of the library's requests) on any bytes: the
// first byte picks the record, the rest is the frame. Every size a record
// read back carries is walked, so a count that outruns its bytes is a read
// past the block under AddressSanitizer.
#include "BridgeWire.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

using namespace kelvra::bridge;

volatile unsigned char g_sink;

void Walk(const void *bytes, ULONG size)
{
    for (ULONG i = 0; bytes != nullptr && i < size; ++i)
        g_sink = static_cast<const unsigned char *>(bytes)[i];
}

template <class C> void WalkText(const C *text)
{
    for (std::size_t i = 0; text != nullptr && text[i] != 0; ++i)
        g_sink = static_cast<unsigned char>(text[i]);
}

template <class R> void WalkRecip(const R *r)
{
    if (r == nullptr)
        return;
    WalkText(r->lpszName);
    WalkText(r->lpszAddress);
    Walk(r->lpEntryID, r->ulEIDSize);
}

template <class M> void WalkMessage(const M *m)
{
    if (m == nullptr)
        return;
    WalkText(m->lpszSubject);
    WalkText(m->lpszNoteText);
    WalkText(m->lpszMessageType);
    WalkText(m->lpszDateReceived);
    WalkText(m->lpszConversationID);
    WalkRecip(m->lpOriginator);
    for (ULONG i = 0; m->lpRecips != nullptr && i < m->nRecipCount; ++i)
        WalkRecip(&m->lpRecips[i]);
    for (ULONG i = 0; m->lpFiles != nullptr && i < m->nFileCount; ++i) {
        WalkText(m->lpFiles[i].lpszPathName);
        WalkText(m->lpFiles[i].lpszFileName);
        if (const auto *tag = static_cast<const MapiFileTagExt *>(m->lpFiles[i].lpFileType)) {
            Walk(tag->lpTag, tag->cbTag);
            Walk(tag->lpEncoding, tag->cbEncoding);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Reader r(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
    Arena arena;
    try {
        switch (data[0] % 5) {
        case 0: WalkMessage(r.Message(arena)); break;
        case 1: WalkMessage(r.MessageW(arena)); break;
        case 2: {
            ULONG count = 0;
            const MapiRecipDesc *recips = r.Recips(arena, &count);
            for (ULONG i = 0; recips != nullptr && i < count; ++i)
                WalkRecip(&recips[i]);
            break;
        }
        case 3: WalkRecip(r.Recip(arena)); break;
        default: {
            ULONG n = 0;
            Walk(r.Bytes(arena, &n), n);
            WalkText(r.WText(arena));
            break;
        }
        }
    } catch (const WireError &) {
    } catch (const std::bad_alloc &) {
    }
    return 0;
}
