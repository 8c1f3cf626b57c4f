// Whole-image pixel passes: portable loops, AVX2 and AVX-512 gathers chosen at run time, and a
// second thread that takes half of a large image.
#include "core/pixelpass.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 headers start some results from a deliberately undefined register and then
// warn about it where they are inlined.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#define WIREBENCH_X86 1
#endif

namespace wirebench {

namespace {

// Below this many pixels a second thread costs more than it saves.
constexpr std::size_t kTwoThreadPixels = 256 * 1024;
// Sub-histograms counted side by side, so neighbouring equal pixels do not wait on each other.
constexpr std::size_t kSubHistograms = 4;

// ---- portable ----

void lookup8Portable(const std::uint16_t* src, std::size_t n, const std::uint8_t* t,
                     std::uint8_t* dst) {
    for (std::size_t i = 0; i < n; ++i) {
        dst[i] = t[src[i]];
    }
}

void lookup16Portable(const std::uint16_t* src, std::size_t n, const std::uint16_t* t,
                      std::uint16_t* dst) {
    for (std::size_t i = 0; i < n; ++i) {
        dst[i] = t[src[i]];
    }
}

std::uint16_t maxPortable(const std::uint16_t* src, std::size_t n) {
    std::uint16_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        m = std::max(m, src[i]);
    }
    return m;
}

// Counts into kSubHistograms tables of (largest value + 1) entries each, then adds them up.
void countWithSubHistograms(const std::uint16_t* src, std::size_t n, std::uint32_t* counts,
                            std::uint16_t largest) {
    const std::size_t levels = std::size_t{largest} + 1;
    thread_local std::vector<std::uint32_t> scratch;
    scratch.assign(levels * kSubHistograms, 0);
    std::uint32_t* h0 = scratch.data();
    std::uint32_t* h1 = h0 + levels;
    std::uint32_t* h2 = h1 + levels;
    std::uint32_t* h3 = h2 + levels;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++h0[src[i]];
        ++h1[src[i + 1]];
        ++h2[src[i + 2]];
        ++h3[src[i + 3]];
    }
    for (; i < n; ++i) {
        ++h0[src[i]];
    }
    for (std::size_t v = 0; v < levels; ++v) {
        counts[v] += h0[v] + h1[v] + h2[v] + h3[v];
    }
}

void countPortable(const std::uint16_t* src, std::size_t n, std::uint32_t* counts) {
    countWithSubHistograms(src, n, counts, maxPortable(src, n));
}

#ifdef WIREBENCH_X86

// ---- AVX2 ----

__attribute__((target("avx2"))) void lookup8Avx2(const std::uint16_t* src, std::size_t n,
                                                 const std::uint8_t* t, std::uint8_t* dst) {
    const auto* base = reinterpret_cast<const int*>(t);
    const __m256i low = _mm256_set1_epi32(0xFF);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i a = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(v));
        const __m256i b = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1));
        const __m256i ga = _mm256_and_si256(_mm256_i32gather_epi32(base, a, 1), low);
        const __m256i gb = _mm256_and_si256(_mm256_i32gather_epi32(base, b, 1), low);
        // Lanes come back interleaved by 128-bit halves: put them in order before narrowing.
        const __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(ga, gb), 0xD8);
        const __m128i bytes =
            _mm_packus_epi16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), bytes);
    }
    lookup8Portable(src + i, n - i, t, dst + i);
}

__attribute__((target("avx2"))) void lookup16Avx2(const std::uint16_t* src, std::size_t n,
                                                  const std::uint16_t* t, std::uint16_t* dst) {
    const auto* base = reinterpret_cast<const int*>(t);
    const __m256i low = _mm256_set1_epi32(0xFFFF);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i a = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(v));
        const __m256i b = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1));
        const __m256i ga = _mm256_and_si256(_mm256_i32gather_epi32(base, a, 2), low);
        const __m256i gb = _mm256_and_si256(_mm256_i32gather_epi32(base, b, 2), low);
        const __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(ga, gb), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), w);
    }
    lookup16Portable(src + i, n - i, t, dst + i);
}

__attribute__((target("avx2"))) std::uint16_t maxAvx2(const std::uint16_t* src, std::size_t n) {
    __m256i m = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        m = _mm256_max_epu16(m, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
    }
    alignas(32) std::uint16_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), m);
    std::uint16_t r = maxPortable(src + i, n - i);
    for (const std::uint16_t l : lanes) {
        r = std::max(r, l);
    }
    return r;
}

