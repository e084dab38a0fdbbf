// What kelvra-design prints and writes.
#pragma once

#include "designer/Bitmap.h"
#include "host/Text.h"

#include <filesystem>
#include <span>
#include <string>

namespace design {

// A value as the listing shows it: in single quotes (a quote doubled), a
// control character as #N outside the quotes.
std::string Shown(const host::String &value);

// Writes `bytes` to `path`, whole or not at all.
void WriteFile(const std::filesystem::path &path, std::span<const std::uint8_t> bytes);

// The picture as a PNG file (8-bit RGB). Raises host::Exception in a build
// without PNG support.
void WritePng(const std::filesystem::path &path, const designer::TBitmapImage &image);

} // namespace design
