// The machine around the drivers: system clock, the bus with its simulated boards and
// interrupt lines, and the host that loads a driver, enumerates boards and routes user calls.
#pragma once

#include "wdm.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wdm {

// ---------------------------------------------------------------------------------------------
// System clock

enum class ClockMode {
    Simulated,  // time moves only by AdvanceTime/RunNextTimer, bus accesses and stalls
    RealTime,   // time is the host's monotonic clock; timers fire on their own thread
};

// How interrupts and DPCs run. Threads: each interrupt line and each of two DPC processors has
// its own thread. SingleProcessor: everything runs on the thread that causes it, as on a
// uniprocessor: an asserted line interrupts the code that raised it (below the line's DIRQL),
// DPCs run when the IRQL drops below DISPATCH_LEVEL. Set before any board or DPC exists.
enum class ExecutionMode { Threads, SingleProcessor };
void SetExecutionMode(ExecutionMode mode);
ExecutionMode GetExecutionMode();

// Switches the clock; only while no timer is armed.
void SetClockMode(ClockMode mode);
ClockMode GetClockMode();

// One register or port access costs this much simulated time, so polling loops with deadlines
// end as they would on the board.
constexpr LONGLONG kBusAccessTime100ns = 10;

// Simulated mode: moves time forward, queues the DPCs of the timers that fell due and returns
// once they (and whatever they queued) have run.
void AdvanceTime(LONGLONG delta100ns);
inline void AdvanceTimeMs(ULONG ms) {
    AdvanceTime(static_cast<LONGLONG>(ms) * 10000);
}
// Simulated mode: moves time to the earliest armed timer, fires it and waits for the DPCs.
// False when no timer is armed.
bool RunNextTimer();
// Number of armed timers.
size_t ArmedTimerCount();

// Real-time ticks. In RealTime mode nothing moves time in steps, so a device that runs on its
// own clock (a sensor sending at its pixel clock) asks for ticks: while any request is held, a
// ticker thread calls TimeMoved on every device on the bus about once every kTimeTickPeriod,
// with no stand-in lock held. Requests are counted (each RequestTimeTicks is paired with one
// ReleaseTimeTicks) and may be made from any thread, also under a device's own lock. With no
// request held the ticker sleeps until one comes. In Simulated mode requests are only counted:
// AdvanceTime and RunNextTimer tell the devices. Pause point "NotifyTimeMoved": the devices to
// tell are taken, none told yet.
constexpr std::chrono::milliseconds kTimeTickPeriod{1};
void RequestTimeTicks();
void ReleaseTimeTicks();
// Requests held now.
size_t TimeTickRequests();
// Waits until no DPC is queued or running.
void WaitForDpcIdle();
// Waits until no DPC and no interrupt is queued or running: what happens at once in simulated
// time has happened. RunNextTimer and AdvanceTime settle this way before and after moving time.
void WaitForQuiescence();

// DPC watchdog: a thread that stays at DISPATCH_LEVEL or above for longer than the limit of
// simulated time (processor stalls not counted) prints its stack and aborts, as a kernel's
// watchdog stops the machine. Zero turns it off.
constexpr LONGLONG kDefaultDpcWatchdogLimit100ns = 10000;  // 1 ms
void SetDpcWatchdogLimit(LONGLONG limit100ns);
LONGLONG DpcWatchdogLimit();

// Pause points (tests of races): the next thread to reach WdmPausePoint(name) after it is armed
// stops there until released. WaitForPause is bounded and false when no thread arrived.
void ArmPausePoint(const std::string& name);
bool WaitForPause(const std::string& name, std::chrono::milliseconds bound);
void ReleasePause(const std::string& name);

// Fails the next `count` pool allocations (tests of the out-of-memory paths).
void FailPoolAllocations(int count);
// Last line written by DbgPrint (also echoed to stderr when DRIVERS_DEBUG is set).
std::string LastDebugMessage();

// ---------------------------------------------------------------------------------------------
// Bus

// A board's register file as the bus sees it. Calls come from any thread; the board
// serialises them itself.
class HwDevice {
public:
    virtual ~HwDevice() = default;
    virtual ULONG ReadPort(ULONG offset, int widthBytes) = 0;
    virtual void WritePort(ULONG offset, int widthBytes, ULONG value) = 0;
    virtual ULONG ReadMemory(int window, ULONG offset, int widthBytes) = 0;
    virtual void WriteMemory(int window, ULONG offset, int widthBytes, ULONG value) = 0;
    // Time has moved on (AdvanceTime, RunNextTimer, or a real-time tick while ticks are
    // requested): a device that runs on its own clock catches up here. Called for every device
    // with a port range, at PASSIVE_LEVEL with no stand-in lock held.
    virtual void TimeMoved() {}
};

