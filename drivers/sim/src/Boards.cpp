// The simulated capture boards: bridge registers, NVRAM, receive FIFO, sensor models.
#include "boardsim/Boards.h"

#include <algorithm>

namespace boardsim {
namespace {

// Read-only local-bus configuration words of the bridge, as the register dump shows them.
constexpr ULONG kConfigWord0C = 0x00300000;
constexpr ULONG kConfigWord1C = 0x42430343;
constexpr ULONG kConfigWord34 = 0x00000011;

constexpr ULONG kEmptyFifoRead = 0xFFFFFFFF;

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

// Moves the next burst into an empty FIFO; beyond the FIFO's depth the words are lost.
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

}  // namespace

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

// ---- Multi-sensor board

SensorGeometry GeometryOf(SensorModel model) {
    switch (model) {
        case SensorModel::Zeph:
            return {682, 456};
        case SensorModel::Osprey:
            return {1366, 912};
        case SensorModel::Kestrel:
            return {1638, 1248};
        default:
            return {0, 0};
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

HarrowBoard::HarrowBoard(const HarrowBoardConfig& config) : config_(config) {
    SensorGeometry g = GeometryOf(config.sensor);
    image_ = TestPattern(g.columns, g.rows);
    packed_ = PackImage(image_);
    PlaceOnBus(this, config.slot, 4);
    line_ = std::make_unique<wdm::InterruptLine>(BusPlacement::Vector(config.slot),
                                                 [this] { return Asserted(); });
}

HarrowBoard::~HarrowBoard() {
    line_.reset();
    wdm::BusRemoveDevice(this);
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> HarrowBoard::Resources() const {
    return StandardResources(config_.slot, 4, config_.resourceFault);
}

std::vector<uint16_t> HarrowBoard::TestPattern(ULONG columns, ULONG rows) {
    std::vector<uint16_t> pixels(static_cast<size_t>(columns) * rows);
    for (ULONG r = 0; r < rows; ++r) {
        for (ULONG c = 0; c < columns; ++c) {
            pixels[static_cast<size_t>(r) * columns + c] =
                static_cast<uint16_t>((r * 7 + c * 3) & 0x3FF);
        }
    }
    return pixels;
}

std::vector<uint32_t> HarrowBoard::PackImage(const std::vector<uint16_t>& pixels) {
    std::vector<uint32_t> words;
    words.reserve((pixels.size() + 2) / 3);
    for (size_t i = 0; i < pixels.size(); i += 3) {
        uint32_t w = pixels[i] & 0x3FFu;
        if (i + 1 < pixels.size())
            w |= static_cast<uint32_t>(pixels[i + 1] & 0x3FF) << 10;
        if (i + 2 < pixels.size())
            w |= static_cast<uint32_t>(pixels[i + 2] & 0x3FF) << 20;
        words.push_back(~w);
    }
    return words;
}

bool HarrowBoard::Asserted() {
    std::lock_guard<std::mutex> guard(lock_);
    return bridge_.ReceiveInterruptsEnabled() && (!fifo_.empty() || config_.fifoStuck);
}

void HarrowBoard::DeliverLocked() {
    if (fifo_.empty() && bridge_.ReceiveInterruptsEnabled() && !sending_.Empty()) {
        DeliverBurst(sending_, fifo_, config_.burstWords, config_.fifoDepthWords, overrun_);
    }
}

USHORT HarrowBoard::StatusLocked() {
    USHORT status = 0;
    if (!fifo_.empty() || config_.fifoStuck)
        status |= 0x0001;
    if (speedAckPolls_ > 0 && --speedAckPolls_ == 0)
        speedAck_ = true;
    if (speedAck_)
        status |= 0x0010;
    if (power_ == 0)
        return status;
    // Cable loop-back: each line reads its rest level, inverted while it is driven.
    const bool testing = (cable_ & 0x8) != 0;
    auto level = [&](bool rest, USHORT driveBit, LineFault fault) {
        switch (fault) {
            case LineFault::StuckHigh:
                return true;
            case LineFault::StuckLow:
                return false;
            case LineFault::NoFollow:
                return rest;
            default:
                break;
        }
        const bool driven = testing && (cable_ & driveBit) != 0;
        return rest != driven;
    };
    const SensorModel model = config_.sensor;
    if (model == SensorModel::None)
        return status;  // nothing on the cable: no loop-back
    if (level(model == SensorModel::Zeph, 0x4, config_.sync))
        status |= 0x8000;
    if (level(model == SensorModel::Osprey, 0x2, config_.clock))
        status |= 0x4000;
    if (level(config_.dataHighAtRest, 0x1, config_.data))
        status |= 0x0080;
    return status;
}

ULONG HarrowBoard::ReadPort(ULONG offset, int widthBytes) {
    std::lock_guard<std::mutex> guard(lock_);
    ++accesses_;
    return bridge_.ReadPort(offset, widthBytes, !fifo_.empty() || config_.fifoStuck);
}

void HarrowBoard::WritePort(ULONG offset, int widthBytes, ULONG value) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++accesses_;
        bridge_.WritePort(offset, widthBytes, value);
        DeliverLocked();
    }
    line_->Changed();
}

ULONG HarrowBoard::ReadMemory(int window, ULONG offset, int) {
    std::lock_guard<std::mutex> guard(lock_);
    ++accesses_;
    if (offset != 0)
        return 0;
    switch (window) {
        case 0:
            return StatusLocked();
        case 1: {
            if (config_.fifoStuck)
                return kEmptyFifoRead;
            if (fifo_.empty())
                return kEmptyFifoRead;
            uint32_t word = fifo_.front();
            fifo_.pop_front();
            return word;
        }
        case 2: {
            ULONG flags = overrun_ ? 0x8u : 0u;
            overrun_ = false;  // read to clear
            return flags;
        }
        default:
            return 0;
    }
}

void HarrowBoard::WriteMemory(int window, ULONG offset, int, ULONG value) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++accesses_;
        if (offset != 0)
            return;
        switch (window) {
            case 0:
                control_ = static_cast<USHORT>(value);
                speedAck_ = false;
                speedAckPolls_ = config_.speedAckStuck ? 0 : kSpeedAckPolls;
                if ((control_ & 7) == 7 && power_ != 0 && config_.autoExpose &&
                    config_.sensor != SensorModel::None) {
                    sending_.Start(packed_);
                }
                break;
            case 1:
                interruptMode_ = static_cast<USHORT>(value);
                break;
            case 2:
                power_ = static_cast<USHORT>(value & 1);
                if (power_ == 0)
                    sending_.Stop();
                break;
            case 3:
                cable_ = static_cast<USHORT>(value & 0xF);
                break;
            default:
                break;
        }
        DeliverLocked();
    }
    line_->Changed();
}

