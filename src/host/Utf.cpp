// Locale-independent UTF-8 <-> UTF-16 conversion.
#include "host/Text.h"

namespace host {

namespace {

void PutUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void PutUtf16(String &out, char32_t cp)
{
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

// The character of the sequence at `i` (a lead byte of 0x80 or more): its
// length, or 0 when the bytes there are no UTF-8 (a stray continuation, a
// sequence cut short, an overlong form, a surrogate, a value past U+10FFFF).
size_t DecodeOne(std::string_view text, size_t i, char32_t &cp)
{
    const auto b = static_cast<unsigned char>(text[i]);
    size_t len = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; min = 0x80; }
    else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; min = 0x800; }
    else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; min = 0x10000; }
    bool ok = len != 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k) {
        const auto cb = static_cast<unsigned char>(text[i + k]);
        ok = (cb & 0xC0) == 0x80;
        cp = (cp << 6) | (cb & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
        ok = false;
    return ok ? len : 0;
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

} // namespace

std::string EncodeUtf8(std::u16string_view text, std::string_view replacement)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
            PutUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (IsHigh(c) || IsLow(c)) {
            out += replacement;
        } else {
            PutUtf8(out, c);
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view text)
{
    return EncodeUtf8(text, "\xEF\xBF\xBD");
}

String FromUtf8(std::string_view text)
{
    String out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            // A run of ASCII, the usual case, in one go.
            size_t end = i + 1;
            while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80)
                ++end;
            const size_t at = out.size();
            out.resize(at + (end - i));
            for (size_t k = i; k < end; ++k)
                out[at + (k - i)] = char16_t(static_cast<unsigned char>(text[k]));
            i = end;
            continue;
        }
        char32_t cp = 0;
        const size_t len = DecodeOne(text, i, cp);
        if (len != 0) {
            PutUtf16(out, cp);
            i += len;
        } else {
            out += u'\uFFFD';
            ++i;
        }
    }
    return out;
}

std::size_t InvalidUtf8At(std::string_view text)
{
    char32_t cp = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t len = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : DecodeOne(text, i, cp);
        if (len == 0)
            return i;
        i += len;
    }
    return std::string_view::npos;
}

String FromAscii(std::string_view text)
{
    return String(text.begin(), text.end());
}

} // namespace host
