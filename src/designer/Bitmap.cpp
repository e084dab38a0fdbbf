// Device-independent bitmaps: decoding, and the .bmp file header.
#include "designer/Bitmap.h"

#include "host/Exception.h"

#include <cstdlib>

namespace designer {

namespace {

constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kUncompressed = 0;
constexpr std::int64_t kMaxSide = 4096;

std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint16_t U16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

[[noreturn]] void Fail(const char16_t *what)
{
    throw host::Exception(host::String(u"Not a palette bitmap: ") + what);
}

struct TLayout {
    std::int64_t width, height; // height as stored: negative when the top row comes first
    unsigned bits;
    std::size_t colours, stride, pixelsAt;
};

TLayout Layout(std::span<const std::uint8_t> dib)
{
    if (dib.size() < kInfoHeaderSize || U32(dib, 0) != kInfoHeaderSize)
        Fail(u"no 40-byte header");
    TLayout l{};
    l.width = static_cast<std::int32_t>(U32(dib, 4));
    l.height = static_cast<std::int32_t>(U32(dib, 8));
    l.bits = U16(dib, 14);
    if (U16(dib, 12) != 1)
        Fail(u"more than one plane");
    if (l.bits != 1 && l.bits != 4 && l.bits != 8)
        Fail(u"not 1, 4 or 8 bits per pixel");
    if (U32(dib, 16) != kUncompressed)
        Fail(u"compressed");
    if (l.width <= 0 || l.width > kMaxSide || l.height == 0 || std::llabs(l.height) > kMaxSide)
        Fail(u"width or height out of range");
    const std::uint32_t used = U32(dib, 32);
    const std::size_t most = std::size_t{1} << l.bits;
    l.colours = used == 0 ? most : used;
    if (l.colours > most)
        Fail(u"more colours than the pixels can name");
    l.stride = ((static_cast<std::size_t>(l.width) * l.bits + 31) / 32) * 4;
    l.pixelsAt = kInfoHeaderSize + 4 * l.colours;
    if (dib.size() < l.pixelsAt + l.stride * static_cast<std::size_t>(std::llabs(l.height)))
        Fail(u"fewer bytes than the header says");
    return l;
}

} // namespace

TBitmapImage DecodeBitmap(std::span<const std::uint8_t> dib)
{
    const TLayout l = Layout(dib);
    TBitmapImage image;
    image.Width = static_cast<int>(l.width);
    image.Height = static_cast<int>(std::llabs(l.height));
    image.Pixels.reserve(static_cast<std::size_t>(image.Width) * static_cast<std::size_t>(image.Height));
    for (int y = 0; y < image.Height; ++y) {
        const int stored = l.height > 0 ? image.Height - 1 - y : y;
        const std::size_t row = l.pixelsAt + l.stride * static_cast<std::size_t>(stored);
        for (int x = 0; x < image.Width; ++x) {
            const std::size_t bit = static_cast<std::size_t>(x) * l.bits;
            const std::uint8_t byte = dib[row + bit / 8];
            const unsigned shift = 8 - l.bits - bit % 8;
            const std::size_t index = (byte >> shift) & ((1u << l.bits) - 1);
            if (index >= l.colours)
                Fail(u"a pixel names no colour of the table");
            const std::size_t entry = kInfoHeaderSize + 4 * index;
            image.Pixels.push_back({dib[entry + 2], dib[entry + 1], dib[entry]});
        }
    }
    return image;
}

std::vector<std::uint8_t> BitmapFile(std::span<const std::uint8_t> dib)
{
    const TLayout l = Layout(dib);
    const std::size_t size = kFileHeaderSize + dib.size();
    const std::size_t offset = kFileHeaderSize + l.pixelsAt;
    std::vector<std::uint8_t> file{'B', 'M'};
    for (std::size_t v : {size, std::size_t{0}, offset})
        for (int i = 0; i < 4; ++i)
            file.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
    file.insert(file.end(), dib.begin(), dib.end());
    return file;
}

} // namespace designer
