#include "Files.h"

#include "Errors.h"

#include <unistd.h>

#include <cerrno>

namespace kelvra_provider {

void WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(n < 0 && (errno == ENOSPC || errno == EDQUOT) ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace kelvra_provider
