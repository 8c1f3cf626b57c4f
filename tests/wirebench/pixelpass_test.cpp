// Whole-image pixel passes: every vector path gives exactly what the portable loops give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/pixelpass.h"

namespace wirebench {
namespace {

// Random pixels of the given depth; some lengths leave tails shorter than a vector.
std::vector<std::uint16_t> randomPixels(std::mt19937& rng, std::size_t n, int bits) {
    std::uniform_int_distribution<int> value(0, (1 << bits) - 1);
    std::vector<std::uint16_t> p(n);
    for (auto& v : p) {
        v = static_cast<std::uint16_t>(value(rng));
    }
    return p;
}

TEST(PixelPass, VectorPathsMatchThePortableOneAt8_12And16Bits) {
    std::mt19937 rng(13);
    std::uniform_int_distribution<int> entry(0, 65535);
    std::vector<std::uint16_t> table16(4096);
    std::vector<std::uint8_t> table8(3000);  // shorter than 12 bits: the last entry repeats
    for (auto& t : table16) {
        t = static_cast<std::uint16_t>(entry(rng));
    }
    for (auto& t : table8) {
        t = static_cast<std::uint8_t>(entry(rng));
    }
    const auto full8 = fullTable8(table8);
    const auto full16 = fullTable16(table16);
    ASSERT_EQ(full8.size(), kPixelLevels + kPixelTablePad);
    EXPECT_EQ(full8[65535], table8.back());
    EXPECT_EQ(full16[4096], table16.back());
    const auto paths = availablePixelPaths();
    ASSERT_EQ(paths.front(), PixelPath::kPortable);
    for (const int bits : {8, 12, 16}) {
        for (const std::size_t n :
             {std::size_t{0}, std::size_t{15}, std::size_t{17}, std::size_t{1638} * 31 + 5}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << n << " pixels");
            auto src = randomPixels(rng, n, bits);
            if (n > 20) {
                src[3] = static_cast<std::uint16_t>((1 << bits) - 1);  // the top value
                src[4] = 0;
            }
            std::vector<std::uint8_t> want8(n);
            std::vector<std::uint16_t> want16(n);
            std::vector<std::uint32_t> wantCounts(kPixelLevels, 0);
            lookupPixels8(src.data(), n, full8.data(), want8.data(), PixelPath::kPortable);
            lookupPixels16(src.data(), n, full16.data(), want16.data(), PixelPath::kPortable);
            countPixels16(src.data(), n, wantCounts.data(), PixelPath::kPortable);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(want8[i], table8[std::min<std::size_t>(src[i], table8.size() - 1)]);
                ASSERT_EQ(want16[i], table16[std::min<std::size_t>(src[i], table16.size() - 1)]);
            }
            std::vector<std::uint32_t> naive(kPixelLevels, 0);
            for (const auto v : src) {
                ++naive[v];
            }
            ASSERT_EQ(wantCounts, naive);
            for (const PixelPath path : paths) {
                SCOPED_TRACE(static_cast<int>(path));
                std::vector<std::uint8_t> got8(n);
                std::vector<std::uint16_t> got16(n);
                std::vector<std::uint32_t> counts(kPixelLevels, 0);
                lookupPixels8(src.data(), n, full8.data(), got8.data(), path);
                lookupPixels16(src.data(), n, full16.data(), got16.data(), path);
                countPixels16(src.data(), n, counts.data(), path);
                EXPECT_EQ(got8, want8);
                EXPECT_EQ(got16, want16);
                EXPECT_EQ(counts, wantCounts);
            }
        }
    }
}

// The computed display window equals its table, on every path, for windows at 8, 12 and 16 bits
// (narrow, wide, off the ends, with adjustments).
TEST(PixelPass, WindowMapEqualsTheDisplayTableOnEveryPath) {
    std::mt19937 rng(7);
    struct Case {
        int bits, lo, hi, brightness, contrast, gamma;
    };
    const Case cases[] = {
        {8, 0, 255, 0, 0, kGammaNeutral},      {8, 9, 9, 300, -200, 40},
        {12, 0, 4095, 0, 0, kGammaNeutral},    {12, 1000, 1003, -700, 800, 1000},
        {12, 17, 4000, 999, 1000, 1},          {16, 0, 65535, 0, 0, kGammaNeutral},
        {16, 30000, 65535, -1000, -1000, 250}, {16, 1, 2, 0, 500, kGammaNeutral},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, window " << c.lo << ".." << c.hi);
        const int white = (1 << c.bits) - 1;
        const auto table = displayTable(white, c.lo, c.hi, c.brightness, c.contrast, c.gamma);
        const DisplayWindow window =
            displayWindow(white, c.lo, c.hi, c.brightness, c.contrast, c.gamma);
        // Every value of the depth, then a shuffled copy (vector blocks and tails both see all).
        std::vector<std::uint16_t> src(static_cast<std::size_t>(white) + 1);
        for (std::size_t v = 0; v < src.size(); ++v) {
            src[v] = static_cast<std::uint16_t>(v);
        }
        auto shuffled = src;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        src.insert(src.end(), shuffled.begin(), shuffled.end());
        src.push_back(static_cast<std::uint16_t>(white));
        for (const PixelPath path : availablePixelPaths()) {
            SCOPED_TRACE(static_cast<int>(path));
            std::vector<std::uint8_t> got(src.size());
            WindowMap(window, path).apply(src.data(), src.size(), got.data());
            for (std::size_t i = 0; i < src.size(); ++i) {
                ASSERT_EQ(got[i], table[src[i]]) << "value " << src[i];
            }
        }
    }
    // Straight windows: v * 255 / white, rounded.
    for (const int bits : {8, 12, 16}) {
        const int white = (1 << bits) - 1;
        std::vector<std::uint16_t> every(static_cast<std::size_t>(white) + 1);
        for (std::size_t v = 0; v < every.size(); ++v) {
            every[v] = static_cast<std::uint16_t>(v);
        }
        for (const PixelPath path : availablePixelPaths()) {
            std::vector<std::uint8_t> got(every.size());
            WindowMap(straightWindow(white), path).apply(every.data(), every.size(), got.data());
            for (std::size_t v = 0; v < every.size(); ++v) {
                ASSERT_EQ(got[v], (v * 255 + static_cast<std::size_t>(white) / 2) /
                                      static_cast<std::size_t>(white))
                    << bits << " bits, value " << v << ", path " << static_cast<int>(path);
            }
        }
    }
}

// Every row once, with one thread and with two (negative: one thread).
TEST(PixelPass, RowBandsCoverEveryRowOnce) {
    const int threads = pixelPassThreads();
    for (const int signedRows : {0, 1, 2, 1248, -1249}) {
        setPixelPassThreads(signedRows < 0 ? 1 : 2);
        const int rows = std::abs(signedRows);
        std::vector<int> seen(static_cast<std::size_t>(rows), 0);
        forRowBands(rows, std::size_t{1638} * static_cast<std::size_t>(rows), [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                ++seen[static_cast<std::size_t>(y)];
            }
        });
        EXPECT_EQ(seen, std::vector<int>(static_cast<std::size_t>(rows), 1)) << signedRows;
    }
    setPixelPassThreads(threads);
}

}  // namespace
}  // namespace wirebench
