// Tests of the grey-level algorithms: histogram scale and steps, remap, markers, drags, pages.
#include <gtest/gtest.h>

#include <numeric>

#include "core/imaging.h"

namespace wirebench {
namespace {

TEST(ImagingHistogram, LevelsAndWhiteByDepth) {
    struct Case {
        int bits, significant;
        bool gray;
        int levels;
    } cases[] = {{8, 8, true, 256},    {1, 1, true, 256},     {24, 24, false, 256},
                 {16, 12, true, 4096}, {16, 16, true, 65536}, {16, 0, true, 65536}};
    for (const auto& c : cases) {
        EXPECT_EQ(histogramLevels(c.bits, c.significant, c.gray), c.levels) << c.bits;
        EXPECT_EQ(whiteLevel(c.bits, c.significant, c.gray), c.levels - 1) << c.bits;
    }
}

TEST(ImagingHistogram, DropEdgesIgnoresAFullLevelZero) {
    std::vector<std::uint32_t> counts(256, 3);
    counts[0] = 100000;
    counts[77] = 40;
    auto plain = scaleHistogram(counts, 256, {});
    EXPECT_EQ(plain.max, 100000u);
    EXPECT_EQ(plain.peak, 0);
    auto dropped = scaleHistogram(counts, 256, {.dropEdges = true});
    EXPECT_EQ(dropped.first, 1);
    EXPECT_EQ(dropped.last, 254);
    EXPECT_EQ(dropped.max, 40u);  // the tallest remaining bar reaches the top
    EXPECT_EQ(dropped.peak, 77);
    EXPECT_EQ(dropped.drawn[0], 0u);
}

TEST(ImagingHistogram, TwelveBitsIs4096WideAndDropsBothEnds) {
    std::vector<std::uint32_t> counts(65536, 0);
    counts[0] = 9;
    counts[4095] = 9;
    counts[2000] = 5;
    counts[5000] = 1000;  // beyond the 12 significant bits: not a level
    auto s = scaleHistogram(counts, 4096, {.dropEdges = true});
    EXPECT_EQ(s.levels, 4096);
    EXPECT_EQ(s.first, 1);
    EXPECT_EQ(s.last, 4094);
    EXPECT_EQ(s.max, 5u);
    auto steps = histogramSteps(s);
    EXPECT_EQ(steps.front().level, 1);
    EXPECT_EQ(steps.back().level, 4095);
}

TEST(ImagingHistogram, IsolatedSpikeIsClippedToItsNeighbour) {
    std::vector<std::uint32_t> counts(256, 0);
    for (int i = 100; i < 160; ++i) {
        counts[static_cast<std::size_t>(i)] = 50 + static_cast<std::uint32_t>(i % 7);
    }
    counts[130] = 5000;
    auto off = scaleHistogram(counts, 256, {});
    EXPECT_EQ(off.max, 5000u);
    auto on = scaleHistogram(counts, 256, {.ignoreSingleMax = true});
    EXPECT_TRUE(on.spike);
    EXPECT_EQ(on.peak, 130);
    EXPECT_EQ(on.max, 56u);  // the second-highest count
    EXPECT_EQ(on.drawn[130], counts[129]);
    // A peak with a close rival within 10 % of the range is no spike.
    counts[140] = 4600;
    auto rival = scaleHistogram(counts, 256, {.ignoreSingleMax = true});
    EXPECT_FALSE(rival.spike);
    EXPECT_EQ(rival.max, 5000u);
    // A spike on the first level is drawn at its right neighbour's height.
    std::vector<std::uint32_t> edge(256, 2);
    edge[0] = 900;
    edge[1] = 7;
    auto first = scaleHistogram(edge, 256, {.ignoreSingleMax = true});
    EXPECT_TRUE(first.spike);
    EXPECT_EQ(first.drawn[0], 7u);
    EXPECT_EQ(first.max, 7u);
}

TEST(ImagingHistogram, FirstQuarterAndEmptyCountsNeverDivideByZero) {
    std::vector<std::uint32_t> counts(256, 1);
    counts[10] = 500;
    auto s = scaleHistogram(counts, 256, {.ignoreFirstQuarter = true});
    EXPECT_EQ(s.quarter, 63);
    EXPECT_EQ(s.max, 1u);
    EXPECT_EQ(s.drawn[10], 0u);  // drawn empty
    auto steps = histogramSteps(s);
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps[0].level, 0);
    EXPECT_EQ(steps[0].count, 0u);
    EXPECT_EQ(steps[1].level, 63);  // bottom line up to Q - 1, then the curve
    EXPECT_EQ(steps[2].count, 1u);
    auto empty = scaleHistogram(std::vector<std::uint32_t>(256, 0), 256, {.dropEdges = true});
    EXPECT_EQ(empty.max, 1u);
    std::vector<std::uint32_t> edgesOnly(256, 0);
    edgesOnly[0] = edgesOnly[255] = 10;
    EXPECT_EQ(scaleHistogram(edgesOnly, 256, {.dropEdges = true}).max, 1u);
}

TEST(ImagingHistogram, StepCurveRunsAndSteps) {
    std::vector<std::uint32_t> counts(256, 0);
    counts[5] = counts[6] = 4;
    auto steps = histogramSteps(scaleHistogram(counts, 256, {}));
    const std::vector<std::pair<int, std::uint64_t>> want = {{0, 0}, {5, 0}, {5, 4},
                                                             {7, 4}, {7, 0}, {256, 0}};
    ASSERT_EQ(steps.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(steps[i].level, want[i].first) << i;
        EXPECT_EQ(steps[i].count, want[i].second) << i;
    }
}

TEST(ImagingRemap, TableCases) {
    // Factor 1.0 with the markers at the ends is the identity, at every depth.
    for (int levels : {256, 4096, 65536}) {
        auto t = remapTable(levels, levels - 1, 0, levels - 1, 1.0, false);
        bool identity = true;
        for (int i = 0; i < levels; ++i) {
            identity = identity && t[static_cast<std::size_t>(i)] == i;
        }
        EXPECT_TRUE(identity) << levels;
    }
    auto white = remapTable(256, 255, 50, 100, 1.0, false);
    auto black = remapTable(256, 255, 50, 100, 1.0, true);
    EXPECT_EQ(white[49], 0);
    EXPECT_EQ(white[50], 0);
    EXPECT_EQ(white[100], 255);
    EXPECT_EQ(white[101], 255);
    EXPECT_EQ(black[101], 0);
    EXPECT_EQ(black[255], 0);
    // A power curve is monotone from 0 to white and bends by the factor.
    auto dark = remapTable(256, 255, 0, 255, 2.0, false);
    auto bright = remapTable(256, 255, 0, 255, 0.5, false);
    EXPECT_EQ(dark[0], 0);
    EXPECT_EQ(dark[255], 255);
    EXPECT_LT(dark[128], 128);
    EXPECT_GT(bright[128], 128);
    EXPECT_TRUE(std::is_sorted(dark.begin(), dark.end()));
    EXPECT_TRUE(std::is_sorted(bright.begin(), bright.end()));
    // lo == hi is a step, and lo above hi is put in order.
    auto step = remapTable(256, 255, 80, 80, 1.0, false);
    EXPECT_EQ(step[79], 0);
    EXPECT_EQ(step[80], 255);
    EXPECT_EQ(remapTable(256, 255, 100, 50, 1.0, false), white);
}

TEST(ImagingMarkers, DragRules) {
    MarkerStrip m(209, 9);  // left edges 0..200
    EXPECT_EQ(m.level(0, 256), 0);
    EXPECT_EQ(m.level(2, 256), 255);  // flush right reads as L - 1
    EXPECT_EQ(m.level(2, 4096), 4095);
    EXPECT_EQ(m.position(1), 100);
    // Lower marker: follows the pointer, stays in the strip, never passes the upper.
    EXPECT_EQ(m.press(3), 0);
    m.dragTo(-50);
    EXPECT_EQ(m.position(0), 0);
    m.dragTo(53);
    EXPECT_EQ(m.position(0), 50);
    EXPECT_EQ(m.position(1), 125);
    m.dragTo(500);
    EXPECT_EQ(m.position(0), 200);
    m.dragTo(43);
    m.release();
    EXPECT_EQ(m.position(0), 40);
    // Upper marker to 160: middle half-way.
    EXPECT_EQ(m.press(204), 2);
    m.dragTo(164);
    m.release();
    EXPECT_EQ(m.position(2), 160);
    EXPECT_EQ(m.position(1), 100);
    // The middle marker moves all three; the window keeps its width at the strip's end.
    EXPECT_EQ(m.press(102), 1);
    m.dragTo(200);
    EXPECT_EQ(m.position(0), 80);
    EXPECT_EQ(m.position(2), 200);
    EXPECT_EQ(m.position(1), 140);
    m.dragTo(-400);
    EXPECT_EQ(m.position(0), 0);
    EXPECT_EQ(m.position(2), 120);
    m.release();
    EXPECT_FALSE(m.dragTo(10));  // nothing grabbed
    m.reset();
    EXPECT_EQ(m.position(0), 0);
    EXPECT_EQ(m.position(2), 200);
    EXPECT_EQ(m.hit(205), 2);
    EXPECT_EQ(m.hit(150), -1);
    // Both outer markers at the left edge: the upper one is taken, so they can part again.
    m.setLevels(0, 0, 256);
    EXPECT_EQ(m.press(2), 2);
    m.dragTo(60);
    EXPECT_EQ(m.position(2), 58);
    // Resizing keeps the levels.
    m.setLevels(64, 192, 256);
    m.resize(409);
    EXPECT_NEAR(m.level(0, 256), 64, 1);
    EXPECT_NEAR(m.level(2, 256), 192, 1);
}

TEST(ImagingViewAdjust, DragArithmetic) {
    // Half a screen right gives 1000; more stays at the limit.
    EXPECT_EQ(adjustFromDrag(960, 0, 1920, 1080).brightness, 1000);
    EXPECT_EQ(adjustFromDrag(1900, -2000, 1920, 1080).brightness, 1000);
    EXPECT_EQ(adjustFromDrag(1900, -2000, 1920, 1080).contrast, -1000);
    EXPECT_EQ(adjustFromDrag(-480, 270, 1920, 1080).brightness, -500);
    EXPECT_EQ(adjustFromDrag(-480, 270, 1920, 1080).contrast, 500);
    EXPECT_EQ(adjustFromDrag(5, 5, 0, 0).brightness, 0);
    // Gamma: neutral at the press point, 1 and 1000 at the ends.
    EXPECT_EQ(gammaFromDrag(0, 0, 1920, 1080), 100);
    EXPECT_EQ(gammaFromDrag(960 * 2, 0, 1920, 1080), 1000);
    EXPECT_EQ(gammaFromDrag(-960 * 2, 0, 1920, 1080), 1);
    EXPECT_EQ(gammaFromDrag(96, 0, 1920, 1080), 100 + 9 * 900 / 100);
    EXPECT_EQ(gammaFromDrag(0, -540, 1920, 1080), 100 - 20 * 99 / 100);
}

TEST(ImagingViewAdjust, DisplayTable) {
    auto neutral = displayTable(255, 0, 255, 0, 0, kGammaNeutral);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(neutral[static_cast<std::size_t>(i)], i);
    }
    auto twelve = displayTable(4095, 0, 4095, 0, 0, kGammaNeutral);
    EXPECT_EQ(twelve.size(), 4096u);
    EXPECT_EQ(twelve[4095], 255);
    EXPECT_EQ(twelve[2048], 128);
    auto window = displayTable(4095, 1000, 2000, 0, 0, kGammaNeutral);
    EXPECT_EQ(window[999], 0);
    EXPECT_EQ(window[2001], 255);
    EXPECT_GT(displayTable(255, 0, 255, 0, 0, 500)[64], 64);  // gamma above 100 brightens
    EXPECT_EQ(displayTable(255, 0, 255, 1000, 0, kGammaNeutral)[0], 255);
    EXPECT_EQ(displayTable(255, 0, 255, 0, -1000, kGammaNeutral)[0], 128);
    EXPECT_EQ(displayTable(255, 9, 9, 0, 0, kGammaNeutral).size(), 256u);  // empty window
}

