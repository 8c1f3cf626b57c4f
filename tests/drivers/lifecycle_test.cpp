// Races, stop, removal and power-down with requests running, output lengths and the watchdog.
#include "driver_fixture.h"

#include <boardsim/Boards.h>
#include <harrow/HarrowDriver.h>
#include <zephdrv/ZephDriver.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

using namespace drivertest;
using boardsim::HarrowBoard;
using boardsim::HarrowBoardConfig;
using boardsim::SensorModel;
using boardsim::ZephBoard;
using boardsim::ZephBoardConfig;

namespace {

constexpr std::chrono::milliseconds kPauseBound{10000};

class HarrowLifecycleTest : public HarrowDriverTest {
protected:
    // Starts with the sensor identified, so reads have an image size.
    void StartIdentified(HarrowBoardConfig config) {
        Start(config);
        harrow::TestUnitRecord record{};
        std::vector<uint8_t> out;
        ASSERT_EQ(CallWith(file_, harrow::kIoctlTestUnit, record, &out, sizeof record), 0u);
        std::memcpy(&record, out.data(), sizeof record);
        ASSERT_EQ(record.result, 0u);
    }

    PIRP CurrentIrp() { return host_->FunctionDevice(0)->CurrentIrp; }
    bool ReceiveEnabled() { return (board_->InterruptControl() & 0x2000) != 0; }
};

// A cancel that arrives while start-I/O holds the request and the device lock waits for the
// lock, then finds the read running and stops it: the request completes once, as cancelled.
TEST_F(HarrowLifecycleTest, CancelRacingStartIoStopsTheStartedRead) {
    if (wdm::GetExecutionMode() == wdm::ExecutionMode::SingleProcessor)
        GTEST_SKIP() << "races need a second processor";
    StartIdentified({.sensor = SensorModel::Zeph, .autoExpose = false});
    wdm::ArmPausePoint("OperationOwned");
    Request read;
    std::thread issuer([&] { read.Read(file_, 4096); });
    ASSERT_TRUE(wdm::WaitForPause("OperationOwned", kPauseBound)) << "start-I/O never ran";
    PIRP irp = CurrentIrp();
    wdm::ArmPausePoint("CancelOperation");
    std::thread canceller([irp] { IoCancelIrp(irp); });
    ASSERT_TRUE(wdm::WaitForPause("CancelOperation", kPauseBound)) << "no cancel routine ran";
    wdm::ReleasePause("CancelOperation");  // it now waits for the device lock
    wdm::ReleasePause("OperationOwned");
    issuer.join();
    canceller.join();
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(Driver()->Capture().IsActive());
    EXPECT_FALSE(ReceiveEnabled());
    EXPECT_EQ(CallWith(file_, harrow::kIoctlSetPowerState, ULONG{0}), 0u);  // the queue moves on
}

// Cancelled after start-I/O began but before the operation took it: nothing touches the board.
TEST_F(HarrowLifecycleTest, CancelBeforeTheOperationOwnsTheReadLeavesTheBoardAlone) {
    if (wdm::GetExecutionMode() == wdm::ExecutionMode::SingleProcessor)
        GTEST_SKIP() << "races need a second processor";
    StartIdentified({.sensor = SensorModel::Zeph, .autoExpose = false});
    wdm::ArmPausePoint("BeginOperation");
    Request read;
    std::thread issuer([&] { read.Read(file_, 4096); });
    ASSERT_TRUE(wdm::WaitForPause("BeginOperation", kPauseBound)) << "start-I/O never ran";
    const uint64_t before = board_->AccessCount();
    PIRP irp = CurrentIrp();
    std::thread canceller([irp] { IoCancelIrp(irp); });
    canceller.join();
    wdm::ReleasePause("BeginOperation");
    issuer.join();
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(board_->AccessCount(), before);
    EXPECT_FALSE(Driver()->Capture().IsActive());
}

// The DPC finishing a read and a cancel meet: exactly one of them completes the request.
TEST_F(HarrowLifecycleTest, CancelRacingTheCompletingDpcCompletesOnce) {
    if (wdm::GetExecutionMode() == wdm::ExecutionMode::SingleProcessor)
        GTEST_SKIP() << "races need a second processor";
    StartIdentified({.sensor = SensorModel::Zeph});
    wdm::ArmPausePoint("FinishOperation");
    Request read;
    ASSERT_TRUE(read.Read(file_, 12));
    ASSERT_TRUE(wdm::WaitForPause("FinishOperation", kPauseBound)) << "the read never finished";
    PIRP irp = CurrentIrp();
    wdm::ArmPausePoint("CancelOperation");
    std::thread canceller([irp] { IoCancelIrp(irp); });
    ASSERT_TRUE(wdm::WaitForPause("CancelOperation", kPauseBound)) << "no cancel routine ran";
    wdm::ReleasePause("CancelOperation");
    wdm::ReleasePause("FinishOperation");
    canceller.join();
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    Request next;
    ASSERT_TRUE(next.Read(file_, 12));
    EXPECT_EQ(next.Wait(), 0u);
}

TEST_F(HarrowLifecycleTest, StopEndsTheRunningReadAndHoldsTheQueuedRequests) {
    StartIdentified({.sensor = SensorModel::Zeph, .autoExpose = false});
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096));
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, harrow::kIoctlSetPowerState, "\0\0\0\0", 4, 0));
    ASSERT_EQ(host_->StopBoard(0), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(ReceiveEnabled());
    EXPECT_TRUE(power.Pending());
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
    ASSERT_EQ(host_->StartBoard(0), STATUS_SUCCESS);
    EXPECT_EQ(power.Finish(), 0u);
}

