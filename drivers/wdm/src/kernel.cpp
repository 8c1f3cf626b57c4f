// Kernel services of the stand-in: IRQL, spin locks, DPC worker, clock and timers, events, pool,
// counted strings and debug output.
#include "internal.h"

#include <algorithm>
#include <execinfo.h>
#include <map>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace wdm {
namespace {

constexpr LONGLONG kSimulatedBootTime = 134412480000000000LL;  // 2026-12-09 00:00 UTC, 100 ns
constexpr ULONG kTimeIncrement100ns = 156250;                  // 15.625 ms clock tick
constexpr LONGLONG kPerformanceFrequencyHz = 10000000;
constexpr LONGLONG kUnixEpochAsFileTime = 116444736000000000LL;

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_threadIdentity;

// ---- DPC watchdog: how long this thread has stayed at DISPATCH_LEVEL or above, counted in
// the simulated time its own register accesses took (other processors' work and the processor
// stalls the hardware's timing asks for are not its own), less specified deadline polls.
constexpr LONGLONG kNoStretch = -1;
thread_local LONGLONG t_charged = 0;  // simulated time of this thread's register accesses
thread_local LONGLONG t_stretchStart = kNoStretch;
thread_local LONGLONG t_stretchExempt = 0;
thread_local bool t_watchdogFired = false;
thread_local int t_waitDepth = 0;
thread_local LONGLONG t_waitStart = 0;
std::atomic<LONGLONG> g_watchdogLimit100ns{kDefaultDpcWatchdogLimit100ns};

void BeginStretch() {
    t_stretchStart = t_charged;
    t_stretchExempt = 0;
}

void CheckStretch() {
    const LONGLONG limit = g_watchdogLimit100ns.load();
    if (t_stretchStart == kNoStretch || limit <= 0 || t_watchdogFired || t_waitDepth > 0)
        return;
    const LONGLONG spent = t_charged - t_stretchStart - t_stretchExempt;
    if (spent <= limit)
        return;
    t_watchdogFired = true;
    std::fprintf(stderr,
                 "DPC watchdog: %lld us at DISPATCH_LEVEL or above (limit %lld us); the stack:\n",
                 static_cast<long long>(spent / 10), static_cast<long long>(limit / 10));
    void* frames[64];
    const int depth = backtrace(frames, 64);
    backtrace_symbols_fd(frames, depth, 2);
    std::abort();
}

// ---- DPC queue: two simulated processors take DPCs from one queue, each at DISPATCH_LEVEL;
// two DPCs (the same one, queued again while it runs, included) may run at once.
constexpr int kDpcProcessors = 2;

struct DpcQueue {
    std::mutex lock;
    std::condition_variable work;
    std::condition_variable idle;
    std::deque<PKDPC> queue;
    int running = 0;
    bool started = false;

    void EnsureWorker() {
        if (started || SingleProcessor())
            return;
        started = true;
        for (int i = 0; i < kDpcProcessors; ++i)
            std::thread([this] { Run(); }).detach();
    }
    void Run() {
        t_irql = DISPATCH_LEVEL;
        std::unique_lock<std::mutex> l(lock);
        for (;;) {
            work.wait(l, [this] { return !queue.empty(); });
            PKDPC dpc = queue.front();
            queue.pop_front();
            dpc->Inserted = false;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            PVOID a1 = dpc->SystemArgument1;
            PVOID a2 = dpc->SystemArgument2;
            ++running;
            l.unlock();
            BeginStretch();
            routine(dpc, context, a1, a2);
            WdmAssert(t_irql == DISPATCH_LEVEL);
            t_stretchStart = kNoStretch;
            l.lock();
            --running;
            if (queue.empty() && running == 0)
                idle.notify_all();
        }
    }
};

std::atomic<bool> g_singleProcessor{false};
thread_local bool t_runningDpcsInline = false;

DpcQueue& Dpcs() {
    static auto* q = new DpcQueue;  // the worker outlives static destruction
    return *q;
}

// ---- Clock and timers.
struct Clock {
    std::mutex lock;
    std::condition_variable changed;  // wakes the real-time timer thread
    ClockMode mode = ClockMode::Simulated;
    LONGLONG simulatedNow = kSimulatedBootTime;
    LONGLONG realBase = 0;
    std::chrono::steady_clock::time_point realOrigin;
    std::vector<PKTIMER> armed;
    ULONGLONG sequence = 0;
    bool realThreadStarted = false;
    // Real-time ticks: requests held, and whether the ticker is telling the devices right now.
    std::condition_variable tickChanged;
    size_t tickRequests = 0;
    bool tickerStarted = false;
    bool tickInFlight = false;

