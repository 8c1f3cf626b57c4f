// HAL of the stand-in: the bus with its port and memory ranges, mapped register windows,
// port/register access, and interrupt lines with their connected service routines.
#include "internal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

struct _KINTERRUPT {
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
    KSPIN_LOCK OwnLock;
    PKSPIN_LOCK Lock;
    KIRQL SynchronizeIrql;
    wdm::InterruptLine* Line;
};

namespace wdm {
namespace {

struct PortRange {
    ULONG length;
    HwDevice* device;
};
struct MemoryRange {
    ULONG length;
    HwDevice* device;
    int window;
};
struct Mapping {
    SIZE_T length;
    HwDevice* device;
    int window;
    ULONG offset;  // of the mapping within the board's window
};

struct Bus {
    std::mutex lock;
    std::map<ULONG, PortRange> ports;         // by base port
    std::map<ULONGLONG, MemoryRange> memory;  // by physical base
    std::map<ULONG_PTR, Mapping> mappings;    // by virtual base
    std::map<ULONG, InterruptLine*> lines;    // by vector
    // Held while devices taken off the map are told that time moved: removal waits on it.
    std::mutex notifying;
};

// A short list on the stack that spills to the heap only past its inline capacity.
template <typename T>
class SmallList {
public:
    void AddOnce(T item) {
        for (size_t i = 0; i < count_ && i < kInline; ++i) {
            if (inline_[i] == item)
                return;
        }
        if (std::find(spill_.begin(), spill_.end(), item) != spill_.end())
            return;
        if (count_ < kInline)
            inline_[count_] = item;
        else
            spill_.push_back(item);
        ++count_;
    }
    template <typename F>
    void ForEach(F f) const {
        for (size_t i = 0; i < count_ && i < kInline; ++i)
            f(inline_[i]);
        for (T item : spill_)
            f(item);
    }

private:
    static constexpr size_t kInline = 8;
    T inline_[kInline] = {};
    size_t count_ = 0;
    std::vector<T> spill_;
};

Bus& TheBus() {
    static auto* bus = new Bus;
    return *bus;
}

struct PortTarget {
    HwDevice* device;
    ULONG offset;
};

PortTarget FindPort(ULONG_PTR port) {
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.lock);
    auto it = bus.ports.upper_bound(static_cast<ULONG>(port));
    WdmAssert(it != bus.ports.begin());
    --it;
    WdmAssert(port < it->first + it->second.length);
    return {it->second.device, static_cast<ULONG>(port - it->first)};
}

struct RegisterTarget {
    HwDevice* device;
    int window;
    ULONG offset;
};

RegisterTarget FindRegister(const volatile void* address) {
    auto va = reinterpret_cast<ULONG_PTR>(address);
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.lock);
    auto it = bus.mappings.upper_bound(va);
    WdmAssert(it != bus.mappings.begin());  // not a mapped register window
    --it;
    WdmAssert(va < it->first + it->second.length);
    return {it->second.device, it->second.window,
            static_cast<ULONG>(it->second.offset + (va - it->first))};
}

ULONG ReadPort(ULONG_PTR port, int width) {
    ChargeBusAccess();
    PortTarget t = FindPort(port);
    return t.device->ReadPort(t.offset, width);
}
void WritePort(ULONG_PTR port, int width, ULONG value) {
    ChargeBusAccess();
    PortTarget t = FindPort(port);
    t.device->WritePort(t.offset, width, value);
}
ULONG ReadRegister(const volatile void* address, int width) {
    ChargeBusAccess();
    RegisterTarget t = FindRegister(address);
    return t.device->ReadMemory(t.window, t.offset, width);
}
void WriteRegister(const volatile void* address, int width, ULONG value) {
    ChargeBusAccess();
    RegisterTarget t = FindRegister(address);
    t.device->WriteMemory(t.window, t.offset, width, value);
}

