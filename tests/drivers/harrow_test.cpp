// The multi-sensor board driver against its simulated board, through the user-mode calls.
#include "driver_fixture.h"

#include <boardsim/Boards.h>
#include <harrow/HarrowDriver.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace drivertest;
using boardsim::HarrowBoard;
using boardsim::HarrowBoardConfig;
using boardsim::LineFault;
using boardsim::SensorModel;

namespace {

class HarrowTest : public HarrowDriverTest {
protected:
    harrow::TestUnitRecord RunTest(DWORD* error = nullptr, DWORD* bytes = nullptr) {
        harrow::TestUnitRecord record{};
        record.reserved = 0xA5A5A5A5;
        std::vector<uint8_t> out;
        DWORD e = CallWith(file_, harrow::kIoctlTestUnit, record, &out, sizeof record, bytes);
        if (error != nullptr)
            *error = e;
        std::memcpy(&record, out.data(), sizeof record);
        return record;
    }

    DWORD Power(ULONG on) { return CallWith(file_, harrow::kIoctlSetPowerState, on); }
};

struct CableCase {
    const char* name;
    SensorModel sensor;
    LineFault sync, clock, data;
    bool dataHighAtRest;
    uint32_t result;
    uint32_t mask;
    uint32_t model;
};

const CableCase kCableCases[] = {
    {"ZephGood", SensorModel::Zeph, LineFault::None, LineFault::None, LineFault::None, false, 0, 0,
     harrow::kModelZeph},
    {"OspreyGood", SensorModel::Osprey, LineFault::None, LineFault::None, LineFault::None, false, 0,
     0, harrow::kModelOsprey},
    {"KestrelGood", SensorModel::Kestrel, LineFault::None, LineFault::None, LineFault::None, false,
     0, 0, harrow::kModelKestrel},
    {"SyncStuckHigh", SensorModel::Kestrel, LineFault::StuckHigh, LineFault::None, LineFault::None,
     false, 2, 0x0080, 0},
    {"SyncStuckLow", SensorModel::Kestrel, LineFault::StuckLow, LineFault::None, LineFault::None,
     false, 2, 0x0040, 0},
    {"DataStuckHigh", SensorModel::Kestrel, LineFault::None, LineFault::None, LineFault::StuckHigh,
     false, 2, 0x0008, 0},
    {"DataStuckLow", SensorModel::Kestrel, LineFault::None, LineFault::None, LineFault::StuckLow,
     false, 2, 0x0004, 0},
    {"ClockStuckHigh", SensorModel::Kestrel, LineFault::None, LineFault::StuckHigh, LineFault::None,
     false, 2, 0x0800, 0},
    {"ClockStuckLow", SensorModel::Kestrel, LineFault::None, LineFault::StuckLow, LineFault::None,
     false, 2, 0x0400, 0},
    {"ZephSyncNoFollow", SensorModel::Zeph, LineFault::NoFollow, LineFault::None, LineFault::None,
     false, 2, 0x0080, 0},
    {"OspreyClockNoFollow", SensorModel::Osprey, LineFault::None, LineFault::NoFollow,
     LineFault::None, false, 2, 0x0800, 0},
    {"KestrelDataNoFollow", SensorModel::Kestrel, LineFault::None, LineFault::None,
     LineFault::NoFollow, false, 2, 0x0004, 0},
    {"NoSensor", SensorModel::None, LineFault::None, LineFault::None, LineFault::None, false, 2,
     0x0444, 0},
    {"DataHighAtRest", SensorModel::Kestrel, LineFault::None, LineFault::None, LineFault::None,
     true, 5, 0, 0},
};

class HarrowCableTest : public HarrowTest, public ::testing::WithParamInterface<CableCase> {};

TEST_P(HarrowCableTest, ReportsResultMaskAndModel) {
    const CableCase& c = GetParam();
    HarrowBoardConfig config;
    config.sensor = c.sensor;
    config.sync = c.sync;
    config.clock = c.clock;
    config.data = c.data;
    config.dataHighAtRest = c.dataHighAtRest;
    Start(config);

    DWORD error = 0, bytes = 0;
    harrow::TestUnitRecord record = RunTest(&error, &bytes);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(bytes, 172u);
    EXPECT_EQ(record.reserved, 0xA5A5A5A5u);  // the caller's field is left alone
    EXPECT_EQ(record.result, c.result);
    EXPECT_EQ(record.faultMask, c.mask);
    EXPECT_EQ(record.statistics.modelCode, c.model);
    // The sensor stays powered only when it was identified.
    EXPECT_EQ(board_->SensorPowered(), c.result == 0 && c.mask == 0);

    // Four read phases, each one sample of the written pattern and the masked read-back.
    ASSERT_EQ(record.sampleCount, 4u);
    const uint32_t patterns[] = {8, 9, 12, 10};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(record.samples[i].written, patterns[i]);
        EXPECT_EQ(record.samples[i].read & ~0xC080u, 0u);
    }
    EXPECT_EQ(board_->CableLines(), 0);  // the last phase leaves the lines low
}