    LONGLONG NowLocked() const {
        if (mode == ClockMode::Simulated)
            return simulatedNow;
        auto elapsed = std::chrono::steady_clock::now() - realOrigin;
        return realBase +
               std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
    }
    LONGLONG BootLocked() const {
        return mode == ClockMode::Simulated ? kSimulatedBootTime : realBase;
    }

    // Takes every armed timer due at `now` and queues its DPC; returns how many fired.
    int FireDueLocked(LONGLONG now) {
        int fired = 0;
        for (;;) {
            auto it = std::min_element(armed.begin(), armed.end(), [](PKTIMER a, PKTIMER b) {
                return a->DueTime != b->DueTime ? a->DueTime < b->DueTime
                                                : a->Sequence < b->Sequence;
            });
            if (it == armed.end() || (*it)->DueTime > now)
                return fired;
            PKTIMER timer = *it;
            armed.erase(it);
            timer->Inserted = false;
            timer->Signalled = true;
            ++fired;
            if (timer->Dpc != nullptr) {
                KeInsertQueueDpc(
                    timer->Dpc,
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(timer->DueTime & 0xFFFFFFFF)),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(timer->DueTime >> 32)));
            }
        }
    }

    void RunRealTime() {
        std::unique_lock<std::mutex> l(lock);
        for (;;) {
            if (mode != ClockMode::RealTime || armed.empty()) {
                changed.wait(l);
                continue;
            }
            LONGLONG next =
                (*std::min_element(armed.begin(), armed.end(), [](PKTIMER a, PKTIMER b) {
                    return a->DueTime < b->DueTime;
                }))->DueTime;
            LONGLONG now = NowLocked();
            if (next > now) {
                changed.wait_for(l, std::chrono::nanoseconds((next - now) * 100));
                continue;
            }
            FireDueLocked(now);
        }
    }

    // Tells the devices that time moved, once a tick period, while ticks are requested in real
    // time; sleeps otherwise. A late tick is not made up for: the devices catch up by the clock.
    void RunTicker() {
        std::unique_lock<std::mutex> l(lock);
        auto next = std::chrono::steady_clock::now();
        for (;;) {
            if (mode != ClockMode::RealTime || tickRequests == 0) {
                tickChanged.wait(l);
                next = std::chrono::steady_clock::now() + kTimeTickPeriod;
                continue;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now < next) {
                tickChanged.wait_until(l, next);
                continue;
            }
            next = now + kTimeTickPeriod;
            tickInFlight = true;
            l.unlock();
            NotifyTimeMoved();
            l.lock();
            tickInFlight = false;
            tickChanged.notify_all();
        }
    }
};

Clock& TheClock() {
    static auto* c = new Clock;
    return *c;
}

struct PausePoints {
    std::mutex lock;
    std::condition_variable changed;
    struct Point {
        bool armed = false;
        bool paused = false;
        bool released = false;
    };
    std::map<std::string, Point> points;
};

PausePoints& Pauses() {
    static auto* p = new PausePoints;
    return *p;
}
std::atomic<bool> g_anyPauseArmed{false};

std::mutex& DebugLock() {
    static auto* m = new std::mutex;
    return *m;
}
std::string& LastDebug() {
    static auto* s = new std::string;
    return *s;
}

std::atomic<int> g_failAllocations{0};

}  // namespace

void ChargeBusAccess() {
    {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> guard(c.lock);
        if (c.mode != ClockMode::Simulated)
            return;
        c.simulatedNow += kBusAccessTime100ns;
        c.FireDueLocked(c.simulatedNow);
    }
    t_charged += kBusAccessTime100ns;
    CheckStretch();
}

void SetDpcWatchdogLimit(LONGLONG limit100ns) {
    g_watchdogLimit100ns = limit100ns;
}

LONGLONG DpcWatchdogLimit() {
    return g_watchdogLimit100ns.load();
}

void ArmPausePoint(const std::string& name) {
    PausePoints& p = Pauses();
    std::lock_guard<std::mutex> guard(p.lock);
    p.points[name] = PausePoints::Point{true, false, false};
    g_anyPauseArmed = true;
}

