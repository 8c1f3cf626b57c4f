// boardctl: hosts a capture-board driver against a simulated board in this process, then drives
// it as an application would, through CreateFileA, ReadFile, DeviceIoControl and CloseHandle.
#include <windows.h>
#include <winioctl.h>

#include <boardsim/Boards.h>
#include <harrow/HarrowIoctl.h>
#include <wdmhost.h>
#include <zephdrv/ZephIoctl.h>

#include "ImageFile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

// FIFO words per millisecond the sensor sends once readout starts, unless --pixel-clock says
// otherwise: a Kestrel image (681,408 words) streams in 1.7 s, the Zeph image (155,496) in 0.4 s.
constexpr ULONG kDefaultPixelClockWordsPerMs = 400;
constexpr ULONG kMaxPixelClockWordsPerMs = 1000000;
// The boards' FIFOs hold a whole image of the largest sensor: the driver here runs on threads
// the host schedules, and a delay of any length must not cost a word at the pixel clock.
constexpr ULONG kFifoDepthWords = 1u << 20;

constexpr char kUsage[] =
    "usage: boardctl [--board harrow|zeph] [--sensor zeph|osprey|kestrel] [FAULT...]\n"
    "                [--nvram-file FILE] COMMAND\n"
    "\n"
    "Starts the board's driver (Harrow for the multi-sensor board, ZephDrv for the single-sensor\n"
    "board) against a simulated board in this process and runs COMMAND through the user-mode\n"
    "calls an application makes.\n"
    "\n"
    "Commands:\n"
    "  test                     cable test (harrow) or sensor self-test (zeph, after power on);\n"
    "                           prints the result and the identified sensor model\n"
    "  power on|off             switches the sensor's power\n"
    "  read --out FILE          identifies and powers the sensor, reads one image and writes it\n"
    "                           as a 16-bit grayscale PNG, or PGM when FILE ends in .pgm\n"
    "  nvram read ADDR COUNT    prints COUNT bytes of the board's NVRAM from ADDR\n"
    "  nvram write ADDR BYTE... writes bytes from ADDR (128 and above)\n"
    "  dump                     prints the bridge register dump\n"
    "\n"
    "Options:\n"
    "  --board harrow|zeph      which board and driver (default harrow)\n"
    "  --sensor MODEL           sensor on the harrow board's cable (default kestrel)\n"
    "  --nvram-file FILE        loads the NVRAM from FILE when it exists and saves it back\n"
    "  --pixel-clock WORDS_PER_MS\n"
    "                           FIFO words per ms the sensor sends once readout starts, read or\n"
    "                           not (default 400: a Kestrel image in 1.7 s); 0 sends bursts as\n"
    "                           the driver takes them\n"
    "  --help                   this text\n"
    "\n"
    "Faults of the simulated board (one option each):\n";

struct Settings {
    Settings() {
        harrow.fifoDepthWords = kFifoDepthWords;
        zeph.fifoDepthWords = kFifoDepthWords;
    }
    std::string board = "harrow";
    std::string sensor = "kestrel";
    std::string nvramFile;
    std::string out;
    bool nvramFault = false;
    ULONG pixelClock = kDefaultPixelClockWordsPerMs;
    bool pixelClockGiven = false;
    bool burstOverrun = false;  // the sensor sends bursts, one larger than the FIFO
    boardsim::HarrowBoardConfig harrow;
    boardsim::ZephBoardConfig zeph;
    std::vector<std::string> command;
};

struct FaultOption {
    const char* name;
    const char* board;  // "harrow", "zeph" or "both"
    const char* help;
    std::function<void(Settings&)> apply;
};

using boardsim::LineFault;

