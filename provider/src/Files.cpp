#include "Files.h"

#include "Errors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kelvra_provider {

namespace {

int OpenRegularWith(int flags, const std::string &path, struct stat *st, bool keepNonBlocking)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
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

} // namespace

int OpenRegular(const std::string &path, struct stat *st, bool keepNonBlocking)
{
    return OpenRegularWith(0, path, st, keepNonBlocking);
}

int OpenMessageFile(const std::string &path, struct stat *st, bool keepNonBlocking)
{
    return OpenRegularWith(O_NOFOLLOW, path, st, keepNonBlocking);
}

std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit)
{
    struct stat st {};
    const int fd = OpenRegular(path, &st);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    if (static_cast<std::size_t>(st.st_size) > limit) {
        close(fd);
        errno = E2BIG;
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
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
