// Palette bitmaps as package modules carry them: device-independent bitmaps
// (a 40-byte header, a colour table, uncompressed rows of 1, 4 or 8 bits per
// pixel padded to four bytes; bottom row first unless the height is
// negative), without the 14-byte header that a .bmp file adds.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace designer {

struct TBitmapImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::array<std::uint8_t, 3>> Pixels; // red, green, blue; top row first, left to right
};

// The picture a bitmap resource holds. Raises host::Exception, saying what
// is wrong, for bytes that are not such a bitmap (a compressed one, a pixel
// that names no colour of the table, fewer bytes than the header says).
TBitmapImage DecodeBitmap(std::span<const std::uint8_t> dib);

// The .bmp file of a bitmap resource: the 14-byte file header, then the
// bytes unchanged. Raises host::Exception as DecodeBitmap does.
std::vector<std::uint8_t> BitmapFile(std::span<const std::uint8_t> dib);

} // namespace designer
