// Grey-level image algorithms of the processing and view windows.
#include "core/imaging.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace wirebench {

namespace {

int deepBits(int bitsPerPixel, int significantBits) {
    const int bits = significantBits > 8 ? significantBits : bitsPerPixel;
    return std::clamp(bits, 9, 16);
}

}  // namespace

int histogramLevels(int bitsPerPixel, int significantBits, bool gray) {
    if (!gray || bitsPerPixel <= 8) {
        return 256;
    }
    return 1 << deepBits(bitsPerPixel, significantBits);
}

int whiteLevel(int bitsPerPixel, int significantBits, bool gray) {
    return histogramLevels(bitsPerPixel, significantBits, gray) - 1;
}

HistogramScale scaleHistogram(const std::vector<std::uint32_t>& counts, int levels,
                              const HistogramOptions& options) {
    HistogramScale s;
    if (levels < 4) {
        return s;
    }
    s.levels = levels;
    auto count = [&](int level) -> std::uint64_t {
        return static_cast<std::size_t>(level) < counts.size()
                   ? counts[static_cast<std::size_t>(level)]
                   : 0;
    };
    s.first = options.dropEdges ? 1 : 0;
    s.last = options.dropEdges ? levels - 2 : levels - 1;
    s.quarter = s.last / 4;
    const int scanFrom = options.ignoreFirstQuarter ? std::max(s.first, s.quarter) : s.first;
    auto maxOver = [&](int skip, int* at) {
        std::uint64_t m = 0;
        int where = -1;
        for (int i = scanFrom; i <= s.last; ++i) {
            if (i != skip && (where < 0 || count(i) > m)) {
                m = count(i);
                where = i;
            }
        }
        if (at) {
            *at = where;
        }
        return m;
    };
    s.max = maxOver(-1, &s.peak);
    s.drawn.assign(static_cast<std::size_t>(levels), 0);
    for (int i = scanFrom; i <= s.last; ++i) {
        s.drawn[static_cast<std::size_t>(i)] = count(i);
    }
    if (options.ignoreSingleMax && s.max > 0) {
        const int tenth = s.last / 10;
        const int from = std::max(0, s.peak - tenth);
        const int to = std::min(s.last, s.peak + tenth);
        bool isolated = true;
        for (int i = from; i <= to; ++i) {
            // 90 % of M, compared without rounding: 10 * c > 9 * M.
            if (i != s.peak && 10 * count(i) > 9 * s.max) {
                isolated = false;
                break;
            }
        }
        if (isolated) {
            s.spike = true;
            s.max = maxOver(s.peak, nullptr);
            const int neighbour = s.peak > scanFrom ? s.peak - 1 : s.peak + 1;
            s.drawn[static_cast<std::size_t>(s.peak)] = neighbour <= s.last ? count(neighbour) : 0;
        }
    }
    // Nothing counted (or every count left out): a flat line at the bottom, never a division by 0.
    if (s.max == 0) {
        s.max = 1;
    }
    for (auto& d : s.drawn) {
        d = std::min(d, s.max);
    }
    return s;
}

std::vector<CurvePoint> histogramSteps(const HistogramScale& scale) {
    std::vector<CurvePoint> pts;
    if (scale.levels == 0 || scale.last < scale.first) {
        return pts;
    }
    // Walk the levels: a horizontal run at each count, a vertical step where it changes. Levels
    // are bin edges here: level i covers i..i+1.
    std::uint64_t prev = scale.drawn[static_cast<std::size_t>(scale.first)];
    pts.push_back({scale.first, prev});
    for (int i = scale.first + 1; i <= scale.last; ++i) {
        const std::uint64_t c = scale.drawn[static_cast<std::size_t>(i)];
        if (c != prev) {
            pts.push_back({i, prev});
            pts.push_back({i, c});
            prev = c;
        }
    }
    pts.push_back({scale.last + 1, prev});
    return pts;
}

