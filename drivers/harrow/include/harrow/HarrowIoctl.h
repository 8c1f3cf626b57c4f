// What user mode sees of the multi-sensor board driver: device names, control codes, records.
#pragma once

#include <cstdint>

namespace harrow {

constexpr char kWin32NamePrefix[] = "\\\\.\\HARROWDRIVER";  // followed by the index 0-9

constexpr uint32_t kIoctlNotImplemented = 0x80002010;
constexpr uint32_t kIoctlGatherPerformanceData = 0x80002014;
constexpr uint32_t kIoctlReset = 0x80002018;
constexpr uint32_t kIoctlDumpRegisters = 0x80002024;
constexpr uint32_t kIoctlReadNvram = 0x8000202C;
constexpr uint32_t kIoctlWriteNvram = 0x80002030;
constexpr uint32_t kIoctlSetPowerState = 0x80002040;
constexpr uint32_t kIoctlTestUnit = 0x80002190;

enum TestResult : uint32_t {
    kSensorIdentified = 0,
    kCableFault = 2,
    kDataHighAtRest = 5,
};

// Fault mask bits of the cable test.
enum CableFaultBits : uint32_t {
    kDataMovedWithSync = 0x0001,
    kDataMovedWithClock = 0x0002,
    kDataStuckLow = 0x0004,
    kDataStuckHigh = 0x0008,
    kSyncMovedWithData = 0x0010,
    kSyncMovedWithClock = 0x0020,
    kSyncStuckLow = 0x0040,
    kSyncStuckHigh = 0x0080,
    kClockMovedWithData = 0x0100,
    kClockMovedWithSync = 0x0200,
    kClockStuckLow = 0x0400,
    kClockStuckHigh = 0x0800,
};

constexpr uint32_t kMaxSamples = 15;

#pragma pack(push, 1)
struct CcdStatistics {
    uint32_t modelCode;
    uint32_t columns;
    uint32_t rows;
    uint32_t bitsPerPixel;
    uint32_t pixelCount;
    uint32_t fifoWordCount;
    uint32_t last;
};

struct CableSample {
    uint32_t written;
    uint32_t read;  // masked with 0xC080
};

// The 172-byte record of the test request, little-endian.
struct TestUnitRecord {
    uint32_t reserved;  // the caller's; the driver leaves it alone
    uint32_t result;
    uint32_t faultMask;
    CcdStatistics statistics;
    uint32_t sampleCount;
    CableSample samples[kMaxSamples];
    uint8_t spare[8];
};
#pragma pack(pop)
static_assert(sizeof(TestUnitRecord) == 172, "test record layout");
static_assert(sizeof(CcdStatistics) == 28, "statistics layout");

constexpr uint32_t kModelNone = 0;
constexpr uint32_t kModelZeph = 1;
constexpr uint32_t kModelOsprey = 2;
constexpr uint32_t kModelKestrel = 3;

inline const char* ModelName(uint32_t code) {
    switch (code) {
        case kModelZeph:
            return "Zeph";
        case kModelOsprey:
            return "Osprey";
        case kModelKestrel:
            return "Kestrel";
        default:
            return "none";
    }
}

// Unpacks FIFO words as the driver stores them (already complemented): three 10-bit pixels per
// word, first in bits 0-9. Writes at most `pixelCount` pixels.
inline void UnpackPixels(const uint32_t* words, uint32_t wordCount, uint16_t* pixels,
                         uint32_t pixelCount) {
    uint32_t p = 0;
    for (uint32_t i = 0; i < wordCount && p < pixelCount; ++i) {
        for (int k = 0; k < 3 && p < pixelCount; ++k) {
            pixels[p++] = static_cast<uint16_t>((words[i] >> (10 * k)) & 0x3FF);
        }
    }
}

}  // namespace harrow