void countAvx2(const std::uint16_t* src, std::size_t n, std::uint32_t* counts) {
    countWithSubHistograms(src, n, counts, maxAvx2(src, n));
}

// ---- AVX-512 ----
// (Masked forms with every lane set: the unmasked ones start from an undefined register.)

constexpr __mmask16 kAllLanes = 0xFFFF;

__attribute__((target("avx512f,avx512bw"))) void lookup8Avx512(const std::uint16_t* src,
                                                               std::size_t n, const std::uint8_t* t,
                                                               std::uint8_t* dst) {
    const auto* base = reinterpret_cast<const int*>(t);
    const __m512i zero = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i idx = _mm512_maskz_cvtepu16_epi32(
            kAllLanes, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
        // The narrowing keeps each lane's low byte: the entry itself.
        const __m512i g = _mm512_mask_i32gather_epi32(zero, kAllLanes, idx, base, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm512_maskz_cvtepi32_epi8(kAllLanes, g));
    }
    lookup8Portable(src + i, n - i, t, dst + i);
}

__attribute__((target("avx512f,avx512bw"))) void lookup16Avx512(const std::uint16_t* src,
                                                                std::size_t n,
                                                                const std::uint16_t* t,
                                                                std::uint16_t* dst) {
    const auto* base = reinterpret_cast<const int*>(t);
    const __m512i zero = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i idx = _mm512_maskz_cvtepu16_epi32(
            kAllLanes, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
        const __m512i g = _mm512_mask_i32gather_epi32(zero, kAllLanes, idx, base, 2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                            _mm512_maskz_cvtepi32_epi16(kAllLanes, g));
    }
    lookup16Portable(src + i, n - i, t, dst + i);
}

