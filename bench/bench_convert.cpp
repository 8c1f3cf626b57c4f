// The capture library's payload converter against memcpy of the same bytes, 16- and 8-bit
// payloads of a 1638 x 1248 sensor.
#include "Converter.h"

#include "bench_summary.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kWidth = 1638;
constexpr std::uint32_t kHeight = 1248;
constexpr std::uint32_t kHeaderBytes = 54;

// A bitmap payload with the header fields the converter reads and varied pixel bytes.
std::vector<std::uint8_t> Payload(std::uint16_t bits) {
    const std::size_t pixelBytes = std::size_t{kWidth} * kHeight * (bits / 8);
    std::vector<std::uint8_t> payload(kHeaderBytes + pixelBytes);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            payload[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    payload[0] = 'B';
    payload[1] = 'M';
    put32(10, kHeaderBytes);
    put32(18, kWidth);
    put32(22, kHeight);
    payload[28] = static_cast<std::uint8_t>(bits);
    std::uint32_t seed = 1;
    for (std::size_t i = kHeaderBytes; i < payload.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        payload[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return payload;
}

template <void (*Convert)(const std::uint8_t*, const zephif::BitmapLayout&, std::uint16_t*)>
void BM_Convert(benchmark::State& state) {
    const auto payload = Payload(static_cast<std::uint16_t>(state.range(0)));
    const auto layout = zephif::ReadBitmapLayout(payload.data(), payload.size());
    if (!layout) {
        state.SkipWithError("payload refused");
        return;
    }
    std::vector<std::uint16_t> out(layout->PixelCount());
    for (auto _ : state) {
        Convert(payload.data(), *layout, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(layout->PixelCount()));
}

// memcpy of the payload's pixel bytes, into a block as large as the converter writes.
void BM_Memcpy(benchmark::State& state) {
    const auto payload = Payload(static_cast<std::uint16_t>(state.range(0)));
    const std::size_t bytes = payload.size() - kHeaderBytes;
    std::vector<std::uint16_t> out(std::size_t{kWidth} * kHeight);
    for (auto _ : state) {
        std::memcpy(out.data(), payload.data() + kHeaderBytes, bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    // Pixels per second, to compare with the converter directly.
    state.SetItemsProcessed(state.iterations() * std::int64_t{kWidth} * kHeight);
}

BENCHMARK(BM_Convert<zephif::ConvertPixels>)->Name("Convert16")->Arg(16);
BENCHMARK(BM_Convert<zephif::ConvertPixelsPortable>)->Name("ConvertPortable16")->Arg(16);
BENCHMARK(BM_Memcpy)->Name("Memcpy16")->Arg(16);
BENCHMARK(BM_Convert<zephif::ConvertPixels>)->Name("Convert8")->Arg(8);
BENCHMARK(BM_Convert<zephif::ConvertPixelsPortable>)->Name("ConvertPortable8")->Arg(8);
BENCHMARK(BM_Memcpy)->Name("Memcpy8")->Arg(8);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* depth : {"16", "8"}) {
        const double convert = reporter.Rate(std::string("Convert") + depth);
        const double portable = reporter.Rate(std::string("ConvertPortable") + depth);
        const double copy = reporter.Rate(std::string("Memcpy") + depth);
        if (convert > 0 && copy > 0)
            std::printf(
                "%s-bit payload %ux%u: converter %.0f Mpixel/s, portable loop %.0f Mpixel/s, "
                "memcpy of the same bytes %.0f Mpixel/s; ratio %.2f (portable %.2f)\n",
                depth, kWidth, kHeight, convert / 1e6, portable / 1e6, copy / 1e6, convert / copy,
                portable / copy);
    }
    return 0;
}
