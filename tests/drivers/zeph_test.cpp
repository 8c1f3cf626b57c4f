// The single-sensor board driver against its simulated board, through the user-mode calls.
#include "driver_fixture.h"

#include <boardsim/Boards.h>
#include <zephdrv/ZephDriver.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace drivertest;
using boardsim::ZephBoard;
using boardsim::ZephBoardConfig;

namespace {

class ZephTest : public ZephDriverTest {
protected:
    DWORD Power(ULONG on) { return CallWith(file_, zephdrv::kIoctlSetPowerState, on); }

    zephdrv::TestRecord RunTest(uint32_t key, DWORD* error = nullptr) {
        zephdrv::TestRecord record{key, 0xFFFFFFFF};
        std::vector<uint8_t> out;
        DWORD bytes = 0;
        DWORD e = CallWith(file_, zephdrv::kIoctlTestSensor, record, &out, sizeof record, &bytes);
        if (error != nullptr)
            *error = e;
        EXPECT_EQ(bytes, 8u);
        std::memcpy(&record, out.data(), sizeof record);
        return record;
    }
};

struct TestCase {
    const char* name;
    ZephBoardConfig config;
    bool powerFirst;
    uint32_t key;
    uint32_t result;
};

const TestCase kTestCases[] = {
    {"Answered", {}, true, zephdrv::kTestKey, zephdrv::kSensorAnswered},
    {"WrongKey", {}, true, 0x4321, zephdrv::kWrongKey},
    {"CommandNotAccepted",
     {.commandBusyStuck = true},
     false,
     zephdrv::kTestKey,
     zephdrv::kCommandNotAccepted},
    {"FifoNotDrained", {.fifoStuck = true}, false, zephdrv::kTestKey, zephdrv::kFifoNotDrained},
    {"NothingArrived", {.sensorPresent = false}, true, zephdrv::kTestKey, zephdrv::kNothingArrived},
    {"SensorOff", {}, false, zephdrv::kTestKey, zephdrv::kNothingArrived},
    {"NoAnswerMarker",
     {.answerWithoutBit18 = true},
     true,
     zephdrv::kTestKey,
     zephdrv::kNoAnswerMarker},
};

class ZephSensorTest : public ZephTest, public ::testing::WithParamInterface<TestCase> {};

TEST_P(ZephSensorTest, CompletesWithItsResult) {
    const TestCase& c = GetParam();
    Start(c.config);
    if (c.powerFirst) {
        ASSERT_EQ(Power(1), 0u);
    }
    const uint64_t before = board_->AccessCount();
    DWORD error = 1;
    zephdrv::TestRecord record = RunTest(c.key, &error);
    EXPECT_EQ(error, 0u);  // the result is in the record, the request itself succeeds
    EXPECT_EQ(record.key, c.key);
    EXPECT_EQ(record.result, c.result);
    if (c.result == zephdrv::kWrongKey) {
        EXPECT_EQ(board_->AccessCount(), before);
    }
    if (c.result != zephdrv::kWrongKey && c.result != zephdrv::kSensorAnswered) {
        EXPECT_EQ(board_->ModeByte(), 32);  // powered off
        EXPECT_TRUE(board_->LocalResetAsserted());
        EXPECT_FALSE(Driver()->PowerFlag());
    }
    if (c.result == zephdrv::kSensorAnswered) {
        EXPECT_GE(board_->Line().ClaimedCount(), 10u);
        EXPECT_TRUE(board_->SensorPowered());
    }
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
    EXPECT_EQ(board_->ModeByte() & 3, 0);
}

INSTANTIATE_TEST_SUITE_P(Results, ZephSensorTest, ::testing::ValuesIn(kTestCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(ZephTest, DispatchChecksExactInputLengths) {
    Start();
    struct LengthCase {
        DWORD code;
        DWORD length;
        DWORD error;
    };
    const LengthCase cases[] = {
        {zephdrv::kIoctlWriteNvram, 5, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlWriteNvram, 7, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlSetBinning, 2, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlSetThreshold, 4, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlSetDelay, 2, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlGatherPerformanceData, 0, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlDumpRegisters, 4, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlReadNvram, 6, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlWriteCommand, 2, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlTestSensor, 7, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlSetPowerState, 8, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlNotImplemented, 4, ERROR_INVALID_PARAMETER},
        {zephdrv::kIoctlNotImplemented, 0, ERROR_INVALID_FUNCTION},  // queued, then refused at once
        {0x8000200C, 0, ERROR_INVALID_FUNCTION},
        {0x80002190, 172, ERROR_INVALID_FUNCTION},
    };
    std::vector<uint8_t> input(256, 0);
    for (const auto& c : cases) {
        const uint64_t before = board_->AccessCount();
        EXPECT_EQ(Call(file_, c.code, input.data(), c.length, nullptr, 256), c.error)
            << std::hex << c.code << " length " << std::dec << c.length;
        EXPECT_EQ(board_->AccessCount(), before);
    }
    Request zero;
    zero.Read(file_, 0);
    EXPECT_EQ(zero.Wait(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ZephTest, CommandsCarryBinningThresholdAndBitEleven) {
    Start();
    EXPECT_EQ(Driver()->Binning(), 0x78);  // P = 32, Q = 8 at board start
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlSetBinning, zephdrv::BinningRequest{20, 3}), 0u);
    EXPECT_EQ(Driver()->Binning(), 0x067D);  // (-20 & 0x1F) << 7 | (-3 & 0x7F)
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlSetThreshold, USHORT{0x0123}), 0u);
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlSetDelay, ULONG{77}), 0u);
    EXPECT_EQ(Driver()->Delay(), 77u);

    const USHORT binning = Driver()->Binning();
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlWriteCommand, ULONG{0x8000}), 0u);
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlWriteCommand, ULONG{0x9000}), 0u);
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlWriteCommand, ULONG{0x0800}), 0u);
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlWriteCommand, ULONG{0x4000}), 0u);
    std::vector<USHORT> commands = board_->Commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0], 0x8000 | binning);
    EXPECT_EQ(commands[1], 0x9000 | 0x0123);
    EXPECT_EQ(commands[2], 0x0800 | binning);
    EXPECT_EQ(commands[3], 0x4000 | binning | 0x0800);  // bit 11 carried over
}

