// Small word rules both commands share (kelvra, kelvra-design): header only,
// compiled into each.
#pragma once

#include <string>

namespace kelvra_cli_common {

// The text with ASCII letters in lower case (other bytes as they are).
inline std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The text without `blanks` at either end.
inline std::string Trim(const std::string &text, const char *blanks = " \t\r")
{
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace kelvra_cli_common
