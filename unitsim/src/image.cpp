// Test pattern, image file decoding and the bitmap payload of image replies.
#include "unitsim/image.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <fstream>
#include <utility>
#include <stdexcept>

namespace unitsim {
namespace {

constexpr int kFramePixels = 2;

std::uint16_t scaleTo12Bits(std::uint32_t value, std::uint32_t maxValue) {
    value = std::min(value, maxValue);
    return static_cast<std::uint16_t>((value * kPixelMaxValue + maxValue / 2) / maxValue);
}

std::uint8_t luminance(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    // Integer Rec. 601 weights: gray input (r == g == b) comes out unchanged.
    return static_cast<std::uint8_t>((299u * r + 587u * g + 114u * b + 500u) / 1000u);
}

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool has(std::size_t offset, std::size_t count) const {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }
    std::uint16_t u16(std::size_t offset) const {
        return static_cast<std::uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
    }
    std::uint32_t u32(std::size_t offset) const {
        return static_cast<std::uint32_t>(bytes_[offset]) |
               (static_cast<std::uint32_t>(bytes_[offset + 1]) << 8) |
               (static_cast<std::uint32_t>(bytes_[offset + 2]) << 16) |
               (static_cast<std::uint32_t>(bytes_[offset + 3]) << 24);
    }
    std::int32_t i32(std::size_t offset) const { return static_cast<std::int32_t>(u32(offset)); }
    std::uint8_t operator[](std::size_t offset) const { return bytes_[offset]; }
    std::size_t size() const { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
};

DecodedImage failure(std::string text) {
    return {std::nullopt, std::move(text)};
}

DecodedImage decodeBmp(std::span<const std::uint8_t> bytes) {
    const ByteReader in(bytes);
    if (!in.has(0, kBmpFileHeaderBytes + kBmpInfoHeaderBytes)) {
        return failure("bitmap shorter than its headers");
    }
    const std::uint32_t dataOffset = in.u32(10);
    const std::uint32_t infoBytes = in.u32(14);
    const std::int32_t width = in.i32(18);
    const std::int32_t storedHeight = in.i32(22);
    const std::uint16_t bits = in.u16(28);
    const std::uint32_t compression = in.u32(30);
    const std::uint32_t coloursUsed = in.u32(46);
    if (infoBytes < kBmpInfoHeaderBytes) {
        return failure("bitmap info header older than BITMAPINFOHEADER is not supported");
    }
    if (compression != 0) {
        return failure("compressed bitmaps are not supported");
    }
    if (bits != 8 && bits != 24) {
        return failure("bitmap with " + std::to_string(bits) +
                       " bits per pixel; 8 or 24 are supported");
    }
    // INT32_MIN has no positive counterpart; the side limit below rejects it with the rest.
    const std::int64_t height = storedHeight < 0 ? -std::int64_t{storedHeight} : storedHeight;
    if (width <= 0 || height <= 0 || width > kMaxImageSidePixels || height > kMaxImageSidePixels) {
        return failure("bitmap size out of range");
    }
    const bool bottomUp = storedHeight > 0;
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t h = static_cast<std::size_t>(height);
    const std::size_t rowBytes = w * bits / 8;
    const std::size_t stride = (rowBytes + 3) & ~std::size_t{3};

    std::vector<std::uint8_t> paletteGray;
    if (bits == 8) {
        const std::size_t entries = coloursUsed == 0 ? 256 : coloursUsed;
        const std::size_t paletteOffset = kBmpFileHeaderBytes + infoBytes;
        if (entries > 256 || !in.has(paletteOffset, entries * 4)) {
            return failure("bitmap palette missing or too large");
        }
        for (std::size_t i = 0; i < entries; ++i) {
            const std::size_t e = paletteOffset + i * 4;  // blue, green, red, reserved
            paletteGray.push_back(luminance(in[e + 2], in[e + 1], in[e]));
        }
    }
    // Some writers leave out the padding of the last row.
    if (!in.has(dataOffset, stride * (h - 1) + rowBytes)) {
        return failure("bitmap pixel data shorter than its header promises");
    }

    GrayImage image{width, static_cast<int>(h), std::vector<std::uint16_t>(w * h)};
    for (std::size_t row = 0; row < h; ++row) {
        const std::size_t src = dataOffset + row * stride;
        const std::size_t y = bottomUp ? h - 1 - row : row;
        std::uint16_t* dst = &image.pixels[y * w];
        for (std::size_t x = 0; x < w; ++x) {
            std::uint8_t gray;
            if (bits == 8) {
                const std::uint8_t index = in[src + x];
                if (index >= paletteGray.size()) {
                    return failure("bitmap pixel refers past the end of its palette");
                }
                gray = paletteGray[index];
            } else {
                const std::size_t p = src + x * 3;
                gray = luminance(in[p + 2], in[p + 1], in[p]);
            }
            dst[x] = scaleTo12Bits(gray, 255);
        }
    }
    return {std::move(image), {}};
}

DecodedImage decodePgm(std::span<const std::uint8_t> bytes) {
    std::size_t pos = 2;  // after "P5"
    auto isSpace = [](std::uint8_t c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    };
    auto readNumber = [&]() -> std::optional<std::uint32_t> {
        for (;;) {
            while (pos < bytes.size() && isSpace(bytes[pos])) {
                ++pos;
            }
            if (pos < bytes.size() && bytes[pos] == '#') {
                while (pos < bytes.size() && bytes[pos] != '\n') {
                    ++pos;
                }
                continue;
            }
            break;
        }
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9' && digits < 9) {
            value = value * 10 + (bytes[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || (pos < bytes.size() && !isSpace(bytes[pos]))) {
            return std::nullopt;
        }
        return value;
    };
    auto width = readNumber();
    auto height = readNumber();
    auto maxValue = readNumber();
    if (!width || !height || !maxValue || pos >= bytes.size()) {
        return failure("PGM header is not readable");
    }
    ++pos;  // exactly one blank separates the header from the samples
    if (*width == 0 || *height == 0 || *width > kMaxImageSidePixels ||
        *height > kMaxImageSidePixels) {
        return failure("PGM size out of range");
    }
    if (*maxValue == 0 || *maxValue > 65535) {
        return failure("PGM maximum value out of range");
    }
    const std::size_t sampleBytes = *maxValue < 256 ? 1 : 2;
    const std::size_t count = std::size_t{*width} * *height;
    if (bytes.size() - pos < count * sampleBytes) {
        return failure("PGM sample data shorter than its header promises");
    }
    GrayImage image{static_cast<int>(*width), static_cast<int>(*height),
                    std::vector<std::uint16_t>(count)};
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t v = bytes[pos + i * sampleBytes];
        if (sampleBytes == 2) {
            v = (v << 8) | bytes[pos + i * 2 + 1];  // PGM samples are big-endian
        }
        image.pixels[i] = scaleTo12Bits(v, *maxValue);
    }
    return {std::move(image), {}};
}

void putU16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void putU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    putU16(out, at, v & 0xffff);
    putU16(out, at + 2, v >> 16);
}

}  // namespace

