// A one-byte set over a small enumeration: bit i stands for member i, as the
// framework stores its option sets.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace host {

template <class E>
class Set {
    static_assert(std::is_enum_v<E> && sizeof(E) == 1, "a one-byte enumeration");

public:
    constexpr Set() = default;
    constexpr Set(std::initializer_list<E> members)
    {
        for (E m : members)
            Include(m);
    }
    static constexpr Set FromBits(std::uint8_t bits)
    {
        Set s;
        s.bits_ = bits;
        return s;
    }

    constexpr std::uint8_t Bits() const { return bits_; }
    constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr Set &Include(E m)
    {
        bits_ = static_cast<std::uint8_t>(bits_ | Bit(m));
        return *this;
    }
    constexpr Set &Exclude(E m)
    {
        bits_ = static_cast<std::uint8_t>(bits_ & ~Bit(m));
        return *this;
    }
    constexpr Set operator+(Set other) const { return FromBits(bits_ | other.bits_); }
    constexpr Set operator-(Set other) const { return FromBits(bits_ & ~other.bits_); }
    constexpr bool operator==(const Set &) const = default;

private:
    static constexpr std::uint8_t Bit(E m)
    {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(m));
    }
    std::uint8_t bits_ = 0;
};

} // namespace host
