// What user mode sees of the single-sensor board driver: device names, control codes, records.
#pragma once

#include <cstdint>

namespace zephdrv {

constexpr char kWin32NamePrefix[] = "\\\\.\\ZephDriver";  // followed by the index 0-9

constexpr uint32_t kIoctlSetBinning = 0x80002000;
constexpr uint32_t kIoctlSetThreshold = 0x80002004;
constexpr uint32_t kIoctlSetDelay = 0x80002008;
constexpr uint32_t kIoctlNotImplemented = 0x80002010;
constexpr uint32_t kIoctlGatherPerformanceData = 0x80002014;
constexpr uint32_t kIoctlReset = 0x80002018;
constexpr uint32_t kIoctlDumpRegisters = 0x80002024;
constexpr uint32_t kIoctlReadNvram = 0x8000202C;
constexpr uint32_t kIoctlWriteNvram = 0x80002030;
constexpr uint32_t kIoctlWriteCommand = 0x80002034;
constexpr uint32_t kIoctlTestSensor = 0x8000203C;
constexpr uint32_t kIoctlSetPowerState = 0x80002040;

constexpr uint32_t kTestKey = 0x1234;

enum TestResult : uint32_t {
    kSensorAnswered = 0,
    kWrongKey = 1,
    kCommandNotAccepted = 2,
    kFifoNotDrained = 3,
    kNothingArrived = 4,
    kNoAnswerMarker = 5,
};

#pragma pack(push, 1)
struct TestRecord {
    uint32_t key;
    uint32_t result;
};
struct BinningRequest {
    uint16_t p;
    uint16_t q;
};
#pragma pack(pop)
static_assert(sizeof(TestRecord) == 8, "test record layout");

inline const char* TestResultText(uint32_t result) {
    switch (result) {
        case kSensorAnswered:
            return "sensor answered";
        case kWrongKey:
            return "wrong key";
        case kCommandNotAccepted:
            return "command not accepted";
        case kFifoNotDrained:
            return "FIFO not drained";
        case kNothingArrived:
            return "nothing arrived";
        case kNoAnswerMarker:
            return "data without the answer marker";
        default:
            return "unknown";
    }
}

}  // namespace zephdrv
