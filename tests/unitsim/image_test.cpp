// Pure tests of the unit's image: payload as the computer converts it, preview, BMP/PGM decoding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "unitsim/image.h"

using namespace unitsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// Converts a payload the way the computer's capture side does: it reads only the data offset,
// width, height and depth, skips row padding only when a row is not a multiple of four bytes
// and the pixel bytes are not exactly w*h*depth, and makes 12-bit words (8 bits: b*16; 16 bits:
// b0*16 + b1/16). Written from that rule, not from the unit's code.
std::optional<std::vector<std::uint16_t>> convertLikeComputer(const Bytes& p) {
    if (p.size() < 30) {
        return std::nullopt;
    }
    const std::size_t offset = le32(p, 10);
    const std::size_t w = le32(p, 18);
    const std::size_t h = le32(p, 22);
    const unsigned bits = le16(p, 28);
    if (bits != 8 && bits != 16) {
        return std::nullopt;
    }
    const std::size_t bpp = bits / 8;
    const std::size_t available = p.size() - offset;
    const std::size_t source = w * h * bpp;
    const bool padded = (w * bpp) % 4 != 0 && source != available;
    const std::size_t stride = padded ? (w * bpp + 3) / 4 * 4 : w * bpp;
    std::vector<std::uint16_t> out;
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t at = offset + y * stride + x * bpp;
            if (at + bpp > p.size()) {
                return std::nullopt;
            }
            out.push_back(bits == 8 ? static_cast<std::uint16_t>(p[at] * 16)
                                    : static_cast<std::uint16_t>(p[at] * 16 + p[at + 1] / 16));
        }
    }
    return out;
}

GrayImage noiseImage(int w, int h) {
    GrayImage image{w, h, {}};
    std::uint32_t seed = 12345;
    for (int i = 0; i < w * h; ++i) {
        seed = seed * 1103515245u + 12345u;
        image.pixels.push_back(static_cast<std::uint16_t>((seed >> 8) % 4096));
    }
    return image;
}

struct PayloadCase {
    int width, height, bits;
};

void PrintTo(const PayloadCase& c, std::ostream* os) {
    *os << c.width << "x" << c.height << " " << c.bits << " bits";
}

class unitsimPayload : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(unitsimPayload, ConvertsBackToThePixelsOnTheComputer) {
    const auto [w, h, bits] = GetParam();
    const GrayImage image = noiseImage(w, h);
    const Bytes p = buildBitmapPayload(image, bits);

    EXPECT_EQ(p[0], 'B');
    EXPECT_EQ(p[1], 'M');
    EXPECT_EQ(le32(p, 2), p.size());
    EXPECT_EQ(le32(p, 18), static_cast<std::uint32_t>(w));
    EXPECT_EQ(le32(p, 22), static_cast<std::uint32_t>(h));
    EXPECT_EQ(le16(p, 28), bits);
    EXPECT_GE(p.size(), kMinImagePayloadBytes) << "shorter bodies read as status on the computer";
    const std::size_t stride = (static_cast<std::size_t>(w) * bits / 8 + 3) / 4 * 4;
    EXPECT_EQ(p.size() - le32(p, 10), stride * h) << "rows padded to four bytes, nothing after";

