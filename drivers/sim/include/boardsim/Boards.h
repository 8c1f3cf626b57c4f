// Register-level models of the two PCI capture boards and their cabled sensors.
#pragma once

#include <wdmhost.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace boardsim {

// ---------------------------------------------------------------------------------------------
// The PCI bridge both boards carry: interrupt control/status (port 0x38), bus-master control
// (port 0x3C) whose upper half is the NVRAM access word (port 0x3E), port 0x60, and three
// read-only configuration words. Not thread-safe: the owning board serialises.
class Bridge {
public:
    static constexpr ULONG kPortWindowBytes = 0x80;
    static constexpr ULONG kNvramBytes = 2048;
    static constexpr int kNvramBusyPolls = 2;  // reads of the word that show it busy
    // After a byte write the cell programs for this long and refuses every command meanwhile.
    static constexpr LONGLONG kNvramProgramming100ns = 20 * 10000;
    static constexpr ULONG kReceiveInterruptEnable = 0x2000;
    static constexpr ULONG kInterruptPending = 0x800000;
    static constexpr ULONG kLocalReset = 0x01000000;  // bit 24 of the bus-master control

    Bridge();
    // `dataWaiting` decides the pending bit of port 0x38.
    ULONG ReadPort(ULONG offset, int width, bool dataWaiting);
    void WritePort(ULONG offset, int width, ULONG value);

    bool ReceiveInterruptsEnabled() const { return (intCsr_ & kReceiveInterruptEnable) != 0; }
    bool LocalResetAsserted() const { return (busMaster_ & kLocalReset) != 0; }
    ULONG InterruptControl() const { return intCsr_; }
    ULONG Port60() const { return port60_; }

    std::vector<uint8_t> nvram;
    bool nvramFault = false;       // the fault bit rises after every byte read or written
    uint64_t refusedCommands = 0;  // NVRAM commands that came while a cell was programming

private:
    void NvramCommand(USHORT word);
    USHORT NvramWordForRead();

    ULONG intCsr_ = 0;
    ULONG busMaster_ = 0;  // bits 0-15 and the control bits 24-27
    ULONG port60_ = 0;
    USHORT nvramAddress_ = 0;
    UCHAR nvramData_ = 0;
    int nvramBusy_ = 0;
    bool nvramFaultRaised_ = false;
    LONGLONG programmingUntil_ = 0;
};

// The words a sensor has yet to send: a window on its packed image, so an exposure starts at
// once however large the image is. With a pixel clock (`wordsPerMs` non-zero) the words leave
// the sensor at that rate from `startedAt` on, read or not; without one they come in bursts
// when the receiver is ready for them.
struct SensorStream {
    const std::vector<uint32_t>* words = nullptr;
    size_t position = 0;
    ULONG wordsPerMs = 0;
    LONGLONG startedAt = 0;  // simulated system time, 100 ns units
    bool Empty() const { return words == nullptr || position >= words->size(); }
    void Start(const std::vector<uint32_t>& image) {
        words = &image;
        position = 0;
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        startedAt = now.QuadPart;
    }
    void Stop() { words = nullptr; }
};

// Where a board sits on the simulated bus (slot 0, 1, ...).
struct BusPlacement {
    static ULONG PortBase(int slot) { return 0xE000 + 0x100 * static_cast<ULONG>(slot); }
    static ULONGLONG MemoryBase(int slot, int window) {
        return 0xF0000000ULL + 0x100000ULL * static_cast<ULONGLONG>(slot) +
               0x10000ULL * static_cast<ULONGLONG>(window);
    }
    static ULONG Vector(int slot) { return 0x30 + static_cast<ULONG>(slot); }
    static ULONG Level(int slot) { return 8 + static_cast<ULONG>(slot); }
    static constexpr ULONG kMemoryWindowBytes = 0x1000;
};

// Faults of the board's resource list, for the start paths.
enum class ResourceFault { None, MissingMemoryWindow, UnmappableMemoryWindow, MissingInterrupt };

// ---------------------------------------------------------------------------------------------
// Multi-sensor board with its cable to one of three sensor models.

enum class SensorModel { None, Zeph, Osprey, Kestrel };

enum class LineFault {
    None,
    StuckHigh,  // reads high whatever is driven
    StuckLow,   // reads low whatever is driven
    NoFollow,   // stays at its rest level when driven
};

struct SensorGeometry {
    ULONG columns;
    ULONG rows;
};
SensorGeometry GeometryOf(SensorModel model);

struct HarrowBoardConfig {
    int slot = 0;
    SensorModel sensor = SensorModel::Kestrel;
    LineFault sync = LineFault::None;
    LineFault clock = LineFault::None;
    LineFault data = LineFault::None;
    bool dataHighAtRest = false;
    bool speedAckStuck = false;  // the speed command is never acknowledged
    bool fifoStuck = false;      // the FIFO never drains
    bool autoExpose = true;      // the sensor sends its image once readout is armed
    ULONG fifoDepthWords = 8192;
    ULONG burstWords = 4096;  // words the sensor sends per burst; above the depth: overrun
    // FIFO words per millisecond of simulated time the sensor sends once readout starts, read
    // or not; 0 sends bursts as the receiver takes them.
    ULONG pixelClockWordsPerMs = 0;
    ResourceFault resourceFault = ResourceFault::None;
};