TEST_F(HarrowLifecycleTest, StopDuringTheCableTestStopsItsPhaseTimers) {
    Start({.sensor = SensorModel::Kestrel});
    Request test;
    harrow::TestUnitRecord record{};
    ASSERT_TRUE(test.Ioctl(file_, harrow::kIoctlTestUnit, &record, sizeof record, sizeof record));
    ASSERT_EQ(wdm::ArmedTimerCount(), 1u);
    ASSERT_EQ(host_->StopBoard(0), STATUS_SUCCESS);
    EXPECT_EQ(test.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
    // A cancel after the stop finds nothing and leaves the unmapped board alone.
    Request held;
    ASSERT_TRUE(held.Read(file_, 64));
    CancelIo(file_);
    EXPECT_EQ(held.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(HarrowLifecycleTest, SurpriseRemovalFailsTheRunningRequestAndTheRest) {
    Start({.sensor = SensorModel::Kestrel});
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, harrow::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    Request queued;
    ASSERT_TRUE(queued.Read(file_, 64));
    ASSERT_EQ(host_->SurpriseRemoveBoard(0), STATUS_SUCCESS);
    EXPECT_EQ(power.Wait(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // no such device
    EXPECT_EQ(queued.Wait(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
    Request late;
    late.Read(file_, 64);
    EXPECT_NE(late.Wait(), 0u);
    CloseHandle(file_);
    file_ = nullptr;
    EXPECT_EQ(host_->RemoveBoard(0), STATUS_SUCCESS);
}

TEST_F(HarrowLifecycleTest, PowerDownEndsTheReadAndHoldsNewOnesUntilD0) {
    StartIdentified({.sensor = SensorModel::Zeph, .autoExpose = false});
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096));
    ASSERT_EQ(host_->SetDevicePower(0, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    const uint64_t before = board_->AccessCount();
    Request held;
    ASSERT_TRUE(held.Read(file_, 12));
    EXPECT_EQ(board_->AccessCount(), before);
    EXPECT_TRUE(held.Pending());
    ASSERT_EQ(host_->SetDevicePower(0, PowerDeviceD0), STATUS_SUCCESS);
    board_->Expose();
    EXPECT_EQ(held.Wait(), 0u);
    EXPECT_EQ(held.Bytes(), 12u);
}

TEST_F(HarrowLifecycleTest, ResetFlushesQueuedRequestsAndKeepsTheReadPending) {
    StartIdentified({.sensor = SensorModel::Zeph, .autoExpose = false});
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096));
    Request power, test;
    ASSERT_TRUE(power.Ioctl(file_, harrow::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    harrow::TestUnitRecord record{};
    ASSERT_TRUE(test.Ioctl(file_, harrow::kIoctlTestUnit, &record, sizeof record, sizeof record));
    EXPECT_EQ(Call(file_, harrow::kIoctlReset, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(power.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(test.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(read.Pending());
    CancelIo(file_);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(HarrowLifecycleTest, OutputShorterThanTheDataFailsUntouched) {
    Start({.sensor = SensorModel::Kestrel});
    struct Case {
        DWORD code;
        DWORD input;
        DWORD output;
    };
    const Case cases[] = {
        {harrow::kIoctlTestUnit, sizeof(harrow::TestUnitRecord),
         sizeof(harrow::TestUnitRecord) - 1},
        {harrow::kIoctlGatherPerformanceData, 4, 3},
        {harrow::kIoctlDumpRegisters, 100, 99},
    };
    std::vector<uint8_t> input(256, 0);
    for (const Case& c : cases) {
        const uint64_t before = board_->AccessCount();
        EXPECT_EQ(Call(file_, c.code, input.data(), c.input, nullptr, c.output),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER))
            << std::hex << c.code;
        EXPECT_EQ(board_->AccessCount(), before) << std::hex << c.code;
    }
}

TEST_F(HarrowLifecycleTest, FullNvramWriteRunsOnTimersNotAtDispatchLevel) {
    Start({.sensor = SensorModel::Kestrel});
    ASSERT_GT(wdm::DpcWatchdogLimit(), 0);  // a long stretch at DISPATCH_LEVEL would abort
    const USHORT start = 128, count = 2048 - 128;
    std::vector<uint8_t> request(4 + count + 1);
    std::memcpy(request.data(), &start, 2);
    std::memcpy(request.data() + 2, &count, 2);
    for (USHORT i = 0; i < count; ++i)
        request[4 + i] = static_cast<uint8_t>(i * 7);
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    ASSERT_EQ(Call(file_, harrow::kIoctlWriteNvram, request.data(),
                   static_cast<DWORD>(request.size()), nullptr, 0),
              0u);
    KeQuerySystemTime(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, LONGLONG{count} * 20 * 10000);
    EXPECT_EQ(board_->RefusedNvramCommands(), 0u);  // every cell had its programming time
    USHORT readRequest[2] = {start, count};
    std::vector<uint8_t> out;
    ASSERT_EQ(Call(file_, harrow::kIoctlReadNvram, readRequest, 4, &out, count), 0u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), request.begin() + 4));
}

// A read that finishes in its step DPC starts the next one there; the step must not touch the
// lock the next request now holds.
TEST_F(HarrowLifecycleTest, NvramReadsFinishingInTheirStepDpcHandOnCleanly) {
    Start({.sensor = SensorModel::Kestrel});
    USHORT header[2] = {0, 100};
    Request first, second;
    ASSERT_TRUE(first.Ioctl(file_, harrow::kIoctlReadNvram, header, 4, 100));
    ASSERT_TRUE(second.Ioctl(file_, harrow::kIoctlReadNvram, header, 4, 100));
    EXPECT_EQ(first.Wait(), 0u);
    EXPECT_EQ(second.Wait(), 0u);
    EXPECT_EQ(second.Bytes(), 100u);
}

struct ModelCase {
    const char* name;
    SensorModel sensor;
    const harrow::CcdStatistics* statistics;
};

class HarrowModelReadTest : public HarrowLifecycleTest,
                            public ::testing::WithParamInterface<ModelCase> {};

TEST_P(HarrowModelReadTest, ReadsAWholeImage) {
    StartIdentified({.sensor = GetParam().sensor});
    const DWORD words = GetParam().statistics->fifoWordCount;
    Request read;
    ASSERT_TRUE(read.Read(file_, words * 4));
    ASSERT_EQ(read.Wait(), 0u);
    EXPECT_EQ(read.Bytes(), words * 4);
    std::vector<uint16_t> pixels(GetParam().statistics->pixelCount);
    harrow::UnpackPixels(reinterpret_cast<const uint32_t*>(read.output.data()), words,
                         pixels.data(), static_cast<uint32_t>(pixels.size()));
    EXPECT_EQ(pixels, board_->Image());
}

INSTANTIATE_TEST_SUITE_P(
    Models, HarrowModelReadTest,
    ::testing::Values(ModelCase{"Osprey", SensorModel::Osprey, &OspreyStatistics},
                      ModelCase{"Kestrel", SensorModel::Kestrel, &KestrelStatistics}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(HarrowLifecycleTest, SpeedAcknowledgeThatNeverComesFailsTheRead) {
    StartIdentified({.sensor = SensorModel::Zeph, .speedAckStuck = true});
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096) || !read.Pending());
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_FALSE(Driver()->Capture().IsActive());
}

// ---- The single-sensor board

class ZephLifecycleTest : public ZephDriverTest {};

TEST_F(ZephLifecycleTest, ReadWhoseStartCommandIsRefusedTimesOut) {
    Start({.commandBusyStuck = true});
    Request read;
    read.Read(file_, 64);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
}

TEST_F(ZephLifecycleTest, CancellingAnActiveTestOrReadReturnsToIdle) {
    Start({.autoExpose = false});
    // Unpowered, the sensor never answers: the test waits for its timer.
    zephdrv::TestRecord record{zephdrv::kTestKey, 0};
    Request test;
    ASSERT_TRUE(test.Ioctl(file_, zephdrv::kIoctlTestSensor, &record, sizeof record, 8));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Testing);
    CancelIo(file_);
    EXPECT_EQ(test.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);

    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlSetPowerState, ULONG{1}), 0u);
    Request read;
    ASSERT_TRUE(read.Read(file_, 4096));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Reading);
    CancelIo(file_);
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
    EXPECT_EQ(board_->ModeByte() & CZephDriver::kModeReceiving, 0);
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
}

TEST_F(ZephLifecycleTest, WakeWordBeforeThePowerHasSettledIsNotHeard) {
    Start({});
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, zephdrv::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    ULONG wake = 0xAA00;
    EXPECT_EQ(CallWith(file_, zephdrv::kIoctlWriteCommand, wake), 0u);  // accepted, not heard
    EXPECT_FALSE(board_->SensorAwake());
    EXPECT_EQ(power.Finish(), 0u);  // the driver's own wake word comes after the settling time
    EXPECT_TRUE(board_->SensorAwake());
}

TEST_F(ZephLifecycleTest, ClosingTheHandleEndsItsRequests) {
    Start({.autoExpose = false});
    ASSERT_EQ(CallWith(file_, zephdrv::kIoctlSetPowerState, ULONG{1}), 0u);
    Request read;
    ASSERT_TRUE(read.Read(file_, 64));
    Request queued;
    ASSERT_TRUE(queued.Ioctl(file_, zephdrv::kIoctlSetPowerState, "\0\0\0\0", 4, 0));
    CloseHandle(file_);  // cleanup: the driver ends the file's requests
    file_ = nullptr;
    EXPECT_EQ(read.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(queued.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Driver()->CurrentState(), CZephDriver::State::Idle);
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
}

// A cancelled power-on goes on without a request; closing the handle meanwhile finds nothing
// of the file's to end.
TEST_F(ZephLifecycleTest, ClosingTheHandleDuringACancelledPowerOn) {
    Start({});
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, zephdrv::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    CancelIo(file_);
    EXPECT_EQ(power.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(file_);
    file_ = nullptr;
    while (wdm::RunNextTimer()) {
    }
    EXPECT_TRUE(board_->SensorAwake());
}

TEST_F(ZephLifecycleTest, CancelledOrClosedResetEndsItsRequestNotTheHold) {
    Start({});
    Request reset;
    ASSERT_TRUE(reset.Ioctl(file_, zephdrv::kIoctlReset, nullptr, 0, 0));
    CancelIo(file_);
    EXPECT_EQ(reset.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(board_->LocalResetAsserted());
    ASSERT_TRUE(wdm::RunNextTimer());
    EXPECT_FALSE(board_->LocalResetAsserted());

    Request again;
    ASSERT_TRUE(again.Ioctl(file_, zephdrv::kIoctlReset, nullptr, 0, 0));
    CloseHandle(file_);  // returns without waiting for the hold
    file_ = nullptr;
    EXPECT_EQ(again.Wait(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    while (wdm::RunNextTimer()) {
    }
    EXPECT_FALSE(board_->LocalResetAsserted());
}

TEST_F(ZephLifecycleTest, TestWithAShortOutputFailsUntouched) {
    Start({});
    zephdrv::TestRecord record{zephdrv::kTestKey, 0};
    const uint64_t before = board_->AccessCount();
    EXPECT_EQ(Call(file_, zephdrv::kIoctlTestSensor, &record, sizeof record, nullptr, 7),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Call(file_, zephdrv::kIoctlGatherPerformanceData, &record, 4, nullptr, 3),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(board_->AccessCount(), before);
}

TEST_F(ZephLifecycleTest, SurpriseRemovalDuringTheWakeSequenceStopsItsTimer) {
    Start({});
    Request power;
    ASSERT_TRUE(power.Ioctl(file_, zephdrv::kIoctlSetPowerState, "\1\0\0\0", 4, 0));
    ASSERT_EQ(host_->SurpriseRemoveBoard(0), STATUS_SUCCESS);
    EXPECT_EQ(power.Wait(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
    CloseHandle(file_);
    file_ = nullptr;
    EXPECT_EQ(host_->RemoveBoard(0), STATUS_SUCCESS);
}

// ---- The watchdog

constexpr ULONG kQuietPortBase = 0xC000;

// A deliberately slow driver routine: two thousand register reads in one DPC.
void SlowDpc(PKDPC, PVOID, PVOID, PVOID) {
    for (int i = 0; i < 2000; ++i)
        READ_PORT_ULONG(reinterpret_cast<PULONG>(static_cast<ULONG_PTR>(kQuietPortBase)));
}

TEST(DpcWatchdogTest, ASlowDpcStopsTheMachineWithItsStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            wdm::SetClockMode(wdm::ClockMode::Simulated);
            wdm::SetDpcWatchdogLimit(wdm::kDefaultDpcWatchdogLimit100ns);
            QuietPorts ports;
            wdm::BusAddPortRange(kQuietPortBase, 0x10, &ports);
            KDPC dpc;
            KeInitializeDpc(&dpc, SlowDpc, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "DPC watchdog: 1001 us at DISPATCH_LEVEL");
}

}  // namespace