bool WaitForPause(const std::string& name, std::chrono::milliseconds bound) {
    PausePoints& p = Pauses();
    std::unique_lock<std::mutex> l(p.lock);
    return p.changed.wait_for(l, bound, [&] { return p.points[name].paused; });
}

void ReleasePause(const std::string& name) {
    PausePoints& p = Pauses();
    std::lock_guard<std::mutex> guard(p.lock);
    PausePoints::Point& point = p.points[name];
    point.armed = false;
    point.released = true;
    p.changed.notify_all();
}

KIRQL& CurrentIrql() {
    return t_irql;
}

void SetClockMode(ClockMode mode) {
    Clock& c = TheClock();
    std::unique_lock<std::mutex> l(c.lock);
    WdmAssert(c.armed.empty());
    c.tickChanged.wait(l, [&c] { return !c.tickInFlight; });  // no tick straddles the switch
    if (mode == ClockMode::RealTime) {
        auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
        c.realBase = kUnixEpochAsFileTime +
                     std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100;
        c.realOrigin = std::chrono::steady_clock::now();
        if (!c.realThreadStarted) {
            c.realThreadStarted = true;
            std::thread([&c] { c.RunRealTime(); }).detach();
        }
        if (!c.tickerStarted) {
            c.tickerStarted = true;
            std::thread([&c] { c.RunTicker(); }).detach();
        }
    }
    c.mode = mode;
    c.changed.notify_all();
    c.tickChanged.notify_all();
}

void RequestTimeTicks() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.tickRequests++ == 0)
        c.tickChanged.notify_all();
}

void ReleaseTimeTicks() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    WdmAssert(c.tickRequests > 0);
    --c.tickRequests;
}

size_t TimeTickRequests() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.tickRequests;
}

ClockMode GetClockMode() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.mode;
}

void AdvanceTime(LONGLONG delta100ns) {
    WdmAssert(t_irql == PASSIVE_LEVEL);
    WaitForQuiescence();
    {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> guard(c.lock);
        WdmAssert(c.mode == ClockMode::Simulated);
        c.simulatedNow += delta100ns;
        c.FireDueLocked(c.simulatedNow);
    }
    NotifyTimeMoved();
    WaitForQuiescence();
}

bool RunNextTimer() {
    WdmAssert(t_irql == PASSIVE_LEVEL);
    WaitForQuiescence();
    {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> guard(c.lock);
        WdmAssert(c.mode == ClockMode::Simulated);
        if (c.armed.empty())
            return false;
        LONGLONG next =
            (*std::min_element(c.armed.begin(), c.armed.end(), [](PKTIMER a, PKTIMER b) {
                return a->DueTime < b->DueTime;
            }))->DueTime;
        c.simulatedNow = std::max(c.simulatedNow, next);
        c.FireDueLocked(c.simulatedNow);
    }
    NotifyTimeMoved();
    WaitForQuiescence();
    return true;
}

size_t ArmedTimerCount() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.armed.size();
}

bool SingleProcessor() {
    return g_singleProcessor.load(std::memory_order_relaxed);
}

void SetExecutionMode(ExecutionMode mode) {
    g_singleProcessor = mode == ExecutionMode::SingleProcessor;
}

ExecutionMode GetExecutionMode() {
    return SingleProcessor() ? ExecutionMode::SingleProcessor : ExecutionMode::Threads;
}

void RunQueuedDpcsInline() {
    if (!SingleProcessor() || t_runningDpcsInline || t_irql >= DISPATCH_LEVEL)
        return;
    t_runningDpcsInline = true;
    DpcQueue& q = Dpcs();
    for (;;) {
        PKDPC dpc;
        PKDEFERRED_ROUTINE routine;
        PVOID context, a1, a2;
        {
            std::lock_guard<std::mutex> guard(q.lock);
            if (q.queue.empty())
                break;
            dpc = q.queue.front();
            q.queue.pop_front();
            dpc->Inserted = false;
            routine = dpc->DeferredRoutine;
            context = dpc->DeferredContext;
            a1 = dpc->SystemArgument1;
            a2 = dpc->SystemArgument2;
            ++q.running;
        }
        const KIRQL old = t_irql;
        t_irql = DISPATCH_LEVEL;
        BeginStretch();
        routine(dpc, context, a1, a2);
        WdmAssert(t_irql == DISPATCH_LEVEL);
        CheckStretch();
        t_stretchStart = kNoStretch;
        t_irql = old;
        {
            std::lock_guard<std::mutex> guard(q.lock);
            --q.running;
            if (q.queue.empty() && q.running == 0)
                q.idle.notify_all();
        }
        DeliverPendingInterrupts();  // lines masked while the DPC ran
    }
    t_runningDpcsInline = false;
}

