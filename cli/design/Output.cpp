#include "Output.h"

#include "host/Exception.h"

#include "SaveFile.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#if defined(KELVRA_HAVE_PNG)
#  include <png.h>
#endif

namespace design {

namespace fs = std::filesystem;

std::string Shown(const host::String &value)
{
    std::string out;
    bool quoted = false;
    for (char16_t c : value) {
        if (c < 0x20 || c == 0x7F) {
            if (quoted)
                out += '\'';
            quoted = false;
            out += '#' + std::to_string(static_cast<unsigned>(c));
            continue;
        }
        if (!quoted)
            out += '\'';
        quoted = true;
        out += c == u'\'' ? std::string("''") : host::ToUtf8(std::u16string_view(&c, 1));
    }
    if (quoted || value.empty())
        out += value.empty() ? "''" : "'";
    return out;
}

namespace {

[[maybe_unused]] std::string Utf8(const fs::path &path) // for the PNG writer
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Writes the file whole, in one step, or not at all.
void Save(const fs::path &path, std::string_view bytes)
{
    try {
        kelvra_cli::SaveBytes(path, bytes, true);
    } catch (const kelvra_cli::LocalFileError &e) {
        throw host::Exception(host::FromUtf8(e.what()));
    }
}

} // namespace

void WriteFile(const fs::path &path, std::span<const std::uint8_t> bytes)
{
    Save(path, std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

#if defined(KELVRA_HAVE_PNG)

namespace {

// libpng writes into memory; the file is written whole afterwards.
void Append(png_structp png, png_bytep data, png_size_t size)
{
    auto *out = static_cast<std::string *>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char *>(data), size);
}

void NoFlush(png_structp) {}

} // namespace

void WritePng(const fs::path &path, const designer::TBitmapImage &image)
{
    std::string encoded;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    volatile bool ok = false;
    // libpng reports a failure by jumping back here; nothing between needs
    // unwinding (the rows are built before, and the text grows only there).
    std::vector<png_byte> rows;
    for (const auto &rgb : image.Pixels)
        rows.insert(rows.end(), rgb.begin(), rgb.end());
    if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_set_write_fn(png, &encoded, Append, NoFlush);
        png_set_IHDR(png, info, static_cast<png_uint_32>(image.Width), static_cast<png_uint_32>(image.Height), 8,
                     PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < image.Height; ++y)
            png_write_row(png, rows.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.Width) * 3);
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    if (!ok)
        throw host::Exception(u"Cannot make a PNG image for " + host::FromUtf8(Utf8(path)));
    Save(path, encoded);
}

#else

void WritePng(const fs::path &, const designer::TBitmapImage &)
{
    throw host::Exception(u"This build of kelvra-design writes no PNG files (it has no libpng); write a .bmp");
}

#endif

} // namespace design
