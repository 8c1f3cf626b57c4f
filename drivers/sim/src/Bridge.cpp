// The PCI bridge both simulated boards carry (interrupt control, NVRAM) and their shared state.
#include "BoardCommon.h"

#include <algorithm>

namespace boardsim {
namespace detail {

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> StandardResources(int slot, int memoryWindows,
                                                              ResourceFault fault) {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> list;
    CM_PARTIAL_RESOURCE_DESCRIPTOR port{};
    port.Type = CmResourceTypePort;
    port.ShareDisposition = CmResourceShareDeviceExclusive;
    port.Flags = CM_RESOURCE_PORT_IO;
    port.u.Port.Start.QuadPart = BusPlacement::PortBase(slot);
    port.u.Port.Length = Bridge::kPortWindowBytes;
    list.push_back(port);
    for (int w = 0; w < memoryWindows; ++w) {
        if (fault == ResourceFault::MissingMemoryWindow && w == memoryWindows - 1)
            break;
        CM_PARTIAL_RESOURCE_DESCRIPTOR memory{};
        memory.Type = CmResourceTypeMemory;
        memory.ShareDisposition = CmResourceShareDeviceExclusive;
        memory.u.Memory.Start.QuadPart = static_cast<LONGLONG>(BusPlacement::MemoryBase(slot, w));
        if (fault == ResourceFault::UnmappableMemoryWindow && w == memoryWindows - 1) {
            memory.u.Memory.Start.QuadPart = 0x10000;  // nothing answers there
        }
        memory.u.Memory.Length = BusPlacement::kMemoryWindowBytes;
        list.push_back(memory);
    }
    if (fault != ResourceFault::MissingInterrupt) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR interrupt{};
        interrupt.Type = CmResourceTypeInterrupt;
        interrupt.ShareDisposition = CmResourceShareShared;
        interrupt.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
        interrupt.u.Interrupt.Level = BusPlacement::Level(slot);
        interrupt.u.Interrupt.Vector = BusPlacement::Vector(slot);
        interrupt.u.Interrupt.Affinity = 1;
        list.push_back(interrupt);
    }
    return list;
}

void PlaceOnBus(wdm::HwDevice* device, int slot, int memoryWindows) {
    wdm::BusAddPortRange(BusPlacement::PortBase(slot), Bridge::kPortWindowBytes, device);
    for (int w = 0; w < memoryWindows; ++w) {
        wdm::BusAddMemoryRange(BusPlacement::MemoryBase(slot, w), BusPlacement::kMemoryWindowBytes,
                               device, w);
    }
}

void DeliverBurst(SensorStream& sending, std::deque<uint32_t>& fifo, ULONG burstWords,
                  ULONG depthWords, bool& overrun) {
    for (ULONG i = 0; i < burstWords && !sending.Empty(); ++i) {
        const uint32_t word = (*sending.words)[sending.position++];
        if (fifo.size() < depthWords) {
            fifo.push_back(word);
        } else {
            overrun = true;
        }
    }
}

bool StreamByClock(SensorStream& sending, std::deque<uint32_t>& fifo, ULONG depthWords,
                   bool& overrun) {
    if (sending.Empty() || sending.wordsPerMs == 0)
        return false;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG elapsed = now.QuadPart - sending.startedAt;
    const size_t due =
        elapsed <= 0 ? 0 : static_cast<size_t>(elapsed * sending.wordsPerMs / (LONGLONG{10000}));
    const size_t target = std::min(due, sending.words->size());
    if (sending.position >= target)
        return false;
    while (sending.position < target && fifo.size() < depthWords)
        fifo.push_back((*sending.words)[sending.position++]);
    if (sending.position < target) {
        overrun = true;  // the rest is lost: nobody emptied the FIFO in time
        sending.position = target;
    }
    return true;
}

}  // namespace detail

using namespace detail;

// ---- Bridge

Bridge::Bridge() : nvram(kNvramBytes, 0xFF) {}

USHORT Bridge::NvramWordForRead() {
    USHORT word = static_cast<USHORT>(((busMaster_ >> 16) & 0x0F00) | nvramData_);
    if (nvramBusy_ > 0) {
        word |= 0x8000;
        --nvramBusy_;
    }
    if (nvramFaultRaised_)
        word |= 0x1000;
    return word;
}

