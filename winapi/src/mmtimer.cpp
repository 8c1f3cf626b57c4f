// Multimedia timers: one timer thread runs every callback; periods are counted as Windows does.
#include "handles.h"

#include <mmsystem.h>

#include <chrono>
#include <map>
#include <thread>

namespace winapi {
namespace {

using Clock = std::chrono::steady_clock;

// The range Windows reports for periods and event delays.
constexpr UINT kMinPeriodMs = 1;
constexpr UINT kMaxPeriodMs = 1000000;

struct Timer {
    UINT delayMs;
    bool periodic;
    UINT callbackKind;  // TIME_CALLBACK_FUNCTION or TIME_CALLBACK_EVENT_SET
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    Clock::time_point due;
};

struct TimerService {
    std::mutex lock;
    std::condition_variable changed;  // the schedule changed, or a callback returned
    std::map<UINT, Timer> timers;
    UINT nextId = 1;
    UINT runningId = 0;  // the timer whose callback runs now
    std::thread::id thread;
    bool started = false;
    std::map<UINT, unsigned> periods;  // timeBeginPeriod counts per period
};

TimerService& Service() {
    static auto* service = new TimerService;  // never destroyed: the thread outlives exit
    return *service;
}

void Fire(UINT id, const Timer& timer) {
    if (timer.callbackKind == TIME_CALLBACK_EVENT_SET) {
        SetEvent(reinterpret_cast<HANDLE>(timer.callback));
    } else {
        timer.callback(id, 0, timer.user, 0, 0);
    }
}

void RunTimers(TimerService& s) {
    std::unique_lock<std::mutex> lock(s.lock);
    for (;;) {
        if (s.timers.empty()) {
            s.changed.wait(lock);
            continue;
        }
        auto next = s.timers.begin();
        for (auto it = s.timers.begin(); it != s.timers.end(); ++it) {
            if (it->second.due < next->second.due)
                next = it;
        }
        // A copy: the entry may be erased while this waits.
        const Clock::time_point due = next->second.due;
        if (Clock::now() < due) {
            s.changed.wait_until(lock, due);
            continue;
        }
        // The timer stays listed while its callback runs, so a kill can wait for it.
        const UINT id = next->first;
        const Timer timer = next->second;
        s.runningId = id;
        lock.unlock();
        Fire(id, timer);
        lock.lock();
        s.runningId = 0;
        s.changed.notify_all();
        auto it = s.timers.find(id);
        if (it == s.timers.end())
            continue;  // killed meanwhile
        if (!timer.periodic) {
            s.timers.erase(it);
        } else {
            // Keep the period's phase; after a long stall run once now rather than in a burst.
            it->second.due =
                std::max(timer.due + std::chrono::milliseconds(timer.delayMs), Clock::now());
        }
    }
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc) {
    if (!ptc || cbtc < sizeof(TIMECAPS))
        return TIMERR_NOCANDO;
    ptc->wPeriodMin = kMinPeriodMs;
    ptc->wPeriodMax = kMaxPeriodMs;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) {
    if (uPeriod < kMinPeriodMs || uPeriod > kMaxPeriodMs)
        return TIMERR_NOCANDO;
    TimerService& s = Service();
    std::lock_guard<std::mutex> guard(s.lock);
    s.periods[uPeriod]++;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT uPeriod) {
    TimerService& s = Service();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.periods.find(uPeriod);
    if (it == s.periods.end())
        return TIMERR_NOCANDO;  // no matching timeBeginPeriod
    if (--it->second == 0)
        s.periods.erase(it);
    return TIMERR_NOERROR;
}

DWORD WINAPI timeGetTime(void) {
    return GetTickCount();
}

MMRESULT WINAPI timeSetEvent(UINT uDelay, UINT, LPTIMECALLBACK fptc, DWORD_PTR dwUser,
                             UINT fuEvent) {
    const UINT kind = fuEvent & (TIME_CALLBACK_EVENT_SET | TIME_CALLBACK_EVENT_PULSE);
    // Pulsing an event has no faithful equivalent among our events, so it is refused.
    if (uDelay < kMinPeriodMs || uDelay > kMaxPeriodMs || !fptc ||
        kind == TIME_CALLBACK_EVENT_PULSE ||
        kind == (TIME_CALLBACK_EVENT_SET | TIME_CALLBACK_EVENT_PULSE))
        return 0;
    TimerService& s = Service();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.started) {
        std::thread worker([&s] { RunTimers(s); });
        s.thread = worker.get_id();
        worker.detach();
        s.started = true;
    }
    UINT id = s.nextId;
    while (id == 0 || s.timers.count(id))
        ++id;  // ids are not reused until they wrap
    s.nextId = id + 1;
    s.timers.emplace(id, Timer{uDelay, (fuEvent & TIME_PERIODIC) != 0, kind, fptc, dwUser,
                               Clock::now() + std::chrono::milliseconds(uDelay)});
    s.changed.notify_all();
    return id;
}

MMRESULT WINAPI timeKillEvent(UINT uTimerID) {
    TimerService& s = Service();
    std::unique_lock<std::mutex> lock(s.lock);
    auto it = s.timers.find(uTimerID);
    if (it == s.timers.end())
        return MMSYSERR_INVALPARAM;
    s.timers.erase(it);
    s.changed.notify_all();
    // A callback that kills its own timer must not wait for itself.
    if (std::this_thread::get_id() != s.thread) {
        s.changed.wait(lock, [&] { return s.runningId != uTimerID; });
    }
    return TIMERR_NOERROR;
}

}  // extern "C"