BOOLEAN RunServiceRoutine(PKINTERRUPT interrupt) {
    KIRQL& irql = CurrentIrql();
    const KIRQL old = irql;
    irql = interrupt->SynchronizeIrql;
    KeAcquireSpinLockAtDpcLevel(interrupt->Lock);
    BOOLEAN claimed = interrupt->ServiceRoutine(interrupt, interrupt->ServiceContext);
    KeReleaseSpinLockFromDpcLevel(interrupt->Lock);
    irql = old;
    return claimed;
}

}  // namespace

void BusAddPortRange(ULONG base, ULONG length, HwDevice* device) {
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bus.ports[base] = PortRange{length, device};
}

void BusAddMemoryRange(ULONGLONG physical, ULONG length, HwDevice* device, int window) {
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bus.memory[physical] = MemoryRange{length, device, window};
}

void BusRemoveDevice(HwDevice* device) {
    Bus& bus = TheBus();
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        for (auto it = bus.ports.begin(); it != bus.ports.end();) {
            it = it->second.device == device ? bus.ports.erase(it) : std::next(it);
        }
        for (auto it = bus.memory.begin(); it != bus.memory.end();) {
            it = it->second.device == device ? bus.memory.erase(it) : std::next(it);
        }
        for (const auto& m : bus.mappings) {
            WdmAssert(m.second.device != device);  // a driver still maps the board's registers
        }
    }
    // A notification that took the device before it left the map ends before the device may go.
    std::lock_guard<std::mutex> barrier(bus.notifying);
}

bool InterruptLine::Idle() const {
    std::lock_guard<std::mutex> guard(lock_);
    return !running_ && !(pending_ && interrupt_ != nullptr);
}

void InterruptLine::WaitIdle() const {
    std::unique_lock<std::mutex> l(lock_);
    idle_.wait(l, [this] { return !running_ && !(pending_ && interrupt_ != nullptr); });
}

void WaitForQuiescence() {
    if (SingleProcessor()) {
        for (;;) {
            DeliverPendingInterrupts();
            RunQueuedDpcsInline();
            bool busy = !DpcQueueIdle();
            Bus& bus = TheBus();
            std::lock_guard<std::mutex> guard(bus.lock);
            for (const auto& l : bus.lines)
                busy = busy || !l.second->Idle();
            if (!busy)
                return;
        }
    }
    for (;;) {
        WaitForDpcIdle();
        std::vector<InterruptLine*> busy;
        {
            Bus& bus = TheBus();
            std::lock_guard<std::mutex> guard(bus.lock);
            for (const auto& l : bus.lines) {
                if (!l.second->Idle())
                    busy.push_back(l.second);
            }
        }
        // Lines stay registered while their board lives, which outlasts this wait.
        for (InterruptLine* line : busy)
            line->WaitIdle();
        if (busy.empty() && DpcQueueIdle())
            return;
    }
}

void NotifyTimeMoved() {
    SmallList<HwDevice*> devices;  // no allocation: this runs on every step of simulated time
    Bus& bus = TheBus();
    // Keeps each device taken here alive until it has been told: BusRemoveDevice waits.
    std::lock_guard<std::mutex> delivering(bus.notifying);
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        for (const auto& p : bus.ports)
            devices.AddOnce(p.second.device);
    }
    WdmPausePoint("NotifyTimeMoved");
    devices.ForEach([](HwDevice* device) { device->TimeMoved(); });
}

void DeliverPendingInterrupts() {
    SmallList<InterruptLine*> lines;  // no allocation: this runs at every IRQL drop
    {
        Bus& bus = TheBus();
        std::lock_guard<std::mutex> guard(bus.lock);
        for (const auto& l : bus.lines) {
            if (!l.second->Idle())
                lines.AddOnce(l.second);
        }
    }
    lines.ForEach([](InterruptLine* line) { line->DeliverInline(); });
}

InterruptLine* FindInterruptLine(ULONG vector) {
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.lock);
    auto it = bus.lines.find(vector);
    return it == bus.lines.end() ? nullptr : it->second;
}

