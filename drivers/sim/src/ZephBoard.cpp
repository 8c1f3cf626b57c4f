// The simulated single-sensor board: command interface, mode byte and its sensor.
#include "BoardCommon.h"

#include <algorithm>

namespace boardsim {

using namespace detail;

ZephBoard::ZephBoard(const ZephBoardConfig& config) : config_(config) {
    Attach(config.slot, 3, config.resourceFault, TestPattern(kColumns, kRows),
           config.pixelClockWordsPerMs);
}

ZephBoard::~ZephBoard() {
    Detach();
}

std::vector<uint16_t> ZephBoard::TestPattern(ULONG columns, ULONG rows) {
    return RampPattern(columns, rows, 11, 5, 0xFFF);
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

void ZephBoard::MarkRows(std::vector<uint32_t>& words, ULONG columns) {
    const size_t perRow = (columns + 1) / 2;
    for (size_t i = 0; i < words.size(); i += perRow) {
        words[i] |= kRowStartMark;
        words[std::min(i + perRow, words.size()) - 1] |= kRowEndMark;
    }
    if (!words.empty())
        words.back() |= kImageEndMark;
}

bool ZephBoard::PoweredLocked() const {
    return (mode_ & 0x40) != 0 && !bridge_.LocalResetAsserted() && config_.sensorPresent;
}

std::vector<uint32_t> ZephBoard::PackedLocked(const std::vector<uint16_t>& pixels) const {
    std::vector<uint32_t> words = PackImage(pixels);
    if (config_.markRows)
        MarkRows(words, kColumns);
    return words;
}

bool ZephBoard::DataWaitingLocked() const {
    return !fifo_.empty() || config_.fifoStuck;
}

bool ZephBoard::ClockRunningLocked() const {
    // The sensor sends while the board waits for data (mode bits 0-1), read or not.
    return BridgedBoard::ClockRunningLocked() && (mode_ & 3) == 3 && !testAnswering_ &&
           PoweredLocked();
}

bool ZephBoard::CatchUpLocked() {
    if (!ClockRunningLocked())
        return false;
    return StreamByClock(sending_, fifo_, config_.fifoDepthWords, overrun_);
}

void ZephBoard::DeliverLocked() {
    if (sending_.wordsPerMs != 0 && !testAnswering_) {
        CatchUpLocked();
        return;
    }
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

void ZephBoard::BridgeWrittenLocked() {
    if (bridge_.LocalResetAsserted()) {
        awake_ = false;
        testAnswering_ = false;
        sending_.Stop();
    }
    NotePowerLocked();
    DeliverLocked();
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

ULONG ZephBoard::ReadWindowLocked(int window) {
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
        case 1:
            return PopFifoLocked(config_.fifoStuck);
        default:
            return 0;
    }
}

void ZephBoard::WriteWindowLocked(int window, ULONG value) {
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
        case 2: {
            const bool waited = (mode_ & 3) == 3;
            mode_ = static_cast<UCHAR>(value);
            if (!waited && (mode_ & 3) == 3 && sending_.wordsPerMs != 0) {
                // The pixel clock starts when the board begins to wait for data.
                LARGE_INTEGER now;
                KeQuerySystemTime(&now);
                sending_.startedAt = now.QuadPart;
            }
            if ((mode_ & 0x40) == 0) {
                awake_ = false;
                testAnswering_ = false;
                sending_.Stop();
            }
            NotePowerLocked();
            break;
        }
        default:
            break;
    }
}

bool ZephBoard::CanExposeLocked() const {
    return PoweredLocked() && awake_;
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
