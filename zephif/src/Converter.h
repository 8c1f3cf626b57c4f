// The bitmap payload of a CAPTURE reply turned into 12-bit pixels: pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace zephif {

// Header fields the converter reads: data offset at 10, width at 18, height at 22, depth at 28.
inline constexpr std::size_t kBitmapHeaderMinBytes = 30;
inline constexpr std::size_t kRowAlignmentBytes = 4;

// Where the pixels of a payload lie; every byte it names is inside the payload.
struct BitmapLayout {
    std::size_t dataOffset = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t bytesPerPixel = 0;  // 1 or 2
    std::size_t rowBytes = 0;       // width * bytesPerPixel
    std::size_t stride = 0;         // rowBytes, or rowBytes rounded up to 4 when rows are padded

    std::size_t PixelCount() const {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    }
};

// The layout, or nothing when the payload cannot be converted: shorter than the header, data
// offset beyond the payload, a depth other than 8 or 16, an empty picture, or fewer pixel bytes
// than width x height (with or without row padding) need.
std::optional<BitmapLayout> ReadBitmapLayout(const std::uint8_t* payload, std::size_t length);

// Writes layout.PixelCount() 12-bit values into `out`, row after row, padding skipped.
// 8 bits: b becomes b * 16. 16 bits: the big-endian pair (b0, b1) becomes b0 * 16 + b1 / 16.
// Vector instructions where the target has them, otherwise ConvertPixelsPortable.
void ConvertPixels(const std::uint8_t* payload, const BitmapLayout& layout, std::uint16_t* out);
// The same values one pixel at a time: the reference the vector path is checked against.
void ConvertPixelsPortable(const std::uint8_t* payload, const BitmapLayout& layout,
                           std::uint16_t* out);

}  // namespace zephif