GrayImage makePhantom(int width, int height, std::uint32_t seed) {
    GrayImage img;
    if (width <= 0 || height <= 0 || width > kMaxImageSidePixels || height > kMaxImageSidePixels) {
        return img;
    }
    img.width = width;
    img.height = height;
    img.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    // mt19937's raw output is the same everywhere; the distributions of the standard library
    // are not, so the normal deviates are made here (Box-Muller).
    std::mt19937 random(seed);
    auto uniform = [&random] { return (random() + 0.5) / 4294967296.0; };
    auto normal = [&uniform] {
        return std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
    };
    // Tooth placement varies a little with the seed.
    const double shift = (uniform() - 0.5) * 0.06;
    struct Tooth {
        double cx, crown, root;
    };
    const Tooth teeth[] = {
        {0.2 + shift, 0.55, 0.35}, {0.5 + shift, 0.62, 0.42}, {0.8 + shift, 0.5, 0.3}};
    const double phaseX = uniform() * 6.28;
    const double phaseY = uniform() * 6.28;
    constexpr double kFullScale = kPixelMaxValue;
    constexpr double kAirLevel = 0.08;       // exposure through soft tissue only
    constexpr double kPhotonsAtFull = 4000;  // quanta at the white level: noise ~ sqrt
    for (int y = 0; y < height; ++y) {
        const double v = (y + 0.5) / height;
        for (int x = 0; x < width; ++x) {
            const double u = (x + 0.5) / width;
            // Bone: trabecular texture in the lower two thirds.
            double d = kAirLevel;
            if (v > 0.3) {
                d += 0.18 + 0.05 * std::sin(u * 83 + phaseX) * std::sin(v * 67 + phaseY) +
                     0.03 * std::sin((u + v) * 151);
            }
            for (const Tooth& t : teeth) {
                const double ex = (u - t.cx) / 0.11;
                const double crown = ex * ex + std::pow((v - 0.3) / 0.2, 2);
                const double rx = (u - t.cx) / (0.05 * (1.2 - v));
                const double root = rx * rx + std::pow((v - 0.62) / 0.32, 2);
                if (crown < 1.0) {
                    // Enamel shell brighter than the dentine inside.
                    d += crown > 0.7 ? t.crown + 0.12 : t.crown;
                } else if (root < 1.0 && v > 0.35) {
                    d += t.root;
                }
            }
            // Metal filling in the middle crown: beyond full scale, so it saturates.
            const double fx = (u - teeth[1].cx) / 0.05;
            const double fy = (v - 0.24) / 0.07;
            if (fx * fx + fy * fy < 1.0) {
                d = 1.4;
            }
            const double mean = std::min(d, 1.2) * kPhotonsAtFull;
            const double counts = mean + std::sqrt(std::max(mean, 1.0)) * normal();
            const double value = counts / kPhotonsAtFull * kFullScale;
            img.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                       static_cast<std::size_t>(x)] =
                static_cast<std::uint16_t>(std::lround(std::clamp(value, 0.0, kFullScale)));
        }
    }
    return img;
}