const FaultOption kFaultOptions[] = {
    {"--sync-stuck-high", "harrow", "the sync line reads high",
     [](Settings& s) { s.harrow.sync = LineFault::StuckHigh; }},
    {"--sync-stuck-low", "harrow", "the sync line reads low",
     [](Settings& s) { s.harrow.sync = LineFault::StuckLow; }},
    {"--sync-no-follow", "harrow", "the sync line does not follow",
     [](Settings& s) { s.harrow.sync = LineFault::NoFollow; }},
    {"--clock-stuck-high", "harrow", "the clock line reads high",
     [](Settings& s) { s.harrow.clock = LineFault::StuckHigh; }},
    {"--clock-stuck-low", "harrow", "the clock line reads low",
     [](Settings& s) { s.harrow.clock = LineFault::StuckLow; }},
    {"--clock-no-follow", "harrow", "the clock line does not follow",
     [](Settings& s) { s.harrow.clock = LineFault::NoFollow; }},
    {"--data-stuck-high", "harrow", "the data line reads high",
     [](Settings& s) { s.harrow.data = LineFault::StuckHigh; }},
    {"--data-stuck-low", "harrow", "the data line reads low",
     [](Settings& s) { s.harrow.data = LineFault::StuckLow; }},
    {"--data-no-follow", "harrow", "the data line does not follow",
     [](Settings& s) { s.harrow.data = LineFault::NoFollow; }},
    {"--data-high-at-rest", "harrow", "the data line is high at rest",
     [](Settings& s) { s.harrow.dataHighAtRest = true; }},
    {"--speed-ack-stuck", "harrow", "the readout speed command is never accepted",
     [](Settings& s) { s.harrow.speedAckStuck = true; }},
    {"--command-busy", "zeph", "the sensor interface never accepts a command",
     [](Settings& s) { s.zeph.commandBusyStuck = true; }},
    {"--no-answer-marker", "zeph", "the self-test answer lacks its marker bit",
     [](Settings& s) { s.zeph.answerWithoutBit18 = true; }},
    {"--no-sensor", "both", "nothing on the cable",
     [](Settings& s) {
         s.harrow.sensor = boardsim::SensorModel::None;
         s.zeph.sensorPresent = false;
     }},
    {"--fifo-stuck", "both", "the receive FIFO never drains",
     [](Settings& s) {
         s.harrow.fifoStuck = true;
         s.zeph.fifoStuck = true;
     }},
    {"--fifo-overrun", "both", "a burst larger than the board's 8 K FIFO, without a pixel clock",
     [](Settings& s) {
         s.burstOverrun = true;
         s.harrow.fifoDepthWords = boardsim::HarrowBoardConfig{}.fifoDepthWords;
         s.harrow.burstWords = s.harrow.fifoDepthWords + 1;
         s.zeph.fifoDepthWords = boardsim::ZephBoardConfig{}.fifoDepthWords;
         s.zeph.burstWords = s.zeph.fifoDepthWords + 1;
     }},
    {"--nvram-fault", "both", "the NVRAM reports a fault after every byte",
     [](Settings& s) { s.nvramFault = true; }},
};

void PrintUsage(FILE* to) {
    std::fputs(kUsage, to);
    for (const auto& f : kFaultOptions)
        std::fprintf(to, "  %-22s %s (%s)\n", f.name, f.help, f.board);
}

const char* ErrorText(DWORD error) {
    switch (error) {
        case ERROR_INVALID_FUNCTION:
            return "not implemented";
        case ERROR_FILE_NOT_FOUND:
            return "no such device";
        case ERROR_NOT_READY:
            return "no sensor identified";
        case ERROR_INVALID_PARAMETER:
            return "invalid parameter";
        case ERROR_INSUFFICIENT_BUFFER:
            return "buffer too small";
        case ERROR_SEM_TIMEOUT:
            return "the board did not answer in time";
        case ERROR_IO_DEVICE:
            return "device error (FIFO overrun or NVRAM fault)";
        case ERROR_OPERATION_ABORTED:
            return "cancelled";
        case ERROR_BAD_COMMAND:
            return "invalid device state";
        default:
            return "failed";
    }
}

int Fail(const char* what) {
    DWORD error = GetLastError();
    std::fprintf(stderr, "boardctl: %s: error %lu (%s)\n", what, static_cast<unsigned long>(error),
                 ErrorText(error));
    return 1;
}

bool ParseNumber(const std::string& text, unsigned long* value) {
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 0);
    return !text.empty() && end != nullptr && *end == '\0';
}

class Session {
public:
    Session(HANDLE device, bool harrow) : device_(device), harrow_(harrow) {}