// ---- Interrupt lines

InterruptLine::InterruptLine(ULONG vector, std::function<bool()> asserted)
    : vector_(vector), asserted_(std::move(asserted)) {
    {
        Bus& bus = TheBus();
        std::lock_guard<std::mutex> guard(bus.lock);
        WdmAssert(bus.lines.find(vector) == bus.lines.end());
        bus.lines[vector] = this;
    }
    if (!SingleProcessor())
        thread_ = std::thread([this] { Run(); });
}

InterruptLine::~InterruptLine() {
    {
        Bus& bus = TheBus();
        std::lock_guard<std::mutex> guard(bus.lock);
        bus.lines.erase(vector_);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        WdmAssert(interrupt_ == nullptr);  // the driver must disconnect first
        stop_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
}

void InterruptLine::Changed() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        pending_ = true;
        changed_.notify_all();
    }
    if (SingleProcessor())
        DeliverInline();
}

ULONG InterruptLine::StormCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return storms_;
}

void InterruptLine::DeliverInline() {
    std::unique_lock<std::mutex> l(lock_);
    if (!pending_ || interrupt_ == nullptr || running_ ||
        CurrentIrql() >= interrupt_->SynchronizeIrql) {
        return;  // nothing to do, or masked until this thread's IRQL drops
    }
    pending_ = false;
    Service(l);
    l.unlock();
    RunQueuedDpcsInline();  // what the ISR queued, if this thread is below DISPATCH_LEVEL
}

ULONG InterruptLine::ClaimedCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return claimed_;
}

bool InterruptLine::Connect(PKINTERRUPT interrupt) {
    std::lock_guard<std::mutex> guard(lock_);
    if (interrupt_ != nullptr)
        return false;
    interrupt_ = interrupt;
    pending_ = true;  // a line already asserted is serviced at once
    changed_.notify_all();
    return true;
}

void InterruptLine::Disconnect(PKINTERRUPT interrupt) {
    std::unique_lock<std::mutex> l(lock_);
    WdmAssert(interrupt_ == interrupt);
    idle_.wait(l, [this] { return !running_; });
    interrupt_ = nullptr;
}

void InterruptLine::Run() {
    std::unique_lock<std::mutex> l(lock_);
    for (;;) {
        changed_.wait(l, [this] { return stop_ || (pending_ && interrupt_ != nullptr); });
        if (stop_)
            return;
        pending_ = false;
        Service(l);
    }
}

void InterruptLine::Service(std::unique_lock<std::mutex>& l) {
    // Level-sensitive: service for as long as the board holds the line.
    for (;;) {
        PKINTERRUPT interrupt = interrupt_;
        if (interrupt == nullptr)
            break;
        running_ = true;
        l.unlock();
        bool asserted = asserted_();
        bool claimed = false;
        if (asserted)
            claimed = RunServiceRoutine(interrupt) != FALSE;
        const bool stillAsserted = asserted && !claimed && asserted_();
        l.lock();
        running_ = false;
        idle_.notify_all();
        if (stillAsserted) {
            // A line nobody claims stays asserted: a machine would take it again and again.
            ++storms_;
            DbgPrint("interrupt storm: vector 0x%X stays asserted, its ISR declines it\n", vector_);
        }
        if (!claimed)
            break;
        ++claimed_;
    }
}

}  // namespace wdm

using namespace wdm;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE) {
    WdmAssert(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.lock);
    const auto physical = static_cast<ULONGLONG>(PhysicalAddress.QuadPart);
    auto it = bus.memory.upper_bound(physical);
    if (it == bus.memory.begin() || NumberOfBytes == 0)
        return nullptr;
    --it;
    if (physical + NumberOfBytes > it->first + it->second.length)
        return nullptr;
    // Reserved, inaccessible pages: registers are reached only through READ_/WRITE_REGISTER_*.
    void* va = ::mmap(nullptr, NumberOfBytes, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (va == MAP_FAILED)
        return nullptr;
    bus.mappings[reinterpret_cast<ULONG_PTR>(va)] =
        Mapping{NumberOfBytes, it->second.device, it->second.window,
                static_cast<ULONG>(physical - it->first)};
    return va;
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.lock);
    auto it = bus.mappings.find(reinterpret_cast<ULONG_PTR>(BaseAddress));
    WdmAssert(it != bus.mappings.end() && it->second.length == NumberOfBytes);
    bus.mappings.erase(it);
    ::munmap(BaseAddress, NumberOfBytes);
}