std::vector<std::uint16_t> remapTable(int levels, int white, int lo, int hi, double factor,
                                      bool outsideBlack) {
    std::vector<std::uint16_t> t(static_cast<std::size_t>(std::max(levels, 0)), 0);
    if (levels <= 0) {
        return t;
    }
    white = std::clamp(white, 0, 65535);
    lo = std::clamp(lo, 0, levels - 1);
    hi = std::clamp(hi, 0, levels - 1);
    if (lo > hi) {
        std::swap(lo, hi);
    }
    if (!(factor > 0.0) || !std::isfinite(factor)) {
        factor = 1.0;
    }
    const auto w = static_cast<std::uint16_t>(white);
    for (int i = 0; i < levels; ++i) {
        std::uint16_t v = 0;
        if (i < lo) {
            v = 0;
        } else if (i > hi) {
            v = outsideBlack ? 0 : w;
        } else if (hi == lo) {
            v = w;
        } else if (factor == 1.0) {
            // Exact integers on the straight line, so the ends give the identity.
            const std::int64_t num = std::int64_t{i - lo} * white;
            v = static_cast<std::uint16_t>((num + (hi - lo) / 2) / (hi - lo));
        } else {
            const double tt = static_cast<double>(i - lo) / (hi - lo);
            v = static_cast<std::uint16_t>(std::lround(white * std::pow(tt, factor)));
        }
        t[static_cast<std::size_t>(i)] = v;
    }
    return t;
}

MarkerStrip::MarkerStrip(int stripWidth, int markerWidth)
    : stripWidth_(std::max(stripWidth, 0)), markerWidth_(std::max(markerWidth, 1)) {
    reset();
}

void MarkerStrip::resize(int stripWidth) {
    stripWidth_ = std::max(stripWidth, 0);
    const double f0 = fraction_[0];
    const double f2 = fraction_[2];
    pos_[0] = static_cast<int>(std::lround(f0 * maxPos()));
    pos_[2] = static_cast<int>(std::lround(f2 * maxPos()));
    centreMiddle();
    fraction_[0] = f0;
    fraction_[2] = f2;
}

int MarkerStrip::hit(int x) const {
    auto on = [&](int m) { return x >= pos_[m] && x < pos_[m] + markerWidth_; };
    const bool lower = on(0);
    const bool upper = on(2);
    if (lower && upper) {
        // Overlapping outer markers: take the one that can move.
        if (pos_[0] == 0) {
            return 2;
        }
        if (pos_[2] == maxPos()) {
            return 0;
        }
        return x < pos_[0] + markerWidth_ / 2 ? 0 : 2;
    }
    if (lower) {
        return 0;
    }
    if (upper) {
        return 2;
    }
    return on(1) ? 1 : -1;
}

int MarkerStrip::press(int x) {
    grabbed_ = hit(x);
    grabX_ = x;
    std::copy(std::begin(pos_), std::end(pos_), std::begin(grabPos_));
    return grabbed_;
}

bool MarkerStrip::dragTo(int x) {
    if (grabbed_ < 0) {
        return false;
    }
    const int dx = x - grabX_;
    const int before[3] = {pos_[0], pos_[1], pos_[2]};
    if (grabbed_ == 0) {
        pos_[0] = std::clamp(grabPos_[0] + dx, 0, pos_[2]);
        centreMiddle();
    } else if (grabbed_ == 2) {
        pos_[2] = std::clamp(grabPos_[2] + dx, pos_[0], maxPos());
        centreMiddle();
    } else {
        // The whole window moves; it keeps its width at the strip's ends.
        const int d = std::clamp(dx, -grabPos_[0], maxPos() - grabPos_[2]);
        for (int m = 0; m < 3; ++m) {
            pos_[m] = grabPos_[m] + d;
        }
    }
    if (maxPos() > 0) {
        fraction_[0] = static_cast<double>(pos_[0]) / maxPos();
        fraction_[2] = static_cast<double>(pos_[2]) / maxPos();
    }
    return before[0] != pos_[0] || before[1] != pos_[1] || before[2] != pos_[2];
}

void MarkerStrip::reset() {
    pos_[0] = 0;
    pos_[2] = maxPos();
    centreMiddle();
    fraction_[0] = 0.0;
    fraction_[2] = 1.0;
    grabbed_ = -1;
}

int MarkerStrip::level(int marker, int levels) const {
    if (maxPos() == 0 || levels <= 1) {
        return marker == 2 ? std::max(levels - 1, 0) : 0;
    }
    const std::int64_t num = std::int64_t{pos_[marker]} * (levels - 1);
    return static_cast<int>((num + maxPos() / 2) / maxPos());
}