    bool Ioctl(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
               DWORD* bytes = nullptr) {
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device_, code, const_cast<void*>(input), inputLength, output,
                                  outputLength, &returned, nullptr);
        if (bytes != nullptr)
            *bytes = returned;
        return ok != FALSE;
    }

    int Power(bool on, bool quiet = false) {
        ULONG value = on ? 1 : 0;
        if (!Ioctl(harrow_ ? harrow::kIoctlSetPowerState : zephdrv::kIoctlSetPowerState, &value, 4,
                   nullptr, 0)) {
            return Fail(on ? "power on" : "power off");
        }
        if (!quiet)
            std::printf("sensor power %s: ok\n", on ? "on" : "off");
        return 0;
    }

    // Harrow: the cable test; fills `statistics` with the identified sensor's row.
    int CableTest(harrow::CcdStatistics* statistics, bool verbose) {
        harrow::TestUnitRecord record{};
        if (!Ioctl(harrow::kIoctlTestUnit, &record, sizeof record, &record, sizeof record))
            return Fail("cable test");
        const char* meaning = record.result == harrow::kSensorIdentified ? "sensor identified"
                              : record.result == harrow::kCableFault     ? "cable fault"
                              : record.result == harrow::kDataHighAtRest ? "data line high at rest"
                                                                         : "unknown";
        std::printf("cable test: result %u (%s), fault mask 0x%04X\n", record.result, meaning,
                    record.faultMask);
        if (verbose) {
            for (uint32_t i = 0; i < record.sampleCount && i < harrow::kMaxSamples; ++i) {
                std::printf("  sample %u: wrote 0x%04X read 0x%04X\n", i + 1,
                            record.samples[i].written, record.samples[i].read);
            }
        }
        const harrow::CcdStatistics& s = record.statistics;
        if (s.modelCode == harrow::kModelNone) {
            std::printf("sensor: none identified\n");
            return 2;
        }
        std::printf("sensor: %s (model %u), %u x %u pixels, %u bits, %u FIFO words\n",
                    harrow::ModelName(s.modelCode), s.modelCode, s.columns, s.rows, s.bitsPerPixel,
                    s.fifoWordCount);
        if (statistics != nullptr)
            *statistics = s;
        return 0;
    }

    // Zeph: power on, then the self-test.
    int SensorTest() {
        if (int rc = Power(true))
            return rc;
        zephdrv::TestRecord record{zephdrv::kTestKey, 0};
        if (!Ioctl(zephdrv::kIoctlTestSensor, &record, sizeof record, &record, sizeof record))
            return Fail("sensor test");
        std::printf("sensor test: result %u (%s)\n", record.result,
                    zephdrv::TestResultText(record.result));
        if (record.result != zephdrv::kSensorAnswered) {
            std::printf("sensor: none identified\n");
            return 2;
        }
        std::printf("sensor: Zeph, %lu x %lu pixels, 12 bits\n",
                    static_cast<unsigned long>(boardsim::ZephBoard::kColumns),
                    static_cast<unsigned long>(boardsim::ZephBoard::kRows));
        return 0;
    }

    int Read(const std::string& path) {
        std::vector<uint16_t> pixels;
        uint32_t columns, rows;
        uint16_t maxValue;
        const char* model;
        DWORD bytes = 0;
        std::chrono::steady_clock::duration took{};
        if (harrow_) {
            harrow::CcdStatistics s{};
            if (int rc = CableTest(&s, false))
                return rc;
            std::vector<uint32_t> words(s.fifoWordCount);
            const auto start = std::chrono::steady_clock::now();
            if (!ReadFile(device_, words.data(), s.fifoWordCount * 4, &bytes, nullptr))
                return Fail("read");
            took = std::chrono::steady_clock::now() - start;
            pixels.assign(s.pixelCount, 0);
            harrow::UnpackPixels(words.data(), bytes / 4, pixels.data(), s.pixelCount);
            columns = s.columns;
            rows = s.rows;
            maxValue = 1023;
            model = harrow::ModelName(s.modelCode);
        } else {
            if (int rc = Power(true))
                return rc;
            columns = boardsim::ZephBoard::kColumns;
            rows = boardsim::ZephBoard::kRows;
            pixels.assign(static_cast<size_t>(columns) * rows, 0);
            const auto start = std::chrono::steady_clock::now();
            if (!ReadFile(device_, pixels.data(), static_cast<DWORD>(pixels.size() * 2), &bytes,
                          nullptr)) {
                return Fail("read");
            }
            took = std::chrono::steady_clock::now() - start;
            for (auto& p : pixels)
                p &= 0x0FFF;  // bit 15 marks flagged words
            maxValue = 4095;
            model = "Zeph";
        }
        std::string error;
        if (!boardctl::WriteImage(path, pixels, columns, rows, maxValue, &error)) {
            std::fprintf(stderr, "boardctl: %s\n", error.c_str());
            return 1;
        }
        std::printf("read %lu bytes in %.2f s: %s image %u x %u written to %s\n",
                    static_cast<unsigned long>(bytes), std::chrono::duration<double>(took).count(),
                    model, columns, rows, path.c_str());
        return 0;
    }

    int NvramRead(unsigned long address, unsigned long count) {
        USHORT request[2] = {static_cast<USHORT>(address), static_cast<USHORT>(count)};
        std::vector<uint8_t> out(std::max<unsigned long>(count, 4));
        std::memcpy(out.data(), request, 4);
        DWORD bytes = 0;
        if (!Ioctl(harrow_ ? harrow::kIoctlReadNvram : zephdrv::kIoctlReadNvram, out.data(), 4,
                   out.data(), static_cast<DWORD>(count), &bytes)) {
            return Fail("nvram read");
        }
        for (DWORD i = 0; i < bytes; ++i) {
            if (i % 16 == 0)
                std::printf("%s%04lX:", i ? "\n" : "", address + i);
            std::printf(" %02X", out[i]);
        }
        std::printf("\n");
        return 0;
    }

    int NvramWrite(unsigned long address, const std::vector<uint8_t>& data) {
        // The single-sensor board takes one byte per six-byte request.
        const size_t perRequest = harrow_ ? data.size() : 1;
        for (size_t done = 0; done < data.size(); done += perRequest) {
            const size_t n = std::min(perRequest, data.size() - done);
            std::vector<uint8_t> request(n + 5, 0);
            USHORT header[2] = {static_cast<USHORT>(address + done), static_cast<USHORT>(n)};
            std::memcpy(request.data(), header, 4);
            std::memcpy(request.data() + 4, data.data() + done, n);
            if (!Ioctl(harrow_ ? harrow::kIoctlWriteNvram : zephdrv::kIoctlWriteNvram,
                       request.data(), static_cast<DWORD>(request.size()), nullptr, 0)) {
                return Fail("nvram write");
            }
        }
        std::printf("nvram: wrote %zu byte(s) at 0x%04lX\n", data.size(), address);
        return 0;
    }

    int Dump() {
        uint8_t buffer[100] = {};
        DWORD bytes = 0;
        if (!Ioctl(harrow_ ? harrow::kIoctlDumpRegisters : zephdrv::kIoctlDumpRegisters, buffer,
                   sizeof buffer, buffer, sizeof buffer, &bytes)) {
            return Fail("register dump");
        }
        static const struct {
            DWORD offset;
            const char* name;
        } kShown[] = {{12, "port 0x0C"},
                      {28, "port 0x1C"},
                      {52, "port 0x34"},
                      {56, "port 0x38 interrupt control"}};
        for (const auto& row : kShown) {
            ULONG value;
            std::memcpy(&value, buffer + row.offset, 4);
            std::printf("%-28s 0x%08X\n", row.name, value);
        }
        return 0;
    }