TEST(ImagingPages, FlagsInKeyOrderAndEachKeepsTheRange) {
    const std::uint32_t flags[] = {0xC2000100, 0xC2000200, 0xC2000800, 0xC2001000, 0xC2002000,
                                   0xC2000001, 0xC2000002, 0xC2000004, 0xC2000008, 0xC2000010};
    ASSERT_EQ(processingPages().size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(processingPages()[i].flag, flags[i]);
        EXPECT_EQ(pageByFlag(flags[i]), &processingPages()[i]);
    }
    EXPECT_EQ(pageByFlag(kFurtherProcessingFlag), nullptr);
    GrayBuffer b{7, 5, 4095, {}};
    for (int i = 0; i < 35; ++i) {
        b.pixels.push_back(static_cast<std::uint16_t>(i % 3 == 0 ? 4095 : i * 50));
    }
    for (const auto& p : processingPages()) {
        GrayBuffer c = b;
        applyPage(p.page, c);
        ASSERT_EQ(c.pixels.size(), b.pixels.size()) << p.title;
        for (auto v : c.pixels) {
            ASSERT_LE(v, 4095) << p.title;
        }
    }
    GrayBuffer inv = b;
    applyPage(ProcessingPage::kInvert, inv);
    EXPECT_EQ(inv.pixels[0], 0);
    EXPECT_EQ(inv.pixels[1], 4095 - 50);
    GrayBuffer mirror = b;
    applyPage(ProcessingPage::kMirror, mirror);
    EXPECT_EQ(mirror.at(0, 0), b.at(6, 0));
    // A single hot pixel disappears under the median.
    GrayBuffer hot{5, 5, 255, std::vector<std::uint16_t>(25, 10)};
    hot.pixels[12] = 255;
    applyPage(ProcessingPage::kMedian, hot);
    EXPECT_EQ(hot.at(2, 2), 10);
    GrayBuffer flat{4, 4, 255, std::vector<std::uint16_t>(16, 77)};
    for (auto page : {ProcessingPage::kSmooth, ProcessingPage::kSharpen, ProcessingPage::kEqualize,
                      ProcessingPage::kStretch, ProcessingPage::kEdgeEnhance}) {
        GrayBuffer c = flat;
        applyPage(page, c);
        EXPECT_EQ(c.pixels, flat.pixels);  // nothing to do on a flat picture
    }
}

TEST(ImagingLineProfile, PixelsAlongTheLineInsideTheImage) {
    auto pts = linePixels(0, 0, 4, 2, 10, 10);
    ASSERT_EQ(pts.size(), 5u);
    EXPECT_EQ(pts[4].x, 4);
    EXPECT_EQ(pts[4].y, 2);
    EXPECT_EQ(linePixels(-3, 1, 2, 1, 10, 10).size(), 3u);
    EXPECT_EQ(linePixels(3, 3, 3, 3, 10, 10).size(), 1u);
}

}  // namespace
}  // namespace wirebench