INSTANTIATE_TEST_SUITE_P(Lines, HarrowCableTest, ::testing::ValuesIn(kCableCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(HarrowTest, IdentifiedModelsCarryTheirStatistics) {
    Start({.sensor = SensorModel::Osprey});
    harrow::TestUnitRecord record = RunTest();
    EXPECT_EQ(std::memcmp(&record.statistics, &OspreyStatistics, sizeof OspreyStatistics), 0);
    EXPECT_EQ(record.statistics.columns, 1366u);
    EXPECT_EQ(record.statistics.fifoWordCount, 415264u);
    EXPECT_EQ(Driver()->Test().CurrentStatistics().modelCode, harrow::kModelOsprey);
}

TEST(HarrowTestContainerTest, RecordsAtMostFifteenSamples) {
    HarrowTestContainer container;
    harrow::TestUnitRecord record{};
    std::memset(record.spare, 0x5A, sizeof record.spare);
    container.AttachRecord(&record);
    for (USHORT i = 0; i < 20; ++i) {
        container.RecordWrittenBits(i);
        container.RecordReadBits(static_cast<USHORT>(0x8000 | i));
    }
    EXPECT_EQ(record.sampleCount, 15u);
    EXPECT_EQ(record.samples[14].written, 14u);
    EXPECT_EQ(record.samples[14].read, 0x800Eu);
    for (uint8_t b : record.spare)
        EXPECT_EQ(b, 0x5A);
}

TEST_F(HarrowTest, DispatchChecksExactInputLengths) {
    Start();
    struct LengthCase {
        DWORD code;
        DWORD length;
        DWORD error;
    };
    const LengthCase cases[] = {
        {harrow::kIoctlTestUnit, 171, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlTestUnit, 173, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlTestUnit, 0, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlSetPowerState, 3, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlSetPowerState, 5, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlGatherPerformanceData, 0, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlGatherPerformanceData, 8, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlNotImplemented, 1, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlNotImplemented, 0, ERROR_INVALID_FUNCTION},  // queued, no operation
        {harrow::kIoctlDumpRegisters, 99, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlReadNvram, 5, ERROR_INVALID_PARAMETER},
        {harrow::kIoctlWriteNvram, 4, ERROR_INVALID_PARAMETER},
        {0x8000200C, 0, ERROR_INVALID_FUNCTION},
        {0x80002194, 172, ERROR_INVALID_FUNCTION},
        {0x00220000, 4, ERROR_INVALID_FUNCTION},
    };
    std::vector<uint8_t> input(256, 0);
    for (const auto& c : cases) {
        const uint64_t before = board_->AccessCount();
        EXPECT_EQ(Call(file_, c.code, input.data(), c.length, nullptr, 256), c.error)
            << std::hex << c.code << " length " << std::dec << c.length;
        EXPECT_EQ(board_->AccessCount(), before) << "hardware touched by " << std::hex << c.code;
    }
    Request zero;
    EXPECT_FALSE(zero.Read(file_, 0));
    EXPECT_EQ(zero.Wait(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(HarrowTest, ReadBeforeIdentificationCompletesAtOnce) {
    Start();
    Request read;
    read.Read(file_, 4096);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_FALSE(Driver()->Capture().IsActive());
}

TEST_F(HarrowTest, ReadsTheImageEndToEndOnASynchronousHandle) {
    Start({.sensor = SensorModel::Zeph, .burstWords = 1000});
    ASSERT_EQ(RunTest().result, 0u);
    HANDLE sync = Open(0);
    ASSERT_NE(sync, INVALID_HANDLE_VALUE);
    const DWORD words = ZephStatistics.fifoWordCount;
    std::vector<uint32_t> buffer(words + 4, 0xDEADBEEF);
    DWORD bytes = 0;
    ASSERT_TRUE(ReadFile(sync, buffer.data(), words * 4, &bytes, nullptr)) << GetLastError();
    EXPECT_EQ(bytes, words * 4);
    std::vector<uint16_t> pixels(ZephStatistics.pixelCount);
    harrow::UnpackPixels(buffer.data(), words, pixels.data(), static_cast<uint32_t>(pixels.size()));
    EXPECT_EQ(pixels, board_->Image());
    for (size_t i = words; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], 0xDEADBEEFu);
    EXPECT_GT(board_->Line().ClaimedCount(), 100u);  // one interrupt per burst
    EXPECT_FALSE(Driver()->Capture().IsActive());
    CloseHandle(sync);
}

TEST_F(HarrowTest, ReadIsBoundedByTheCallersBuffer) {
    Start({.sensor = SensorModel::Zeph});
    ASSERT_EQ(RunTest().result, 0u);
    Request read;
    read.Read(file_, 1002);  // 250 words and two spare bytes
    ASSERT_EQ(read.Wait(), 0u);
    EXPECT_EQ(read.Bytes(), 1000u);
    std::vector<uint16_t> pixels(750);
    harrow::UnpackPixels(reinterpret_cast<const uint32_t*>(read.output.data()), 250, pixels.data(),
                         750);
    std::vector<uint16_t> image = board_->Image();
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), image.begin()));
    // The next read starts from a drained FIFO and delivers a fresh image.
    Request next;
    next.Read(file_, 12);
    ASSERT_EQ(next.Wait(), 0u);
    harrow::UnpackPixels(reinterpret_cast<const uint32_t*>(next.output.data()), 3, pixels.data(),
                         9);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + 9, image.begin()));
}