private:
    HANDLE device_;
    bool harrow_;
};

int Run(Settings& s) {
    const bool isHarrow = s.board == "harrow";
    wdm::SetClockMode(wdm::ClockMode::RealTime);
    std::unique_ptr<wdm::SimulatedBoard> board;
    boardsim::HarrowBoard* harrowBoard = nullptr;
    boardsim::ZephBoard* zephBoard = nullptr;
    if (isHarrow) {
        auto b = std::make_unique<boardsim::HarrowBoard>(s.harrow);
        harrowBoard = b.get();
        board = std::move(b);
    } else {
        auto b = std::make_unique<boardsim::ZephBoard>(s.zeph);
        zephBoard = b.get();
        board = std::move(b);
    }
    auto setNvram = [&](const std::vector<uint8_t>& bytes) {
        harrowBoard ? harrowBoard->SetNvram(bytes) : zephBoard->SetNvram(bytes);
    };
    if (!s.nvramFile.empty()) {
        std::ifstream in(s.nvramFile, std::ios::binary);
        if (in)
            setNvram(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    }
    if (s.nvramFault)
        harrowBoard ? harrowBoard->SetNvramFault(true) : zephBoard->SetNvramFault(true);

    NTSTATUS status = STATUS_SUCCESS;
    auto host = wdm::DriverHost::Load(isHarrow ? "Harrow" : "ZephDrv", &status);
    if (!host || !NT_SUCCESS(status)) {
        std::fprintf(stderr, "boardctl: cannot load the driver (0x%08X)\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    status = host->AddBoard(*board);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "boardctl: the driver did not start the board (0x%08X)\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    const char* name = isHarrow ? "\\\\.\\HARROWDRIVER0" : "\\\\.\\ZephDriver0";
    HANDLE device =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return Fail("open");

    Session session(device, isHarrow);
    const auto& c = s.command;
    int rc = 2;
    unsigned long a = 0, n = 0;
    if (c[0] == "test" && c.size() == 1) {
        rc = isHarrow ? session.CableTest(nullptr, true) : session.SensorTest();
    } else if (c[0] == "power" && c.size() == 2 && (c[1] == "on" || c[1] == "off")) {
        rc = session.Power(c[1] == "on");
    } else if (c[0] == "read" && c.size() == 1 && !s.out.empty()) {
        rc = session.Read(s.out);
    } else if (c[0] == "nvram" && c.size() == 4 && c[1] == "read" && ParseNumber(c[2], &a) &&
               ParseNumber(c[3], &n)) {
        rc = session.NvramRead(a, n);
    } else if (c[0] == "nvram" && c.size() >= 4 && c[1] == "write" && ParseNumber(c[2], &a)) {
        std::vector<uint8_t> bytes;
        for (size_t i = 3; i < c.size(); ++i) {
            unsigned long b;
            if (!ParseNumber(c[i], &b) || b > 0xFF) {
                std::fprintf(stderr, "boardctl: not a byte: %s\n", c[i].c_str());
                CloseHandle(device);
                return 2;
            }
            bytes.push_back(static_cast<uint8_t>(b));
        }
        rc = session.NvramWrite(a, bytes);
    } else if (c[0] == "dump" && c.size() == 1) {
        rc = session.Dump();
    } else {
        std::fprintf(stderr, "boardctl: unknown command or arguments (see --help)\n");
    }
    CloseHandle(device);

    if (!s.nvramFile.empty()) {
        std::vector<uint8_t> bytes = harrowBoard ? harrowBoard->Nvram() : zephBoard->Nvram();
        std::ofstream(s.nvramFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    host.reset();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= argc)
                return false;
            *into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if (arg == "--board") {
            if (!value(&s.board) || (s.board != "harrow" && s.board != "zeph")) {
                std::fprintf(stderr, "boardctl: --board takes harrow or zeph\n");
                return 2;
            }
        } else if (arg == "--sensor") {
            if (!value(&s.sensor))
                return 2;
            if (s.sensor == "zeph") {
                s.harrow.sensor = boardsim::SensorModel::Zeph;
            } else if (s.sensor == "osprey") {
                s.harrow.sensor = boardsim::SensorModel::Osprey;
            } else if (s.sensor == "kestrel") {
                s.harrow.sensor = boardsim::SensorModel::Kestrel;
            } else {
                std::fprintf(stderr, "boardctl: --sensor takes zeph, osprey or kestrel\n");
                return 2;
            }
        } else if (arg == "--nvram-file") {
            if (!value(&s.nvramFile))
                return 2;
        } else if (arg == "--out") {
            if (!value(&s.out))
                return 2;
        } else if (arg == "--pixel-clock") {
            std::string text;
            unsigned long rate = 0;
            if (!value(&text) || !ParseNumber(text, &rate) || rate > kMaxPixelClockWordsPerMs) {
                std::fprintf(stderr, "boardctl: --pixel-clock takes words per ms, 0 to %lu\n",
                             static_cast<unsigned long>(kMaxPixelClockWordsPerMs));
                return 2;
            }
            s.pixelClock = static_cast<ULONG>(rate);
            s.pixelClockGiven = true;
        } else if (arg.rfind("--", 0) == 0) {
            const FaultOption* fault = nullptr;
            for (const auto& f : kFaultOptions) {
                if (arg == f.name)
                    fault = &f;
            }
            if (fault == nullptr) {
                std::fprintf(stderr, "boardctl: unknown option %s (see --help)\n", arg.c_str());
                return 2;
            }
            fault->apply(s);
        } else {
            s.command.push_back(arg);
        }
    }
    if (s.command.empty()) {
        PrintUsage(stderr);
        return 2;
    }
    if (s.board == "zeph" && s.sensor != "kestrel" && s.sensor != "zeph") {
        std::fprintf(stderr, "boardctl: the single-sensor board carries the Zeph sensor only\n");
        return 2;
    }
    if (s.burstOverrun && s.pixelClockGiven && s.pixelClock != 0) {
        std::fprintf(stderr, "boardctl: --fifo-overrun sends bursts: not with a pixel clock\n");
        return 2;
    }
    const ULONG clock = s.burstOverrun ? 0 : s.pixelClock;
    s.harrow.pixelClockWordsPerMs = clock;
    s.zeph.pixelClockWordsPerMs = clock;
    return Run(s);
}
