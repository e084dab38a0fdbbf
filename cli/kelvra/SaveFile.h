// Writing a file the command was asked to save, as a careful program does in
// a folder others may write to as well.
#pragma once

#include <filesystem>
#include <string>

namespace kelvra_cli {

// Copies `source` to the file `name` directly in `folder`: into a new file of
// its own there first (created, never opened through a link or over another
// file), which takes the name only once it is whole. An existing file of that
// name (or a link) is replaced only with `replace`, and then in one step: it
// is never removed before the copy is made. A failure leaves the folder as it
// was and raises LocalFileError.
void SaveCopy(const std::filesystem::path &folder, const std::string &name, const std::filesystem::path &source,
              bool replace);

} // namespace kelvra_cli
