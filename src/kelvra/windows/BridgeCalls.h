// How each call's parameters travel between the library (Bridge.cpp, which
// sends the caller's and hands back what the handler gave) and its helper
// (BridgeHelper.cpp, which reads them, calls the handler and answers): one
// role per parameter, in the parameter's order, written once below for
// every call. A request is the call's number, then each parameter's part of
// it in order; an answer is the handler's result, then each parameter's part
// of it in order. Both sides expand the same list, so they cannot disagree.
#pragma once

#include "BridgeWire.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kelvra::bridge {

// The library's side, defined in Bridge.cpp: keeps `arena` until the
// caller frees `record` with the bridge's MAPIFreeBuffer; `record` itself.
void *HandOut(std::unique_ptr<Arena> arena, void *record);

// A message identifier buffer of the size callers give, holding `id`.
struct IdBuffer {
    char text[kIdSize] = {};
    IdBuffer() = default;
    explicit IdBuffer(const char *id)
    {
        if (id != nullptr)
            std::strncpy(text, id, kIdSize - 1);
    }
};

// An identifier the helper gave back, into the caller's buffer as the
// handler would have written it.
inline void CopyId(Reader &answer, LPSTR out)
{
    Arena arena;
    ULONG size = 0;
    const char *id = static_cast<const char *>(answer.Bytes(arena, &size));
    if (out == nullptr || id == nullptr)
        return;
    // The caller's buffer holds kIdSize bytes, its terminating zero among
    // them: a longer identifier fails the call rather than leave it open.
    if (size >= kIdSize)
        throw WireError("an identifier longer than the caller's buffer");
    std::memcpy(out, id, size);
    out[size] = '\0';
}

// The roles. Each names the parameter's type (Param) and what the helper
// keeps for it (Slot, passed to the handler as Arg), and says, by index I
// into all of the call's parameters (or slots):
//   Send: its part of the request, from the caller's argument;
//   Take: its part of the answer, into the caller's argument;
//   Read: its part of the request, into the helper's slot;
//   Write: its part of the answer, from the helper's slot, then freed with
//          the handler's MAPIFreeBuffer where the handler allocated it.
// A role with nothing to do on one side leaves that function out of Base.
struct Base {
    template <std::size_t I, class A> static void Send(Writer &, const A &) {}
    template <std::size_t I, class A> static void Take(Reader &, ULONG, const A &) {}
    template <std::size_t I, class S> static void Read(Reader &, Arena &, S &) {}
    template <std::size_t I, class S> static void Write(Writer &, S &, LPMAPIFREEBUFFER) {}
    template <class T> static T Arg(T &slot) { return slot; }
};

// A 32-bit word: flags, a reserved word, a count.
struct Word : Base {
    using Param = ULONG;
    using Slot = ULONG;
    template <std::size_t I, class A> static void Send(Writer &w, const A &a) { w.U32(std::get<I>(a)); }
    template <std::size_t I, class S> static void Read(Reader &r, Arena &, S &s) { std::get<I>(s) = r.U32(); }
};

// A pointer-sized word: a session handle, a parent window.
struct Wide : Base {
    using Param = ULONG_PTR;
    using Slot = ULONG_PTR;
    template <std::size_t I, class A> static void Send(Writer &w, const A &a) { w.U64(std::get<I>(a)); }
    template <std::size_t I, class S> static void Read(Reader &r, Arena &, S &s)
    {
        std::get<I>(s) = static_cast<ULONG_PTR>(r.U64());
    }
};

// A text the caller gives.
struct Text : Base {
    using Param = LPSTR;
    using Slot = LPSTR;
    template <std::size_t I, class A> static void Send(Writer &w, const A &a) { w.Text(std::get<I>(a)); }
    template <std::size_t I, class S> static void Read(Reader &r, Arena &arena, S &s) { std::get<I>(s) = r.Text(arena); }
};

// A message record the caller gives, narrow or wide.
template <class M> struct MessageOf : Base {
    using Param = M *;
    using Slot = M *;
    template <std::size_t I, class A> static void Send(Writer &w, const A &a) { w.Message(std::get<I>(a)); }
    template <std::size_t I, class S> static void Read(Reader &r, Arena &arena, S &s)
    {
        if constexpr (std::is_same_v<M, MapiMessageW>)
            std::get<I>(s) = r.MessageW(arena);
        else
            std::get<I>(s) = r.Message(arena);
    }
};
using Message = MessageOf<MapiMessage>;
using MessageW = MessageOf<MapiMessageW>;

