// Makes the package module's resource files: the four palette bitmaps,
// DESCRIPTION and PACKAGEINFO. The files are kept in package/resources/ and
// built into the module from there; this program is their source.
//
//   MakeResources DIR           writes the files into DIR
//   MakeResources --check DIR   exits 1, naming each file, when DIR's differ
//
// The bitmaps: 24 x 24 pixels, 4 bits per pixel, uncompressed, the standard
// 16-colour palette, bottom row first: 392 bytes as a resource (header,
// palette, pixels), 406 as a .bmp file. Each has a silver background, its
// motif in the upper two thirds and "MAPI" in navy capitals along the
// bottom six rows.
#include "designer/Bitmap.h"
#include "designer/PackageInfo.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The standard 16-colour palette, as (red, green, blue).
enum Colour : std::uint8_t {
    Black, Maroon, Green, Olive, Navy, Purple, Teal, Silver,
    Grey, Red, Lime, Yellow, Blue, Fuchsia, Aqua, White
};
constexpr std::array<std::array<std::uint8_t, 3>, 16> kPalette{{
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80}, {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
}};

constexpr int kSide = 24;

// A picture being drawn; (0, 0) is the top-left pixel.
struct Canvas {
    std::array<std::array<Colour, kSide>, kSide> px{};

    Canvas()
    {
        for (auto &row : px)
            row.fill(Silver);
    }
    void Set(int x, int y, Colour c)
    {
        if (x >= 0 && x < kSide && y >= 0 && y < kSide)
            px[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] = c;
    }
    void Fill(int x0, int y0, int x1, int y1, Colour c) // inclusive corners
    {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                Set(x, y, c);
    }
    void Frame(int x0, int y0, int x1, int y1, Colour c)
    {
        Fill(x0, y0, x1, y0, c);
        Fill(x0, y1, x1, y1, c);
        Fill(x0, y0, x0, y1, c);
        Fill(x1, y0, x1, y1, c);
    }
    void Line(int x0, int y0, int x1, int y1, Colour c)
    {
        const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
        for (int i = 0; i <= steps; ++i)
            Set(x0 + (x1 - x0) * i / std::max(steps, 1), y0 + (y1 - y0) * i / std::max(steps, 1), c);
    }
};

// "MAPI" in navy, five rows of letters in the bottom six rows (the last
// row stays background).
void Lettering(Canvas &c)
{
    static const char *const kLetters[5] = {
        "X...X..XX..XXX..XXX",
        "XX.XX.X..X.X..X..X.",
        "X.X.X.XXXX.XXX...X.",
        "X...X.X..X.X.....X.",
        "X...X.X..X.X....XXX",
    };
    for (int row = 0; row < 5; ++row)
        for (int col = 0; kLetters[row][col] != '\0'; ++col)
            if (kLetters[row][col] == 'X')
                c.Set(2 + col, 18 + row, Navy);
}

// Three overlapping windows, each with a navy title bar, back to front.
void Session(Canvas &c)
{
    for (int i = 0; i < 3; ++i) {
        const int x = 1 + 5 * i, y = 1 + 3 * i;
        c.Fill(x, y, x + 10, y + 7, White);
        c.Fill(x, y, x + 10, y + 1, Navy);
        c.Frame(x, y, x + 10, y + 7, Black);
    }
}

// An envelope with a stamp in its top-right corner.
void Envelope(Canvas &c, Colour stamp)
{
    c.Fill(1, 6, 20, 16, White);
    c.Line(1, 6, 10, 11, Grey); // the flap
    c.Line(20, 6, 11, 11, Grey);
    c.Frame(1, 6, 20, 16, Black);
    c.Fill(16, 8, 18, 10, stamp);
}

// A red arrow, two pixels wide at columns 7 and 8; `up` puts the head at
// the top of rows top..bottom, else at the bottom.
void Arrow(Canvas &c, int top, int bottom, bool up)
{
    for (int i = 0; i < 4; ++i) {
        const int y = up ? top + i : bottom - i;
        c.Fill(7 - i, y, 8 + i, y, Red);
    }
    if (up)
        c.Fill(7, top + 4, 8, bottom, Red);
    else
        c.Fill(7, top, 8, bottom - 4, Red);
}

void SendMail(Canvas &c)
{
    Envelope(c, Green);
    Arrow(c, 0, 11, true); // from inside the envelope up and out
}

