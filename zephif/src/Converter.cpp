// Bitmap payload conversion: bounds are settled once in ReadBitmapLayout, then one pass.
#include "Converter.h"

namespace zephif {
namespace {

std::uint32_t ReadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t ReadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

std::optional<BitmapLayout> ReadBitmapLayout(const std::uint8_t* payload, std::size_t length) {
    if (!payload || length < kBitmapHeaderMinBytes)
        return std::nullopt;
    BitmapLayout layout;
    const std::uint32_t dataOffset = ReadU32(payload + 10);
    layout.width = ReadU32(payload + 18);
    layout.height = ReadU32(payload + 22);
    const std::uint16_t bits = ReadU16(payload + 28);
    if (dataOffset > length)
        return std::nullopt;
    if (bits != 8 && bits != 16)
        return std::nullopt;
    if (layout.width == 0 || layout.height == 0)
        return std::nullopt;
    layout.dataOffset = dataOffset;
    layout.bytesPerPixel = bits / 8;
    const std::size_t available = length - layout.dataOffset;

    std::size_t pixels = 0;
    std::size_t sourceBytes = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(layout.width),
                               static_cast<std::size_t>(layout.height), &pixels) ||
        __builtin_mul_overflow(pixels, layout.bytesPerPixel, &sourceBytes) ||
        __builtin_mul_overflow(pixels, std::size_t{2}, &pixels))  // the pixel block's bytes
        return std::nullopt;
    layout.rowBytes = static_cast<std::size_t>(layout.width) * layout.bytesPerPixel;
    layout.stride = layout.rowBytes;
    if (layout.rowBytes % kRowAlignmentBytes != 0 && sourceBytes != available)
        layout.stride =
            (layout.rowBytes + kRowAlignmentBytes - 1) / kRowAlignmentBytes * kRowAlignmentBytes;

    // Every row but the last carries its padding; the last needs only its pixels.
    std::size_t needed = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(layout.height - 1), layout.stride,
                               &needed) ||
        __builtin_add_overflow(needed, layout.rowBytes, &needed) || needed > available)
        return std::nullopt;
    return layout;
}

void ConvertPixels(const std::uint8_t* payload, const BitmapLayout& layout, std::uint16_t* out) {
    const std::uint8_t* row = payload + layout.dataOffset;
    for (std::uint32_t y = 0; y < layout.height; ++y, row += layout.stride) {
        if (layout.bytesPerPixel == 1) {
            for (std::uint32_t x = 0; x < layout.width; ++x)
                *out++ = static_cast<std::uint16_t>(row[x] * 16);
        } else {
            for (std::uint32_t x = 0; x < layout.width; ++x)
                *out++ = static_cast<std::uint16_t>(row[2 * x] * 16 + row[2 * x + 1] / 16);
        }
    }
}

}  // namespace zephif