GrayImage makeTestPattern(int width, int height) {
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("test pattern needs a positive size");
    }
    GrayImage image{width, height,
                    std::vector<std::uint16_t>(static_cast<std::size_t>(width) * height)};
    const int xSpan = std::max(1, width - 1);
    const int ySpan = std::max(1, height - 1);
    const int markerX = width / 8;
    const int markerY = height / 8;
    const int markerSide = std::max(1, std::min(width, height) / 10);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int v;
            if (x < kFramePixels || y < kFramePixels || x >= width - kFramePixels ||
                y >= height - kFramePixels) {
                v = kPixelMaxValue;
            } else if (x >= markerX && x < markerX + markerSide && y >= markerY &&
                       y < markerY + markerSide) {
                v = kPixelMaxValue / 2;
            } else if (y < height / 2) {
                v = x * kPixelMaxValue / xSpan;
            } else {
                v = kPixelMaxValue - y * kPixelMaxValue / ySpan;
            }
            image.pixels[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint16_t>(v);
        }
    }
    return image;
}

GrayImage makePreview(const GrayImage& image) {
    const int w = image.width / kPreviewZoom;
    const int h = image.height / kPreviewZoom;
    if (w == 0 || h == 0) {
        throw std::invalid_argument("image too small for a preview");
    }
    constexpr int kBlockPixels = kPreviewZoom * kPreviewZoom;
    GrayImage preview{w, h, std::vector<std::uint16_t>(static_cast<std::size_t>(w) * h)};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int sum = 0;
            for (int dy = 0; dy < kPreviewZoom; ++dy) {
                for (int dx = 0; dx < kPreviewZoom; ++dx) {
                    sum += image.at(x * kPreviewZoom + dx, y * kPreviewZoom + dy);
                }
            }
            preview.pixels[static_cast<std::size_t>(y) * w + x] =
                static_cast<std::uint16_t>((sum + kBlockPixels / 2) / kBlockPixels);
        }
    }
    return preview;
}

DecodedImage decodeImage(std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        return decodeBmp(bytes);
    }
    if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '5') {
        return decodePgm(bytes);
    }
    return failure("neither a Windows bitmap nor a binary PGM file");
}