TEST_F(ZephTest, CommandNotAcceptedTimesOut) {
    Start({.commandBusyStuck = true});
    EXPECT_EQ(CallWith(file_, zephdrv::kIoctlWriteCommand, ULONG{0x8000}),
              static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_TRUE(board_->Commands().empty());
}

TEST_F(ZephTest, PowerOnWakesTheSensorAfterItsTimers) {
    Start();
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, zephdrv::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    EXPECT_TRUE(board_->SensorPowered());
    EXPECT_EQ(board_->ModeByte(), 64);
    EXPECT_FALSE(board_->SensorAwake());
    ASSERT_TRUE(wdm::RunNextTimer());
    EXPECT_TRUE(board_->SensorAwake());
    EXPECT_TRUE(power.Pending());
    EXPECT_EQ(power.Finish(), 0u);
    KeQuerySystemTime(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 4000LL * 10000);
    std::vector<USHORT> commands = board_->Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], 0xAA00);
    EXPECT_EQ(commands[1], 0x0800 | Driver()->Binning());  // command 0, bit 11 carried

    ASSERT_EQ(Power(0), 0u);
    EXPECT_FALSE(board_->SensorPowered());
    EXPECT_EQ(board_->ModeByte(), 32);
    EXPECT_TRUE(board_->LocalResetAsserted());
}

