// Fuzzes the device-control and read paths of both capture-board drivers: codes, lengths and
// contents arrive through DeviceIoControl and ReadFile as an application would send them, mixed
// with cancels, resets, PnP stops, surprise removals and power-downs while requests run. Each
// sensor sends in bursts or on its pixel clock, as the input chooses, and simulated time may
// pass while a request runs.
//
// Input: a list of operations, each a selector byte and its operands. Selector bit 0 picks the
// board, bits 1-4 the kind of operation. The first selector's bits 5 and 6 also choose, for the
// whole input, whether the multi-sensor and the single-sensor board's sensor sends on its pixel
// clock rather than in bursts. On a later read, selector bits 5-7 let that many milliseconds of
// simulated time pass at once while it runs.
#include <windows.h>
#include <winioctl.h>

#include <boardsim/Boards.h>
#include <harrow/HarrowDriver.h>
#include <wdmhost.h>
#include <zephdrv/ZephDriver.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr size_t kMaxOperations = 8;
constexpr DWORD kMaxReadBytes = 256;  // keeps each read to a part of one FIFO burst
constexpr int kMaxTimerStepsPerRequest = 24;
// Words a sensor sends per burst: a few interrupts per read, and little to drain at each start.
constexpr ULONG kBurstWords = 32;
// The pixel clock and the FIFO: a read of up to 64 words completes once 4 ms have passed, and
// 5 ms at once overrun the FIFO. A clock this slow next to a capture start's drain (some 500 words
// per ms of register time) and a FIFO this shallow keep that drain about as short as a burst.
constexpr ULONG kPixelClockWordsPerMs = 16;
constexpr ULONG kFifoDepthWords = 64;
constexpr DWORD kSafetyTimeoutMs = 10000;

// Codes worth hitting; others come from the input as raw 32-bit values.
constexpr DWORD kCodes[] = {
    0x80002000, 0x80002004, 0x80002008, 0x8000200C, 0x80002010, 0x80002014, 0x80002018,
    0x80002024, 0x8000202C, 0x80002030, 0x80002034, 0x8000203C, 0x80002040, 0x80002190,
};

struct Rig {
    std::unique_ptr<boardsim::HarrowBoard> harrowBoard;
    std::unique_ptr<boardsim::ZephBoard> zephBoard;
    std::unique_ptr<wdm::DriverHost> harrowHost;
    std::unique_ptr<wdm::DriverHost> zephHost;
    HANDLE devices[2] = {};
    HANDLE event = nullptr;
    HANDLE resetEvent = nullptr;
    size_t slots[2] = {0, 0};  // each host's board slot (a removed board comes back as a new one)