void HarrowBoard::SetImage(std::vector<uint16_t> pixels) {
    std::lock_guard<std::mutex> guard(lock_);
    sending_.Stop();
    image_ = std::move(pixels);
    packed_ = PackImage(image_);
}

std::vector<uint16_t> HarrowBoard::Image() const {
    std::lock_guard<std::mutex> guard(lock_);
    return image_;
}

void HarrowBoard::Expose() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (power_ == 0 || config_.sensor == SensorModel::None)
            return;
        sending_.Start(packed_);
        DeliverLocked();
    }
    line_->Changed();
}

bool HarrowBoard::SensorPowered() const {
    std::lock_guard<std::mutex> guard(lock_);
    return power_ != 0;
}
USHORT HarrowBoard::ControlWord() const {
    std::lock_guard<std::mutex> guard(lock_);
    return control_;
}
USHORT HarrowBoard::InterruptMode() const {
    std::lock_guard<std::mutex> guard(lock_);
    return interruptMode_;
}
USHORT HarrowBoard::CableLines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cable_;
}
ULONG HarrowBoard::Port60() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bridge_.Port60();
}
size_t HarrowBoard::FifoWords() const {
    std::lock_guard<std::mutex> guard(lock_);
    return fifo_.size();
}

// ---- Single-sensor board

ZephBoard::ZephBoard(const ZephBoardConfig& config) : config_(config) {
    image_ = TestPattern(kColumns, kRows);
    packed_ = PackImage(image_);
    PlaceOnBus(this, config.slot, 3);
    line_ = std::make_unique<wdm::InterruptLine>(BusPlacement::Vector(config.slot),
                                                 [this] { return Asserted(); });
}

