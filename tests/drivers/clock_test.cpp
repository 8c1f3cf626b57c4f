// Real-time ticks of the stand-in.
#include <wdmhost.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

namespace {

constexpr ULONG kTickCounterPorts = 0xC100;
constexpr auto kEventBound = std::chrono::seconds(10);

// A device that counts the times it is told that time moved, and those after its removal.
class TickCounter : public wdm::HwDevice {
public:
    ULONG ReadPort(ULONG, int) override { return 0; }
    void WritePort(ULONG, int, ULONG) override {}
    ULONG ReadMemory(int, ULONG, int) override { return 0; }
    void WriteMemory(int, ULONG, int, ULONG) override {}
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

}  // namespace