    static HANDLE Open(int which) {
        return CreateFileA(which == 0 ? "\\\\.\\HARROWDRIVER0" : "\\\\.\\ZephDriver0",
                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    wdm::DriverHost& Host(int which) { return which == 0 ? *harrowHost : *zephHost; }
    boardsim::BridgedBoard& Board(int which) {
        return which == 0 ? static_cast<boardsim::BridgedBoard&>(*harrowBoard) : *zephBoard;
    }

    // Between inputs: each sensor stops and takes the clock the new input chooses.
    void SetClocks(uint8_t firstSelector) {
        harrowBoard->SetPixelClock((firstSelector & 0x20) ? kPixelClockWordsPerMs : 0);
        zephBoard->SetPixelClock((firstSelector & 0x40) ? kPixelClockWordsPerMs : 0);
    }

    Rig() {
        // One thread does everything, as a uniprocessor would: no hand-offs between threads.
        wdm::SetExecutionMode(wdm::ExecutionMode::SingleProcessor);
        wdm::SetClockMode(wdm::ClockMode::Simulated);
        boardsim::HarrowBoardConfig h;
        h.sensor = boardsim::SensorModel::Zeph;
        h.burstWords = kBurstWords;
        h.fifoDepthWords = kFifoDepthWords;
        harrowBoard = std::make_unique<boardsim::HarrowBoard>(h);
        boardsim::ZephBoardConfig z;
        z.slot = 1;
        z.burstWords = kBurstWords;
        z.fifoDepthWords = kFifoDepthWords;
        z.markRows = true;
        zephBoard = std::make_unique<boardsim::ZephBoard>(z);
        harrowHost = std::make_unique<wdm::DriverHost>(HarrowDriverEntry, L"Harrow");
        zephHost = std::make_unique<wdm::DriverHost>(ZephDriverEntry, L"ZephDrv");
        harrowHost->AddBoard(*harrowBoard, &slots[0]);
        zephHost->AddBoard(*zephBoard, &slots[1]);
        devices[0] = Open(0);
        devices[1] = Open(1);
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        resetEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (devices[0] == INVALID_HANDLE_VALUE || devices[1] == INVALID_HANDLE_VALUE)
            __builtin_trap();
    }
};

Rig& TheRig() {
    static Rig* rig = new Rig;  // lives for the fuzzing process
    return *rig;
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out(n, 0);
        for (size_t i = 0; i < n && pos_ < size_; ++i)
            out[i] = data_[pos_++];
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Lets `waitMs` of simulated time pass while the request runs, then drives the timers until it
// completes; cancels it if it would wait for ever.
void Complete(HANDLE device, OVERLAPPED* overlapped, uint8_t waitMs = 0) {
    if (waitMs != 0 && !HasOverlappedIoCompleted(overlapped))
        wdm::AdvanceTimeMs(waitMs);
    for (int step = 0; step < kMaxTimerStepsPerRequest && !HasOverlappedIoCompleted(overlapped);
         ++step) {
        if (!wdm::RunNextTimer())
            break;
    }
    wdm::WaitForQuiescence();
    if (!HasOverlappedIoCompleted(overlapped))
        CancelIo(device);
    if (WaitForSingleObject(overlapped->hEvent, kSafetyTimeoutMs) != WAIT_OBJECT_0)
        __builtin_trap();
    DWORD bytes = 0;
    GetOverlappedResult(device, overlapped, &bytes, FALSE);
}

// A PnP or power event while whatever the input left running still runs.
void Disturb(Rig& rig, int which, uint8_t what) {
    wdm::DriverHost& host = rig.Host(which);
    switch (what % 3) {
        case 0:  // stop and restart
            host.StopBoard(rig.slots[which]);
            host.StartBoard(rig.slots[which]);
            break;
        case 1:  // power down and up
            host.SetDevicePower(rig.slots[which], PowerDeviceD3);
            host.SetDevicePower(rig.slots[which], PowerDeviceD0);
            break;
        default:  // pulled out, then enumerated again as a new device
            host.SurpriseRemoveBoard(rig.slots[which]);
            CloseHandle(rig.devices[which]);
            host.RemoveBoard(rig.slots[which]);
            if (!NT_SUCCESS(host.AddBoard(rig.Board(which), &rig.slots[which])))
                __builtin_trap();
            rig.devices[which] = Rig::Open(which);
            if (rig.devices[which] == INVALID_HANDLE_VALUE)
                __builtin_trap();
            break;
    }
}

}  // namespace

// Defaults for this target: the rig's long-lived objects change allocation counts across inputs,
// which makes the per-input leak check scan the whole heap each time, and the entropic schedule
// spends most of the time weighing the many counters the drivers' loops produce. Both stay
// available: a flag given on the command line wins.
// Allocation and free stacks of ten frames reach from the driver into the stand-in, which is
// where a report needs them; recording the default thirty for every IRP, event and buffer took a
// tenth of each input's time. ASAN_OPTIONS given at run time still win.
extern "C" const char* __asan_default_options() {
    return "malloc_context_size=10";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args;
    static char noLeakCheck[] = "-detect_leaks=0";
    static char noEntropic[] = "-entropic=0";
    bool leaks = false, entropic = false;
    for (int i = 0; i < *argc; ++i) {
        leaks = leaks || std::strncmp((*argv)[i], "-detect_leaks=", 14) == 0;
        entropic = entropic || std::strncmp((*argv)[i], "-entropic=", 10) == 0;
    }
    args.assign(*argv, *argv + *argc);
    if (!leaks)
        args.insert(args.begin() + 1, noLeakCheck);
    if (!entropic)
        args.insert(args.begin() + 1, noEntropic);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& rig = TheRig();
    Input in(data, size);
    rig.SetClocks(size != 0 ? data[0] : 0);
    bool disturbed = false;  // one PnP or power event an input: re-enumeration is costly
    for (size_t op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        const uint8_t selector = in.Byte();
        HANDLE device = rig.devices[selector & 1];
        OVERLAPPED overlapped{};
        overlapped.hEvent = rig.event;
        const uint8_t kind = (selector >> 1) & 15;
        const uint8_t waitMs = op == 0 ? 0 : selector >> 5;
        if (kind >= 8 && kind < 12 && !disturbed) {
            disturbed = true;
            // A request left running (a read or a power-on) meets a PnP or power event.
            if (kind & 1) {
                std::vector<uint8_t> buffer(64);
                ReadFile(device, buffer.data(), 64, nullptr, &overlapped);
                Disturb(rig, selector & 1, in.Byte());
                Complete(rig.devices[selector & 1], &overlapped, waitMs);
            } else {
                Disturb(rig, selector & 1, in.Byte());
            }
            continue;
        }
        if (kind >= 8) {
            // A read cancelled or reset while it runs.
            std::vector<uint8_t> buffer(in.Byte() % (kMaxReadBytes / 4) * 4 + 4);
            ReadFile(device, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                     &overlapped);
            if (waitMs != 0)
                wdm::AdvanceTimeMs(waitMs);
            if (kind & 1) {
                DWORD bytes = 0;
                OVERLAPPED reset{};
                reset.hEvent = rig.resetEvent;
                DeviceIoControl(device, 0x80002018, nullptr, 0, nullptr, 0, &bytes, &reset);
                Complete(device, &reset);
            }
            CancelIo(device);
            Complete(device, &overlapped);
            continue;
        }
        if (kind == 7) {
            // A read of a small buffer, guarded so an overrun shows.
            const DWORD length = in.Word() % (kMaxReadBytes + 1);
            std::vector<uint8_t> buffer(length);
            ReadFile(device, buffer.empty() ? nullptr : buffer.data(), length, nullptr,
                     &overlapped);
            Complete(device, &overlapped, waitMs);
            continue;
        }
        const uint8_t codeIndex = in.Byte();
        const DWORD code = codeIndex < sizeof kCodes / sizeof kCodes[0] * 8
                               ? kCodes[codeIndex % (sizeof kCodes / sizeof kCodes[0])]
                               : in.Word();
        const DWORD inputLength = in.Byte() % 200;
        const DWORD outputLength = in.Byte() % 200;
        std::vector<uint8_t> input = in.Bytes(inputLength);
        std::vector<uint8_t> output(outputLength);
        DWORD bytes = 0;
        DeviceIoControl(device, code, input.empty() ? nullptr : input.data(), inputLength,
                        output.empty() ? nullptr : output.data(), outputLength, &bytes,
                        &overlapped);
        if (kind == 6)
            CancelIo(device);  // cancel while it may still be queued or running
        Complete(device, &overlapped);
    }
    // Leave no timer armed for the next input.
    for (int step = 0; step < kMaxTimerStepsPerRequest && wdm::RunNextTimer(); ++step) {
    }
    return 0;
}