ZephBoard::~ZephBoard() {
    line_.reset();
    wdm::BusRemoveDevice(this);
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> ZephBoard::Resources() const {
    return StandardResources(config_.slot, 3, config_.resourceFault);
}

std::vector<uint16_t> ZephBoard::TestPattern(ULONG columns, ULONG rows) {
    std::vector<uint16_t> pixels(static_cast<size_t>(columns) * rows);
    for (ULONG r = 0; r < rows; ++r) {
        for (ULONG c = 0; c < columns; ++c) {
            pixels[static_cast<size_t>(r) * columns + c] =
                static_cast<uint16_t>((r * 11 + c * 5) & 0xFFF);
        }
    }
    return pixels;
}

std::vector<uint32_t> ZephBoard::PackImage(const std::vector<uint16_t>& pixels) {
    std::vector<uint32_t> words;
    words.reserve((pixels.size() + 1) / 2);
    for (size_t i = 0; i < pixels.size(); i += 2) {
        uint32_t first = (~pixels[i]) & 0xFFFu;
        uint32_t second = i + 1 < pixels.size() ? (~pixels[i + 1]) & 0xFFFu : 0xFFFu;
        words.push_back((first << 4) | (second << 20));
    }
    return words;
}

bool ZephBoard::PoweredLocked() const {
    return (mode_ & 0x40) != 0 && !bridge_.LocalResetAsserted() && config_.sensorPresent;
}

bool ZephBoard::Asserted() {
    std::lock_guard<std::mutex> guard(lock_);
    return bridge_.ReceiveInterruptsEnabled() && (!fifo_.empty() || config_.fifoStuck);
}

void ZephBoard::DeliverLocked() {
    if (!fifo_.empty() || !bridge_.ReceiveInterruptsEnabled() || (mode_ & 3) != 3)
        return;
    if (!PoweredLocked())
        return;
    if (testAnswering_) {
        // The self-test answer repeats for as long as the interface is read.
        for (ULONG i = 0; i < config_.testBurstWords && fifo_.size() < config_.fifoDepthWords;
             ++i) {
            uint32_t word = 0x00100010u * (i + 1);
            if (!config_.answerWithoutBit18 && i == config_.testBurstWords / 2)
                word |= kAnswerBit;
            fifo_.push_back(word);
        }
        return;
    }
    DeliverBurst(sending_, fifo_, config_.burstWords, config_.fifoDepthWords, overrun_);
}

void ZephBoard::CommandLocked(USHORT word) {
    commands_.push_back(word);
    busyPolls_ = kCommandBusyPolls;
    if (!PoweredLocked())
        return;
    if (word == kWakeCommand) {
        // A sensor still settling after power-on does not hear the wake word.
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        if (now.QuadPart - poweredSince_ >= kPowerSettle100ns)
            awake_ = true;
        return;
    }
    if (!awake_)
        return;
    switch (word >> 14) {
        case 0:
            break;  // no operation: proves the interface answers
        case 1:
            testAnswering_ = true;
            break;  // self-test: answer words with bit 18
        case 2:
            if (word & 0x1000) {
                threshold_ = static_cast<USHORT>(word & 0x0FFF);
            } else if (config_.autoExpose) {
                sending_.Start(packed_);
            }
            break;
        case 3:  // stop whatever the sensor sends
            testAnswering_ = false;
            sending_.Stop();
            break;
    }
}

ULONG ZephBoard::ReadPort(ULONG offset, int widthBytes) {
    std::lock_guard<std::mutex> guard(lock_);
    ++accesses_;
    return bridge_.ReadPort(offset, widthBytes, !fifo_.empty() || config_.fifoStuck);
}

void ZephBoard::WritePort(ULONG offset, int widthBytes, ULONG value) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++accesses_;
        bridge_.WritePort(offset, widthBytes, value);
        if (bridge_.LocalResetAsserted()) {
            awake_ = false;
            testAnswering_ = false;
            sending_.Stop();
        }
        NotePowerLocked();
        DeliverLocked();
    }
    line_->Changed();
}

void ZephBoard::NotePowerLocked() {
    const bool powered = PoweredLocked();
    if (powered && !wasPowered_) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        poweredSince_ = now.QuadPart;
    }
    wasPowered_ = powered;
}

ULONG ZephBoard::ReadMemory(int window, ULONG offset, int) {
    std::lock_guard<std::mutex> guard(lock_);
    ++accesses_;
    if (offset != 0)
        return 0;
    switch (window) {
        case 0: {
            UCHAR status = 0;
            if (!fifo_.empty() || config_.fifoStuck)
                status |= 0x02;
            if (config_.commandBusyStuck || busyPolls_ > 0)
                status |= 0x08;
            if (busyPolls_ > 0)
                --busyPolls_;
            if (overrun_)
                status |= 0x10;
            return status;
        }
        case 1: {
            if (config_.fifoStuck || fifo_.empty())
                return kEmptyFifoRead;
            uint32_t word = fifo_.front();
            fifo_.pop_front();
            return word;
        }
        default:
            return 0;
    }
}

void ZephBoard::WriteMemory(int window, ULONG offset, int, ULONG value) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++accesses_;
        if (offset != 0)
            return;
        switch (window) {
            case 0:
                CommandLocked(static_cast<USHORT>(value));
                break;
            case 1:
                if (value & 1) {
                    fifo_.clear();
                    overrun_ = false;
                }
                break;
            case 2:
                mode_ = static_cast<UCHAR>(value);
                if ((mode_ & 0x40) == 0) {
                    awake_ = false;
                    testAnswering_ = false;
                    sending_.Stop();
                }
                NotePowerLocked();
                break;
            default:
                break;
        }
        DeliverLocked();
    }
    line_->Changed();
}

void ZephBoard::SetImage(std::vector<uint16_t> pixels) {
    std::lock_guard<std::mutex> guard(lock_);
    sending_.Stop();
    image_ = std::move(pixels);
    packed_ = PackImage(image_);
}
std::vector<uint16_t> ZephBoard::Image() const {
    std::lock_guard<std::mutex> guard(lock_);
    return image_;
}
void ZephBoard::Expose() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!PoweredLocked() || !awake_)
            return;
        sending_.Start(packed_);
        DeliverLocked();
    }
    line_->Changed();
}
bool ZephBoard::SensorPowered() const {
    std::lock_guard<std::mutex> guard(lock_);
    return PoweredLocked();
}
bool ZephBoard::SensorAwake() const {
    std::lock_guard<std::mutex> guard(lock_);
    return awake_;
}
UCHAR ZephBoard::ModeByte() const {
    std::lock_guard<std::mutex> guard(lock_);
    return mode_;
}
std::vector<USHORT> ZephBoard::Commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

}  // namespace boardsim