void Bridge::NvramCommand(USHORT word) {
    if ((word & 0x8000) == 0)
        return;  // no strobe, no command
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart < programmingUntil_) {
        ++refusedCommands;  // a cell is still being programmed: the command is lost
        return;
    }
    const UCHAR byte = static_cast<UCHAR>(word & 0xFF);
    switch ((word >> 13) & 3) {
        case 0:
            nvramAddress_ = static_cast<USHORT>((nvramAddress_ & 0xFF00) | byte);
            break;
        case 1:
            nvramAddress_ = static_cast<USHORT>((nvramAddress_ & 0x00FF) | (byte << 8));
            break;
        case 2:
            nvram[nvramAddress_ % kNvramBytes] = byte;
            nvramFaultRaised_ = nvramFault;
            programmingUntil_ = now.QuadPart + kNvramProgramming100ns;
            break;
        case 3:
            nvramData_ = nvram[nvramAddress_ % kNvramBytes];
            nvramFaultRaised_ = nvramFault;
            break;
    }
    nvramBusy_ = kNvramBusyPolls;
}

ULONG Bridge::ReadPort(ULONG offset, int width, bool dataWaiting) {
    switch (offset) {
        case 0x0C:
            return kConfigWord0C;
        case 0x1C:
            return kConfigWord1C;
        case 0x34:
            return kConfigWord34;
        case 0x38: {
            ULONG value = intCsr_;
            if (ReceiveInterruptsEnabled() && dataWaiting)
                value |= kInterruptPending;
            return value;
        }
        case 0x3C: {
            ULONG low = busMaster_ & 0xFFFF;
            if (width == 2)
                return low;
            return low | (static_cast<ULONG>(NvramWordForRead()) << 16);
        }
        case 0x3E:
            return NvramWordForRead();
        case 0x60:
            return port60_;
        default:
            return 0;
    }
}

void Bridge::WritePort(ULONG offset, int width, ULONG value) {
    switch (offset) {
        case 0x38:
            // Bits 16-17 acknowledge latched local interrupts; the pending bit is read-only.
            intCsr_ = value & ~(0x30000u | kInterruptPending);
            break;
        case 0x3C:
            busMaster_ = (value & 0xFFFF) | (value & 0x0F000000);
            if (width == 4)
                NvramCommand(static_cast<USHORT>(value >> 16));
            break;
        case 0x3E:
            NvramCommand(static_cast<USHORT>(value));
            break;
        case 0x60:
            port60_ = value;
            break;
        default:
            break;
    }
}

// ---- Bridge state both boards expose

ULONG BridgedBoard::InterruptControl() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bridge_.InterruptControl();
}
bool BridgedBoard::LocalResetAsserted() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bridge_.LocalResetAsserted();
}
std::vector<uint8_t> BridgedBoard::Nvram() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bridge_.nvram;
}
void BridgedBoard::SetNvram(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    std::copy_n(bytes.begin(), std::min(bytes.size(), bridge_.nvram.size()), bridge_.nvram.begin());
}
void BridgedBoard::SetNvramFault(bool fault) {
    std::lock_guard<std::mutex> guard(lock_);
    bridge_.nvramFault = fault;
}
uint64_t BridgedBoard::AccessCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return accesses_;
}

uint64_t BridgedBoard::RefusedNvramCommands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bridge_.refusedCommands;
}

// ---- Bus placement, image and FIFO both boards share

