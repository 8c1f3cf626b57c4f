// Grey-level image algorithms of the processing and view windows: histogram scale and step curve,
// remap table, window markers, line profile, display adjustments and the processing pages.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace wirebench {

// Number of histogram levels of an image: 256 up to 8 bits (and for colour images, which are
// taken at their 8-bit luminance), 2^significantBits for deeper grey images.
int histogramLevels(int bitsPerPixel, int significantBits, bool gray);

// White level of the remap: 2^bits - 1 for grey images, 255 for colour images.
int whiteLevel(int bitsPerPixel, int significantBits, bool gray);

struct HistogramOptions {
    bool dropEdges = false;
    bool ignoreFirstQuarter = false;
    bool ignoreSingleMax = false;
};

// How the counts are scaled and drawn.
struct HistogramScale {
    int levels = 0;         // L
    int first = 0;          // first level drawn
    int last = -1;          // last level drawn
    int quarter = 0;        // Q (first level of the curve with "ignore first 1/4")
    std::uint64_t max = 0;  // M, the count at the top of the drawing (never 0 when drawn)
    int peak = -1;          // P
    bool spike = false;     // P is an isolated spike and is drawn at its neighbour's height
    // Counts as drawn: the first quarter empty when ignored, the spike clipped.
    std::vector<std::uint64_t> drawn;
};

// Scales the counts of levels 0..levels-1 (counts shorter than levels read as 0, longer are cut).
HistogramScale scaleHistogram(const std::vector<std::uint32_t>& counts, int levels,
                              const HistogramOptions& options);

struct CurvePoint {
    int level = 0;
    std::uint64_t count = 0;
};

// The step curve of drawn counts from scale.first to scale.last: vertices of a polyline that runs
// horizontally at each count and steps vertically where the count changes. With "ignore first
// 1/4" it starts with the bottom line from the first level to Q - 1.
std::vector<CurvePoint> histogramSteps(const HistogramScale& scale);

// Remap table of one entry per level: below lo 0, above hi 0 (outsideBlack) or white, from lo to
// hi a curve from 0 to white: straight for factor 1.0, (t^factor) otherwise. lo and hi are put in
// order and into range; lo == hi gives a step from 0 to white at lo.
std::vector<std::uint16_t> remapTable(int levels, int white, int lo, int hi, double factor,
                                      bool outsideBlack);

// Three markers on a strip: positions are the markers' left edges in strip pixels.
class MarkerStrip {
public:
    MarkerStrip(int stripWidth, int markerWidth);
    void resize(int stripWidth);  // keeps the levels the markers point at
    int stripWidth() const { return stripWidth_; }
    int markerWidth() const { return markerWidth_; }
    int position(int marker) const { return pos_[marker]; }
    // The marker under x (its left to its right edge), the middle one winning; -1 when none.
    int hit(int x) const;
    // Mouse down: grab the marker under x; mouse up: release.
    int press(int x);
    void release() { grabbed_ = -1; }
    int grabbed() const { return grabbed_; }
    // Drag of the grabbed marker to pointer x; false when nothing moved.
    bool dragTo(int x);
    // Lower to the left edge, upper flush right, middle half-way.
    void reset();
    // Level a marker points at: the range of left edges 0..stripWidth-markerWidth maps onto
    // 0..levels-1, so a marker flush right reads as levels - 1.
    int level(int marker, int levels) const;
    // Left edge for a level (the inverse, rounded).
    int positionOf(int level, int levels) const;
    void setLevels(int lo, int hi, int levels);

private:
    int maxPos() const { return stripWidth_ > markerWidth_ ? stripWidth_ - markerWidth_ : 0; }
    void centreMiddle() { pos_[1] = (pos_[0] + pos_[2]) / 2; }

    int stripWidth_;
    int markerWidth_;
    int pos_[3] = {0, 0, 0};
    int grabbed_ = -1;
    int grabX_ = 0;
    int grabPos_[3] = {0, 0, 0};
    double fraction_[3] = {0.0, 0.5, 1.0};
};

struct PixelPoint {
    int x = 0;
    int y = 0;
};

// Pixels along a line from (x1, y1) to (x2, y2), stepping along the longer axis; points outside
// width x height are left out.
std::vector<PixelPoint> linePixels(int x1, int y1, int x2, int y2, int width, int height);

// Grey image in memory: one 16-bit value per pixel, row by row, values 0..maxValue.
struct GrayBuffer {
    int width = 0;
    int height = 0;
    int maxValue = 255;
    std::vector<std::uint16_t> pixels;
    std::uint16_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};

// Display adjustments of the view window.
constexpr int kAdjustLimit = 1000;  // brightness and contrast -1000..1000, 0 neutral
constexpr int kGammaNeutral = 100;  // gamma 1..1000, 100 neutral
constexpr int kGammaMin = 1;
constexpr int kGammaMax = 1000;
constexpr int kDragScale = 2000;  // a full screen of drag spans 2000 steps

struct DragAdjust {
    int brightness = 0;  // from the horizontal distance
    int contrast = 0;    // from the vertical distance (upwards raises it)
};
DragAdjust adjustFromDrag(int dx, int dy, int screenWidth, int screenHeight);
int gammaFromDrag(int dx, int dy, int screenWidth, int screenHeight);

// 8-bit display table for levels 0..maxValue: the window lo..hi stretched over 0..255, then
// contrast, brightness and gamma (gamma 100 neutral, above brightens).
std::vector<std::uint8_t> displayTable(int maxValue, int windowLo, int windowHi, int brightness,
                                       int contrast, int gamma);
// The same mapping as arithmetic: level v shows adjust[(clamp(v - lo, 0, span) * 255 + span / 2)
// / span]; the table above is this evaluated for every level.
struct DisplayWindow {
    int lo = 0;
    int span = 1;  // 1..65535
    std::array<std::uint8_t, 256> adjust{};
};
DisplayWindow displayWindow(int maxValue, int windowLo, int windowHi, int brightness, int contrast,
                            int gamma);
// 16-bit values to 8 bits over 0..maxValue straight (no adjustment).
DisplayWindow straightWindow(int maxValue);

// One row through a display table: dst[i] = table[min(src[i], table size - 1)].
void mapRow(const std::uint16_t* src, std::size_t count, const std::vector<std::uint8_t>& table,
            std::uint8_t* dst);

// Processing pages of the view window, by the flag values the keys F2..F12 carry.
enum class ProcessingPage {
    kSmooth,
    kSharpen,
    kMedian,
    kEdgeEnhance,
    kEdgeDetect,
    kInvert,
    kEqualize,
    kStretch,
    kGamma,
    kMirror,
};
struct PageInfo {
    ProcessingPage page;
    std::uint32_t flag;
    const char* title;
    const char* description;
};
// F2..F11 in key order.
const std::vector<PageInfo>& processingPages();
constexpr std::uint32_t kFurtherProcessingFlag = 0xC2000000u;  // F12: every page to choose from
const PageInfo* pageByFlag(std::uint32_t flag);
// Applies one page to the buffer (values stay within 0..maxValue).
void applyPage(ProcessingPage page, GrayBuffer& image);

}  // namespace wirebench
