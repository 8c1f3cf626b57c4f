// The payload converter: depths, row padding, and payloads that must not be read past their end.
#include "Converter.h"

#include <unitsim/image.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using zephif::BitmapLayout;
using zephif::ConvertPixels;
using zephif::ReadBitmapLayout;

void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A header with the four fields the converter reads, followed by `pixels` at `offset`.
std::vector<uint8_t> Payload(uint32_t width, uint32_t height, uint16_t bits,
                             const std::vector<uint8_t>& pixels, uint32_t offset = 54) {
    std::vector<uint8_t> b(offset + pixels.size(), 0);
    b[0] = 'B';
    b[1] = 'M';
    PutU32(b, 10, offset);
    PutU32(b, 18, width);
    PutU32(b, 22, height);
    b[28] = static_cast<uint8_t>(bits);
    b[29] = static_cast<uint8_t>(bits >> 8);
    std::memcpy(b.data() + offset, pixels.data(), pixels.size());
    return b;
}

std::vector<uint16_t> Convert(const std::vector<uint8_t>& payload) {
    const auto layout = ReadBitmapLayout(payload.data(), payload.size());
    if (!layout)
        return {};
    std::vector<uint16_t> out(layout->PixelCount());
    ConvertPixels(payload.data(), *layout, out.data());
    return out;
}

TEST(Converter, EightBitSensorPictureBecomesTwelveBitWords) {
    unitsim::GrayImage image = unitsim::makeTestPattern();
    image.pixels[0] = 4095;  // byte 255
    image.pixels[1] = 0;
    const auto payload = unitsim::buildBitmapPayload(image, 8);
    const auto layout = ReadBitmapLayout(payload.data(), payload.size());
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->width, 684u);
    EXPECT_EQ(layout->height, 456u);
    EXPECT_EQ(layout->PixelCount() * 2, 623808u);
    const auto words = Convert(payload);
    EXPECT_EQ(words[0], 4080);
    EXPECT_EQ(words[1], 0);
    for (size_t i = 0; i < words.size(); ++i)
        ASSERT_EQ(words[i], image.pixels[i] >> 4 << 4) << "pixel " << i;
}

TEST(Converter, SixteenBitPayloadKeepsTheUpperTwelveBits) {
    EXPECT_EQ(Convert(Payload(2, 1, 16, {0xAB, 0xCD, 0xFF, 0xF0})),
              (std::vector<uint16_t>{0x0ABC, 0x0FFF}));

    // The unit's own 16-bit payload gives back exactly its 12-bit picture.
    const unitsim::GrayImage image = unitsim::makeTestPattern(37, 11);
    EXPECT_EQ(Convert(unitsim::buildBitmapPayload(image, 16)), image.pixels);
}

TEST(Converter, PaddedRowsAreSkippedAndUnpaddedRowsTakenByteForByte) {
    // Three 8-bit pixels per row: padded to four bytes, or not padded at all.
    EXPECT_EQ(Convert(Payload(3, 2, 8, {1, 2, 3, 0xEE, 4, 5, 6, 0xEE})),
              (std::vector<uint16_t>{16, 32, 48, 64, 80, 96}));
    EXPECT_EQ(Convert(Payload(3, 2, 8, {1, 2, 3, 4, 5, 6})),
              (std::vector<uint16_t>{16, 32, 48, 64, 80, 96}));
    // Odd 16-bit widths as the unit pads them.
    const unitsim::GrayImage odd = unitsim::makeTestPattern(5, 3);
    EXPECT_EQ(Convert(unitsim::buildBitmapPayload(odd, 16)), odd.pixels);
    EXPECT_EQ(Convert(unitsim::buildBitmapPayload(unitsim::makeTestPattern(7, 9), 8)).size(), 63u);
}

struct BadPayload {
    const char* name;
    std::vector<uint8_t> bytes;
};

TEST(Converter, UnconvertiblePayloadsGiveNoLayout) {
    std::vector<uint8_t> shortHeader = Payload(1, 1, 8, {7});
    shortHeader.resize(29);
    std::vector<uint8_t> offsetBeyond = Payload(2, 2, 8, {1, 2, 3, 4});
    PutU32(offsetBeyond, 10, static_cast<uint32_t>(offsetBeyond.size() + 1));
    std::vector<uint8_t> hugeOffset = Payload(2, 2, 8, {1, 2, 3, 4});
    PutU32(hugeOffset, 10, 0xFFFFFFF0u);
    const BadPayload cases[] = {
        {"24 bits per pixel", Payload(1, 1, 24, {1, 2, 3})},
        {"header shorter than 30 bytes", shortHeader},
        {"data offset beyond the payload", offsetBeyond},
        {"data offset near 2^32", hugeOffset},
        {"width x height overflows", Payload(0x10000, 0x10000, 16, {1, 2, 3, 4})},
        {"width x height beyond the payload", Payload(100, 100, 8, std::vector<uint8_t>(9999))},
        {"truncated 16-bit payload", Payload(4, 2, 16, std::vector<uint8_t>(15))},
        {"padding missing from the last-but-one row", Payload(3, 3, 8, {1, 2, 3, 0, 4, 5, 6})},
        {"zero width", Payload(0, 5, 8, {1, 2, 3})},
        {"negative height as stored", Payload(2, 0xFFFFFFFEu, 8, {1, 2, 3, 4})},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(ReadBitmapLayout(c.bytes.data(), c.bytes.size())) << c.name;
    EXPECT_FALSE(ReadBitmapLayout(nullptr, 100));
}

// The vector path against the one-pixel-at-a-time reference: every byte value, widths around the
// vector step (remainders of 0 to 15 pixels), padded and unpadded rows.
TEST(Converter, VectorPathEqualsThePortableLoop) {
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    for (uint16_t bits : {8, 16}) {
        for (uint32_t width = 1; width <= 40; ++width) {
            for (bool padded : {false, true}) {
                const uint32_t height = 3;
                const size_t rowBytes = width * (bits / 8);
                const size_t stride = padded ? (rowBytes + 3) / 4 * 4 : rowBytes;
                std::vector<uint8_t> pixels(stride * height + (padded ? 1 : 0));
                for (auto& b : pixels)
                    b = next();
                if (width == 1)
                    pixels[0] = 255;
                const auto payload = Payload(width, height, bits, pixels);
                const auto layout = ReadBitmapLayout(payload.data(), payload.size());
                ASSERT_TRUE(layout);
                std::vector<uint16_t> fast(layout->PixelCount()), portable(layout->PixelCount());
                zephif::ConvertPixels(payload.data(), *layout, fast.data());
                zephif::ConvertPixelsPortable(payload.data(), *layout, portable.data());
                ASSERT_EQ(fast, portable)
                    << bits << " bits, width " << width << (padded ? ", padded" : "");
            }
        }
    }
}

}  // namespace
