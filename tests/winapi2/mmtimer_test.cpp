// Multimedia timers: capabilities, periods, one-shot and periodic events, killing.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr DWORD kFireWaitMs = 10000;   // a guard against hangs, never reached when passing
constexpr UINT kNeverDueMs = 600000;   // far beyond any test's life
constexpr DWORD kCallbackHoldMs = 50;  // widens the window in which a kill must wait

TEST(MultimediaTimer, CapabilitiesAndPeriods) {
    TIMECAPS caps{};
    ASSERT_EQ(timeGetDevCaps(&caps, sizeof caps), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_GE(caps.wPeriodMax, 1000u);
    EXPECT_EQ(timeGetDevCaps(nullptr, sizeof caps), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeGetDevCaps(&caps, 1), static_cast<MMRESULT>(TIMERR_NOCANDO));

    EXPECT_EQ(timeBeginPeriod(100), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(100), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(100), static_cast<MMRESULT>(TIMERR_NOCANDO));  // unbalanced
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));

    DWORD a = timeGetTime();
    DWORD b = timeGetTime();
    EXPECT_LE(b - a, 1000u);
}

struct Shot {
    HANDLE fired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // stopAfter callbacks done
    std::atomic<int> count{0};
    std::atomic<int> completed{0};  // callbacks that have returned their hold
    std::atomic<UINT> seenId{0};
    std::atomic<DWORD> thread{0};
    int stopAfter = 0;  // periodic: kill the timer from its own callback after this many
    std::atomic<MMRESULT> selfKill{0xFFFF};
    ~Shot() {
        CloseHandle(fired);
        CloseHandle(release);
        CloseHandle(returned);
    }
};

void CALLBACK OnTimer(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto* shot = reinterpret_cast<Shot*>(user);
    shot->seenId = id;
    shot->thread = GetCurrentThreadId();
    int n = ++shot->count;
    if (shot->stopAfter && n == shot->stopAfter)
        shot->selfKill = timeKillEvent(id);
    if (!shot->stopAfter || n == shot->stopAfter)
        SetEvent(shot->fired);
    WaitForSingleObject(shot->release, kFireWaitMs);
    if (++shot->completed == shot->stopAfter)
        SetEvent(shot->returned);
}

TEST(MultimediaTimer, OneShotFiresOnceOnTheTimerThread) {
    Shot shot;
    UINT id = timeSetEvent(5, 1, OnTimer, reinterpret_cast<DWORD_PTR>(&shot), TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(WaitForSingleObject(shot.fired, kFireWaitMs), WAIT_OBJECT_0)
        << "the one-shot timer did not fire";
    EXPECT_EQ(shot.seenId.load(), id);
    EXPECT_NE(shot.thread.load(), GetCurrentThreadId());
    // Once its callback has run, a one-shot timer is gone: it cannot fire again. The timer
    // thread runs callbacks in turn, so a later timer firing proves the first one finished.
    HANDLE fence = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(timeSetEvent(1, 0, reinterpret_cast<LPTIMECALLBACK>(fence), 0,
                           TIME_ONESHOT | TIME_CALLBACK_EVENT_SET),
              0u);
    ASSERT_EQ(WaitForSingleObject(fence, kFireWaitMs), WAIT_OBJECT_0)
        << "the fence timer did not fire";
    CloseHandle(fence);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(shot.count.load(), 1);
}

TEST(MultimediaTimer, KilledBeforeItsTimeNeverFires) {
    Shot shot;
    UINT id =
        timeSetEvent(kNeverDueMs, 1, OnTimer, reinterpret_cast<DWORD_PTR>(&shot), TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(shot.count.load(), 0);
}

TEST(MultimediaTimer, KillWaitsForARunningCallback) {
    Shot shot;
    ResetEvent(shot.release);
    UINT id = timeSetEvent(1, 1, OnTimer, reinterpret_cast<DWORD_PTR>(&shot), TIME_ONESHOT);
    ASSERT_EQ(WaitForSingleObject(shot.fired, kFireWaitMs), WAIT_OBJECT_0)
        << "the timer did not fire";
    std::thread releaser([&] {
        Sleep(kCallbackHoldMs);
        SetEvent(shot.release);
    });
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(shot.completed.load(), 1);
    releaser.join();
}

TEST(MultimediaTimer, PeriodicTimerKilledFromItsOwnCallback) {
    Shot shot;
    shot.stopAfter = 3;
    UINT id = timeSetEvent(1, 1, OnTimer, reinterpret_cast<DWORD_PTR>(&shot), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(WaitForSingleObject(shot.fired, kFireWaitMs), WAIT_OBJECT_0)
        << "the periodic timer did not reach its third call";
    ASSERT_EQ(WaitForSingleObject(shot.returned, kFireWaitMs), WAIT_OBJECT_0)
        << "only " << shot.completed.load() << " of 3 callbacks returned";
    EXPECT_EQ(shot.selfKill.load(), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(shot.count.load(), 3);
}

TEST(MultimediaTimer, EventSetAndInvalidRequests) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    UINT id = timeSetEvent(1, 0, reinterpret_cast<LPTIMECALLBACK>(event), 0,
                           TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(event, kFireWaitMs), WAIT_OBJECT_0) << "the event was not set";
    CloseHandle(event);

    EXPECT_EQ(timeSetEvent(0, 0, OnTimer, 0, TIME_ONESHOT), 0u);
    EXPECT_EQ(timeSetEvent(10, 0, nullptr, 0, TIME_ONESHOT), 0u);
    EXPECT_EQ(timeKillEvent(0), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

}  // namespace