// (clamp(v - lo, 0, span) * 255 + span / 2) / span for 16 values, in single precision: the
// numerator stays below 2^24 and so is exact; the reciprocal and the product are rounded up, so
// the estimate is the quotient or one more, and the exact remainder (a fused multiply-add) tells.
struct WindowConstants {
    __m512i lo, span, zero;
    __m512 spanF, inverseUp, half, f255, one, zeroF;
};

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline __m512i windowIndex(
    const WindowConstants& c, __m256i values) {
    const __m512i v = _mm512_maskz_cvtepu16_epi32(kAllLanes, values);
    const __m512i k = _mm512_min_epi32(_mm512_max_epi32(_mm512_sub_epi32(v, c.lo), c.zero), c.span);
    const __m512 num = _mm512_fmadd_ps(_mm512_cvtepi32_ps(k), c.f255, c.half);
    __m512 q = _mm512_roundscale_ps(
        _mm512_mul_round_ps(num, c.inverseUp, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC),
        _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512 r = _mm512_fnmadd_ps(q, c.spanF, num);
    q = _mm512_mask_sub_ps(q, _mm512_cmp_ps_mask(r, c.zeroF, _CMP_LT_OQ), q, c.one);
    return _mm512_cvttps_epi32(q);
}

// adjust[index] for 64 indices from four registers holding the 256 entries.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline __m512i adjustBytes(
    const __m512i* adjust, __m512i index) {
    const __m512i low = _mm512_permutex2var_epi8(adjust[0], index, adjust[1]);
    const __m512i high = _mm512_permutex2var_epi8(adjust[2], index, adjust[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void window8Avx512(const std::uint16_t* src,
                                                                          std::size_t n,
                                                                          const DisplayWindow& w,
                                                                          std::uint8_t* dst) {
    // 1 / span rounded up (checked exactly: a float times a 16-bit integer fits a double).
    float inverseUp = static_cast<float>(1.0 / w.span);
    while (static_cast<double>(inverseUp) * w.span < 1.0) {
        inverseUp = std::nextafter(inverseUp, 2.0f);
    }
    WindowConstants c;
    c.lo = _mm512_set1_epi32(w.lo);
    c.span = _mm512_set1_epi32(w.span);
    c.zero = _mm512_setzero_si512();
    c.spanF = _mm512_set1_ps(static_cast<float>(w.span));
    c.inverseUp = _mm512_set1_ps(inverseUp);
    c.half = _mm512_set1_ps(static_cast<float>(w.span / 2));
    c.f255 = _mm512_set1_ps(255.0f);
    c.one = _mm512_set1_ps(1.0f);
    c.zeroF = _mm512_setzero_ps();
    __m512i adjust[4];
    for (int j = 0; j < 4; ++j) {
        adjust[j] = _mm512_loadu_si512(w.adjust.data() + 64 * j);
    }
    // The two packs leave 4-pixel groups interleaved by 128-bit lane: this puts them in order.
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const auto* in = reinterpret_cast<const __m256i*>(src);
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64, in += 4) {
        const __m512i q0 = windowIndex(c, _mm256_loadu_si256(in));
        const __m512i q1 = windowIndex(c, _mm256_loadu_si256(in + 1));
        const __m512i q2 = windowIndex(c, _mm256_loadu_si256(in + 2));
        const __m512i q3 = windowIndex(c, _mm256_loadu_si256(in + 3));
        const __m512i packed =
            _mm512_packus_epi16(_mm512_packus_epi32(q0, q1), _mm512_packus_epi32(q2, q3));
        const __m512i index = _mm512_permutexvar_epi32(order, packed);
        _mm512_storeu_si512(dst + i, adjustBytes(adjust, index));
    }
    for (; i + 16 <= n; i += 16, ++in) {
        const __m512i q = windowIndex(c, _mm256_loadu_si256(in));
        const __m512i index = _mm512_castsi128_si512(_mm512_maskz_cvtepi32_epi8(kAllLanes, q));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm512_castsi512_si128(adjustBytes(adjust, index)));
    }
    for (; i < n; ++i) {
        const std::int64_t k = std::clamp<std::int64_t>(std::int64_t{src[i]} - w.lo, 0, w.span);
        dst[i] = w.adjust[static_cast<std::size_t>((k * 255 + w.span / 2) / w.span)];
    }
}

#endif  // WIREBENCH_X86

// A second thread kept for the passes: it takes one band while the caller does the other.
class BandWorker {
public:
    static BandWorker& instance() {
        static BandWorker w;
        return w;
    }

    // Runs second on the worker and first here; false (nothing run) when the worker is busy
    // with another caller's band.
    bool run(const std::function<void()>& first, const std::function<void()>& second) {
        std::unique_lock<std::mutex> claim(callerMutex_, std::try_to_lock);
        if (!claim.owns_lock()) {
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            task_ = &second;
            done_ = false;
        }
        wake_.notify_one();
        first();
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [&] { return done_; });
        task_ = nullptr;
        return true;
    }

    BandWorker(const BandWorker&) = delete;
    BandWorker& operator=(const BandWorker&) = delete;

private:
    BandWorker() : thread_([this] { loop(); }) {}
    ~BandWorker() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || (task_ != nullptr && !done_); });
            if (stop_) {
                return;
            }
            const std::function<void()>* task = task_;
            lock.unlock();
            (*task)();
            lock.lock();
            done_ = true;
            finished_.notify_one();
        }
    }

    std::mutex callerMutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    const std::function<void()>* task_ = nullptr;
    bool done_ = true;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace

PixelPath bestPixelPath() {
#ifdef WIREBENCH_X86
    static const PixelPath best = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vbmi")) {
            return PixelPath::kAvx512;
        }
        if (__builtin_cpu_supports("avx2")) {
            return PixelPath::kAvx2;
        }
        return PixelPath::kPortable;
    }();
    return best;
#else
    return PixelPath::kPortable;
#endif
}

std::vector<PixelPath> availablePixelPaths() {
    std::vector<PixelPath> paths{PixelPath::kPortable};
    const PixelPath best = bestPixelPath();
    if (best == PixelPath::kAvx2 || best == PixelPath::kAvx512) {
        paths.push_back(PixelPath::kAvx2);
    }
    if (best == PixelPath::kAvx512) {
        paths.push_back(PixelPath::kAvx512);
    }
    return paths;
}

PixelPath lookupPixelPath() {
    // Measured on the 1638 x 1248 benchmark picture (AMD EPYC with AVX-512): one load per value
    // 0.60 ms, AVX2 gathers 0.71 ms, AVX-512 gathers 0.77 ms. The gathers stay selectable.
    return PixelPath::kPortable;
}

