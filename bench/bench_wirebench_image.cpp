// Workbench image windows on a 1638 x 1248 16-bit phantom radiograph: histogram, remap and the view
// window's display table, each against a plain copy of the same pixels measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "components/leadimage.h"
#include "core/imaging.h"
#include "core/pixelpass.h"
#include "unitsim/image.h"

namespace {

constexpr int kWidth = 1638;
constexpr int kHeight = 1248;
constexpr int kSignificantBits = 12;
constexpr int kBaselineRounds = 30;

// The virtual unit's synthetic radiograph at this size, as the workbench holds 12-bit pixels.
const wirebench::LeadImage& picture() {
    static const wirebench::LeadImage img = [] {
        const unitsim::GrayImage phantom = unitsim::makePhantom(kWidth, kHeight, 1);
        wirebench::LeadImage i;
        i.create(kWidth, kHeight, 16);
        i.setSignificantBits(kSignificantBits);
        i.setGrayBuffer({kWidth, kHeight, 4095, phantom.pixels});
        return i;
    }();
    return img;
}

// Seconds of one plain copy of the picture's pixels (the best of several rounds).
double copySeconds() {
    static const double seconds = [] {
        const QImage& src = picture().image();
        const auto bytes = static_cast<std::size_t>(src.sizeInBytes());
        std::vector<unsigned char> dst(bytes);
        double best = 1e9;
        for (int r = 0; r < kBaselineRounds; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            std::memcpy(dst.data(), src.constBits(), bytes);
            benchmark::DoNotOptimize(dst.data());
            benchmark::ClobberMemory();
            best = std::min(
                best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
        return best;
    }();
    return seconds;
}

// One value at a time, never turned into vector code.
__attribute__((noinline, optimize("no-tree-vectorize"))) void topBitsScalar(const std::uint16_t* in,
                                                                            std::size_t n,
                                                                            std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(in[i] >> 4);
    }
}

// Seconds of one plain scalar pass over the pixels (each 16-bit value to its top 8 bits, one at a
// time): the second yardstick, what a straightforward loop over the picture costs.
double scalarSeconds() {
    static const double seconds = [] {
        const QImage& src = picture().image();
        const auto* in = reinterpret_cast<const std::uint16_t*>(src.constBits());
        const std::size_t n = static_cast<std::size_t>(src.sizeInBytes()) / 2;
        std::vector<std::uint8_t> dst(n);
        double best = 1e9;
        for (int r = 0; r < kBaselineRounds; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            topBitsScalar(in, n, dst.data());
            benchmark::DoNotOptimize(dst.data());
            benchmark::ClobberMemory();
            best = std::min(
                best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
        return best;
    }();
    return seconds;
}

// Runs body per iteration with the pixel passes on the argument's number of threads (1 or 2) and
// reports its time as a multiple of the plain copy (and of the plain scalar pass).
template <typename F>
void timed(benchmark::State& state, F body) {
    wirebench::setPixelPassThreads(static_cast<int>(state.range(0)));
    const double baseline = copySeconds();
    double total = 0;
    std::int64_t n = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        body();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ++n;
    }
    state.counters["x_copy"] = n > 0 ? (total / n) / baseline : 0;
    state.counters["copy_us"] = baseline * 1e6;
    const double scalar = scalarSeconds();
    state.counters["x_scalar"] = n > 0 ? (total / n) / scalar : 0;
    state.counters["scalar_us"] = scalar * 1e6;
}

void BM_PlainCopy(benchmark::State& state) {
    const QImage& src = picture().image();
    const auto bytes = static_cast<std::size_t>(src.sizeInBytes());
    std::vector<unsigned char> dst(bytes);
    timed(state, [&] {
        std::memcpy(dst.data(), src.constBits(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    });
}

void BM_Histogram(benchmark::State& state) {
    timed(state, [] { benchmark::DoNotOptimize(picture().histogram()); });
}

// What a marker move does: the table, a fresh copy of the untouched picture, the remap.
void BM_Remap(benchmark::State& state) {
    int lo = 400;
    timed(state, [&] {
        lo = lo == 400 ? 401 : 400;
        const auto table = wirebench::remapTable(4096, 4095, lo, 3500, 1.7, false);
        const wirebench::LeadImage img = picture().remapped(table);
        benchmark::DoNotOptimize(img.image().constBits());
    });
}

// A marker move as the processing window shows it: the remap and the picture at 8 bits.
void BM_RemapAndShow(benchmark::State& state) {
    int lo = 400;
    timed(state, [&] {
        lo = lo == 400 ? 401 : 400;
        const auto table = wirebench::remapTable(4096, 4095, lo, 3500, 1.7, false);
        const wirebench::LeadImage img = picture().remapped(table);
        benchmark::DoNotOptimize(img.displayImage().constBits());
    });
}

// What a drag in the view window does: the display table and one pass to 8 bits.
void BM_ViewAdjust(benchmark::State& state) {
    const QImage& src = picture().image();
    int b = 0;
    timed(state, [&] {
        b = (b + 7) % 1000;
        const wirebench::WindowMap map(wirebench::displayWindow(4095, 0, 4095, b, 300, 180));
        const QImage shown = wirebench::LeadImage::windowGray8(src, map);
        benchmark::DoNotOptimize(shown.constBits());
    });
}

BENCHMARK(BM_PlainCopy)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Histogram)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Remap)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemapAndShow)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ViewAdjust)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
