// The unit's image: 12-bit pictures, test pattern, BMP/PGM loading, and the reply's bitmap payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "unitsim/wire.h"

namespace unitsim {

// Sensor geometry of the unit when no image file is given.
inline constexpr int kSensorWidthPixels = 684;
inline constexpr int kSensorHeightPixels = 456;
inline constexpr int kPixelMaxValue = 4095;  // the sensor digitises 12 bits

// Largest side accepted from an image file, so a hostile header cannot ask for gigabytes.
inline constexpr int kMaxImageSidePixels = 8192;
inline constexpr std::size_t kMaxImageFileBytes = 256u * 1024u * 1024u;

// The computer reads a CAPTURE or GET body shorter than this as a status body, so an image
// payload never is.
inline constexpr std::size_t kMinImagePayloadBytes = 1000;

// Preview pictures are the sensor picture reduced by this factor in each direction, 8 bits.
inline constexpr int kPreviewZoom = 2;

// Bitmap layout fixed by the computer's converter.
inline constexpr std::size_t kBmpFileHeaderBytes = 14;
inline constexpr std::size_t kBmpInfoHeaderBytes = 40;
inline constexpr std::size_t kBmpGrayPaletteBytes = 256 * 4;

struct GrayImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint16_t> pixels;  // 12-bit values, row by row, top row first

    std::uint16_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
    bool empty() const { return pixels.empty(); }
};

// A deterministic picture with a bright frame, ramps in both directions and a marker in the
// top-left quadrant, so that flipped, mirrored or shifted delivery is visible at a glance.
GrayImage makeTestPattern(int width = kSensorWidthPixels, int height = kSensorHeightPixels);

// A synthetic radiograph, the same for the same seed: crowns and roots of teeth at different
// densities over a bone texture, a metal filling that saturates at 4095, and the
// Poisson-like noise of a 12-bit sensor (its spread grows with the square root of the signal).
GrayImage makePhantom(int width = kSensorWidthPixels, int height = kSensorHeightPixels,
                      std::uint32_t seed = 1);

// The preview picture: each block of kPreviewZoom x kPreviewZoom pixels averaged; odd trailing
// rows and columns are dropped.
GrayImage makePreview(const GrayImage& image);

struct DecodedImage {
    std::optional<GrayImage> image;
    std::string error;
};

// Reads a Windows bitmap (uncompressed, 8 bits with palette or 24 bits, bottom-up or top-down) or
// a binary PGM (P5, 8 or 16 bits). Colours become luminance; values are scaled to 12 bits.
DecodedImage decodeImage(std::span<const std::uint8_t> bytes);
DecodedImage loadImageFile(const std::string& path);

// The bitmap payload for one picture mode: a 14-byte file header, a 40-byte info header with a
// positive height, for 8 bits a 256-entry gray palette, then the rows top row first (the
// computer converts rows in the order stored), each padded to a multiple of four bytes.
// 8 bits: the upper 8 bits of each 12-bit value. 16 bits: the 12-bit value shifted left by four,
// most significant byte first. Preview: makePreview, then 8 bits.
std::vector<std::uint8_t> buildImagePayload(const GrayImage& image, PictureMode mode);

// The same for one explicit depth (8 or 16).
std::vector<std::uint8_t> buildBitmapPayload(const GrayImage& image, int bitsPerPixel);

}  // namespace unitsim