void BridgedBoard::Attach(int slot, int memoryWindows, ResourceFault fault,
                          std::vector<uint16_t> image, ULONG pixelClockWordsPerMs) {
    image_ = std::move(image);
    packed_ = PackedLocked(image_);
    sending_.wordsPerMs = pixelClockWordsPerMs;
    slot_ = slot;
    memoryWindows_ = memoryWindows;
    resourceFault_ = fault;
    PlaceOnBus(this, slot, memoryWindows);
    line_ = std::make_unique<wdm::InterruptLine>(BusPlacement::Vector(slot), [this] {
        std::lock_guard<std::mutex> guard(lock_);
        return bridge_.ReceiveInterruptsEnabled() && DataWaitingLocked();
    });
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> BridgedBoard::Resources() const {
    return StandardResources(slot_, memoryWindows_, resourceFault_);
}

ULONG BridgedBoard::ReadPort(ULONG offset, int widthBytes) {
    std::lock_guard<std::mutex> guard(lock_);
    ++accesses_;
    if (CatchUpLocked())
        UpdateTicksLocked();  // the image may be sent
    return bridge_.ReadPort(offset, widthBytes, DataWaitingLocked());
}

void BridgedBoard::WritePort(ULONG offset, int widthBytes, ULONG value) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++accesses_;
        bridge_.WritePort(offset, widthBytes, value);
        BridgeWrittenLocked();
        UpdateTicksLocked();
    }
    line_->Changed();
}

void BridgedBoard::Detach() {
    // Off the bus first: once that returns no tick reaches the board, and the line it raises
    // is still there for a tick that came before.
    wdm::BusRemoveDevice(this);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ticksHeld_)
            wdm::ReleaseTimeTicks();
        ticksHeld_ = false;
    }
    line_.reset();
}

ULONG BridgedBoard::ReadMemory(int window, ULONG offset, int) {
    std::lock_guard<std::mutex> guard(lock_);
    ++accesses_;
    if (CatchUpLocked())
        UpdateTicksLocked();
    if (offset != 0)
        return 0;
    return ReadWindowLocked(window);
}

void BridgedBoard::WriteMemory(int window, ULONG offset, int, ULONG value) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++accesses_;
        if (offset != 0)
            return;
        WriteWindowLocked(window, value);
        DeliverLocked();
        UpdateTicksLocked();
    }
    line_->Changed();
}

void BridgedBoard::Expose() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!CanExposeLocked())
            return;
        sending_.Start(packed_);
        DeliverLocked();
        UpdateTicksLocked();
    }
    line_->Changed();
}

void BridgedBoard::SetPixelClock(ULONG wordsPerMs) {
    std::lock_guard<std::mutex> guard(lock_);
    sending_.Stop();
    sending_.wordsPerMs = wordsPerMs;
    UpdateTicksLocked();
}

void BridgedBoard::TimeMoved() {
    bool arrived;
    {
        std::lock_guard<std::mutex> guard(lock_);
        arrived = CatchUpLocked();
        if (arrived)
            UpdateTicksLocked();
    }
    if (arrived)
        line_->Changed();
}

bool BridgedBoard::ClockRunningLocked() const {
    return sending_.wordsPerMs != 0 && !sending_.Empty();
}

void BridgedBoard::UpdateTicksLocked() {
    const bool running = ClockRunningLocked();
    if (running == ticksHeld_)
        return;
    ticksHeld_ = running;
    if (running)
        wdm::RequestTimeTicks();
    else
        wdm::ReleaseTimeTicks();
}

void BridgedBoard::SetImage(std::vector<uint16_t> pixels) {
    std::lock_guard<std::mutex> guard(lock_);
    sending_.Stop();
    image_ = std::move(pixels);
    packed_ = PackedLocked(image_);
    UpdateTicksLocked();
}

std::vector<uint16_t> BridgedBoard::Image() const {
    std::lock_guard<std::mutex> guard(lock_);
    return image_;
}

std::vector<uint16_t> BridgedBoard::RampPattern(ULONG columns, ULONG rows, ULONG rowWeight,
                                                ULONG columnWeight, uint16_t mask) {
    std::vector<uint16_t> pixels(static_cast<size_t>(columns) * rows);
    for (ULONG r = 0; r < rows; ++r) {
        for (ULONG c = 0; c < columns; ++c) {
            pixels[static_cast<size_t>(r) * columns + c] =
                static_cast<uint16_t>((r * rowWeight + c * columnWeight) & mask);
        }
    }
    return pixels;
}

uint32_t BridgedBoard::PopFifoLocked(bool stuck) {
    if (stuck || fifo_.empty())
        return kEmptyFifoRead;
    const uint32_t word = fifo_.front();
    fifo_.pop_front();
    return word;
}

}  // namespace boardsim
