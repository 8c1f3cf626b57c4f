// Writes 16-bit grayscale images as PNG (libpng) or binary PGM.
#include "ImageFile.h"

#include <png.h>

#include <cstdio>
#include <memory>

namespace boardctl {
namespace {

bool EndsWith(const std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        char c = s[s.size() - suffix.size() + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i])
            return false;
    }
    return true;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

bool WritePgm(FILE* f, const std::vector<uint16_t>& pixels, uint32_t columns, uint32_t rows,
              uint16_t maxValue) {
    std::fprintf(f, "P5\n%u %u\n%u\n", columns, rows, maxValue);
    std::vector<unsigned char> row(static_cast<size_t>(columns) * 2);
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t c = 0; c < columns; ++c) {
            uint16_t v = pixels[static_cast<size_t>(r) * columns + c];
            row[2 * c] = static_cast<unsigned char>(v >> 8);  // PGM is big-endian
            row[2 * c + 1] = static_cast<unsigned char>(v & 0xFF);
        }
        if (std::fwrite(row.data(), 1, row.size(), f) != row.size())
            return false;
    }
    return true;
}

bool WritePng(FILE* f, const std::vector<uint16_t>& pixels, uint32_t columns, uint32_t rows,
              std::string* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        *error = "cannot start the PNG writer";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> row(static_cast<size_t>(columns) * 2);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = "PNG encoding failed";
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, columns, rows, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t c = 0; c < columns; ++c) {
            uint16_t v = pixels[static_cast<size_t>(r) * columns + c];
            row[2 * c] = static_cast<unsigned char>(v >> 8);  // PNG samples are big-endian
            row[2 * c + 1] = static_cast<unsigned char>(v & 0xFF);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WriteImage(const std::string& path, const std::vector<uint16_t>& pixels, uint32_t columns,
                uint32_t rows, uint16_t maxValue, std::string* error) {
    if (pixels.size() < static_cast<size_t>(columns) * rows || columns == 0 || rows == 0) {
        *error = "image has no pixels";
        return false;
    }
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        *error = "cannot create " + path;
        return false;
    }
    const bool ok = EndsWith(path, ".pgm") ? WritePgm(file.get(), pixels, columns, rows, maxValue)
                                           : WritePng(file.get(), pixels, columns, rows, error);
    if (!ok && error->empty())
        *error = "cannot write " + path;
    return ok;
}

}  // namespace boardctl