    const auto pixels = convertLikeComputer(p);
    ASSERT_TRUE(pixels);
    std::vector<std::uint16_t> expected = image.pixels;
    if (bits == 8) {
        for (auto& v : expected) {
            v = static_cast<std::uint16_t>((v >> 4) << 4);
        }
    }
    EXPECT_EQ(*pixels, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, unitsimPayload,
                         ::testing::Values(PayloadCase{684, 456, 16}, PayloadCase{684, 456, 8},
                                           PayloadCase{5, 3, 8},   // 5-byte rows padded to 8
                                           PayloadCase{5, 3, 16},  // 10-byte rows padded to 12
                                           PayloadCase{3, 2, 16},  // tiny: gap before pixels
                                           PayloadCase{341, 7, 8}, PayloadCase{64, 20, 16}),
                         [](const auto& test) {
                             return std::to_string(test.param.width) + "x" +
                                    std::to_string(test.param.height) + "x" +
                                    std::to_string(test.param.bits);
                         });

TEST(unitsimPayloadLayout, SixteenBitPairsAreBigEndianWithTheValueInTheUpperTwelveBits) {
    GrayImage image{2, 2, {0xABC, 0x001, 0xFFF, 0x000}};
    const Bytes p = buildBitmapPayload(image, 16);
    const std::size_t data = le32(p, 10);
    EXPECT_EQ(p[data], 0xAB);
    EXPECT_EQ(p[data + 1], 0xC0);
    EXPECT_EQ(p[data + 2], 0x00);
    EXPECT_EQ(p[data + 3], 0x10);
    EXPECT_EQ(p[data + 4], 0xFF) << "second row follows the first: rows run top first";
    EXPECT_EQ(p[data + 5], 0xF0);
}

TEST(unitsimPayloadLayout, EightBitCarriesAGrayPaletteAndZeroPadding) {
    GrayImage image{3, 2, {0xFFF, 0x800, 0x00F, 1, 2, 3}};
    const Bytes p = buildBitmapPayload(image, 8);
    EXPECT_EQ(le32(p, 10), kBmpFileHeaderBytes + kBmpInfoHeaderBytes + kBmpGrayPaletteBytes);
    EXPECT_EQ(le32(p, 46), 256u);
    for (std::size_t i : {0u, 1u, 128u, 255u}) {
        const std::size_t e = kBmpFileHeaderBytes + kBmpInfoHeaderBytes + i * 4;
        EXPECT_EQ(p[e], i);
        EXPECT_EQ(p[e + 1], i);
        EXPECT_EQ(p[e + 2], i);
    }
    const std::size_t data = le32(p, 10);
    EXPECT_EQ((Bytes{p.begin() + data, p.begin() + data + 4}), (Bytes{0xFF, 0x80, 0x00, 0x00}));
}

TEST(unitsimPayloadLayout, SensorSizedPayloadsHaveTheExpectedLength) {
    const GrayImage pattern = makeTestPattern();
    ASSERT_EQ(pattern.width, 684);
    ASSERT_EQ(pattern.height, 456);
    EXPECT_EQ(buildImagePayload(pattern, PictureMode::Gray16).size(), 54u + 684u * 2 * 456);
    EXPECT_EQ(buildImagePayload(pattern, PictureMode::Gray8).size(), 1078u + 684u * 456);
    // The preview is 342 x 228; 342-byte rows pad to 344.
    const Bytes preview = buildImagePayload(pattern, PictureMode::Preview);
    EXPECT_EQ(le32(preview, 18), 342u);
    EXPECT_EQ(le32(preview, 22), 228u);
    EXPECT_EQ(le16(preview, 28), 8);
    EXPECT_EQ(preview.size(), 1078u + 344u * 228);
}

TEST(unitsimPreview, AveragesEachTwoByTwoBlock) {
    GrayImage image{5,
                    3,
                    {0, 3, 100, 100, 7,  //
                     1, 4, 100, 101, 7,  //
                     9, 9, 9, 9, 9}};
    const GrayImage preview = makePreview(image);
    ASSERT_EQ(preview.width, 2);
    ASSERT_EQ(preview.height, 1);
    EXPECT_EQ(preview.pixels,
              (std::vector<std::uint16_t>{2, 100}));  // 8/4 = 2, 401/4 rounds to 100
    EXPECT_EQ(buildImagePayload(makeTestPattern(), PictureMode::Preview),
              buildBitmapPayload(makePreview(makeTestPattern()), 8));
}

TEST(unitsimTestPattern, FillsTwelveBitsAndIsNotSymmetric) {
    const GrayImage p = makeTestPattern(100, 80);
    ASSERT_EQ(p.pixels.size(), 100u * 80);
    EXPECT_EQ(p.at(0, 0), kPixelMaxValue);
    EXPECT_EQ(*std::max_element(p.pixels.begin(), p.pixels.end()), kPixelMaxValue);
    EXPECT_LT(p.at(5, 20), p.at(94, 20)) << "ramp rises to the right";
    EXPECT_NE(p.at(15, 12), p.at(84, 12)) << "marker only on the left";
    EXPECT_NE(p.at(15, 12), p.at(15, 67)) << "marker only at the top";
}

TEST(unitsimPhantom, SeededSaturatingNoisyAndStructured) {
    const GrayImage a = makePhantom(684, 456, 7);
    ASSERT_EQ(a.pixels.size(), 684u * 456);
    EXPECT_EQ(makePhantom(684, 456, 7).pixels, a.pixels) << "the same seed, the same picture";
    EXPECT_NE(makePhantom(684, 456, 8).pixels, a.pixels);
    // The filling saturates; the crown over it is brighter than the bone between the roots, the
    // bone brighter than the soft tissue at the top corner.
    EXPECT_EQ(a.at(342, 109), kPixelMaxValue);
    auto mean = [&](int x0, int y0) {
        double sum = 0;
        for (int y = y0; y < y0 + 8; ++y) {
            for (int x = x0; x < x0 + 8; ++x) {
                sum += a.at(x, y);
            }
        }
        return sum / 64;
    };
    EXPECT_GT(mean(110, 150), mean(240, 400));
    EXPECT_GT(mean(240, 400), mean(5, 5));
    // Noise: neighbouring pixels of a flat region differ, more so where the signal is higher.
    auto spread = [&](int x0, int y0) {
        double m = mean(x0, y0), var = 0;
        for (int y = y0; y < y0 + 8; ++y) {
            for (int x = x0; x < x0 + 8; ++x) {
                var += (a.at(x, y) - m) * (a.at(x, y) - m);
            }
        }
        return std::sqrt(var / 64);
    };
    EXPECT_GT(spread(5, 5), 5.0);
    EXPECT_GT(spread(110, 150), spread(5, 5));
    // Every sensor size, and nothing for a size out of range.
    EXPECT_EQ(makePhantom(1638, 1248).pixels.size(), 1638u * 1248);
    EXPECT_TRUE(makePhantom(0, 10).empty());
}

// ---- decoding image files -----------------------------------------------------------------

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// A hand-made bitmap: rows given top first, stored bottom-up unless topDown.
Bytes makeBmp(int w, int h, int bits, const std::vector<std::vector<std::uint8_t>>& rowsTopFirst,
              const std::vector<std::uint8_t>& paletteBgr0 = {}, bool topDown = false) {
    const std::size_t stride = (static_cast<std::size_t>(w) * bits / 8 + 3) / 4 * 4;
    const std::size_t offset = 54 + paletteBgr0.size();
    Bytes b(offset + stride * h, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    put32(b, 10, static_cast<std::uint32_t>(offset));
    put32(b, 14, 40);
    put32(b, 18, static_cast<std::uint32_t>(w));
    put32(b, 22, static_cast<std::uint32_t>(topDown ? -h : h));
    b[26] = 1;
    b[28] = static_cast<std::uint8_t>(bits);
    put32(b, 46, static_cast<std::uint32_t>(paletteBgr0.size() / 4));
    std::copy(paletteBgr0.begin(), paletteBgr0.end(), b.begin() + 54);
    for (int y = 0; y < h; ++y) {
        const int stored = topDown ? y : h - 1 - y;
        std::copy(rowsTopFirst[y].begin(), rowsTopFirst[y].end(),
                  b.begin() + offset + stored * stride);
    }
    return b;
}

std::vector<std::uint8_t> grayPalette() {
    std::vector<std::uint8_t> p;
    for (int i = 0; i < 256; ++i) {
        p.insert(p.end(), {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                           static_cast<std::uint8_t>(i), 0});
    }
    return p;
}

std::uint16_t from8(int v) {
    return static_cast<std::uint16_t>((v * 4095 + 127) / 255);
}

TEST(unitsimDecode, EightBitBottomUpBitmapComesOutTopFirstAndSurvivesTheRoundTrip) {
    const std::vector<std::vector<std::uint8_t>> rows{{0, 1, 2, 255, 128}, {10, 20, 30, 40, 50}};
    const DecodedImage d = decodeImage(makeBmp(5, 2, 8, rows, grayPalette()));
    ASSERT_TRUE(d.image) << d.error;
    ASSERT_EQ(d.image->width, 5);
    ASSERT_EQ(d.image->height, 2);
    EXPECT_EQ(d.image->at(3, 0), kPixelMaxValue);
    EXPECT_EQ(d.image->at(4, 0), from8(128));
    EXPECT_EQ(d.image->at(0, 1), from8(10));

    // Delivered in 8 bits, the file's own gray levels come back unchanged.
    const Bytes p = buildBitmapPayload(*d.image, 8);
    const std::size_t data = le32(p, 10);
    EXPECT_EQ((Bytes{p.begin() + data, p.begin() + data + 5}), rows[0]);
    EXPECT_EQ((Bytes{p.begin() + data + 8, p.begin() + data + 13}), rows[1]);
}

TEST(unitsimDecode, ColourPaletteAndTwentyFourBitBecomeLuminance) {
    // Palette: 0 pure red, 1 pure green, 2 white (blue, green, red, reserved).
    const std::vector<std::uint8_t> palette{0, 0, 255, 0, 0, 255, 0, 0, 255, 255, 255, 0};
    const DecodedImage pal = decodeImage(makeBmp(3, 1, 8, {{0, 1, 2}}, palette));
    ASSERT_TRUE(pal.image) << pal.error;
    EXPECT_EQ(pal.image->pixels, (std::vector<std::uint16_t>{from8(76), from8(150), 4095}));

    // 24 bits, top-down, 3 pixels = 9 bytes padded to 12.
    const DecodedImage rgb = decodeImage(
        makeBmp(3, 2, 24, {{255, 0, 0, 0, 0, 0, 9, 9, 9}, {1, 1, 1, 2, 2, 2, 3, 3, 3}}, {}, true));
    ASSERT_TRUE(rgb.image) << rgb.error;
    EXPECT_EQ(rgb.image->at(0, 0), from8(29));  // pure blue
    EXPECT_EQ(rgb.image->at(2, 0), from8(9));
    EXPECT_EQ(rgb.image->at(2, 1), from8(3));
}

TEST(unitsimDecode, BinaryPgmInEightAndSixteenBits) {
    std::string pgm8 = "P5\n# made by hand\n3 1\n255\n";
    pgm8 += std::string{'\x00', '\x80', '\xff'};
    const DecodedImage d8 = decodeImage(Bytes(pgm8.begin(), pgm8.end()));
    ASSERT_TRUE(d8.image) << d8.error;
    EXPECT_EQ(d8.image->pixels, (std::vector<std::uint16_t>{0, from8(128), 4095}));

    // A 12-bit picture stored with maximum 4095 arrives unchanged, big-endian samples.
    std::string pgm16 = "P5 2 2 4095\n";
    pgm16 += std::string{'\x0a', '\xbc', '\x00', '\x01', '\x0f', '\xff', '\x08', '\x00'};
    const DecodedImage d16 = decodeImage(Bytes(pgm16.begin(), pgm16.end()));
    ASSERT_TRUE(d16.image) << d16.error;
    EXPECT_EQ(d16.image->pixels, (std::vector<std::uint16_t>{0xABC, 1, 0xFFF, 0x800}));
}

TEST(unitsimDecode, RefusesWhatItCannotReadWithAReason) {
    const std::vector<std::vector<std::uint8_t>> rows{{1, 2}, {3, 4}};
    Bytes truncated = makeBmp(2, 2, 8, rows, grayPalette());
    truncated.resize(truncated.size() - 5);
    Bytes deep = makeBmp(2, 2, 8, rows, grayPalette());
    deep[28] = 32;
    Bytes compressed = makeBmp(2, 2, 8, rows, grayPalette());
    compressed[30] = 1;
    Bytes huge = makeBmp(2, 2, 8, rows, grayPalette());
    put32(huge, 18, 100000);
    Bytes pastPalette = makeBmp(2, 2, 8, {{1, 2}, {3, 9}}, std::vector<std::uint8_t>(4 * 4, 0));
    const std::string shortPgm = "P5 4 4 255\nabc";
    const std::string wideMaxPgm = "P5 1 1 70000\nab";

    for (const Bytes& bytes :
         {truncated, deep, compressed, huge, pastPalette, Bytes(shortPgm.begin(), shortPgm.end()),
          Bytes(wideMaxPgm.begin(), wideMaxPgm.end()), Bytes{'G', 'I', 'F'}, Bytes{}}) {
        const DecodedImage d = decodeImage(bytes);
        EXPECT_FALSE(d.image);
        EXPECT_FALSE(d.error.empty());
    }
    EXPECT_FALSE(loadImageFile("/nonexistent/picture.bmp").image);
}

}  // namespace