// One recipient record the caller gives.
struct Recip : Base {
    using Param = lpMapiRecipDesc;
    using Slot = lpMapiRecipDesc;
    template <std::size_t I, class A> static void Send(Writer &w, const A &a) { w.Recip(std::get<I>(a)); }
    template <std::size_t I, class S> static void Read(Reader &r, Arena &arena, S &s) { std::get<I>(s) = r.Recip(arena); }
};

// A count and the array of recipient records after it: they travel
// together, with the array.
struct Count : Base {
    using Param = ULONG;
    using Slot = ULONG;
};
struct Recips : Base {
    using Param = lpMapiRecipDesc;
    using Slot = lpMapiRecipDesc;
    template <std::size_t I, class A> static void Send(Writer &w, const A &a)
    {
        w.Recips(std::get<I - 1>(a), std::get<I>(a));
    }
    template <std::size_t I, class S> static void Read(Reader &r, Arena &arena, S &s)
    {
        std::get<I>(s) = r.Recips(arena, &std::get<I - 1>(s));
    }
};

// Where the handler puts a session handle.
struct OutHandle : Base {
    using Param = LPLHANDLE;
    using Slot = LHANDLE;
    template <std::size_t I, class A> static void Take(Reader &r, ULONG, const A &a)
    {
        const LHANDLE handle = static_cast<LHANDLE>(r.U64());
        if (std::get<I>(a) != nullptr)
            *std::get<I>(a) = handle;
    }
    template <std::size_t I, class S> static void Write(Writer &w, S &s, LPMAPIFREEBUFFER) { w.U64(std::get<I>(s)); }
    static LPLHANDLE Arg(LHANDLE &slot) { return &slot; }
};

// A message identifier buffer the handler writes; InOutId also carries
// what the caller had in it.
struct OutId : Base {
    using Param = LPSTR;
    using Slot = IdBuffer;
    template <std::size_t I, class A> static void Take(Reader &r, ULONG, const A &a) { CopyId(r, std::get<I>(a)); }
    template <std::size_t I, class S> static void Write(Writer &w, S &s, LPMAPIFREEBUFFER)
    {
        const IdBuffer &id = std::get<I>(s);
        w.Bytes(id.text, strnlen(id.text, kIdSize)); // up to its zero, or the whole buffer
    }
    static LPSTR Arg(IdBuffer &slot) { return slot.text; }
};
struct InOutId : OutId {
    template <std::size_t I, class A> static void Send(Writer &w, const A &a)
    {
        const LPSTR id = std::get<I>(a);
        w.Bytes(id, id != nullptr ? strnlen(id, kIdSize) : 0, id != nullptr);
    }
    template <std::size_t I, class S> static void Read(Reader &r, Arena &arena, S &s)
    {
        std::get<I>(s) = IdBuffer(r.Text(arena));
    }
};

// Where the handler puts a record it allocated: made anew on the library's
// side and handed to the caller, freed on the helper's once written.
template <class T> void Release(LPMAPIFREEBUFFER freeBuffer, T *block)
{
    if (block != nullptr && freeBuffer != nullptr)
        freeBuffer(block);
}

template <class T, T *(Reader::*ReadOne)(Arena &), void (Writer::*WriteOne)(const T *)> struct OutRecord : Base {
    using Param = T **;
    using Slot = T *;
    template <std::size_t I, class A> static void Take(Reader &r, ULONG result, const A &a)
    {
        auto arena = std::make_unique<Arena>();
        T *read = (r.*ReadOne)(*arena);
        if (std::get<I>(a) != nullptr && (read != nullptr || result == SUCCESS_SUCCESS))
            *std::get<I>(a) = static_cast<T *>(HandOut(std::move(arena), read));
    }
    template <std::size_t I, class S> static void Write(Writer &w, S &s, LPMAPIFREEBUFFER freeBuffer)
    {
        (w.*WriteOne)(std::get<I>(s));
        Release(freeBuffer, std::get<I>(s));
    }
    static T **Arg(T *&slot) { return &slot; }
};
using OutMessage = OutRecord<MapiMessage, &Reader::Message, &Writer::Message>;
using OutRecip = OutRecord<MapiRecipDesc, &Reader::Recip, &Writer::Recip>;