// What both boards share: the PCI bridge behind one register lock, the access count, the
// sensor's image on its way through the receive FIFO, and the interrupt line.
class BridgedBoard : public wdm::SimulatedBoard {
public:
    ULONG InterruptControl() const;
    bool LocalResetAsserted() const;
    std::vector<uint8_t> Nvram() const;
    void SetNvram(const std::vector<uint8_t>& bytes);
    void SetNvramFault(bool fault);
    // Register accesses since creation: a request that must leave the hardware alone.
    uint64_t AccessCount() const;
    // NVRAM commands refused because a cell was still programming.
    uint64_t RefusedNvramCommands() const;

    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Resources() const override;
    ULONG ReadPort(ULONG offset, int widthBytes) override;
    void WritePort(ULONG offset, int widthBytes, ULONG value) override;
    // The memory windows hold the board's own registers at offset 0 of each.
    ULONG ReadMemory(int window, ULONG offset, int widthBytes) override;
    void WriteMemory(int window, ULONG offset, int widthBytes, ULONG value) override;

    // The image the sensor sends (row-major pixels); by default the board's test pattern.
    // Setting one stops what the sensor was sending.
    void SetImage(std::vector<uint16_t> pixels);
    std::vector<uint16_t> Image() const;
    // Starts sending the image now, when the sensor is ready to (readout need not be armed:
    // the words wait for it).
    void Expose();
    // FIFO words per millisecond the sensor sends once readout starts; 0 sends bursts as the
    // receiver takes them. Setting it stops what the sensor was sending.
    void SetPixelClock(ULONG wordsPerMs);
    wdm::InterruptLine& Line() { return *line_; }
    // While its pixel clock runs the board holds a request for real-time ticks (wdmhost.h).
    void TimeMoved() override;

protected:
    // Gives the sensor its first image and pixel clock, places the board on the bus at `slot`
    // with `memoryWindows` windows and raises its interrupt line; the derived board calls it
    // once it is fully built. `fault` spoils the resource list the board reports.
    void Attach(int slot, int memoryWindows, ResourceFault fault, std::vector<uint16_t> image,
                ULONG pixelClockWordsPerMs);
    // Leaves the bus, gives up its ticks and drops the line; the derived board calls it first
    // on destruction.
    void Detach();
    // The sensor's image as the FIFO carries it.
    virtual std::vector<uint32_t> PackedLocked(const std::vector<uint16_t>& pixels) const = 0;
    // FIFO data that may raise the receive interrupt (the pending bit of port 0x38).
    virtual bool DataWaitingLocked() const = 0;
    // What the board does after a bridge register was written.
    virtual void BridgeWrittenLocked() = 0;
    // The register at offset 0 of memory window `window`.
    virtual ULONG ReadWindowLocked(int window) = 0;
    virtual void WriteWindowLocked(int window, ULONG value) = 0;
    // Hands the sensor's words to the FIFO as the receiver and the pixel clock allow.
    virtual void DeliverLocked() = 0;
    // Whether the sensor can start sending its image.
    virtual bool CanExposeLocked() const = 0;
    // Moves the words the pixel clock has sent since the last look into the FIFO.
    virtual bool CatchUpLocked() = 0;
    // Whether words are leaving the sensor on its pixel clock now.
    virtual bool ClockRunningLocked() const;
    // Takes the next FIFO word; an empty or stuck FIFO reads all ones.
    uint32_t PopFifoLocked(bool stuck);
    // A ramp test pattern: pixel (r, c) is (r * rowWeight + c * columnWeight) & mask.
    static std::vector<uint16_t> RampPattern(ULONG columns, ULONG rows, ULONG rowWeight,
                                             ULONG columnWeight, uint16_t mask);

    mutable std::mutex lock_;
    Bridge bridge_;
    uint64_t accesses_ = 0;  // guarded by lock_, as is all below
    std::vector<uint16_t> image_;
    std::vector<uint32_t> packed_;
    std::deque<uint32_t> fifo_;
    SensorStream sending_;
    bool overrun_ = false;
    std::unique_ptr<wdm::InterruptLine> line_;

private:
    // Takes or gives up the board's tick request as its pixel clock starts or stops.
    void UpdateTicksLocked();

    int slot_ = 0;
    int memoryWindows_ = 0;
    ResourceFault resourceFault_ = ResourceFault::None;
    bool ticksHeld_ = false;
};

