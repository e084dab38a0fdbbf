#include "SaveFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelvra_cli {

namespace fs = std::filesystem;

std::string Utf8(const fs::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

namespace {

[[noreturn]] void Refuse(const std::string &what, const fs::path &path, int error)
{
    throw LocalFileError(what + " " + Utf8(path) + ": " + std::generic_category().message(error));
}

// A name for the new file beside the one it becomes: hidden, and unlikely
// to be anyone's (it is created exclusively all the same).
std::string StagingName(const std::string &name)
{
    static std::mt19937_64 random(std::random_device{}() ^
                                  static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    // Appended: GCC 12 at -O3 reports a false -Wrestrict for
    // `"literal" + std::string&&`.
    std::string staging = ".";
    return staging.append(name, 0, 64).append(".kelvra-").append(std::to_string(random() % 1000000000000ull));
}

#if defined(_WIN32)

struct Folder {
    explicit Folder(const fs::path &path) : path(path) {}
    fs::path path;
};

// Windows gives a new file the folder's inherited permissions.
void KeepMode(const Folder &, const std::string &, int) {}

int CreateNew(const Folder &folder, const std::string &name)
{
    int fd = -1;
    const std::wstring path = (folder.path / fs::path(std::u8string(name.begin(), name.end()))).wstring();
    if (_wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYRW,
                  _S_IREAD | _S_IWRITE) != 0)
        return -1;
    return fd;
}
long WriteSome(int fd, const char *data, size_t size)
{
    return _write(fd, data, static_cast<unsigned>(std::min<size_t>(size, 1u << 20)));
}
bool SyncAndClose(int fd)
{
    const bool synced = _commit(fd) == 0;
    return _close(fd) == 0 && synced;
}
void Remove(const Folder &folder, const std::string &name)
{
    std::error_code ignored;
    fs::remove(folder.path / fs::path(std::u8string(name.begin(), name.end())), ignored);
}
// Moves the staged file to its name; EEXIST when the name is taken and not
// to be replaced.
int Move(const Folder &folder, const std::string &from, const std::string &to, bool replace)
{
    const std::wstring source = (folder.path / fs::path(std::u8string(from.begin(), from.end()))).wstring();
    const std::wstring target = (folder.path / fs::path(std::u8string(to.begin(), to.end()))).wstring();
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)))
        return 0;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST : EACCES;
}

#else

// The folder, held open: every name is looked up in it, however its path
// changes meanwhile.
struct Folder {
    explicit Folder(const fs::path &path) : fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd < 0)
            Refuse("cannot open", path, errno);
    }
    ~Folder() { close(fd); }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    int fd;
};

int CreateNew(const Folder &folder, const std::string &name)
{
    return openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}
// The new file `fd` takes the permission bits of the regular file `name`
// it is to replace, if there is one and it was the user's own (never the
// set-user or set-group bit); another user's file (0777 in a shared
// folder, say) lends it nothing, and it keeps the default mode.
void KeepMode(const Folder &folder, const std::string &name, int fd)
{
    struct stat st {};
    if (fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == geteuid())
        fchmod(fd, st.st_mode & 0777);
}
long WriteSome(int fd, const char *data, size_t size) { return static_cast<long>(write(fd, data, size)); }
bool SyncAndClose(int fd)
{
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}
void Remove(const Folder &folder, const std::string &name) { unlinkat(folder.fd, name.c_str(), 0); }
int Move(const Folder &folder, const std::string &from, const std::string &to, bool replace)
{
    if (replace) // a link at the name is replaced, never followed
        return renameat(folder.fd, from.c_str(), folder.fd, to.c_str()) == 0 ? 0 : errno;
    // A hard link takes the name only while it is free; where the file
    // system has none, the name is looked at just before the rename.
    if (linkat(folder.fd, from.c_str(), folder.fd, to.c_str(), 0) != 0) {
        if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK)
            return errno;
        struct stat st {};
        if (fstatat(folder.fd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return EEXIST;
        return renameat(folder.fd, from.c_str(), folder.fd, to.c_str()) == 0 ? 0 : errno;
    }
    unlinkat(folder.fd, from.c_str(), 0);
    return 0;
}

#endif

bool WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const long wrote = WriteSome(fd, data, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        data += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

} // namespace

void SaveFile(const fs::path &folder, const std::string &name, const std::function<bool(int fd)> &write, bool replace)
{
    const fs::path destination = folder / fs::path(std::u8string(name.begin(), name.end()));
    std::error_code error;
    if (!replace && (fs::exists(fs::symlink_status(destination, error))))
        throw LocalFileError(Utf8(destination) + " exists; --force replaces it");
    const Folder at(folder);
    std::string staging;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        staging = StagingName(name);
        fd = CreateNew(at, staging);
        if (fd < 0 && errno != EEXIST)
            Refuse("cannot write in", folder, errno);
    }
    if (fd < 0)
        Refuse("cannot write in", folder, EEXIST);
    if (replace)
        KeepMode(at, name, fd);
    errno = 0;
    bool whole = write(fd);
    const int writeError = whole ? 0 : (errno != 0 ? errno : EIO);
    if (!SyncAndClose(fd))
        whole = false;
    if (!whole) {
        Remove(at, staging);
        Refuse("cannot write", destination, writeError != 0 ? writeError : EIO);
    }
    if (const int moved = Move(at, staging, name, replace); moved != 0) {
        Remove(at, staging);
        if (moved == EEXIST)
            throw LocalFileError(Utf8(destination) + " exists; --force replaces it");
        Refuse("cannot write", destination, moved);
    }
}

void SaveCopy(const fs::path &folder, const std::string &name, const fs::path &source, bool replace)
{
    std::ifstream in(source, std::ios::binary);
    if (!in)
        Refuse("cannot read", source, errno != 0 ? errno : EIO);
    SaveFile(
        folder, name,
        [&](int fd) {
            char buffer[1 << 16];
            while (in) {
                in.read(buffer, sizeof buffer);
                if (in.gcount() > 0 && !WriteAll(fd, buffer, static_cast<size_t>(in.gcount())))
                    return false;
            }
            if (!in.eof() || in.bad()) {
                errno = EIO;
                return false;
            }
            return true;
        },
        replace);
}

void SaveBytes(const fs::path &path, std::string_view bytes, bool replace)
{
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const std::u8string name = path.filename().u8string();
    SaveFile(
        folder, std::string(name.begin(), name.end()),
        [&](int fd) { return WriteAll(fd, bytes.data(), bytes.size()); }, replace);
}

} // namespace kelvra_cli