// Where the handler puts a count and an array of recipient records: they
// travel together, with the array.
struct OutCount : Base {
    using Param = LPULONG;
    using Slot = ULONG;
    static LPULONG Arg(ULONG &slot) { return &slot; }
};
struct OutRecips : Base {
    using Param = lpMapiRecipDesc *;
    using Slot = lpMapiRecipDesc;
    template <std::size_t I, class A> static void Take(Reader &r, ULONG result, const A &a)
    {
        auto arena = std::make_unique<Arena>();
        ULONG n = 0;
        MapiRecipDesc *chosen = r.Recips(*arena, &n);
        if (std::get<I - 1>(a) != nullptr)
            *std::get<I - 1>(a) = n;
        if (std::get<I>(a) != nullptr && (chosen != nullptr || result == SUCCESS_SUCCESS))
            *std::get<I>(a) = static_cast<MapiRecipDesc *>(HandOut(std::move(arena), chosen));
    }
    template <std::size_t I, class S> static void Write(Writer &w, S &s, LPMAPIFREEBUFFER freeBuffer)
    {
        w.Recips(std::get<I - 1>(s), std::get<I>(s));
        Release(freeBuffer, std::get<I>(s));
    }
    static lpMapiRecipDesc *Arg(lpMapiRecipDesc &slot) { return &slot; }
};

template <class... R> struct Roles {};

// Each call's parameters, in order. A call of mapi/EntryPoints.h without a
// line here does not compile: the bridge must know how its fields travel.
template <Call> struct Fields;
// clang-format off
template <> struct Fields<kLogon>         { using List = Roles<Wide, Text, Text, Word, Word, OutHandle>; };
template <> struct Fields<kLogoff>        { using List = Roles<Wide, Wide, Word, Word>; };
template <> struct Fields<kSendMail>      { using List = Roles<Wide, Wide, Message, Word, Word>; };
template <> struct Fields<kSendMailW>     { using List = Roles<Wide, Wide, MessageW, Word, Word>; };
template <> struct Fields<kSendDocuments> { using List = Roles<Wide, Text, Text, Text, Word>; };
template <> struct Fields<kFindNext>      { using List = Roles<Wide, Wide, Text, Text, Word, Word, OutId>; };
template <> struct Fields<kReadMail>      { using List = Roles<Wide, Wide, Text, Word, Word, OutMessage>; };
template <> struct Fields<kSaveMail>      { using List = Roles<Wide, Wide, Message, Word, Word, InOutId>; };
template <> struct Fields<kDeleteMail>    { using List = Roles<Wide, Wide, Text, Word, Word>; };
template <> struct Fields<kAddress>       { using List = Roles<Wide, Wide, Text, Word, Text, Count, Recips, Word, Word,
                                                                OutCount, OutRecips>; };
template <> struct Fields<kDetails>       { using List = Roles<Wide, Wide, Recip, Word, Word>; };
template <> struct Fields<kResolveName>   { using List = Roles<Wide, Wide, Text, Word, Word, OutRecip>; };
// Never carried: the library frees what it made itself.
struct NotCarried {};
template <> struct Fields<kFreeBuffer>    { using List = NotCarried; };
// clang-format on

// The helper's side of one call: reads the request's fields, calls the
// handler's `entry` with them, and writes the answer.
template <class... R, class Entry>
void Serve(Roles<R...>, Entry entry, Reader &in, Writer &out, LPMAPIFREEBUFFER freeBuffer)
{
    Arena arena;
    std::tuple<typename R::Slot...> slots{};
    using Roles = std::tuple<R...>;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (std::tuple_element_t<I, Roles>::template Read<I>(in, arena, slots), ...);
        out.U32(entry(R::Arg(std::get<I>(slots))...));
        (std::tuple_element_t<I, Roles>::template Write<I>(out, slots, freeBuffer), ...);
    }(std::index_sequence_for<R...>{});
}

template <class Entry> void Serve(NotCarried, Entry, Reader &, Writer &, LPMAPIFREEBUFFER)
{
    throw WireError("an unknown call");
}

} // namespace kelvra::bridge
