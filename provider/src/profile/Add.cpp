#include "profile/Profile.h"

#include "profile/Ini.h"
#include "profile/Keys.h"
#include "profile/ProfileFile.h"
#include "profile/Read.h"

#include "Errors.h"
#include "Text.h"
#include "Secret.h"

#include <glib.h>

#include <algorithm>

namespace kelvra_provider {

namespace {

// Whether a new profile may bear the name: printable UTF-8 text without
// blanks at its ends, and none of the characters of INI or shell syntax, so
// that a name taken from another program's file (an msmtp account) can
// become neither a second section nor a command where a shell meets it.
bool PlainName(const std::string &name)
{
    if (name.empty() || Trim(name) != name || !g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr))
        return false;
    if (name.find_first_of("[]=;#\"'`$\\(){}<>|&*?!~") != std::string::npos)
        return false;
    for (const char *p = name.c_str(); *p != '\0'; p = g_utf8_next_char(p)) {
        const gunichar c = g_utf8_get_char(p);
        // No control or format character (bidirectional overrides among them).
        const GUnicodeType type = g_unichar_type(c);
        if (type == G_UNICODE_CONTROL || type == G_UNICODE_FORMAT || type == G_UNICODE_UNASSIGNED ||
            type == G_UNICODE_LINE_SEPARATOR || type == G_UNICODE_PARAGRAPH_SEPARATOR)
            return false;
    }
    return true;
}

// The profile's section as the file will hold it, from the keys given.
std::string SectionText(const std::string &name, const std::vector<std::pair<std::string, std::string>> &keys)
{
    if (!PlainName(name))
        Refuse("a new profile's name is printable text without blanks at its ends and without any of "
               "[ ] = ; # \" ' ` $ \\ ( ) { } < > | & * ? ! ~, not \"" + name + "\" (kelvra profile import --as "
               "names another)");
    std::string section = "[" + name + "]\n";
    for (size_t i = 0; i < keys.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (keys[i].first == keys[j].first)
                Refuse("the key " + keys[i].first + " is given twice; a key stands once in a profile");
    for (const auto &[key, value] : keys) {
        if (!IsProfileKey(key))
            Refuse("a profile has no key " + key);
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            Refuse("the value of " + key + " holds a line break, which a profile file cannot");
        if (!value.empty())
            section += key + " = " + IniWritten(value) + "\n";
    }
    return section;
}

// `text` with `section` in place of the lines [header, end) (1-based), and
// the lines (comments, blank lines) that followed the old one kept only up
// to the next section; with no header, at the end after a blank line.
std::string WithSection(const std::string &text, const std::string &section, int header, int end)
{
    std::string updated;
    if (header == 0) {
        updated = text;
        if (!updated.empty() && updated.back() != '\n')
            updated += '\n';
        return updated + (updated.empty() ? "" : "\n") + section;
    }
    size_t start = 0;
    std::string_view raw;
    for (int number = 1; NextLine(text, start, raw); ++number) {
        if (number == header)
            updated += section + "\n";
        if (number < header || number >= end)
            updated += std::string(raw) + "\n";
    }
    return updated;
}

} // namespace

Profile AddProfile(const std::string &name, const std::vector<std::pair<std::string, std::string>> &keys, bool replace)
{
    ProfileFileToWrite file = ProfileFileToAddTo();
    const std::string section = SectionText(name, keys);
    const auto [header, end] = IniSectionLines(file.text, name);
    if (header != 0 && !replace)
        Refuse("the profile file " + file.path + " has a profile " + name + " already (line " +
                   std::to_string(header) + "); it is kept",
               MAPI_E_LOGON_FAILURE);
    std::string updated = WithSection(file.text, section, header, end);
    ClearText(file.text);
    // What could not log on is not written.
    Profile p = ProfileFromText(updated, file.path, name, true);
    WriteProfileFile(file.path, updated);
    ClearText(updated);
    return p;
}

} // namespace kelvra_provider
