// The renderer of HTML-only mail on any page, in each way a charset comes
// to it (the part's, none, one that does not fit the bytes): the text is
// UTF-8, its lines end in CRLF, and none ends the text. A crash, a leak or
// an exception is a fault.
#include "message/HtmlText.h"

#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fault(const char *what)
{
    std::fprintf(stderr, "html text fuzz: %s\n", what);
    std::abort();
}

void Check(const std::string &text)
{
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        Fault("the text is not UTF-8");
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        if (at == 0 || text[at - 1] != '\r')
            Fault("a line ends in LF alone");
    if (!text.empty() && text.back() == '\n')
        Fault("a line break ends the text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view page(reinterpret_cast<const char *>(data), size);
    for (const char *charset : {static_cast<const char *>(nullptr), "utf-8", "iso-8859-1", "shift_jis"})
        Check(kelvra_provider::HtmlText(page, charset));
    return 0;
}
