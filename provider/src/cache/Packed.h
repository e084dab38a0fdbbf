// Values packed into a byte string in the host's byte order, and read back:
// the caches' own rows (a kept listing), which only this library on such a
// host reads; each row starts with a mark that another byte order would not
// match.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace kelvra_provider {

template <class T>
void Pack(std::string &out, T value)
{
    static_assert(std::is_arithmetic_v<T>);
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

// Takes a value off the front of `in`; false when too few bytes are left.
template <class T>
bool Unpack(std::string_view &in, T &value)
{
    static_assert(std::is_arithmetic_v<T>);
    if (in.size() < sizeof value)
        return false;
    std::memcpy(&value, in.data(), sizeof value);
    in.remove_prefix(sizeof value);
    return true;
}

} // namespace kelvra_provider
