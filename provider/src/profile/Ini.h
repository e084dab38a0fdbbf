// The profile file's format: INI text, read into sections of keys, and a
// value written so that it reads back as itself.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvra_provider {

// A value as written, and the line it stands on (for the log).
struct IniValue {
    std::string text;
    int line = 0;
};
using IniKeys = std::map<std::string, IniValue>;
// In the order of the file; the keys before the first section come first,
// under the name "".
using IniSections = std::vector<std::pair<std::string, IniKeys>>;

// INI text: [Section] lines, key = value lines (keys in lower case), ';' or
// '#' comments on lines of their own or after a value. A value that holds
// a comment's mark after a blank, or starts or ends with a blank, is in
// double quotes, with \" and \\ inside. A UTF-8 byte order mark at the
// start, as some editors write, is skipped. A line that is none of these,
// or a key given twice in a section, refuses the file (MAPI_E_LOGON_FAILURE),
// naming `file` and the line.
IniSections ReadIni(std::string_view text, const std::string &file);

// `value` as a file holds it: in double quotes when reading it bare would
// change it, with \" and \\ inside. Not empty.
std::string IniWritten(const std::string &value);

// The line numbers (from 1) of the section `name` (any case): its header,
// and the first line after it (the next header, or one past the end);
// {0, 0} when the text has no such section.
std::pair<int, int> IniSectionLines(std::string_view text, const std::string &name);

} // namespace kelvra_provider
