#include "profile/Ini.h"

#include "Errors.h"
#include "Text.h"

#include <algorithm>
#include <optional>

namespace kelvra_provider {

namespace {

// A value after its '=': blanks around it go, and so does a comment that
// follows after a blank. nullopt for a quote that is not closed, or text
// after the closing one that is no comment.
std::optional<std::string> ValueOf(std::string_view raw)
{
    raw.remove_prefix(std::min(raw.find_first_not_of(" \t"), raw.size()));
    if (!raw.empty() && raw.front() == '"') {
        std::string out;
        size_t i = 1;
        for (; i < raw.size() && raw[i] != '"'; ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size() && (raw[i + 1] == '"' || raw[i + 1] == '\\'))
                ++i;
            out += raw[i];
        }
        if (i == raw.size())
            return std::nullopt;
        const std::string_view rest = raw.substr(i + 1);
        const size_t more = rest.find_first_not_of(" \t");
        if (more != std::string_view::npos && rest[more] != ';' && rest[more] != '#')
            return std::nullopt;
        return out;
    }
    for (size_t i = 0; i < raw.size(); ++i)
        if ((raw[i] == ';' || raw[i] == '#') && (i == 0 || raw[i - 1] == ' ' || raw[i - 1] == '\t')) {
            raw = raw.substr(0, i);
            break;
        }
    return Trim(std::string(raw));
}

[[noreturn]] void RefuseLine(const std::string &file, int number, const std::string &why)
{
    Refuse(file + ":" + std::to_string(number) + ": " + why, MAPI_E_LOGON_FAILURE);
}

} // namespace

IniSections ReadIni(std::string_view text, const std::string &file)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    IniSections sections{{"", {}}};
    size_t start = 0;
    std::string_view raw;
    for (int number = 1; NextLine(text, start, raw); ++number) {
        const std::string line = Trim(std::string(raw));
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            const std::optional<std::string> rest =
                close == std::string::npos ? std::nullopt : ValueOf(std::string_view(line).substr(close + 1));
            if (!rest || !rest->empty())
                RefuseLine(file, number, "a section's name is not closed by ']'");
            sections.emplace_back(Trim(line.substr(1, close - 1)), IniKeys{});
            continue;
        }
        const size_t eq = line.find('=');
        std::optional<std::string> value;
        if (eq != std::string::npos)
            value = ValueOf(std::string_view(line).substr(eq + 1));
        if (!value)
            RefuseLine(file, number, "not a key = value line (or a quote is not closed)");
        const std::string key = Lower(Trim(line.substr(0, eq)));
        if (const auto seen = sections.back().second.find(key); seen != sections.back().second.end())
            RefuseLine(file, number,
                       key + " is given again (first on line " + std::to_string(seen->second.line) +
                           "); a key stands once in a profile");
        sections.back().second[key] = {std::move(*value), number};
    }
    return sections;
}

std::string IniWritten(const std::string &value)
{
    bool quote = value.front() == '"' || value.front() == ';' || value.front() == '#' || value.front() == ' ' ||
                 value.front() == '\t' || value.back() == ' ' || value.back() == '\t';
    for (size_t i = 1; i < value.size() && !quote; ++i)
        quote = (value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t');
    if (!quote)
        return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::pair<int, int> IniSectionLines(std::string_view text, const std::string &name)
{
    std::pair<int, int> found{0, 0};
    size_t start = 0;
    std::string_view raw;
    int number = 1;
    for (; NextLine(text, start, raw); ++number) {
        const std::string line = Trim(std::string(raw));
        if (line.empty() || line.front() != '[')
            continue;
        if (found.first != 0 && found.second == 0)
            found.second = number;
        const size_t close = line.find(']');
        if (found.first == 0 && close != std::string::npos && SameText(Trim(line.substr(1, close - 1)), name))
            found.first = number;
    }
    if (found.first != 0 && found.second == 0)
        found.second = number;
    return found;
}

} // namespace kelvra_provider