TEST_F(ZephTest, PowerOnWhoseCheckIsRefusedReportsAFailure) {
    Start({.commandBusyStuck = true});
    EXPECT_EQ(Power(1), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
}

TEST_F(ZephTest, CancelledPowerOnStillWakesTheSensorBeforeTheNextRequest) {
    Start({.burstWords = 2000});
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, zephdrv::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    CancelIo(file_);
    EXPECT_EQ(power.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // The wake sequence runs on; the read queued meanwhile starts once it has ended.
    Request read;
    const DWORD pixels = ZephBoard::kColumns * ZephBoard::kRows;
    ASSERT_TRUE(read.Read(file_, pixels * 2));
    EXPECT_TRUE(board_->Commands().empty());
    EXPECT_EQ(read.Finish(), 0u);
    EXPECT_EQ(read.Bytes(), pixels * 2);
    EXPECT_TRUE(board_->SensorAwake());
    std::vector<USHORT> commands = board_->Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], 0xAA00);
}

TEST_F(ZephTest, ReadQueuedBehindAPowerOnCompletes) {
    Start({.burstWords = 2000});
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, zephdrv::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    Request read;
    ASSERT_TRUE(read.Read(file_, 64));
    EXPECT_EQ(power.Finish(), 0u);
    EXPECT_EQ(read.Finish(), 0u);
    EXPECT_EQ(read.Bytes(), 64u);
}

