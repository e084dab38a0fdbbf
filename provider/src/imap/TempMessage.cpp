#include "imap/TempMessage.h"

#include "Errors.h"
#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

namespace kelvra_provider::imap {

TempMessage::TempMessage(const char *bytes, size_t size)
{
    const char *tmpdir = std::getenv("TMPDIR");
    path_ = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/kelvra-imap-XXXXXX";
    const int fd = mkostemp(path_.data(), O_CLOEXEC);
    if (fd < 0) {
        path_.clear();
        Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
    }
    try {
        WriteAll(fd, std::string_view(bytes, size));
    } catch (const MapiError &) {
        close(fd);
        throw;
    }
    close(fd);
}

TempMessage::~TempMessage()
{
    if (!path_.empty())
        unlink(path_.c_str());
}

std::string Written(const MessageWriter &write)
{
    const TempMessage out("", 0);
    {
        const int fd = open(out.Path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0)
            Fail(MAPI_E_FAILURE);
        try {
            write(fd);
        } catch (...) {
            close(fd);
            throw;
        }
        close(fd);
    }
    std::optional<std::string> bytes = ReadRegularFile(out.Path(), std::string().max_size());
    if (!bytes)
        Fail(MAPI_E_FAILURE);
    return std::move(*bytes);
}

} // namespace kelvra_provider::imap