void WaitForDpcIdle() {
    WdmAssert(t_irql == PASSIVE_LEVEL);
    if (SingleProcessor()) {
        RunQueuedDpcsInline();
        return;
    }
    DpcQueue& q = Dpcs();
    std::unique_lock<std::mutex> l(q.lock);
    q.idle.wait(l, [&q] { return q.queue.empty() && q.running == 0; });
}

bool DpcQueueIdle() {
    DpcQueue& q = Dpcs();
    std::lock_guard<std::mutex> guard(q.lock);
    return q.queue.empty() && q.running == 0;
}

void FailPoolAllocations(int count) {
    g_failAllocations = count;
}

std::string LastDebugMessage() {
    std::lock_guard<std::mutex> guard(DebugLock());
    return LastDebug();
}

}  // namespace wdm

using namespace wdm;

void WdmPausePoint(const char* name) {
    if (!g_anyPauseArmed.load())
        return;
    PausePoints& p = Pauses();
    std::unique_lock<std::mutex> l(p.lock);
    auto it = p.points.find(name);
    if (it == p.points.end() || !it->second.armed || it->second.paused)
        return;
    it->second.paused = true;
    p.changed.notify_all();
    p.changed.wait(l, [&] { return p.points[name].released; });
    PausePoints::Point& point = p.points[name];
    point.paused = false;
    point.released = false;
}

void WdmBeginSpecifiedWait() {
    if (t_waitDepth++ == 0)
        t_waitStart = t_charged;
}

void WdmEndSpecifiedWait() {
    if (--t_waitDepth == 0)
        t_stretchExempt += t_charged - t_waitStart;
}

void WdmAssertFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "kernel rule broken: %s (%s:%d)\n", expression, file, line);
    std::abort();
}

ULONG DbgPrint(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(DebugLock());
    LastDebug() = text;
    if (std::getenv("DRIVERS_DEBUG") != nullptr)
        std::fprintf(stderr, "%s", text);
    return 0;
}

// ---- IRQL and spin locks

KIRQL KeGetCurrentIrql() {
    return t_irql;
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    WdmAssert(NewIrql >= t_irql);
    *OldIrql = t_irql;
    if (t_irql < DISPATCH_LEVEL && NewIrql >= DISPATCH_LEVEL)
        BeginStretch();
    t_irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    WdmAssert(NewIrql <= t_irql);
    const bool droppedBelowDispatch = t_irql >= DISPATCH_LEVEL && NewIrql < DISPATCH_LEVEL;
    if (droppedBelowDispatch) {
        CheckStretch();
        t_stretchStart = kNoStretch;
    }
    t_irql = NewIrql;
    if (SingleProcessor()) {
        DeliverPendingInterrupts();
        if (droppedBelowDispatch)
            RunQueuedDpcsInline();
    }
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

PKTHREAD KeGetCurrentThread() {
    return reinterpret_cast<PKTHREAD>(&t_threadIdentity);
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    SpinLock->owner = nullptr;
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    WdmAssert(t_irql >= DISPATCH_LEVEL);
    WdmAssert(SpinLock->owner.load() != KeGetCurrentThread());  // recursive acquisition deadlocks
    SpinLock->mutex.lock();
    SpinLock->owner = KeGetCurrentThread();
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    WdmAssert(t_irql >= DISPATCH_LEVEL);
    WdmAssert(SpinLock->owner.load() == KeGetCurrentThread());
    SpinLock->owner = nullptr;
    SpinLock->mutex.unlock();
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    WdmAssert(t_irql <= DISPATCH_LEVEL);
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

// ---- DPCs

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->Inserted = false;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    DpcQueue& q = Dpcs();
    std::lock_guard<std::mutex> guard(q.lock);
    if (Dpc->Inserted)
        return FALSE;
    Dpc->Inserted = true;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    q.queue.push_back(Dpc);
    q.EnsureWorker();
    q.work.notify_one();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    DpcQueue& q = Dpcs();
    std::lock_guard<std::mutex> guard(q.lock);
    if (!Dpc->Inserted)
        return FALSE;
    q.queue.erase(std::remove(q.queue.begin(), q.queue.end(), Dpc), q.queue.end());
    Dpc->Inserted = false;
    if (q.queue.empty() && q.running == 0)
        q.idle.notify_all();
    return TRUE;
}

void KeFlushQueuedDpcs() {
    WaitForDpcIdle();
}

// ---- Timers

void KeInitializeTimer(PKTIMER Timer) {
    Timer->DueTime = 0;
    Timer->Dpc = nullptr;
    Timer->Inserted = false;
    Timer->Signalled = false;
    Timer->Sequence = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    WdmAssert(t_irql <= DISPATCH_LEVEL);
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    const bool wasArmed = Timer->Inserted;
    if (wasArmed)
        c.armed.erase(std::remove(c.armed.begin(), c.armed.end(), Timer), c.armed.end());
    const LONGLONG now = c.NowLocked();
    Timer->DueTime = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart;
    Timer->Dpc = Dpc;
    Timer->Signalled = false;
    Timer->Inserted = true;
    Timer->Sequence = ++c.sequence;
    c.armed.push_back(Timer);
    c.changed.notify_all();
    // An absolute time already passed expires at once, as the kernel does.
    if (Timer->DueTime <= now && c.mode == ClockMode::Simulated)
        c.FireDueLocked(now);
    return wasArmed ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    WdmAssert(t_irql <= DISPATCH_LEVEL);
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    if (!Timer->Inserted)
        return FALSE;
    c.armed.erase(std::remove(c.armed.begin(), c.armed.end(), Timer), c.armed.end());
    Timer->Inserted = false;
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return Timer->Signalled ? TRUE : FALSE;
}

// ---- Time

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    CurrentTime->QuadPart = c.NowLocked();
}

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    TickCount->QuadPart = (c.NowLocked() - c.BootLocked()) / kTimeIncrement100ns;
}