std::vector<std::uint8_t> fullTable8(const std::vector<std::uint8_t>& table) {
    std::vector<std::uint8_t> full(kPixelLevels + kPixelTablePad, table.empty() ? 0 : table.back());
    std::copy_n(table.begin(), std::min(table.size(), kPixelLevels), full.begin());
    return full;
}

std::vector<std::uint16_t> fullTable16(const std::vector<std::uint16_t>& table) {
    std::vector<std::uint16_t> full(kPixelLevels + kPixelTablePad,
                                    table.empty() ? 0 : table.back());
    std::copy_n(table.begin(), std::min(table.size(), kPixelLevels), full.begin());
    return full;
}

void lookupPixels8(const std::uint16_t* src, std::size_t count, const std::uint8_t* table,
                   std::uint8_t* dst, PixelPath path) {
#ifdef WIREBENCH_X86
    if (path == PixelPath::kAvx512) {
        lookup8Avx512(src, count, table, dst);
        return;
    }
    if (path == PixelPath::kAvx2) {
        lookup8Avx2(src, count, table, dst);
        return;
    }
#endif
    (void)path;
    lookup8Portable(src, count, table, dst);
}

void lookupPixels16(const std::uint16_t* src, std::size_t count, const std::uint16_t* table,
                    std::uint16_t* dst, PixelPath path) {
#ifdef WIREBENCH_X86
    if (path == PixelPath::kAvx512) {
        lookup16Avx512(src, count, table, dst);
        return;
    }
    if (path == PixelPath::kAvx2) {
        lookup16Avx2(src, count, table, dst);
        return;
    }
#endif
    (void)path;
    lookup16Portable(src, count, table, dst);
}

void countPixels16(const std::uint16_t* src, std::size_t count, std::uint32_t* counts,
                   PixelPath path) {
#ifdef WIREBENCH_X86
    if (path != PixelPath::kPortable) {
        countAvx2(src, count, counts);
        return;
    }
#endif
    (void)path;
    countPortable(src, count, counts);
}

WindowMap::WindowMap(const DisplayWindow& window, PixelPath path) : window_(window), path_(path) {
    window_.span = std::clamp(window_.span, 1, 65535);
    window_.lo = std::clamp(window_.lo, 0, 65535);
    if (path_ == PixelPath::kAvx512) {
        return;
    }
    // Levels from lo + span up all show adjust[255]: the full table repeats its last entry.
    const std::size_t last = std::min<std::size_t>(
        static_cast<std::size_t>(window_.lo) + static_cast<std::size_t>(window_.span),
        kPixelLevels - 1);
    std::vector<std::uint8_t> table(last + 1);
    const std::int64_t span = window_.span;
    for (std::size_t v = 0; v <= last; ++v) {
        const std::int64_t k =
            std::clamp<std::int64_t>(static_cast<std::int64_t>(v) - window_.lo, 0, span);
        table[v] = window_.adjust[static_cast<std::size_t>((k * 255 + span / 2) / span)];
    }
    table_ = fullTable8(table);
}

void WindowMap::apply(const std::uint16_t* src, std::size_t count, std::uint8_t* dst) const {
#ifdef WIREBENCH_X86
    if (path_ == PixelPath::kAvx512) {
        window8Avx512(src, count, window_, dst);
        return;
    }
#endif
    // The machine's own choice of lookup unless a path was asked for.
    lookupPixels8(src, count, table_.data(), dst,
                  path_ == bestPixelPath() ? lookupPixelPath() : path_);
}

namespace {
std::atomic<int> passThreads{std::thread::hardware_concurrency() > 1 ? 2 : 1};
}  // namespace

void setPixelPassThreads(int threads) {
    passThreads = std::clamp(threads, 1, 2);
}

int pixelPassThreads() {
    return passThreads;
}

void forRowBands(int rows, std::size_t pixels, const std::function<void(int, int)>& band) {
    if (rows <= 0) {
        return;
    }
    if (rows >= 2 && pixels >= kTwoThreadPixels && passThreads > 1) {
        const int half = rows / 2;
        if (BandWorker::instance().run([&] { band(0, half); }, [&] { band(half, rows); })) {
            return;
        }
    }
    band(0, rows);
}

}  // namespace wirebench