TEST_F(ZephTest, ReadOfAnAsleepSensorTimesOut) {
    Start();
    Request read;  // never powered on: the sensor sends nothing
    ASSERT_TRUE(read.Read(file_, 64));
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    EXPECT_EQ(read.Finish(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    KeQuerySystemTime(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart,
              static_cast<LONGLONG>(CZephDriver::kReadTimeoutMs) * 10000);
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
}

TEST_F(ZephTest, ReadLargerThanTheImageReturnsOneImage) {
    Start({.burstWords = 2000});
    ASSERT_EQ(Power(1), 0u);
    const DWORD pixels = ZephBoard::kColumns * ZephBoard::kRows;
    Request read;
    ASSERT_TRUE(read.Read(file_, pixels * 2 + 4096));
    ASSERT_EQ(read.Finish(), 0u);
    EXPECT_EQ(read.Bytes(), pixels * 2);
    EXPECT_EQ(read.output[pixels * 2], 0xEE);
}

TEST_F(ZephTest, ReadsTheImageEndToEnd) {
    Start({.burstWords = 2000});
    ASSERT_EQ(Power(1), 0u);
    const DWORD pixels = ZephBoard::kColumns * ZephBoard::kRows;
    Request read;
    ASSERT_TRUE(read.Read(file_, pixels * 2));
    ASSERT_EQ(read.Wait(), 0u);
    EXPECT_EQ(read.Bytes(), pixels * 2);
    std::vector<uint16_t> image(pixels);
    std::memcpy(image.data(), read.output.data(), pixels * 2);
    EXPECT_EQ(image, board_->Image());
    EXPECT_GT(board_->Line().ClaimedCount(), 50u);
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
}

// The sensor marks each row's first and last word and the image's last (bits 1, 2 and 17); the
// driver carries any mark into bit 15 of the word's first pixel.
TEST_F(ZephTest, PixelMarksSetBitFifteenOfTheWordsFirstPixel) {
    Start({.burstWords = 2000, .markRows = true});
    ASSERT_EQ(Power(1), 0u);
    const DWORD pixels = ZephBoard::kColumns * ZephBoard::kRows;
    Request read;
    read.Read(file_, pixels * 2);
    ASSERT_EQ(read.Wait(), 0u);
    std::vector<uint16_t> got(pixels);
    std::memcpy(got.data(), read.output.data(), pixels * 2);
    std::vector<uint16_t> expected = board_->Image();
    for (DWORD r = 0; r < ZephBoard::kRows; ++r) {
        expected[r * ZephBoard::kColumns] |= 0x8000;
        expected[(r + 1) * ZephBoard::kColumns - 2] |= 0x8000;
    }
    expected[pixels - 2] |= 0x8000;
    EXPECT_EQ(got, expected);
}

// The sensor streams on its pixel clock once the board waits for data; held off for 10 ms the
// driver finds the FIFO overrun.
TEST_F(ZephTest, PixelClockOverrunsTheFifoOfASlowDriver) {
    Start({.fifoDepthWords = 256, .pixelClockWordsPerMs = 50});
    ASSERT_EQ(Power(1), 0u);
    Request keepsUp;
    keepsUp.Read(file_, 2048);  // 512 words
    for (int ms = 0; ms < 20 && keepsUp.Pending(); ++ms)
        wdm::AdvanceTimeMs(1);
    ASSERT_EQ(keepsUp.Wait(), 0u);
    EXPECT_EQ(keepsUp.Bytes(), 2048u);

    Request slow;
    slow.Read(file_, 2048);
    wdm::AdvanceTimeMs(10);  // 500 words while the driver is held off
    EXPECT_EQ(slow.Wait(), static_cast<DWORD>(ERROR_IO_DEVICE));  // STATUS_DATA_OVERRUN
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
}

TEST_F(ZephTest, OddReadLengthTakesWholePixelsOnly) {
    Start();
    ASSERT_EQ(Power(1), 0u);
    Request read;
    read.Read(file_, 7);
    ASSERT_EQ(read.Wait(), 0u);
    EXPECT_EQ(read.Bytes(), 6u);
    EXPECT_EQ(read.output[6], 0xEE);
    uint16_t first[3];
    std::memcpy(first, read.output.data(), 6);
    std::vector<uint16_t> image = board_->Image();
    EXPECT_TRUE(std::equal(first, first + 3, image.begin()));
}

TEST_F(ZephTest, FifoOverrunFailsTheRead) {
    Start({.fifoDepthWords = 256, .burstWords = 300});
    ASSERT_EQ(Power(1), 0u);
    Request read;
    read.Read(file_, 4096);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
}

TEST_F(ZephTest, ResetLeavesAPendingReadPendingThenCancel) {
    Start({.autoExpose = false});
    ASSERT_EQ(Power(1), 0u);
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Reading);
    Request reset;
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    EXPECT_TRUE(reset.Ioctl(file_, zephdrv::kIoctlReset, nullptr, 0, 0));  // held in reset
    EXPECT_TRUE(board_->LocalResetAsserted());
    EXPECT_EQ(reset.Finish(), 0u);
    KeQuerySystemTime(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 2LL * KeQueryTimeIncrement());
    EXPECT_FALSE(board_->LocalResetAsserted());
    EXPECT_TRUE(read.Pending());
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
    EXPECT_EQ(board_->InterruptControl(), 0x1010u);
    CancelIo(file_);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(ZephTest, NvramWriteTakesOneByteAndReadsBack) {
    Start();
    uint8_t request[6] = {};
    USHORT header[2] = {200, 1};
    std::memcpy(request, header, 4);
    request[4] = 0x5C;
    ASSERT_EQ(Call(file_, zephdrv::kIoctlWriteNvram, request, 6, nullptr, 0), 0u);
    EXPECT_EQ(board_->Nvram()[200], 0x5C);
    EXPECT_EQ(board_->Nvram()[201], 0xFF);
    header[1] = 2;  // two bytes need seven input bytes
    std::memcpy(request, header, 4);
    EXPECT_EQ(Call(file_, zephdrv::kIoctlWriteNvram, request, 6, nullptr, 0),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    header[0] = 100;
    header[1] = 1;
    std::memcpy(request, header, 4);
    EXPECT_EQ(Call(file_, zephdrv::kIoctlWriteNvram, request, 6, nullptr, 0),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    USHORT readRequest[2] = {199, 3};
    std::vector<uint8_t> out;
    ASSERT_EQ(Call(file_, zephdrv::kIoctlReadNvram, readRequest, 4, &out, 3), 0u);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0x5C, 0xFF}));
}

}  // namespace