int MarkerStrip::positionOf(int lvl, int levels) const {
    if (levels <= 1) {
        return 0;
    }
    const std::int64_t num = std::int64_t{std::clamp(lvl, 0, levels - 1)} * maxPos();
    return static_cast<int>((num + (levels - 1) / 2) / (levels - 1));
}

void MarkerStrip::setLevels(int lo, int hi, int levels) {
    if (lo > hi) {
        std::swap(lo, hi);
    }
    pos_[0] = positionOf(lo, levels);
    pos_[2] = positionOf(hi, levels);
    centreMiddle();
    if (maxPos() > 0) {
        fraction_[0] = static_cast<double>(pos_[0]) / maxPos();
        fraction_[2] = static_cast<double>(pos_[2]) / maxPos();
    }
}

std::vector<PixelPoint> linePixels(int x1, int y1, int x2, int y2, int width, int height) {
    std::vector<PixelPoint> pts;
    const int steps = std::max(std::abs(x2 - x1), std::abs(y2 - y1));
    pts.reserve(static_cast<std::size_t>(steps) + 1);
    for (int i = 0; i <= steps; ++i) {
        const int x = steps == 0 ? x1 : x1 + (x2 - x1) * i / steps;
        const int y = steps == 0 ? y1 : y1 + (y2 - y1) * i / steps;
        if (x >= 0 && y >= 0 && x < width && y < height) {
            pts.push_back({x, y});
        }
    }
    return pts;
}

DragAdjust adjustFromDrag(int dx, int dy, int screenWidth, int screenHeight) {
    DragAdjust a;
    if (screenWidth > 0) {
        a.brightness = static_cast<int>(std::clamp<std::int64_t>(
            std::int64_t{dx} * kDragScale / screenWidth, -kAdjustLimit, kAdjustLimit));
    }
    if (screenHeight > 0) {
        a.contrast = static_cast<int>(std::clamp<std::int64_t>(
            std::int64_t{dy} * kDragScale / screenHeight, -kAdjustLimit, kAdjustLimit));
    }
    return a;
}

int gammaFromDrag(int dx, int dy, int screenWidth, int screenHeight) {
    const std::int64_t halfW = std::max(screenWidth / 2, 1);
    const std::int64_t halfH = std::max(screenHeight / 2, 1);
    std::int64_t g = std::int64_t{dx} * 900 / halfW + std::int64_t{dy} * 200 / halfH;
    g = std::clamp<std::int64_t>(g, -kAdjustLimit, kAdjustLimit) / 10;
    const std::int64_t gamma =
        g <= 0 ? kGammaNeutral + g * 99 / 100 : kGammaNeutral + g * 900 / 100;
    return static_cast<int>(std::clamp<std::int64_t>(gamma, kGammaMin, kGammaMax));
}

