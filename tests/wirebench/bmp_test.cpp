// Bitmap rows of the workbench: gray writers, packed sending, rebuild on receipt, header checks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/bmp.h"

namespace wirebench {
namespace {

std::vector<std::uint8_t> ramp(int width, int height, int bytesPerPixel) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * height * bytesPerPixel);
    for (std::size_t i = 0; i < px.size(); ++i) {
        px[i] = static_cast<std::uint8_t>((i * 7 + i / 13) & 0xFF);
    }
    return px;
}

TEST(Bmp, GrayWritersPutPixelsAfterTheirOffset) {
    for (int bits : {8, 16}) {
        const int w = 5;
        const int h = 3;
        const auto px = ramp(w, h, bits / 8);
        const std::string b =
            writeGrayBmp(w, h, bits, px.data(), static_cast<std::size_t>(w) * bits / 8);
        const auto info = readBmpInfo(b);
        ASSERT_TRUE(info) << bits;
        EXPECT_EQ(info->pixelOffset, bits == 8 ? 1078u : 54u);
        EXPECT_EQ(info->bits, bits);
        EXPECT_EQ(b.size(), info->pixelOffset + info->paddedStride() * h);
        const auto d = decodeBmp(b);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->pixels, px) << "decoding gives back the rows top first";
        if (bits == 8) {
            EXPECT_EQ(d->palette[200], 0xFFC8C8C8u);
        }
    }
}

TEST(Bmp, PackedRowsCountFromThePixelOffset) {
    const int w = 1001;
    const int h = 4;
    const auto px = ramp(w, h, 1);
    const std::string aligned = writeGrayBmp(w, h, 8, px.data(), w);
    const std::string packed = packBmpRows(aligned);
    ASSERT_EQ(packed.size(), 1078u + 1001u * h);
    EXPECT_EQ(packed.substr(0, 1078), aligned.substr(0, 1078)) << "headers unchanged";
    const auto info = readBmpInfo(aligned);
    for (int r = 0; r < h; ++r) {
        EXPECT_EQ(packed.substr(1078 + r * 1001, 1001),
                  aligned.substr(1078 + r * info->paddedStride(), 1001))
            << r;
    }
}

TEST(Bmp, RebuildTakesPaddedAndPackedRowsAndSwaps) {
    struct Case {
        int width;
        int bits;
        bool pack;
        bool swap;
    } cases[] = {{1001, 8, true, false},
                 {7, 16, true, false},
                 {7, 16, false, false},
                 {3, 16, true, true},
                 {6, 8, false, false}};
    for (const Case& c : cases) {
        const int h = 5;
        const auto px = ramp(c.width, h, c.bits / 8);
        const std::string aligned = writeGrayBmp(c.width, h, c.bits, px.data(),
                                                 static_cast<std::size_t>(c.width) * c.bits / 8);
        const std::string body = c.pack ? packBmpRows(aligned) : aligned;
        const auto info = readBmpInfo(body);
        ASSERT_TRUE(info);
        const std::string templ = writeGrayBmp(c.width, h, c.bits, nullptr, 0);
        const std::string rebuilt = rebuildIntoTemplate(templ, body, *info, c.swap);
        ASSERT_EQ(rebuilt.size(), aligned.size());
        if (!c.swap) {
            EXPECT_EQ(rebuilt, aligned) << c.width << "/" << c.bits;
        } else {
            const auto d = decodeBmp(rebuilt);
            ASSERT_TRUE(d);
            EXPECT_EQ(d->pixels[0], px[1]);
            EXPECT_EQ(d->pixels[1], px[0]);
        }
    }
}

TEST(Bmp, ShortBodyFillsOnlyTheRowsItHolds) {
    const int w = 9;
    const int h = 6;
    const auto px = ramp(w, h, 2);
    const std::string aligned = writeGrayBmp(w, h, 16, px.data(), w * 2);
    const std::string body = aligned.substr(0, 54 + 2 * w * 2 + 5);  // two rows and a bit
    const auto info = readBmpInfo(body);
    ASSERT_TRUE(info);
    const std::string templ = writeGrayBmp(w, h, 16, nullptr, 0);
    const std::string rebuilt = rebuildIntoTemplate(templ, body, *info, false);
    EXPECT_EQ(rebuilt.size(), templ.size());
    // Offset beyond the body: nothing copied.
    std::string bad = aligned;
    bad[10] = static_cast<char>(0xF0);
    bad[11] = static_cast<char>(0xFF);
    EXPECT_FALSE(readBmpInfo(bad));
}

TEST(Bmp, RefusedHeaders) {
    const std::string good = writeGrayBmp(4, 4, 8, nullptr, 0);
    auto with = [&](std::size_t at, std::uint32_t v) {
        std::string b = good;
        std::memcpy(b.data() + at, &v, 4);
        return b;
    };
    EXPECT_FALSE(readBmpInfo(good.substr(0, 53))) << "under 54 bytes";
    EXPECT_FALSE(readBmpInfo(with(18, 0))) << "zero width";
    EXPECT_FALSE(readBmpInfo(with(18, 0x80000000u))) << "negative width";
    EXPECT_FALSE(readBmpInfo(with(22, 0))) << "zero height";
    EXPECT_FALSE(readBmpInfo(with(18, 40000))) << "huge width";
    EXPECT_FALSE(readBmpInfo(with(28, 12))) << "odd depth";
    EXPECT_FALSE(readBmpInfo(with(10, 20))) << "offset inside the headers";
    std::string big = with(18, 30000);
    std::memcpy(big.data() + 22, "\x30\x75\0\0", 4);  // 30000 rows of 30000: beyond the ceiling
    EXPECT_FALSE(readBmpInfo(big));
    EXPECT_TRUE(readBmpInfo(with(22, static_cast<std::uint32_t>(-4)))) << "top-down rows";
}

TEST(Bmp, LoadGoodRule) {
    EXPECT_TRUE(loadCountsGood(true, 8, 1078, 1078 + 4 * 8, 5, 4));
    EXPECT_FALSE(loadCountsGood(true, 8, 1078, 1078 + 4 * 5, 5, 4)) << "packed rows";
    EXPECT_TRUE(loadCountsGood(true, 8, 54, 1, 5, 4)) << "small offset";
    EXPECT_FALSE(loadCountsGood(true, 16, 54, 54 + 4 * 12, 5, 4)) << "every 16-bit body rebuilt";
    EXPECT_FALSE(loadCountsGood(false, 8, 54, 0, 5, 4));
}

}  // namespace
}  // namespace wirebench