void BusAddPortRange(ULONG base, ULONG length, HwDevice* device);
void BusAddMemoryRange(ULONGLONG physical, ULONG length, HwDevice* device, int window);
// Takes the device's ranges off the bus. Once it returns no TimeMoved call reaches the device:
// one already on its way (a real-time tick) is waited for, so it must not be called from
// TimeMoved.
void BusRemoveDevice(HwDevice* device);

// A level-sensitive interrupt line. The board calls Changed() (without holding its own lock)
// after anything that may raise or lower the line; while the line is asserted and an ISR is
// connected, the line's thread runs the ISR at its DIRQL under the interrupt spin lock.
class InterruptLine {
public:
    InterruptLine(ULONG vector, std::function<bool()> asserted);
    ~InterruptLine();
    InterruptLine(const InterruptLine&) = delete;
    InterruptLine& operator=(const InterruptLine&) = delete;

    void Changed();
    ULONG Vector() const { return vector_; }
    // Interrupts the ISR claimed since the line was created.
    ULONG ClaimedCount() const;
    // Times the line stayed asserted after the ISR declined it: on a machine, an interrupt
    // storm. Each is reported (DbgPrint) and the line is left until it next changes.
    ULONG StormCount() const;

    // Used by IoConnectInterrupt/IoDisconnectInterrupt.
    bool Connect(PKINTERRUPT interrupt);
    // No interrupt waiting to be serviced and none being serviced.
    bool Idle() const;
    void WaitIdle() const;
    void Disconnect(PKINTERRUPT interrupt);

    // Single-processor mode: services the line on this thread if it is pending and this
    // thread's IRQL allows it.
    void DeliverInline();

private:
    void Run();
    // Runs the ISR while the line is asserted; `l` is held on entry and exit.
    void Service(std::unique_lock<std::mutex>& l);

    const ULONG vector_;
    std::function<bool()> asserted_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    mutable std::condition_variable idle_;
    bool pending_ = false;
    bool stop_ = false;
    bool running_ = false;
    PKINTERRUPT interrupt_ = nullptr;
    ULONG claimed_ = 0;
    ULONG storms_ = 0;
    std::thread thread_;
};

// A board that can be enumerated: it knows the resources its configuration space assigns.
class SimulatedBoard : public HwDevice {
public:
    // Raw and translated resources are the same on this bus.
    virtual std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Resources() const = 0;
};

// ---------------------------------------------------------------------------------------------
// Driver host

class DriverHost {
public:
    // Loads the driver module `name` (lib<name>.so beside the framework library) and runs its
    // DriverEntry. Null with *status set when the module or its entry is missing.
    static std::unique_ptr<DriverHost> Load(const char* name, NTSTATUS* status);
    // Runs a DriverEntry linked into the process.
    DriverHost(PDRIVER_INITIALIZE entry, const wchar_t* serviceName);
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    NTSTATUS EntryStatus() const { return entryStatus_; }
    PDRIVER_OBJECT DriverObject() { return &driver_; }

    // Enumerates a board: a bus device object for it, the driver's add-device, then
    // IRP_MN_START_DEVICE with the board's resources. Returns the add-device or start status;
    // *index receives the board's slot on success.
    NTSTATUS AddBoard(SimulatedBoard& board, size_t* index = nullptr);
    // PnP stop (query-stop, stop), restart (start with the same resources), removal.
    NTSTATUS StopBoard(size_t index);
    NTSTATUS StartBoard(size_t index);
    NTSTATUS RemoveBoard(size_t index);
    // The board is pulled out: IRP_MN_SURPRISE_REMOVAL now; RemoveBoard then sends the removal
    // without asking (as the PnP manager does once the last handle is closed).
    NTSTATUS SurpriseRemoveBoard(size_t index);
    NTSTATUS SetDevicePower(size_t index, DEVICE_POWER_STATE state);
    // The driver's device object (top of the board's stack), null once removed.
    PDEVICE_OBJECT FunctionDevice(size_t index);

private:
    struct Board;
    NTSTATUS SendPnp(Board& board, UCHAR minor);
    NTSTATUS SendSynchronous(PDEVICE_OBJECT top,
                             const std::function<void(PIO_STACK_LOCATION)>& fill);

    void* module_ = nullptr;
    DRIVER_OBJECT driver_{};
    std::wstring serviceName_;
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
    std::vector<std::unique_ptr<Board>> boards_;
};

}  // namespace wdm
