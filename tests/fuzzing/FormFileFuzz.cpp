// Form files: whatever the text, reading either builds a tree that writes
// back, or raises; never a crash, never a leak. What is written reads back
// into a tree that writes the same text again.
#include "host/Exception.h"
#include "host/FormFile.h"
#include "kelvra/Kelvra.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // No platform library: a stored active session fails its logon cleanly.
    static const bool init = (kelvra::MAPIDLL = u"no-such-mapi-library.so", true);
    (void)init;
    std::string written;
    try {
        auto form = host::ReadForm(std::string_view(reinterpret_cast<const char *>(data), size));
        written = host::WriteForm(*form);
    } catch (const std::exception &) {
        return 0;
    }
    // Past this point nothing may raise: what was written must round-trip.
    try {
        const std::string again = host::WriteForm(*host::ReadForm(written));
        if (again != written) {
            std::fprintf(stderr, "form file changed on a round trip:\n%s\n---\n%s\n", written.c_str(), again.c_str());
            std::abort();
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "a written form file does not read back: %s\n%s\n", e.what(), written.c_str());
        std::abort();
    }
    return 0;
}
