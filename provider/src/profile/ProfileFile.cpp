#include "profile/ProfileFile.h"
#include "Places.h"
#include "profile/Profile.h"

#include "Errors.h"
#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kelvra_provider {

namespace {

// Larger files are not profile files; they are refused.
constexpr std::size_t kMaxProfileFile = 1024 * 1024;

// A profile names programs to run (passwordcmd): one that another user
// wrote, or could have, is refused whatever it holds, as ssh refuses such a
// configuration; reading and adding alike. Root's files are everyone's to
// trust.
void RefuseUntrusted(const std::string &file)
{
    if (struct stat st {}; stat(file.c_str(), &st) == 0) {
        if (st.st_uid != getuid() && st.st_uid != 0) {
            Refuse("the profile file " + file + " belongs to another user; it is not used", MAPI_E_LOGON_FAILURE);
        }
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            Refuse("the profile file " + file + " can be changed by others; it is not used (chmod go-w " + file + ")",
                   MAPI_E_LOGON_FAILURE);
        }
    }
}

} // namespace

std::string ProfileFile()
{
    std::string named = Env("KELVRA_MAPI_PROFILES");
    if (named.empty())
        return XdgFolder("XDG_CONFIG_HOME", ".config") + "/kelvra/profiles.ini";
    // Relative to the current folder, made absolute now: the paths in the
    // file are relative to the file's folder, and must not end up relative
    // to the root.
    if (named[0] != '/') {
        std::string cwd(4096, '\0');
        while (getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE)
                Refuse(std::string("the current folder, which KELVRA_MAPI_PROFILES is relative to, is not known: ") +
                           std::strerror(errno),
                       MAPI_E_LOGON_FAILURE);
            cwd.resize(cwd.size() * 2);
        }
        cwd.resize(cwd.find('\0'));
        named = (cwd == "/" ? "" : cwd) + "/" + named;
    }
    return named;
}

std::optional<std::string> ProfileText(const std::string &file)
{
    RefuseUntrusted(file);
    // Never blocks: a FIFO (or anything but a regular file) is refused.
    std::optional<std::string> text = ReadRegularFile(file, kMaxProfileFile);
    if (!text) {
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR)
            Refuse("the profile file " + file + " cannot be read: " + std::strerror(error), MAPI_E_LOGON_FAILURE);
        // A file named on purpose must be there; the usual one need not.
        if (!Env("KELVRA_MAPI_PROFILES").empty())
            Refuse("the profile file " + file + " (KELVRA_MAPI_PROFILES) does not exist", MAPI_E_LOGON_FAILURE);
    }
    return text;
}

ProfileFileToWrite ProfileFileToAddTo()
{
    ProfileFileToWrite to{ProfileFile(), {}};
    if (struct stat st {}; lstat(to.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        if (realpath(to.path.c_str(), target) == nullptr)
            Refuse("the profile file " + to.path + " is a link to nothing that can be written (" +
                   std::strerror(errno) + "); nothing was written");
        to.path = target;
    }
    // What reading would refuse is never adopted by writing to it.
    RefuseUntrusted(to.path);
    if (std::optional<std::string> old = ReadRegularFile(to.path, kMaxProfileFile))
        to.text = std::move(*old);
    else if (errno != ENOENT)
        Refuse("the profile file " + to.path + " cannot be read: " + std::strerror(errno));
    return to;
}

void WriteProfileFile(const std::string &file, const std::string &text)
{
    const std::string folder = file.substr(0, file.rfind('/'));
    for (size_t slash = folder.find('/', 1); !folder.empty(); slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            Refuse("the folder " + part + " cannot be made for the profile file: " + std::strerror(errno));
        if (slash == std::string::npos)
            break;
    }
    std::string staging = file + ".XXXXXX";
    const int fd = mkostemp(staging.data(), O_CLOEXEC);
    if (fd < 0)
        Refuse("the profile file " + file + " cannot be written: " + std::strerror(errno));
    if (struct stat st {}; stat(file.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 0700); // never more open than it was, never more than the owner's
    try {
        WriteAll(fd, text);
    } catch (const MapiError &) {
        close(fd);
        unlink(staging.c_str());
        throw;
    }
    const bool synced = fsync(fd) == 0;
    if (close(fd) != 0 || !synced || rename(staging.c_str(), file.c_str()) != 0) {
        const int why = errno;
        unlink(staging.c_str());
        Refuse("the profile file " + file + " cannot be written: " + std::strerror(why));
    }
}

} // namespace kelvra_provider
