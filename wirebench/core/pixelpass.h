// Whole-image pixel passes of the image windows: 16-bit table lookups and level counts, with
// vector paths picked at run time and the work of large images shared by two threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/imaging.h"

namespace wirebench {

// Which code runs a pass: the portable one or a vector one the processor has (AVX-512 with
// F, BW and VBMI).
enum class PixelPath { kPortable, kAvx2, kAvx512 };
PixelPath bestPixelPath();
// Paths this processor can run, the portable one first.
std::vector<PixelPath> availablePixelPaths();

// The path table lookups take by default: gathers lose to one load per value on the processors
// measured, so the plain loop.
PixelPath lookupPixelPath();

// Entries past the 65536 levels a full table carries, so a vector lane may read whole words.
constexpr std::size_t kPixelTablePad = 4;
constexpr std::size_t kPixelLevels = 65536;

// A table for every 16-bit value (plus the pad): entry v = table[min(v, table size - 1)].
std::vector<std::uint8_t> fullTable8(const std::vector<std::uint8_t>& table);
std::vector<std::uint16_t> fullTable16(const std::vector<std::uint16_t>& table);

// dst[i] = table[src[i]]; table from fullTable8 / fullTable16.
void lookupPixels8(const std::uint16_t* src, std::size_t count, const std::uint8_t* table,
                   std::uint8_t* dst, PixelPath path = lookupPixelPath());
void lookupPixels16(const std::uint16_t* src, std::size_t count, const std::uint16_t* table,
                    std::uint16_t* dst, PixelPath path = lookupPixelPath());
// Adds each value's count to counts[65536].
void countPixels16(const std::uint16_t* src, std::size_t count, std::uint32_t* counts,
                   PixelPath path = bestPixelPath());

// Maps 16-bit values through a display window to 8 bits: vector arithmetic where the processor
// has it, else a full table built once; the same result either way.
class WindowMap {
public:
    explicit WindowMap(const DisplayWindow& window, PixelPath path = bestPixelPath());
    void apply(const std::uint16_t* src, std::size_t count, std::uint8_t* dst) const;

private:
    DisplayWindow window_;
    PixelPath path_;
    std::vector<std::uint8_t> table_;  // full table, when not computed
};

// Runs band(first row, end row) over rows 0..rows, in two halves on two threads when the image
// is large enough to gain from it (pixels = rows * width).
void forRowBands(int rows, std::size_t pixels, const std::function<void(int, int)>& band);
// Threads forRowBands may use: 1 or 2 (the default; 1 on a single-core machine).
void setPixelPassThreads(int threads);
int pixelPassThreads();

}  // namespace wirebench