DisplayWindow displayWindow(int maxValue, int windowLo, int windowHi, int brightness, int contrast,
                            int gamma) {
    maxValue = std::clamp(maxValue, 1, 65535);
    windowLo = std::clamp(windowLo, 0, maxValue);
    windowHi = std::clamp(windowHi, 0, maxValue);
    if (windowHi <= windowLo) {
        windowHi = std::min(windowLo + 1, maxValue);
        windowLo = windowHi - 1;
    }
    brightness = std::clamp(brightness, -kAdjustLimit, kAdjustLimit);
    contrast = std::clamp(contrast, -kAdjustLimit, kAdjustLimit);
    gamma = std::clamp(gamma, kGammaMin, kGammaMax);
    DisplayWindow w;
    w.lo = windowLo;
    w.span = windowHi - windowLo;
    // The 256 shades after the window go through one small table of adjustments.
    const double c = (1000.0 + contrast) / 1000.0;
    const double e = static_cast<double>(kGammaNeutral) / gamma;
    for (int i = 0; i < 256; ++i) {
        double v = (i - 127.5) * c + 127.5 + brightness * 255.0 / 1000.0;
        v = std::clamp(v, 0.0, 255.0);
        v = 255.0 * std::pow(v / 255.0, e);
        w.adjust[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
    }
    return w;
}

DisplayWindow straightWindow(int maxValue) {
    DisplayWindow w;
    w.span = std::clamp(maxValue, 1, 65535);
    for (int i = 0; i < 256; ++i) {
        w.adjust[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    }
    return w;
}

std::vector<std::uint8_t> displayTable(int maxValue, int windowLo, int windowHi, int brightness,
                                       int contrast, int gamma) {
    maxValue = std::clamp(maxValue, 1, 65535);
    const DisplayWindow w =
        displayWindow(maxValue, windowLo, windowHi, brightness, contrast, gamma);
    std::vector<std::uint8_t> t(static_cast<std::size_t>(maxValue) + 1);
    const std::int64_t span = w.span;
    for (int v = 0; v <= maxValue; ++v) {
        const std::int64_t k = std::clamp<std::int64_t>(v - w.lo, 0, span);
        t[static_cast<std::size_t>(v)] =
            w.adjust[static_cast<std::size_t>((k * 255 + span / 2) / span)];
    }
    return t;
}

void mapRow(const std::uint16_t* src, std::size_t count, const std::vector<std::uint8_t>& table,
            std::uint8_t* dst) {
    if (table.empty()) {
        return;
    }
    const std::size_t last = table.size() - 1;
    const std::uint8_t* t = table.data();
    for (std::size_t i = 0; i < count; ++i) {
        dst[i] = t[std::min<std::size_t>(src[i], last)];
    }
}

const std::vector<PageInfo>& processingPages() {
    static const std::vector<PageInfo> pages = {
        {ProcessingPage::kSmooth, 0xC2000100u, "Smooth", "3 x 3 average: less noise, softer edges"},
        {ProcessingPage::kSharpen, 0xC2000200u, "Sharpen",
         "centre weighted against its 4 neighbours: crisper edges and more noise"},
        {ProcessingPage::kMedian, 0xC2000800u, "Median",
         "3 x 3 median: removes single hot and dead pixels, keeps edges"},
        {ProcessingPage::kEdgeEnhance, 0xC2001000u, "Edge enhance",
         "adds half the gradient magnitude: outlines of teeth and fillings stand out"},
        {ProcessingPage::kEdgeDetect, 0xC2002000u, "Edge detect",
         "gradient magnitude only (Sobel): edges bright on black"},
        {ProcessingPage::kInvert, 0xC2000001u, "Invert", "white becomes black and black white"},
        {ProcessingPage::kEqualize, 0xC2000002u, "Equalize",
         "histogram equalisation: the grey levels spread evenly over the range"},
        {ProcessingPage::kStretch, 0xC2000004u, "Stretch contrast",
         "levels from the 0.5 % to the 99.5 % point stretched over the whole range"},
        {ProcessingPage::kGamma, 0xC2000008u, "Gamma 2.0",
         "brightens the dark levels (value^(1/2)), the white level stays"},
        {ProcessingPage::kMirror, 0xC2000010u, "Mirror", "left and right exchanged"},
    };
    return pages;
}

const PageInfo* pageByFlag(std::uint32_t flag) {
    for (const auto& p : processingPages()) {
        if (p.flag == flag) {
            return &p;
        }
    }
    return nullptr;
}

namespace {

// Value at (x, y) with the border repeated.
std::uint16_t clampedAt(const GrayBuffer& b, int x, int y) {
    return b.at(std::clamp(x, 0, b.width - 1), std::clamp(y, 0, b.height - 1));
}

template <typename F>
void perPixel(GrayBuffer& image, F f) {
    const GrayBuffer src = image;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const std::int64_t v = f(src, x, y);
            image.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                         static_cast<std::size_t>(x)] =
                static_cast<std::uint16_t>(std::clamp<std::int64_t>(v, 0, image.maxValue));
        }
    }
}

std::int64_t sobel(const GrayBuffer& s, int x, int y) {
    auto p = [&](int dx, int dy) -> std::int64_t { return clampedAt(s, x + dx, y + dy); };
    const std::int64_t gx =
        (p(1, -1) + 2 * p(1, 0) + p(1, 1)) - (p(-1, -1) + 2 * p(-1, 0) + p(-1, 1));
    const std::int64_t gy =
        (p(-1, 1) + 2 * p(0, 1) + p(1, 1)) - (p(-1, -1) + 2 * p(0, -1) + p(1, -1));
    return static_cast<std::int64_t>(std::lround(std::sqrt(double(gx * gx + gy * gy)) / 4.0));
}

}  // namespace

