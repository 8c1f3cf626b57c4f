// Bitmap payload conversion: bounds are settled once in ReadBitmapLayout, then one pass.
#include "Converter.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>

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

void ConvertPixelsPortable(const std::uint8_t* payload, const BitmapLayout& layout,
                           std::uint16_t* out) {
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

#if defined(__SSE2__)
namespace {

// Eight pixels a step; the rest of a row goes through the portable loop.
constexpr std::uint32_t kVectorPixels = 8;

void ConvertRow8(const std::uint8_t* row, std::uint32_t width, std::uint16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    std::uint32_t x = 0;
    for (; x + 2 * kVectorPixels <= width; x += 2 * kVectorPixels) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        const __m128i low = _mm_slli_epi16(_mm_unpacklo_epi8(bytes, zero), 4);
        const __m128i high = _mm_slli_epi16(_mm_unpackhi_epi8(bytes, zero), 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x + kVectorPixels), high);
    }
    for (; x < width; ++x)
        out[x] = static_cast<std::uint16_t>(row[x] * 16);
}

// A pair (b0, b1) read as the little-endian word w = b0 | b1 << 8 becomes (w & 255) << 4 | w >> 12.
void ConvertRow16(const std::uint8_t* row, std::uint32_t width, std::uint16_t* out) {
    const __m128i lowByte = _mm_set1_epi16(0x00FF);
    auto convert = [&](__m128i words) {
        return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(words, lowByte), 4),
                            _mm_srli_epi16(words, 12));
    };
    const auto* in = reinterpret_cast<const __m128i*>(row);
    auto* to = reinterpret_cast<__m128i*>(out);
    std::uint32_t x = 0;
    // Two vectors a step keep loads and stores in flight.
    for (; x + 2 * kVectorPixels <= width; x += 2 * kVectorPixels, in += 2, to += 2) {
        const __m128i first = _mm_loadu_si128(in);
        const __m128i second = _mm_loadu_si128(in + 1);
        _mm_storeu_si128(to, convert(first));
        _mm_storeu_si128(to + 1, convert(second));
    }
    if (x + kVectorPixels <= width) {
        _mm_storeu_si128(to, convert(_mm_loadu_si128(in)));
        x += kVectorPixels;
    }
    for (; x < width; ++x)
        out[x] = static_cast<std::uint16_t>(row[2 * x] * 16 + row[2 * x + 1] / 16);
}

}  // namespace

void ConvertPixels(const std::uint8_t* payload, const BitmapLayout& layout, std::uint16_t* out) {
    const std::uint8_t* row = payload + layout.dataOffset;
    if (layout.stride == layout.rowBytes && layout.PixelCount() <= UINT32_MAX) {
        // Rows without padding follow each other: one stream, no row ends to handle.
        const auto count = static_cast<std::uint32_t>(layout.PixelCount());
        if (layout.bytesPerPixel == 1)
            ConvertRow8(row, count, out);
        else
            ConvertRow16(row, count, out);
        return;
    }
    for (std::uint32_t y = 0; y < layout.height; ++y, row += layout.stride, out += layout.width) {
        if (layout.bytesPerPixel == 1)
            ConvertRow8(row, layout.width, out);
        else
            ConvertRow16(row, layout.width, out);
    }
}
#else
void ConvertPixels(const std::uint8_t* payload, const BitmapLayout& layout, std::uint16_t* out) {
    ConvertPixelsPortable(payload, layout, out);
}
#endif

}  // namespace zephif