ULONG KeQueryTimeIncrement() {
    return kTimeIncrement100ns;
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = kPerformanceFrequencyHz;
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    LARGE_INTEGER counter;
    counter.QuadPart = c.NowLocked() - c.BootLocked();  // 100 ns units at 10 MHz
    return counter;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
    Clock& c = TheClock();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (c.mode == ClockMode::Simulated) {
            c.simulatedNow += static_cast<LONGLONG>(MicroSeconds) * 10;
            c.FireDueLocked(c.simulatedNow);
            return;
        }
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// ---- Events

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Type = Type;
    Event->Signalled = State != FALSE;
}

LONG KeSetEvent(PRKEVENT Event, LONG, BOOLEAN) {
    WdmAssert(t_irql <= DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Event->Lock);
    LONG previous = Event->Signalled ? 1 : 0;
    Event->Signalled = true;
    Event->Condition.notify_all();
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(Event->Lock);
    Event->Signalled = false;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    auto* event = static_cast<PRKEVENT>(Object);
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    WdmAssert(poll || t_irql <= APC_LEVEL);
    std::unique_lock<std::mutex> l(event->Lock);
    if (Timeout == nullptr) {
        event->Condition.wait(l, [event] { return event->Signalled; });
    } else if (!event->Condition.wait_for(l, std::chrono::nanoseconds(-Timeout->QuadPart * 100),
                                          [event] { return event->Signalled; })) {
        return STATUS_TIMEOUT;
    }
    if (event->Type == SynchronizationEvent)
        event->Signalled = false;
    return STATUS_SUCCESS;
}

// ---- Pool

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG) {
    WdmAssert(PoolType != PagedPool || t_irql <= APC_LEVEL);
    int pending = g_failAllocations.load();
    while (pending > 0) {
        if (g_failAllocations.compare_exchange_weak(pending, pending - 1))
            return nullptr;
    }
    return std::calloc(1, NumberOfBytes == 0 ? 1 : NumberOfBytes);
}

void ExFreePoolWithTag(PVOID P, ULONG) {
    std::free(P);
}
void ExFreePool(PVOID P) {
    std::free(P);
}

void* operator new(size_t size, POOL_TYPE pool) {
    return ExAllocatePoolWithTag(pool, size, 0x436E6577u);
}
void operator delete(void* p, POOL_TYPE) {
    ExFreePool(p);
}

// ---- Counted strings

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) {
        Destination->Length = Destination->MaximumLength = 0;
        Destination->Buffer = nullptr;
        return;
    }
    size_t bytes = std::wcslen(Source) * sizeof(WCHAR);
    Destination->Length = static_cast<USHORT>(bytes);
    Destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    Destination->Buffer = const_cast<PWSTR>(Source);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Destination->Length + Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[40];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? L'0' + d : L'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i)
        String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}
