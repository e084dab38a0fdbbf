#include "Text.h"

#include "Errors.h"

#include "posix/Charset.h"

#include <glib.h>

#include <cctype>

namespace kelvra_provider {

namespace {

const std::string &Charset()
{
    return kelvra_posix::LocaleCharset();
}

std::string Convert(std::string_view text, const char *to, const char *from)
{
    if (text.empty())
        return {};
    gsize written = 0;
    gchar *out = g_convert_with_fallback(text.data(), static_cast<gssize>(text.size()), to, from, "?", nullptr,
                                         &written, nullptr);
    if (out == nullptr)
        return std::string(text);
    std::string result(out, written);
    g_free(out);
    return result;
}

// Valid UTF-8, with each bad byte replaced.
std::string ValidUtf8(std::string_view text)
{
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::string(text);
    gchar *fixed = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string result(fixed);
    g_free(fixed);
    return result;
}

} // namespace

std::string NarrowToUtf8(std::string_view narrow)
{
    if (Charset() == "UTF-8")
        return ValidUtf8(narrow);
    return Convert(narrow, "UTF-8", Charset().c_str());
}

bool NarrowIsUtf8()
{
    static const bool utf8 = Charset() == "UTF-8";
    return utf8;
}

std::string Utf8ToNarrow(std::string_view utf8)
{
    if (NarrowIsUtf8())
        return std::string(utf8);
    return Convert(utf8, Charset().c_str(), "UTF-8");
}

std::string WideToUtf8(const WCHAR *text, ULONG code, const char *field)
{
    if (text == nullptr)
        return {};
    // GLib's converter refuses what is not UTF-16 instead of passing it on:
    // a lone surrogate, also one that ends the text (asked for no count of
    // what it read, it takes that for an error, not for input to come).
    static_assert(sizeof(WCHAR) == sizeof(gunichar2));
    GError *error = nullptr;
    gchar *utf8 = g_utf16_to_utf8(reinterpret_cast<const gunichar2 *>(text), -1, nullptr, nullptr, &error);
    if (utf8 == nullptr) {
        const bool notUtf16 = error != nullptr && error->domain == G_CONVERT_ERROR;
        g_clear_error(&error);
        if (!notUtf16)
            Fail(MAPI_E_INSUFFICIENT_MEMORY);
        Refuse(std::string("refused: ") + field + " is not UTF-16 (it holds a lone surrogate)", code);
    }
    std::string out(utf8);
    g_free(utf8);
    return out;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(std::string text)
{
    const char *blanks = " \t\r\n";
    text.erase(0, text.find_first_not_of(blanks));
    text.erase(text.find_last_not_of(blanks) + 1);
    return text;
}

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsWithText(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string OneLine(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return out;
}

std::string WithCrlf(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (const char c : text) {
        if (c == '\n' && (out.empty() || out.back() != '\r'))
            out += '\r';
        out += c;
    }
    return out;
}

bool NextLine(std::string_view text, std::size_t &start, std::string_view &line)
{
    if (start >= text.size())
        return false;
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
        end = text.size();
    line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    start = end + 1;
    return true;
}

} // namespace kelvra_provider
