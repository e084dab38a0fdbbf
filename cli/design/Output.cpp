#include "Output.h"

#include "host/Exception.h"

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

std::string Utf8(const fs::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Writes through `write` into a temporary file beside `path`, then renames
// it over `path`; nothing is left behind on failure.
template <class F>
void Replace(const fs::path &path, F write)
{
    const fs::path temporary = fs::path(path).concat(".kelvra-design.tmp");
    bool ok = false;
    try {
        ok = write(temporary);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
    std::error_code error;
    if (ok)
        fs::rename(temporary, path, error);
    if (!ok || error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw host::Exception(u"Cannot write " + host::FromUtf8(Utf8(path)));
    }
}

} // namespace

void WriteFile(const fs::path &path, std::span<const std::uint8_t> bytes)
{
    Replace(path, [&](const fs::path &temporary) {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        return static_cast<bool>(out);
    });
}

#if defined(KELVRA_HAVE_PNG)

void WritePng(const fs::path &path, const designer::TBitmapImage &image)
{
    Replace(path, [&](const fs::path &temporary) {
        FILE *file = std::fopen(temporary.c_str(), "wb");
        if (file == nullptr)
            return false;
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
        volatile bool ok = false;
        // libpng reports a failure by jumping back here; nothing between
        // needs unwinding (the rows are built before).
        std::vector<png_byte> rows;
        for (const auto &rgb : image.Pixels)
            rows.insert(rows.end(), rgb.begin(), rgb.end());
        if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
            png_init_io(png, file);
            png_set_IHDR(png, info, static_cast<png_uint_32>(image.Width), static_cast<png_uint_32>(image.Height), 8,
                         PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                         PNG_FILTER_TYPE_DEFAULT);
            png_write_info(png, info);
            for (int y = 0; y < image.Height; ++y)
                png_write_row(png, rows.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.Width) * 3);
            png_write_end(png, nullptr);
            ok = true;
        }
        png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        return std::fclose(file) == 0 && ok;
    });
}

#else

void WritePng(const fs::path &, const designer::TBitmapImage &)
{
    throw host::Exception(u"This build of kelvra-design writes no PNG files (it has no libpng); write a .bmp");
}

#endif

} // namespace design