void applyPage(ProcessingPage page, GrayBuffer& image) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height) {
        return;
    }
    const int mx = image.maxValue;
    switch (page) {
        case ProcessingPage::kSmooth:
            perPixel(image, [](const GrayBuffer& s, int x, int y) {
                std::int64_t sum = 0;
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        sum += clampedAt(s, x + dx, y + dy);
                    }
                }
                return (sum + 4) / 9;
            });
            break;
        case ProcessingPage::kSharpen:
            perPixel(image, [](const GrayBuffer& s, int x, int y) {
                return std::int64_t{5} * clampedAt(s, x, y) - clampedAt(s, x - 1, y) -
                       clampedAt(s, x + 1, y) - clampedAt(s, x, y - 1) - clampedAt(s, x, y + 1);
            });
            break;
        case ProcessingPage::kMedian:
            perPixel(image, [](const GrayBuffer& s, int x, int y) {
                std::array<std::uint16_t, 9> v{};
                int n = 0;
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        v[static_cast<std::size_t>(n++)] = clampedAt(s, x + dx, y + dy);
                    }
                }
                std::nth_element(v.begin(), v.begin() + 4, v.end());
                return std::int64_t{v[4]};
            });
            break;
        case ProcessingPage::kEdgeEnhance:
            perPixel(image, [](const GrayBuffer& s, int x, int y) {
                return clampedAt(s, x, y) + sobel(s, x, y) / 2;
            });
            break;
        case ProcessingPage::kEdgeDetect:
            perPixel(image, [](const GrayBuffer& s, int x, int y) { return sobel(s, x, y); });
            break;
        case ProcessingPage::kInvert:
            for (auto& p : image.pixels) {
                p = static_cast<std::uint16_t>(mx - std::min<int>(p, mx));
            }
            break;
        case ProcessingPage::kEqualize: {
            std::vector<std::uint64_t> cdf(static_cast<std::size_t>(mx) + 1, 0);
            for (auto p : image.pixels) {
                ++cdf[std::min<std::size_t>(p, static_cast<std::size_t>(mx))];
            }
            for (std::size_t i = 1; i < cdf.size(); ++i) {
                cdf[i] += cdf[i - 1];
            }
            const std::uint64_t total = image.pixels.size();
            std::uint64_t low = 0;
            for (auto c : cdf) {
                if (c > 0) {
                    low = c;
                    break;
                }
            }
            for (auto& p : image.pixels) {
                const std::uint64_t c = cdf[std::min<std::size_t>(p, static_cast<std::size_t>(mx))];
                p = total == low ? p : static_cast<std::uint16_t>((c - low) * mx / (total - low));
            }
            break;
        }
        case ProcessingPage::kStretch: {
            std::vector<std::uint16_t> sorted = image.pixels;
            const std::size_t n = sorted.size();
            const std::size_t iLo = n / 200;
            const std::size_t iHi = n - 1 - n / 200;
            std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(iLo),
                             sorted.end());
            const int lo = sorted[iLo];
            std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(iHi),
                             sorted.end());
            const int hi = sorted[iHi];
            if (hi > lo) {
                const auto table = remapTable(mx + 1, mx, lo, hi, 1.0, false);
                for (auto& p : image.pixels) {
                    p = table[std::min<std::size_t>(p, static_cast<std::size_t>(mx))];
                }
            }
            break;
        }
        case ProcessingPage::kGamma: {
            std::vector<std::uint16_t> table(static_cast<std::size_t>(mx) + 1);
            for (int i = 0; i <= mx; ++i) {
                table[static_cast<std::size_t>(i)] =
                    static_cast<std::uint16_t>(std::lround(mx * std::sqrt(double(i) / mx)));
            }
            for (auto& p : image.pixels) {
                p = table[std::min<std::size_t>(p, static_cast<std::size_t>(mx))];
            }
            break;
        }
        case ProcessingPage::kMirror:
            for (int y = 0; y < image.height; ++y) {
                auto row = image.pixels.begin() + static_cast<std::ptrdiff_t>(y) * image.width;
                std::reverse(row, row + image.width);
            }
            break;
    }
}

}  // namespace wirebench