TEST_F(HarrowTest, FifoOverrunFailsTheRead) {
    Start({.sensor = SensorModel::Zeph, .fifoDepthWords = 512, .burstWords = 600});
    ASSERT_EQ(RunTest().result, 0u);
    Request read;
    read.Read(file_, ZephStatistics.fifoWordCount * 4);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(read.Bytes(), 0u);
    EXPECT_FALSE(Driver()->Capture().IsActive());
}

// With a pixel clock the sensor sends at its own rate: a driver serviced every millisecond keeps
// up, one held off for 10 ms finds the FIFO overrun and fails the read with the overrun status.
TEST_F(HarrowTest, PixelClockOverrunsTheFifoOfASlowDriver) {
    Start({.sensor = SensorModel::Zeph, .fifoDepthWords = 512, .pixelClockWordsPerMs = 100});
    ASSERT_EQ(RunTest().result, 0u);
    constexpr DWORD kWords = 1024;

    Request keepsUp;
    keepsUp.Read(file_, kWords * 4);
    for (int ms = 0; ms < 20 && keepsUp.Pending(); ++ms)
        wdm::AdvanceTimeMs(1);
    ASSERT_EQ(keepsUp.Wait(), 0u);
    EXPECT_EQ(keepsUp.Bytes(), kWords * 4);
    std::vector<uint16_t> pixels(kWords * 3);
    harrow::UnpackPixels(reinterpret_cast<const uint32_t*>(keepsUp.output.data()), kWords,
                         pixels.data(), kWords * 3);
    std::vector<uint16_t> image = board_->Image();
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), image.begin()));

    // Nobody reads, yet the sensor goes on sending: the FIFO fills to its depth.
    wdm::AdvanceTimeMs(10);
    EXPECT_EQ(board_->FifoWords(), 512u);

    Request slow;
    slow.Read(file_, kWords * 4);  // drains the FIFO, then the new image streams
    EXPECT_TRUE(Driver()->Capture().IsActive());
    wdm::AdvanceTimeMs(10);  // 1000 words arrive while the driver is held off
    EXPECT_EQ(slow.Wait(), static_cast<DWORD>(ERROR_IO_DEVICE));  // STATUS_DATA_OVERRUN
    EXPECT_EQ(slow.Bytes(), 0u);
    EXPECT_FALSE(Driver()->Capture().IsActive());
}