UCHAR READ_PORT_UCHAR(PUCHAR Port) {
    return static_cast<UCHAR>(ReadPort(reinterpret_cast<ULONG_PTR>(Port), 1));
}
USHORT READ_PORT_USHORT(PUSHORT Port) {
    return static_cast<USHORT>(ReadPort(reinterpret_cast<ULONG_PTR>(Port), 2));
}
ULONG READ_PORT_ULONG(PULONG Port) {
    return ReadPort(reinterpret_cast<ULONG_PTR>(Port), 4);
}
void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
    WritePort(reinterpret_cast<ULONG_PTR>(Port), 1, Value);
}
void WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
    WritePort(reinterpret_cast<ULONG_PTR>(Port), 2, Value);
}
void WRITE_PORT_ULONG(PULONG Port, ULONG Value) {
    WritePort(reinterpret_cast<ULONG_PTR>(Port), 4, Value);
}

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) {
    return static_cast<UCHAR>(ReadRegister(Register, 1));
}
USHORT READ_REGISTER_USHORT(volatile USHORT* Register) {
    return static_cast<USHORT>(ReadRegister(Register, 2));
}
ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
    return ReadRegister(Register, 4);
}
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
    WriteRegister(Register, 1, Value);
}
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) {
    WriteRegister(Register, 2, Value);
}
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
    WriteRegister(Register, 4, Value);
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
    if (Mdl->MappedSystemVa == nullptr) {
        Mdl->MappedSystemVa = static_cast<char*>(Mdl->StartVa) + Mdl->ByteOffset;
    }
    return Mdl->MappedSystemVa;
}

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                            PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                            KIRQL SynchronizeIrql, KINTERRUPT_MODE, BOOLEAN, KAFFINITY, BOOLEAN) {
    WdmAssert(KeGetCurrentIrql() == PASSIVE_LEVEL);
    WdmAssert(SynchronizeIrql >= Irql && Irql > DISPATCH_LEVEL);
    InterruptLine* line = FindInterruptLine(Vector);
    if (line == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* interrupt = new (NonPagedPool) _KINTERRUPT;
    if (interrupt == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    interrupt->ServiceRoutine = ServiceRoutine;
    interrupt->ServiceContext = ServiceContext;
    KeInitializeSpinLock(&interrupt->OwnLock);
    interrupt->Lock = SpinLock != nullptr ? SpinLock : &interrupt->OwnLock;
    interrupt->SynchronizeIrql = SynchronizeIrql;
    interrupt->Line = line;
    *InterruptObject = interrupt;  // visible before the first service routine runs
    if (!line->Connect(interrupt)) {
        *InterruptObject = nullptr;
        interrupt->~_KINTERRUPT();
        ExFreePool(interrupt);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

void IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
    WdmAssert(KeGetCurrentIrql() == PASSIVE_LEVEL);
    InterruptObject->Line->Disconnect(InterruptObject);
    InterruptObject->~_KINTERRUPT();
    ExFreePool(InterruptObject);
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
    KIRQL& irql = CurrentIrql();
    WdmAssert(irql <= Interrupt->SynchronizeIrql);
    const KIRQL old = irql;
    irql = Interrupt->SynchronizeIrql;
    KeAcquireSpinLockAtDpcLevel(Interrupt->Lock);
    BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
    KeReleaseSpinLockFromDpcLevel(Interrupt->Lock);
    irql = old;
    return result;
}
