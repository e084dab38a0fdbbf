// Writing a file the user asked a command to save, as a careful program does
// in a folder others may write to as well. kelvra and kelvra-design share it.
#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvra_cli {

// A path's bytes as UTF-8 text (on Windows from its UTF-16).
std::string Utf8(const std::filesystem::path &path);

// A local file problem: a missing attachment, an unwritable folder.
class LocalFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the file `name` directly in `folder`: `write` is handed the
// descriptor of a new file of its own there (created, never opened through
// a link or over another file) and returns false on a failure (errno told
// why); the file takes the name only once it is whole and on disk. An
// existing file of that name (or a link) is replaced only with `replace`,
// and then in one step: it is never removed before the new one is made, and
// on POSIX the new file keeps the old one's permission bits (a private file
// stays private). A failure leaves the folder as it was and raises
// LocalFileError.
void SaveFile(const std::filesystem::path &folder, const std::string &name, const std::function<bool(int fd)> &write,
              bool replace);

// SaveFile with a copy of the file `source`.
void SaveCopy(const std::filesystem::path &folder, const std::string &name, const std::filesystem::path &source,
              bool replace);

// SaveFile with `bytes`, into the file `path` names.
void SaveBytes(const std::filesystem::path &path, std::string_view bytes, bool replace);

} // namespace kelvra_cli
