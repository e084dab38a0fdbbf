#include "posix/Charset.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cctype>

namespace kelvra_posix {

namespace {

bool Same(const std::string &a, const char *b)
{
    const std::string other(b);
    return a.size() == other.size() && std::equal(a.begin(), a.end(), other.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Read()
{
    locale_t loc = newlocale(LC_CTYPE_MASK, "", locale_t(nullptr));
    if (loc == locale_t(nullptr))
        return "UTF-8"; // an unusable locale setting: as the C locale
    std::string name = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    for (const char *utf8 : {"", "UTF-8", "UTF8", "ANSI_X3.4-1968", "ASCII", "US-ASCII"})
        if (Same(name, utf8))
            return "UTF-8";
    return name;
}

} // namespace

const std::string &LocaleCharset()
{
    static const std::string charset = Read();
    return charset;
}

} // namespace kelvra_posix
