#include "posix/RegularFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kelvra_posix {

int OpenRegular(const std::string &path, struct stat *st, bool keepNonBlocking, bool followLink)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return -1;
    struct stat own {};
    struct stat &status = st != nullptr ? *st : own;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISREG(status.st_mode) ? errno : EINVAL;
        close(fd);
        errno = error;
        return -1;
    }
    // Reads of a regular file never block; the flag only kept open() from
    // waiting for a FIFO's writer.
    if (!keepNonBlocking)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit, struct stat *st)
{
    struct stat own {};
    struct stat &status = st != nullptr ? *st : own;
    const int fd = OpenRegular(path, &status);
    if (fd < 0)
        return std::nullopt;
    if (static_cast<std::size_t>(status.st_size) > limit) {
        close(fd);
        errno = E2BIG;
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (true) {
        if (done == bytes.size()) {
            if (bytes.size() >= limit)
                break;
            bytes.resize(std::min(limit, bytes.size() + 65536)); // the file grew meanwhile
        }
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return std::nullopt;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    bytes.resize(done);
    return bytes;
}

} // namespace kelvra_posix
