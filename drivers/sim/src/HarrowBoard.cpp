// The simulated multi-sensor board: control, cable loop-back, power and receive FIFO registers.
#include "BoardCommon.h"

#include <algorithm>

namespace boardsim {

using namespace detail;

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

HarrowBoard::HarrowBoard(const HarrowBoardConfig& config) : config_(config) {
    const SensorGeometry g = GeometryOf(config.sensor);
    Attach(config.slot, 4, config.resourceFault, TestPattern(g.columns, g.rows),
           config.pixelClockWordsPerMs);
}

HarrowBoard::~HarrowBoard() {
    Detach();
}

std::vector<uint16_t> HarrowBoard::TestPattern(ULONG columns, ULONG rows) {
    return RampPattern(columns, rows, 7, 3, 0x3FF);
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

std::vector<uint32_t> HarrowBoard::PackedLocked(const std::vector<uint16_t>& pixels) const {
    return PackImage(pixels);
}

bool HarrowBoard::DataWaitingLocked() const {
    return (interruptMode_ & kInterruptOnData) != 0 && (!fifo_.empty() || config_.fifoStuck);
}

bool HarrowBoard::CatchUpLocked() {
    return StreamByClock(sending_, fifo_, config_.fifoDepthWords, overrun_);
}

void HarrowBoard::DeliverLocked() {
    if (sending_.wordsPerMs != 0) {
        CatchUpLocked();
        return;
    }
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
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - poweredSince_ < kLoopbackSettle100ns)
        return status;  // the cable's loop-back is not up yet: every line reads low
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

void HarrowBoard::BridgeWrittenLocked() {
    DeliverLocked();
}

ULONG HarrowBoard::ReadWindowLocked(int window) {
    switch (window) {
        case 0:
            return StatusLocked();
        case 1:
            return PopFifoLocked(config_.fifoStuck);
        case 2: {
            ULONG flags = overrun_ ? 0x8u : 0u;
            overrun_ = false;  // read to clear
            return flags;
        }
        default:
            return 0;
    }
}

void HarrowBoard::WriteWindowLocked(int window, ULONG value) {
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
        case 2: {
            const USHORT was = power_;
            power_ = static_cast<USHORT>(value & 1);
            if (power_ == 0)
                sending_.Stop();
            if (power_ != 0 && was == 0) {
                LARGE_INTEGER now;
                KeQuerySystemTime(&now);
                poweredSince_ = now.QuadPart;
            }
            break;
        }
        case 3:
            cable_ = static_cast<USHORT>(value & 0xF);
            break;
        default:
            break;
    }
}

bool HarrowBoard::CanExposeLocked() const {
    return power_ != 0 && config_.sensor != SensorModel::None;
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

}  // namespace boardsim
