// Windows bitmap files in memory: header reading, 8- and 16-bit gray writing, decoding, and the
// row copies of the workbench's image bodies (rebuild on receipt, aligned or packed on sending).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wirebench {

constexpr std::size_t kBmpFileHeaderBytes = 14;
constexpr std::size_t kBmpInfoHeaderBytes = 40;
constexpr std::size_t kBmpHeadersBytes = kBmpFileHeaderBytes + kBmpInfoHeaderBytes;  // 54
constexpr int kMaxBmpSide = 32768;
// Pixel data larger than this is refused before anything is allocated.
constexpr std::int64_t kMaxBmpPixelBytes = 160LL * 1024 * 1024;
// Below this pixel offset a received bitmap counts as loaded correctly without a length check.
constexpr std::uint32_t kSmallPixelOffset = 100;

struct BmpInfo {
    int width = 0;
    int height = 0;  // always positive; topDown tells the row order
    int bits = 0;
    std::uint32_t pixelOffset = 0;
    std::uint32_t paletteEntries = 0;
    bool topDown = false;
    // Bytes of one row padded to a multiple of 4, and without padding.
    std::int64_t paddedStride() const { return ((std::int64_t{width} * bits + 31) / 32) * 4; }
    std::int64_t packedStride() const { return (std::int64_t{width} * bits + 7) / 8; }
};

// Reads the file and information headers; refuses short, foreign or out-of-range headers.
std::optional<BmpInfo> readBmpInfo(std::string_view bytes);

// The pixel offset of bytes 10 to 13, or nullopt under 14 bytes.
std::optional<std::uint32_t> bmpPixelOffset(std::string_view bytes);

// Whether a bitmap the imaging component loaded may be shown as it is: at most 8 bits and either a
// small pixel offset or a body of exactly the padded rows.
bool loadCountsGood(bool loaded, int bits, std::uint32_t pixelOffset, std::size_t bodyBytes,
                    int width, int height);

// Copies the pixel rows of a received body into a template BMP of the same size and depth (correct
// headers, padded rows). Source rows start at the body's own pixel offset; they are taken as
// padded when the body holds all padded rows, else as packed; a short body fills only the rows
// it holds. With swapBytes each 16-bit pixel's two bytes are exchanged.
std::string rebuildIntoTemplate(std::string_view templateBmp, std::string_view body,
                                const BmpInfo& bodyInfo, bool swapBytes);

// Gray bitmap of 8 bits (256-entry ordered gray palette) or 16 bits (no palette, pixels as
// little-endian 16-bit gray), bottom-up. pixels holds height rows of stride bytes, top row first;
// null pixels give a black image.
std::string writeGrayBmp(int width, int height, int bits, const std::uint8_t* pixels,
                         std::size_t stride);

// Image body of the sensor side: aligned keeps the BMP as it is; packed moves the rows together
// (counted from the pixel offset) and cuts the file after the last row, headers unchanged.
std::string packBmpRows(std::string_view bmp);

struct DecodedBmp {
    BmpInfo info;
    std::vector<std::uint32_t> palette;  // 0xAARRGGBB, for 8 bits and less
    std::vector<std::uint8_t> pixels;    // top row first, packedStride bytes per row
};
// Decodes 8-bit (palette), 16-bit (gray) and 24/32-bit bitmaps whose rows are all present.
std::optional<DecodedBmp> decodeBmp(std::string_view bytes);

}  // namespace wirebench
