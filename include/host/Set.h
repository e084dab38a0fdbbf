// A set over a small enumeration: bit i stands for member i, as the
// framework stores its option sets. One byte unless `Storage` says wider.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace host {

template <class E, class Storage = std::uint8_t>
class Set {
    static_assert(std::is_enum_v<E> && sizeof(E) == 1, "a one-byte enumeration");
    static_assert(std::is_unsigned_v<Storage>, "an unsigned storage type");

public:
    constexpr Set() = default;
    constexpr Set(std::initializer_list<E> members)
    {
        for (E m : members)
            Include(m);
    }
    static constexpr Set FromBits(Storage bits)
    {
        Set s;
        s.bits_ = bits;
        return s;
    }

    constexpr Storage Bits() const { return bits_; }
    constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr Set &Include(E m)
    {
        bits_ = static_cast<Storage>(bits_ | Bit(m));
        return *this;
    }
    constexpr Set &Exclude(E m)
    {
        bits_ = static_cast<Storage>(bits_ & ~Bit(m));
        return *this;
    }
    constexpr Set operator+(Set other) const { return FromBits(static_cast<Storage>(bits_ | other.bits_)); }
    constexpr Set operator-(Set other) const { return FromBits(static_cast<Storage>(bits_ & ~other.bits_)); }
    constexpr bool operator==(const Set &) const = default;

private:
    static constexpr Storage Bit(E m)
    {
        return static_cast<Storage>(1u << static_cast<unsigned>(m));
    }
    Storage bits_ = 0;
};

} // namespace host
