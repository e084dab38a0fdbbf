#include "BridgeWire.h"

#include <cstring>
#include <limits>

namespace kelvra::bridge {

namespace {

template <class C> std::size_t Length(const C *text)
{
    std::size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

// The fewest bytes a recipient and a file record take on the wire (each
// text, identifier and tag at least its presence byte): a count is never
// believed beyond what the rest of the frame could hold.
constexpr std::size_t kSmallestRecip = 1 + 4 + 4 + 1 + 1 + 4 + 1;
constexpr std::size_t kSmallestFile = 4 + 4 + 4 + 1 + 1 + 1;

char *TextIn(Reader &reader, Arena &arena, char *) { return reader.Text(arena); }
WCHAR *TextIn(Reader &reader, Arena &arena, WCHAR *) { return reader.WText(arena); }

} // namespace

void *Arena::Allocate(std::size_t size)
{
    parts_.push_back(std::make_unique<std::byte[]>(size == 0 ? 1 : size)); // zeroed
    return parts_.back().get();
}

void Writer::U32(std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        U8(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::U64(std::uint64_t v)
{
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
}

void Writer::Bytes(const void *data, std::size_t size, bool present)
{
    U8(present ? 1 : 0);
    if (!present)
        return;
    U32(static_cast<std::uint32_t>(size));
    bytes_.append(static_cast<const char *>(data), size);
}

void Writer::Text(const char *text) { Bytes(text, text != nullptr ? Length(text) : 0, text != nullptr); }

void Writer::Text(const WCHAR *text)
{
    U8(text != nullptr ? 1 : 0);
    if (text == nullptr)
        return;
    const std::size_t units = Length(text);
    U32(static_cast<std::uint32_t>(units));
    for (std::size_t i = 0; i < units; ++i) {
        U8(static_cast<std::uint8_t>(text[i]));
        U8(static_cast<std::uint8_t>(text[i] >> 8));
    }
}

template <class R> void Writer::RecipOf(const R *recip)
{
    U8(recip != nullptr ? 1 : 0);
    if (recip == nullptr)
        return;
    U32(recip->ulReserved);
    U32(recip->ulRecipClass);
    Text(recip->lpszName);
    Text(recip->lpszAddress);
    U32(recip->ulEIDSize);
    Bytes(recip->lpEntryID, recip->lpEntryID != nullptr ? recip->ulEIDSize : 0, recip->lpEntryID != nullptr);
}

void Writer::Recip(const MapiRecipDesc *recip) { RecipOf(recip); }
void Writer::Recip(const MapiRecipDescW *recip) { RecipOf(recip); }

void Writer::Recips(ULONG count, const MapiRecipDesc *recips)
{
    U32(count);
    U8(recips != nullptr ? 1 : 0);
    for (ULONG i = 0; recips != nullptr && i < count; ++i)
        Recip(&recips[i]);
}

template <class M> void Writer::MessageOf(const M *m)
{
    U8(m != nullptr ? 1 : 0);
    if (m == nullptr)
        return;
    U32(m->ulReserved);
    Text(m->lpszSubject);
    Text(m->lpszNoteText);
    Text(m->lpszMessageType);
    Text(m->lpszDateReceived);
    Text(m->lpszConversationID);
    U32(m->flFlags);
    Recip(m->lpOriginator);
    U32(m->nRecipCount);
    U8(m->lpRecips != nullptr ? 1 : 0);
    for (ULONG i = 0; m->lpRecips != nullptr && i < m->nRecipCount; ++i)
        Recip(&m->lpRecips[i]);
    U32(m->nFileCount);
    U8(m->lpFiles != nullptr ? 1 : 0);
    for (ULONG i = 0; m->lpFiles != nullptr && i < m->nFileCount; ++i) {
        const auto &f = m->lpFiles[i];
        U32(f.ulReserved);
        U32(f.flFlags);
        U32(f.nPosition);
        Text(f.lpszPathName);
        Text(f.lpszFileName);
        const auto *tag = static_cast<const MapiFileTagExt *>(f.lpFileType);
        U8(tag != nullptr ? 1 : 0);
        if (tag != nullptr) {
            U32(tag->ulReserved);
            U32(tag->cbTag);
            Bytes(tag->lpTag, tag->lpTag != nullptr ? tag->cbTag : 0, tag->lpTag != nullptr);
            U32(tag->cbEncoding);
            Bytes(tag->lpEncoding, tag->lpEncoding != nullptr ? tag->cbEncoding : 0, tag->lpEncoding != nullptr);
        }
    }
}

void Writer::Message(const MapiMessage *message) { MessageOf(message); }
void Writer::Message(const MapiMessageW *message) { MessageOf(message); }

const char *Reader::Take(std::size_t size)
{
    if (size > data_.size() - at_)
        throw WireError("a frame ended early");
    const char *p = data_.data() + at_;
    at_ += size;
    return p;
}

std::uint8_t Reader::U8() { return static_cast<std::uint8_t>(*Take(1)); }

std::uint32_t Reader::U32()
{
    const auto *p = reinterpret_cast<const unsigned char *>(Take(4));
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint64_t Reader::U64()
{
    const std::uint64_t low = U32();
    return low | std::uint64_t{U32()} << 32;
}

void *Reader::Bytes(Arena &arena, ULONG *size)
{
    if (U8() == 0) {
        if (size != nullptr)
            *size = 0;
        return nullptr;
    }
    const std::uint32_t n = U32();
    const char *from = Take(n);
    char *to = arena.New<char>(std::size_t{n} + 1);
    std::memcpy(to, from, n);
    if (size != nullptr)
        *size = n;
    return to;
}

char *Reader::Text(Arena &arena) { return static_cast<char *>(Bytes(arena, nullptr)); }
WCHAR *Reader::WText(Arena &arena)
{
    if (U8() == 0)
        return nullptr;
    const std::uint32_t units = U32();
    if (units > (data_.size() - at_) / 2)
        throw WireError("a frame ended early");
    const auto *p = reinterpret_cast<const unsigned char *>(Take(std::size_t{units} * 2));
    WCHAR *text = arena.New<WCHAR>(std::size_t{units} + 1);
    for (std::uint32_t i = 0; i < units; ++i)
        text[i] = static_cast<WCHAR>(p[2 * i] | p[2 * i + 1] << 8);
    return text;
}

template <class R, class C> void Reader::RecipOf(Arena &arena, R &out)
{
    out.ulReserved = U32();
    out.ulRecipClass = U32();
    out.lpszName = TextIn(*this, arena, static_cast<C *>(nullptr));
    out.lpszAddress = TextIn(*this, arena, static_cast<C *>(nullptr));
    out.ulEIDSize = U32();
    ULONG size = 0;
    out.lpEntryID = Bytes(arena, &size);
    // Its size is what came, never a count beside it: a reader of the
    // record trusts ulEIDSize. A null one keeps its count as given.
    if (out.lpEntryID != nullptr)
        out.ulEIDSize = size;
}

void Reader::RecipInto(Arena &arena, MapiRecipDesc &out)
{
    if (U8() == 0)
        throw WireError("a recipient is missing");
    RecipOf<MapiRecipDesc, char>(arena, out);
}

MapiRecipDesc *Reader::Recip(Arena &arena)
{
    if (U8() == 0)
        return nullptr;
    auto *r = arena.New<MapiRecipDesc>();
    RecipOf<MapiRecipDesc, char>(arena, *r);
    return r;
}

MapiRecipDescW *Reader::RecipW(Arena &arena)
{
    if (U8() == 0)
        return nullptr;
    auto *r = arena.New<MapiRecipDescW>();
    RecipOf<MapiRecipDescW, WCHAR>(arena, *r);
    return r;
}

MapiRecipDesc *Reader::Recips(Arena &arena, ULONG *count)
{
    *count = U32();
    if (U8() == 0)
        return nullptr;
    if (*count > (data_.size() - at_) / kSmallestRecip)
        throw WireError("more recipients than a frame can hold");
    auto *recips = arena.New<MapiRecipDesc>(*count);
    for (ULONG i = 0; i < *count; ++i)
        RecipInto(arena, recips[i]);
    return recips;
}

template <class M, class R, class F, class C> M *Reader::MessageOf(Arena &arena)
{
    if (U8() == 0)
        return nullptr;
    auto *m = arena.New<M>();
    const auto text = [&] { return TextIn(*this, arena, static_cast<C *>(nullptr)); };
    m->ulReserved = U32();
    m->lpszSubject = text();
    m->lpszNoteText = text();
    m->lpszMessageType = text();
    m->lpszDateReceived = text();
    m->lpszConversationID = text();
    m->flFlags = U32();
    if (U8() != 0) {
        m->lpOriginator = arena.New<R>();
        RecipOf<R, C>(arena, *m->lpOriginator);
    }
    m->nRecipCount = U32();
    if (U8() != 0) {
        if (m->nRecipCount > (data_.size() - at_) / kSmallestRecip)
            throw WireError("more recipients than a frame can hold");
        m->lpRecips = arena.New<R>(m->nRecipCount);
        for (ULONG i = 0; i < m->nRecipCount; ++i) {
            if (U8() == 0)
                throw WireError("a recipient is missing");
            RecipOf<R, C>(arena, m->lpRecips[i]);
        }
    }
    m->nFileCount = U32();
    if (U8() != 0) {
        if (m->nFileCount > (data_.size() - at_) / kSmallestFile)
            throw WireError("more files than a frame can hold");
        m->lpFiles = arena.New<F>(m->nFileCount);
        for (ULONG i = 0; i < m->nFileCount; ++i) {
            F &f = m->lpFiles[i];
            f.ulReserved = U32();
            f.flFlags = U32();
            f.nPosition = U32();
            f.lpszPathName = text();
            f.lpszFileName = text();
            if (U8() != 0) {
                auto *tag = arena.New<MapiFileTagExt>();
                ULONG size = 0;
                tag->ulReserved = U32();
                tag->cbTag = U32();
                tag->lpTag = static_cast<LPBYTE>(Bytes(arena, &size));
                if (tag->lpTag != nullptr)
                    tag->cbTag = size;
                tag->cbEncoding = U32();
                tag->lpEncoding = static_cast<LPBYTE>(Bytes(arena, &size));
                if (tag->lpEncoding != nullptr)
                    tag->cbEncoding = size;
                f.lpFileType = tag;
            }
        }
    }
    return m;
}

MapiMessage *Reader::Message(Arena &arena) { return MessageOf<MapiMessage, MapiRecipDesc, MapiFileDesc, char>(arena); }
MapiMessageW *Reader::MessageW(Arena &arena)
{
    return MessageOf<MapiMessageW, MapiRecipDescW, MapiFileDescW, WCHAR>(arena);
}

} // namespace kelvra::bridge