// The pixel clock is set on a live board: a read then waits for the clock's simulated time, and
// once bursts are set again the next read is served at once.
TEST_F(HarrowTest, PixelClockSetOnALiveBoard) {
    Start({.sensor = SensorModel::Zeph});
    ASSERT_EQ(RunTest().result, 0u);
    constexpr DWORD kWords = 1024;
    std::vector<uint16_t> image = board_->Image();
    auto expectImageStart = [&](const Request& r) {
        std::vector<uint16_t> pixels(kWords * 3);
        harrow::UnpackPixels(reinterpret_cast<const uint32_t*>(r.output.data()), kWords,
                             pixels.data(), kWords * 3);
        EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), image.begin()));
    };

    board_->SetPixelClock(100);
    Request clocked;
    clocked.Read(file_, kWords * 4);
    wdm::AdvanceTimeMs(5);
    EXPECT_TRUE(clocked.Pending());  // some 700 words by now, register time included
    for (int ms = 0; ms < 20 && clocked.Pending(); ++ms)
        wdm::AdvanceTimeMs(1);
    ASSERT_EQ(clocked.Wait(), 0u);
    EXPECT_EQ(clocked.Bytes(), kWords * 4);
    expectImageStart(clocked);

    board_->SetPixelClock(0);
    Request burst;
    burst.Read(file_, kWords * 4);
    ASSERT_EQ(burst.Wait(), 0u);  // no simulated time moved
    EXPECT_EQ(burst.Bytes(), kWords * 4);
    expectImageStart(burst);
}

// The loop-back follows the driven lines only once the powered cable has settled; the cable
// test's first phase comes after that.
TEST_F(HarrowTest, CableLoopBackNeedsItsSettlingTime) {
    HarrowBoard board({.sensor = SensorModel::Kestrel});
    board.WriteMemory(2, 0, 2, 1);          // power on
    board.WriteMemory(3, 0, 2, 0x8 | 0x4);  // test enable, drive sync
    EXPECT_EQ(board.ReadMemory(0, 0, 2) & 0xC080u, 0u);
    wdm::AdvanceTime(HarrowBoard::kLoopbackSettle100ns);
    EXPECT_EQ(board.ReadMemory(0, 0, 2) & 0xC080u, 0x8000u);
}

// FIFO data raises the receive interrupt only when the interrupt-mode word allows it.
TEST_F(HarrowTest, InterruptModeWordGatesTheReceiveInterrupt) {
    HarrowBoard board({.sensor = SensorModel::Zeph, .pixelClockWordsPerMs = 100});
    board.WriteMemory(2, 0, 2, 1);
    board.WriteMemory(0, 0, 2, 7);  // readout armed: the sensor starts sending
    board.WritePort(0x38, 4, 0x2000);
    wdm::AdvanceTimeMs(1);
    ASSERT_GT(board.FifoWords(), 0u);
    EXPECT_EQ(board.ReadPort(0x38, 4) & 0x800000u, 0u);
    board.WriteMemory(1, 0, 2, HarrowBoard::kInterruptOnData);
    EXPECT_NE(board.ReadPort(0x38, 4) & 0x800000u, 0u);
}

TEST_F(HarrowTest, StuckFifoFailsTheReadAfterItsDeadline) {
    Start({.sensor = SensorModel::Zeph, .fifoStuck = true});
    ASSERT_EQ(RunTest().result, 0u);
    Request read;
    read.Read(file_, 4096);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
}

TEST_F(HarrowTest, CancelWhilePendingAbortsAndFreesTheQueue) {
    Start({.sensor = SensorModel::Zeph, .autoExpose = false});
    ASSERT_EQ(RunTest().result, 0u);
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096));
    Request power;
    ASSERT_TRUE(
        power.Ioctl(file_, harrow::kIoctlSetPowerState, "\1\0\0\0", 4, 0));  // queued behind
    EXPECT_TRUE(Driver()->Capture().IsActive());
    EXPECT_TRUE(board_->InterruptControl() & 0x2000);
    CancelIo(file_);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(power.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(Driver()->Capture().IsActive());
    EXPECT_FALSE(board_->InterruptControl() & 0x2000);
    EXPECT_EQ(Power(0), 0u);  // the queue moves on
}