DecodedImage loadImageFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return failure("cannot open " + path);
    }
    std::vector<std::uint8_t> bytes;
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        bytes.insert(bytes.end(), buffer, buffer + file.gcount());
        if (bytes.size() > kMaxImageFileBytes) {
            return failure(path + " is larger than an image file can be");
        }
    }
    if (file.bad()) {
        return failure("cannot read " + path);
    }
    DecodedImage decoded = decodeImage(bytes);
    if (!decoded.image) {
        decoded.error = path + ": " + decoded.error;
    }
    return decoded;
}

std::vector<std::uint8_t> buildBitmapPayload(const GrayImage& image, int bitsPerPixel) {
    if (bitsPerPixel != 8 && bitsPerPixel != 16) {
        throw std::invalid_argument("bitmap payloads carry 8 or 16 bits per pixel");
    }
    if (image.empty() || image.pixels.size() != static_cast<std::size_t>(image.width) *
                                                    static_cast<std::size_t>(image.height)) {
        throw std::invalid_argument("image has no pixels or a wrong pixel count");
    }
    const std::size_t w = static_cast<std::size_t>(image.width);
    const std::size_t h = static_cast<std::size_t>(image.height);
    const std::size_t rowBytes = w * static_cast<std::size_t>(bitsPerPixel) / 8;
    const std::size_t stride = (rowBytes + 3) & ~std::size_t{3};
    const std::size_t pixelBytes = stride * h;
    const std::size_t paletteBytes = bitsPerPixel == 8 ? kBmpGrayPaletteBytes : 0;
    std::size_t dataOffset = kBmpFileHeaderBytes + kBmpInfoHeaderBytes + paletteBytes;
    // A tiny 16-bit picture would make a body short enough to pass for a status; a gap between
    // headers and pixels (the data offset says where pixels start) keeps it an image.
    if (dataOffset + pixelBytes < kMinImagePayloadBytes) {
        dataOffset = kMinImagePayloadBytes - pixelBytes;
    }
    std::vector<std::uint8_t> out(dataOffset + pixelBytes, 0);

    out[0] = 'B';
    out[1] = 'M';
    putU32(out, 2, static_cast<std::uint32_t>(out.size()));
    putU32(out, 10, static_cast<std::uint32_t>(dataOffset));
    putU32(out, 14, kBmpInfoHeaderBytes);
    putU32(out, 18, static_cast<std::uint32_t>(w));
    putU32(out, 22, static_cast<std::uint32_t>(h));  // positive although rows run top first
    putU16(out, 26, 1);                              // planes
    putU16(out, 28, static_cast<std::uint32_t>(bitsPerPixel));
    putU32(out, 30, 0);  // uncompressed
    putU32(out, 34, static_cast<std::uint32_t>(pixelBytes));
    putU32(out, 46, bitsPerPixel == 8 ? 256 : 0);  // colours used
    if (bitsPerPixel == 8) {
        const std::size_t palette = kBmpFileHeaderBytes + kBmpInfoHeaderBytes;
        for (std::size_t i = 0; i < 256; ++i) {
            out[palette + i * 4] = out[palette + i * 4 + 1] = out[palette + i * 4 + 2] =
                static_cast<std::uint8_t>(i);
        }
    }

    for (std::size_t y = 0; y < h; ++y) {
        std::uint8_t* row = &out[dataOffset + y * stride];
        const std::uint16_t* src = &image.pixels[y * w];
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint16_t v = std::min<std::uint16_t>(src[x], kPixelMaxValue);
            if (bitsPerPixel == 8) {
                row[x] = static_cast<std::uint8_t>(v >> 4);
            } else {
                const std::uint16_t shifted = static_cast<std::uint16_t>(v << 4);
                row[x * 2] = static_cast<std::uint8_t>(shifted >> 8);
                row[x * 2 + 1] = static_cast<std::uint8_t>(shifted & 0xff);
            }
        }
    }
    return out;
}

std::vector<std::uint8_t> buildImagePayload(const GrayImage& image, PictureMode mode) {
    switch (mode) {
        case PictureMode::Gray16:
            return buildBitmapPayload(image, 16);
        case PictureMode::Gray8:
            return buildBitmapPayload(image, 8);
        case PictureMode::Preview:
            return buildBitmapPayload(makePreview(image), 8);
    }
    throw std::invalid_argument("unknown picture mode");
}

}  // namespace unitsim
