// Real-time ticks of the stand-in, and the boards whose pixel clock asks for them.
#include "driver_fixture.h"

#include <wdmhost.h>

#include <boardsim/Boards.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

using boardsim::HarrowBoard;
using boardsim::SensorModel;
using boardsim::ZephBoard;

namespace {

constexpr ULONG kTickCounterPorts = 0xC100;
constexpr auto kEventBound = std::chrono::seconds(10);

// A device that counts the times it is told that time moved, and those after its removal.
class TickCounter : public drivertest::QuietPorts {
public:
    void TimeMoved() override {
        std::lock_guard<std::mutex> guard(lock_);
        ++ticks_;
        if (removed_)
            ++afterRemoval_;
        changed_.notify_all();
    }

    int Ticks() {
        std::lock_guard<std::mutex> guard(lock_);
        return ticks_;
    }
    bool WaitForTicks(int count) {
        std::unique_lock<std::mutex> l(lock_);
        return changed_.wait_for(l, kEventBound, [&] { return ticks_ >= count; });
    }
    void MarkRemoved() {
        std::lock_guard<std::mutex> guard(lock_);
        removed_ = true;
    }
    int TicksAfterRemoval() {
        std::lock_guard<std::mutex> guard(lock_);
        return afterRemoval_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int ticks_ = 0;
    int afterRemoval_ = 0;
    bool removed_ = false;
};

class RealTimeTicksTest : public ::testing::Test {
protected:
    void SetUp() override {
        wdm::SetClockMode(wdm::ClockMode::RealTime);
        wdm::BusAddPortRange(kTickCounterPorts, 0x10, &device_);
    }
    void TearDown() override {
        wdm::BusRemoveDevice(&device_);
        wdm::SetClockMode(wdm::ClockMode::Simulated);
    }
    TickCounter device_;
};

TEST_F(RealTimeTicksTest, DevicesAreToldOnlyWhileTicksAreRequested) {
    const size_t held = wdm::TimeTickRequests();
    wdm::RequestTimeTicks();
    wdm::RequestTimeTicks();
    EXPECT_EQ(wdm::TimeTickRequests(), held + 2);
    ASSERT_TRUE(device_.WaitForTicks(3));
    wdm::ReleaseTimeTicks();
    ASSERT_TRUE(device_.WaitForTicks(device_.Ticks() + 3));  // one request still held
    wdm::ReleaseTimeTicks();
    EXPECT_EQ(wdm::TimeTickRequests(), held);

    // Nobody asks: the ticker sleeps. The switch waits out a tick already on its way.
    wdm::SetClockMode(wdm::ClockMode::Simulated);
    wdm::ArmPausePoint("NotifyTimeMoved");
    wdm::SetClockMode(wdm::ClockMode::RealTime);
    EXPECT_FALSE(wdm::WaitForPause("NotifyTimeMoved", std::chrono::milliseconds(100)));
    wdm::ReleasePause("NotifyTimeMoved");
}

// A tick that has taken the device holds its removal until the device has been told: after
// BusRemoveDevice returns the device may be destroyed.
TEST_F(RealTimeTicksTest, RemovalWaitsForATickOnItsWay) {
    wdm::ArmPausePoint("NotifyTimeMoved");
    wdm::RequestTimeTicks();
    ASSERT_TRUE(wdm::WaitForPause("NotifyTimeMoved", kEventBound));
    auto removal = std::async(std::launch::async, [this] {
        wdm::BusRemoveDevice(&device_);
        device_.MarkRemoved();
    });
    // Held for as long as the tick is: it must not return at all before the release.
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    wdm::ReleasePause("NotifyTimeMoved");
    removal.get();
    wdm::ReleaseTimeTicks();
    EXPECT_EQ(device_.Ticks(), 1);
    EXPECT_EQ(device_.TicksAfterRemoval(), 0);
}

// ---- Boards

constexpr ULONG kClockWordsPerMs = 100;

std::vector<uint16_t> SmallImage() {
    return std::vector<uint16_t>(300, 0x155);  // 100 words on the multi-sensor board: 1 ms
}

// A multi-sensor board with its sensor powered and readout armed: the sensor sends.
std::unique_ptr<HarrowBoard> SendingHarrow(ULONG wordsPerMs) {
    auto board = std::make_unique<HarrowBoard>(boardsim::HarrowBoardConfig{
        .sensor = SensorModel::Zeph, .pixelClockWordsPerMs = wordsPerMs});
    board->SetImage(SmallImage());
    board->WriteMemory(2, 0, 2, 1);  // power
    board->WriteMemory(0, 0, 2, 7);  // readout armed
    return board;
}

// A clocked stream holds one tick request while it sends; the image sent, the sensor stopped,
// bursts set, a new image or the board gone give it up.
TEST(BoardTicksTest, ClockedStreamHoldsTicksUntilItEnds) {
    wdm::SetClockMode(wdm::ClockMode::Simulated);
    const size_t held = wdm::TimeTickRequests();
    const struct {
        const char* name;
        std::function<void(std::unique_ptr<HarrowBoard>&)> end;
    } cases[] = {
        {"image sent", [](auto&) { wdm::AdvanceTimeMs(1); }},
        {"power off", [](auto& b) { b->WriteMemory(2, 0, 2, 0); }},
        {"bursts set", [](auto& b) { b->SetPixelClock(0); }},
        {"new image", [](auto& b) { b->SetImage(SmallImage()); }},
        {"board gone", [](auto& b) { b.reset(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto board = SendingHarrow(kClockWordsPerMs);
        EXPECT_EQ(wdm::TimeTickRequests(), held + 1);
        wdm::AdvanceTime(5000);  // half the image
        EXPECT_EQ(wdm::TimeTickRequests(), held + 1);
        c.end(board);
        EXPECT_EQ(wdm::TimeTickRequests(), held);
    }
    auto bursts = SendingHarrow(0);
    EXPECT_EQ(wdm::TimeTickRequests(), held);
}

// The single-sensor board's sensor sends only while the board waits for data: a stream the
// board no longer waits for holds no ticks until it waits again.
TEST(BoardTicksTest, SingleSensorBoardTicksOnlyWhileItWaitsForData) {
    wdm::SetClockMode(wdm::ClockMode::Simulated);
    const size_t held = wdm::TimeTickRequests();
    ZephBoard board({.pixelClockWordsPerMs = kClockWordsPerMs});
    board.SetImage(std::vector<uint16_t>(200, 0x555));  // 100 words: 1 ms
    board.WriteMemory(2, 0, 1, 0x40);                   // power
    wdm::AdvanceTime(ZephBoard::kPowerSettle100ns);
    board.WriteMemory(0, 0, 2, ZephBoard::kWakeCommand);
    board.WriteMemory(0, 0, 2, 0x8000);  // readout: the image is on its way
    EXPECT_EQ(wdm::TimeTickRequests(), held);
    board.WriteMemory(2, 0, 1, 0x43);  // waits for data: the clock runs
    EXPECT_EQ(wdm::TimeTickRequests(), held + 1);
    board.WriteMemory(2, 0, 1, 0x40);
    EXPECT_EQ(wdm::TimeTickRequests(), held);
    board.WriteMemory(2, 0, 1, 0x43);
    EXPECT_EQ(wdm::TimeTickRequests(), held + 1);
    wdm::AdvanceTimeMs(1);
    EXPECT_EQ(wdm::TimeTickRequests(), held);
}

}  // namespace