TEST_F(HarrowTest, ResetLeavesAPendingReadPendingAndCaptureInactive) {
    Start({.sensor = SensorModel::Zeph, .autoExpose = false});
    ASSERT_EQ(RunTest().result, 0u);
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096));
    ASSERT_TRUE(Driver()->Capture().IsActive());

    HANDLE other = Open(0);
    DWORD bytes = 0;
    ASSERT_TRUE(
        DeviceIoControl(other, harrow::kIoctlReset, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_TRUE(read.Pending());
    EXPECT_FALSE(Driver()->Capture().IsActive());
    EXPECT_EQ(board_->InterruptControl(), 0x1010u);
    EXPECT_EQ(Driver()->InterruptStatus(), 0u);
    board_->Expose();  // data now finds the capture inactive and no interrupt enabled
    EXPECT_TRUE(read.Pending());
    CancelIo(file_);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(other);
}

TEST_F(HarrowTest, PowerSequencesWaitForTheirTimers) {
    Start();
    struct PowerCase {
        ULONG on;
        LONGLONG settle100ns;
    };
    for (PowerCase c : {PowerCase{1, 10 * 10000}, PowerCase{0, 5 * 10000}}) {
        LARGE_INTEGER before, after;
        KeQuerySystemTime(&before);
        Request power;
        ASSERT_TRUE(power.Ioctl(file_, harrow::kIoctlSetPowerState, &c.on, 4, 0));
        EXPECT_EQ(board_->SensorPowered(),
                  c.on != 0);  // switched at once, completed after settling
        EXPECT_TRUE(power.Pending());
        ASSERT_EQ(power.Finish(), 0u);
        KeQuerySystemTime(&after);
        EXPECT_GE(after.QuadPart - before.QuadPart, c.settle100ns);
        EXPECT_LT(after.QuadPart - before.QuadPart, c.settle100ns + 10000);
    }
}

TEST_F(HarrowTest, CancelledPowerRequestsTimerCompletesNothingLater) {
    Start({.sensor = SensorModel::Zeph});
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, harrow::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    CancelIo(file_);
    EXPECT_EQ(power.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(wdm::ArmedTimerCount(), 1u);  // the settling timer still runs
    // A test starts at once; the stale power timer expires in the middle of it.
    harrow::TestUnitRecord record = RunTest();
    EXPECT_EQ(record.result, 0u);
    EXPECT_EQ(record.sampleCount, 4u);
    EXPECT_EQ(record.statistics.modelCode, harrow::kModelZeph);
}

TEST_F(HarrowTest, CancelledTestStopsItsPhaseTimer) {
    Start();
    harrow::TestUnitRecord record{};
    Request test;
    ASSERT_TRUE(test.Ioctl(file_, harrow::kIoctlTestUnit, &record, sizeof record, sizeof record));
    ASSERT_TRUE(wdm::RunNextTimer());  // first phase done, second running
    EXPECT_EQ(wdm::ArmedTimerCount(), 1u);
    CancelIo(file_);
    EXPECT_EQ(test.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
    EXPECT_EQ(Driver()->Test().CurrentStatistics().modelCode, harrow::kModelNone);
}

TEST_F(HarrowTest, NvramReadWriteWithAddressRulesAndFault) {
    Start();
    std::vector<uint8_t> contents(2048);
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<uint8_t>(i * 7);
    board_->SetNvram(contents);

    auto read = [&](USHORT start, USHORT count, DWORD outLength, std::vector<uint8_t>* out) {
        USHORT in[2] = {start, count};
        return Call(file_, harrow::kIoctlReadNvram, in, 4, out, outLength);
    };
    std::vector<uint8_t> out;
    ASSERT_EQ(read(2040, 8, 8, &out), 0u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), contents.begin() + 2040));
    EXPECT_EQ(read(2041, 8, 8, &out), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(read(0, 8, 7, &out), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    auto write = [&](USHORT start, std::vector<uint8_t> bytes, DWORD extra) {
        std::vector<uint8_t> in(4 + bytes.size() + extra, 0);
        USHORT header[2] = {start, static_cast<USHORT>(bytes.size())};
        std::memcpy(in.data(), header, 4);
        std::memcpy(in.data() + 4, bytes.data(), bytes.size());
        return Call(file_, harrow::kIoctlWriteNvram, in.data(), static_cast<DWORD>(in.size()),
                    nullptr, 0);
    };
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    ASSERT_EQ(write(128, {1, 2, 3}, 1), 0u);
    KeQuerySystemTime(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 3 * 20 * 10000);  // 20 ms per byte
    EXPECT_EQ(board_->Nvram()[128], 1);
    EXPECT_EQ(board_->Nvram()[130], 3);
    EXPECT_EQ(write(127, {9}, 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(write(2047, {9, 9}, 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(write(200, {9, 9}, 0),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));  // count + 5 needed
    EXPECT_EQ(board_->Nvram()[127], contents[127]);

    board_->SetNvramFault(true);
    EXPECT_EQ(read(0, 4, 4, &out), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(write(300, {1}, 1), static_cast<DWORD>(ERROR_IO_DEVICE));
}

TEST_F(HarrowTest, PerformanceSampleAndRegisterDump) {
    Start();
    std::vector<uint8_t> out;
    ULONG zero = 0;
    DWORD bytes = 0;
    ASSERT_EQ(CallWith(file_, harrow::kIoctlGatherPerformanceData, zero, &out, 4, &bytes), 0u);
    EXPECT_EQ(bytes, 4u);
    ULONG first;
    std::memcpy(&first, out.data(), 4);
    EXPECT_EQ(first, 0u);
    ASSERT_EQ(CallWith(file_, harrow::kIoctlGatherPerformanceData, zero, &out, 4), 0u);
    ULONG second;
    std::memcpy(&second, out.data(), 4);
    EXPECT_LT(second, 100u);

    std::vector<uint8_t> in(100, 0);
    ASSERT_EQ(Call(file_, harrow::kIoctlDumpRegisters, in.data(), 100, &out, 100, &bytes), 0u);
    EXPECT_EQ(bytes, 100u);
    ULONG dump[25];
    std::memcpy(dump, out.data(), 100);
    EXPECT_EQ(dump[12 / 4], 0x00300000u);
    EXPECT_EQ(dump[28 / 4], 0x42430343u);
    EXPECT_EQ(dump[52 / 4], 0x00000011u);
    EXPECT_EQ(dump[56 / 4], board_->InterruptControl());
    EXPECT_EQ(dump[0], 0u);
}

TEST_F(HarrowTest, BoardStartAndDevicePowerTransitions) {
    Start();
    EXPECT_EQ(board_->InterruptControl(), 0u);  // 0x30000 only acknowledges latched bits
    EXPECT_FALSE(board_->LocalResetAsserted());
    EXPECT_EQ(host_->SetDevicePower(0, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(board_->InterruptControl(), 0u);
    EXPECT_EQ(Driver()->PowerState(), PowerDeviceD3);
    EXPECT_EQ(host_->SetDevicePower(0, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(board_->InterruptControl(), 0x1010u);
    EXPECT_EQ(Driver()->PowerState(), PowerDeviceD0);
}

TEST_F(HarrowTest, DevicesAreNamedByTheFirstFreeIndex) {
    Start();
    HarrowBoard second({.slot = 1});
    size_t index = 0;
    ASSERT_EQ(host_->AddBoard(second, &index), STATUS_SUCCESS);
    HANDLE h = Open(0, "\\\\.\\harrowdriver1");  // Win32 names ignore case
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Open(0, "\\\\.\\HARROWDRIVER2"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(host_->RemoveBoard(index), STATUS_SUCCESS);
}

TEST_F(HarrowTest, TakenWin32NameFailsConstruction) {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\HARROWDRIVER0");
    RtlInitUnicodeString(&target, L"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    board_ = std::make_unique<HarrowBoard>(HarrowBoardConfig{});
    host_ = std::make_unique<wdm::DriverHost>(HarrowDriverEntry, L"Harrow");
    EXPECT_EQ(host_->AddBoard(*board_), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(wdm::LastDebugMessage(), "CHarrowDriver::CHarrowDriver CreateWin32Name failed\n");
    IoDeleteSymbolicLink(&link);
}

TEST_F(HarrowTest, MissingOrUnmappableResourcesKeepTheDeviceDown) {
    for (auto fault : {boardsim::ResourceFault::MissingMemoryWindow,
                       boardsim::ResourceFault::UnmappableMemoryWindow,
                       boardsim::ResourceFault::MissingInterrupt}) {
        HarrowBoard board({.resourceFault = fault});
        wdm::DriverHost host(HarrowDriverEntry, L"Harrow");
        EXPECT_EQ(host.AddBoard(board), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(Open(0), INVALID_HANDLE_VALUE);
    }
}

TEST_F(HarrowTest, DriverEntryFailsWithoutMemory) {
    wdm::FailPoolAllocations(1);
    wdm::DriverHost host(HarrowDriverEntry, L"Harrow");
    EXPECT_EQ(host.EntryStatus(), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(HarrowTest, RequestsWaitWhileStoppedAndRunAfterRestart) {
    Start();
    ASSERT_EQ(host_->StopBoard(0), STATUS_SUCCESS);
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, harrow::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);  // held, not started
    ASSERT_EQ(host_->StartBoard(0), STATUS_SUCCESS);
    EXPECT_EQ(power.Finish(), 0u);
    EXPECT_TRUE(board_->SensorPowered());
}

}  // namespace
