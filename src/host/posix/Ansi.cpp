// POSIX: the "ANSI code page" is the character set of the environment's
// locale, by the rule the provider shares (posix/Charset.h).
#include "host/Text.h"
#include "posix/Charset.h"

#include <bit>
#include <cerrno>
#include <iconv.h>

namespace host {

namespace {

const char kUtf8[] = "UTF-8";
// iconv's name for the host's own UTF-16 byte order.
const char *const kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

bool IsUtf8(const std::string &charset) { return charset == kUtf8; }

// RAII for one iconv conversion descriptor.
class Converter {
public:
    Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Converter() { if (Valid()) iconv_close(cd_); }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

private:
    iconv_t cd_;
};

} // namespace

std::string AnsiCharset()
{
    return kelvra_posix::LocaleCharset();
}

AnsiString ToAnsi(std::u16string_view text)
{
    const std::string charset = AnsiCharset();
    if (IsUtf8(charset))
        return EncodeUtf8(text, "?");
    Converter conv(charset.c_str(), kUtf16);
    if (!conv.Valid())
        return EncodeUtf8(text, "?");

    AnsiString out;
    char buffer[256];
    auto *in = const_cast<char *>(reinterpret_cast<const char *>(text.data()));
    size_t inLeft = text.size() * sizeof(char16_t);
    while (inLeft > 0) {
        char *dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t rc = iconv(conv.Get(), &in, &inLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (rc != static_cast<size_t>(-1))
            continue;
        if (errno == E2BIG)
            continue;
        // A character the code page lacks (EILSEQ) or a lone surrogate at the
        // end (EINVAL): the code page's default character stands in for one
        // UTF-16 unit, or for a whole surrogate pair.
        out += '?';
        const auto unit = *reinterpret_cast<const char16_t *>(in);
        size_t skip = sizeof(char16_t);
        if (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 2 * sizeof(char16_t)) {
            const auto next = *reinterpret_cast<const char16_t *>(in + sizeof(char16_t));
            if (next >= 0xDC00 && next <= 0xDFFF)
                skip *= 2;
        }
        in += skip;
        inLeft -= skip;
        iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state of stateful character sets.
    char *dst = buffer;
    size_t dstLeft = sizeof buffer;
    iconv(conv.Get(), nullptr, nullptr, &dst, &dstLeft);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    return out;
}

String FromAnsi(std::string_view text)
{
    const std::string charset = AnsiCharset();
    if (IsUtf8(charset))
        return FromUtf8(text);
    Converter conv(kUtf16, charset.c_str());
    if (!conv.Valid())
        return FromUtf8(text);

    String out;
    char16_t buffer[128];
    auto *in = const_cast<char *>(text.data());
    size_t inLeft = text.size();
    while (inLeft > 0) {
        auto *dst = reinterpret_cast<char *>(buffer);
        size_t dstLeft = sizeof buffer;
        const size_t rc = iconv(conv.Get(), &in, &inLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<size_t>(dst - reinterpret_cast<char *>(buffer)) / sizeof(char16_t));
        if (rc != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        out += u'\uFFFD';
        ++in;
        --inLeft;
        iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

} // namespace host
