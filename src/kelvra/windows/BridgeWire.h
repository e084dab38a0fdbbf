// What passes between the library and its helper of the other bitness
// (Bridge.cpp, BridgeHelper.cpp): frames of little-endian words, texts and
// bytes (a wide text as its UTF-16 units, two bytes each), and the Simple
// MAPI records written out field by field. A null
// text, entry identifier or array stays null and an empty one empty; a
// count travels as it was given, even beside a null array. Records read
// back are made in an Arena, which owns everything they point to.
#pragma once

#include "mapi/EntryPoints.h"
#include "mapi/SimpleMapi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvra::bridge {

// The entry points (mapi/EntryPoints.h, the twelve then the optional ones),
// as the request's first word and as the bit of each in the helper's
// greeting. MAPIFreeBuffer is never sent: the library frees what it made.
enum Call : std::uint32_t {
#define KELVRA_CALL(name, ...) k##name,
    MAPI_ENTRY_POINTS(KELVRA_CALL) MAPI_OPTIONAL_ENTRY_POINTS(KELVRA_CALL)
#undef KELVRA_CALL
    kCallEnd
};

// A frame's first byte, from the helper: its greeting (which entry points
// the handler has, one bit per Call), a heartbeat while a call runs, and the
// answer.
enum Frame : std::uint8_t { kHello = 'H', kBusy = 'B', kAnswer = 'A', kRefused = 'X' };

// Message identifiers travel in buffers of this size, as callers give them.
constexpr std::size_t kIdSize = 512;

// A frame that cannot be read as written.
struct WireError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Owns the parts of records read back.
class Arena {
public:
    void *Allocate(std::size_t size);
    template <class T> T *New(std::size_t count = 1) { return static_cast<T *>(Allocate(sizeof(T) * count)); }

private:
    std::vector<std::unique_ptr<std::byte[]>> parts_;
};

class Writer {
public:
    void U8(std::uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
    void U32(std::uint32_t v);
    void U64(std::uint64_t v);
    void Bytes(const void *data, std::size_t size, bool present = true);
    void Text(const char *text);
    void Text(const WCHAR *text);
    void Recip(const MapiRecipDesc *recip);
    void Recip(const MapiRecipDescW *recip);
    void Recips(ULONG count, const MapiRecipDesc *recips);
    void Message(const MapiMessage *message);
    void Message(const MapiMessageW *message);
    const std::string &Data() const { return bytes_; }

private:
    template <class R> void RecipOf(const R *recip);
    template <class M> void MessageOf(const M *message);
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(std::string data) : data_(std::move(data)) {}
    std::uint8_t U8();
    std::uint32_t U32();
    std::uint64_t U64();
    // Null when written absent; else `size` bytes in the arena (and a
    // terminating zero beyond them, for texts).
    void *Bytes(Arena &arena, ULONG *size);
    char *Text(Arena &arena);
    WCHAR *WText(Arena &arena);
    MapiRecipDesc *Recip(Arena &arena);
    MapiRecipDescW *RecipW(Arena &arena);
    // Into `out` (a record the caller owns); its parts in the arena.
    void RecipInto(Arena &arena, MapiRecipDesc &out);
    MapiRecipDesc *Recips(Arena &arena, ULONG *count);
    MapiMessage *Message(Arena &arena);
    MapiMessageW *MessageW(Arena &arena);
    bool AtEnd() const { return at_ == data_.size(); }

private:
    const char *Take(std::size_t size);
    template <class R, class C> void RecipOf(Arena &arena, R &out);
    template <class M, class R, class F, class C> M *MessageOf(Arena &arena);
    std::string data_;
    std::size_t at_ = 0;
};

} // namespace kelvra::bridge
