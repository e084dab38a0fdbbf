// Form files: whatever the text, reading either builds a tree that writes
// back, or raises; never a crash, never a leak.
#include "host/Exception.h"
#include "host/FormFile.h"
#include "kelvra/Kelvra.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // No platform library: a stored active session fails its logon cleanly.
    static const bool init = (kelvra::MAPIDLL = u"no-such-mapi-library.so", true);
    (void)init;
    try {
        auto form = host::ReadForm(std::string_view(reinterpret_cast<const char *>(data), size));
        host::WriteForm(*form);
    } catch (const std::exception &) {
    }
    return 0;
}