class HarrowBoard : public BridgedBoard {
public:
    static constexpr int kSpeedAckPolls = 2;
    // After power comes on, the cable lines read low, driven or not, for this long.
    static constexpr LONGLONG kLoopbackSettle100ns = 2 * 10000;
    // Interrupt-mode word: bit 0 lets FIFO data raise the receive interrupt.
    static constexpr USHORT kInterruptOnData = 0x0001;

    explicit HarrowBoard(const HarrowBoardConfig& config);
    ~HarrowBoard() override;

    bool SensorPowered() const;
    USHORT ControlWord() const;
    USHORT InterruptMode() const;
    USHORT CableLines() const;
    ULONG Port60() const;
    size_t FifoWords() const;

    // Three 10-bit pixels per FIFO word, stored inverted.
    static std::vector<uint32_t> PackImage(const std::vector<uint16_t>& pixels);
    static std::vector<uint16_t> TestPattern(ULONG columns, ULONG rows);

private:
    std::vector<uint32_t> PackedLocked(const std::vector<uint16_t>& pixels) const override;
    // FIFO data that the interrupt-mode word lets raise the receive interrupt.
    bool DataWaitingLocked() const override;
    void BridgeWrittenLocked() override;
    bool CatchUpLocked() override;
    ULONG ReadWindowLocked(int window) override;
    void WriteWindowLocked(int window, ULONG value) override;
    void DeliverLocked() override;
    bool CanExposeLocked() const override;
    USHORT StatusLocked();

    HarrowBoardConfig config_;
    USHORT control_ = 0;
    USHORT interruptMode_ = 0;
    USHORT power_ = 0;
    USHORT cable_ = 0;
    LONGLONG poweredSince_ = 0;
    int speedAckPolls_ = 0;
    bool speedAck_ = false;
};

// ---------------------------------------------------------------------------------------------
// Single-sensor board: a command interface to its sensor, two 12-bit pixels per FIFO word.

struct ZephBoardConfig {
    int slot = 0;
    bool sensorPresent = true;
    bool commandBusyStuck = false;    // the command interface never accepts a command
    bool fifoStuck = false;           // the FIFO never drains
    bool answerWithoutBit18 = false;  // the self-test answer lacks its marker bit
    bool autoExpose = true;           // the readout command starts the image at once
    ULONG fifoDepthWords = 8192;
    ULONG burstWords = 4096;
    ULONG testBurstWords = 16;
    ULONG pixelClockWordsPerMs = 0;  // as for the multi-sensor board
    // The sensor marks the first and last word of every row (bits 1 and 2) and the image's last
    // word (bit 17).
    bool markRows = false;
    ResourceFault resourceFault = ResourceFault::None;
};

class ZephBoard : public BridgedBoard {
public:
    static constexpr int kCommandBusyPolls = 2;
    static constexpr USHORT kWakeCommand = 0xAA00;
    static constexpr uint32_t kAnswerBit = 0x40000;
    // After power comes on, the sensor ignores the wake word for this long.
    static constexpr LONGLONG kPowerSettle100ns = 500LL * 10000;
    static constexpr ULONG kColumns = 682;
    static constexpr ULONG kRows = 456;
    static constexpr uint32_t kRowStartMark = 0x00002;
    static constexpr uint32_t kRowEndMark = 0x00004;
    static constexpr uint32_t kImageEndMark = 0x20000;

    explicit ZephBoard(const ZephBoardConfig& config);
    ~ZephBoard() override;

    bool SensorPowered() const;
    bool SensorAwake() const;
    UCHAR ModeByte() const;
    std::vector<USHORT> Commands() const;  // every command word written, in order

    // Two 12-bit pixels per FIFO word (bits 4-15 and 20-31), stored inverted.
    static std::vector<uint32_t> PackImage(const std::vector<uint16_t>& pixels);
    static std::vector<uint16_t> TestPattern(ULONG columns, ULONG rows);
    // Sets the row-start, row-end and image-end marks on packed words of `columns`-wide rows.
    static void MarkRows(std::vector<uint32_t>& words, ULONG columns);

private:
    std::vector<uint32_t> PackedLocked(const std::vector<uint16_t>& pixels) const override;
    bool DataWaitingLocked() const override;
    // A local reset stops the sensor.
    void BridgeWrittenLocked() override;
    bool CatchUpLocked() override;
    // The sensor sends only while the board waits for data, not while it answers a self-test.
    bool ClockRunningLocked() const override;
    ULONG ReadWindowLocked(int window) override;
    void WriteWindowLocked(int window, ULONG value) override;
    void DeliverLocked() override;
    bool CanExposeLocked() const override;
    void CommandLocked(USHORT word);
    bool PoweredLocked() const;
    // Notes when the sensor's power came on.
    void NotePowerLocked();

    ZephBoardConfig config_;
    bool testAnswering_ = false;
    bool awake_ = false;
    bool wasPowered_ = false;
    LONGLONG poweredSince_ = 0;
    UCHAR mode_ = 0;
    int busyPolls_ = 0;
    USHORT threshold_ = 0;
    std::vector<USHORT> commands_;
};

}  // namespace boardsim