void ReadMail(Canvas &c)
{
    Envelope(c, Purple);
    Arrow(c, 0, 12, false); // from above down into the envelope
}

// A teal head and shoulders with a black outline.
void Contact(Canvas &c)
{
    const auto inside = [](int x, int y) {
        const double hx = x - 11.5, hy = y - 4.5;
        if (hx * hx + hy * hy <= 3.7 * 3.7)
            return true;
        const double sx = (x - 11.5) / 8.0, sy = (y - 16.5) / 6.5;
        return y <= 16 && sx * sx + sy * sy <= 1.0;
    };
    for (int y = 0; y <= 16; ++y)
        for (int x = 0; x < kSide; ++x) {
            if (!inside(x, y))
                continue;
            const bool edge = !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) ||
                              (y < 16 && !inside(x, y + 1));
            c.Set(x, y, edge ? Black : Teal);
        }
}

// The resource bytes of a picture: header, palette, rows bottom first.
Bytes Dib(const Canvas &c)
{
    Bytes b;
    const auto u32 = [&b](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    const auto u16 = [&b](std::uint16_t v) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    constexpr std::uint32_t stride = kSide / 2;
    u32(40);            // header size
    u32(kSide);         // width
    u32(kSide);         // height: positive, bottom row first
    u16(1);             // planes
    u16(4);             // bits per pixel
    u32(0);             // uncompressed
    u32(stride * kSide); // pixel bytes
    u32(0);             // horizontal resolution: unspecified
    u32(0);             // vertical resolution
    u32(16);            // colours used
    u32(0);             // colours important: all
    for (const auto &rgb : kPalette) {
        b.push_back(rgb[2]);
        b.push_back(rgb[1]);
        b.push_back(rgb[0]);
        b.push_back(0);
    }
    for (int y = kSide - 1; y >= 0; --y)
        for (int x = 0; x < kSide; x += 2)
            b.push_back(static_cast<std::uint8_t>(c.px[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] << 4 |
                                                  c.px[static_cast<std::size_t>(y)][static_cast<std::size_t>(x + 1)]));
    return b;
}

Bytes Picture(void (*motif)(Canvas &))
{
    Canvas c;
    motif(c);
    Lettering(c);
    return designer::BitmapFile(Dib(c));
}

Bytes Description()
{
    const std::u16string text = u"Kelvra Simple MAPI Components";
    Bytes b;
    for (char16_t ch : text) {
        b.push_back(static_cast<std::uint8_t>(ch & 0xFF));
        b.push_back(static_cast<std::uint8_t>(ch >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

Bytes PackageInfo()
{
    using designer::TUnitKind;
    designer::TPackageInfo info;
    info.Options = {designer::TPackageOption::poDesignOnly};
    info.Requires = {"designide260.bpl", "vcl260.bpl"};
    info.Units = {{TUnitKind::ukPackage, "KelvraP"},
                  {TUnitKind::ukOrdinary, "KelvraE"},
                  {TUnitKind::ukOrdinary, "Kelvra"},
                  {TUnitKind::ukStartup, "SysInit"}};
    return designer::WritePackageInfo(info);
}

struct File {
    const char *name;
    Bytes bytes;
};

Bytes Read(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char **argv)
{
    const bool check = argc == 3 && std::string(argv[1]) == "--check";
    if (argc != 2 && !check) {
        std::fprintf(stderr, "usage: %s [--check] DIR\n", argv[0]);
        return 2;
    }
    const fs::path dir = argv[argc - 1];
    const File files[] = {
        {"TKelvraSession.bmp", Picture(Session)},
        {"TKelvraSendMail.bmp", Picture(SendMail)},
        {"TKelvraReadMail.bmp", Picture(ReadMail)},
        {"TKelvraContact.bmp", Picture(Contact)},
        {"DESCRIPTION.bin", Description()},
        {"PACKAGEINFO.bin", PackageInfo()},
    };
    int status = 0;
    for (const File &f : files) {
        const fs::path path = dir / f.name;
        if (check) {
            if (Read(path) != f.bytes) {
                std::fprintf(stderr, "%s differs from what this program makes\n", path.string().c_str());
                status = 1;
            }
            continue;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(f.bytes.data()), static_cast<std::streamsize>(f.bytes.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
            return 1;
        }
    }
    return status;
}
