// vantasim: runs the virtual unit as a program, with exposure on demand and injectable faults.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "unitsim/virtual_unit.h"

namespace {

constexpr double kMaxSeconds = 86400.0;  // a day is longer than any wait a person means
constexpr std::size_t kMaxStdinLineBytes = 256;
constexpr long long kMaxSensorNumber = 1000000;
constexpr long long kMaxDropAfterBytes = 1LL << 40;
constexpr long long kMaxChunkBytes = 1LL << 30;
constexpr long long kMaxChunkDelayMs = 3600000;

int gSignalPipe[2] = {-1, -1};

void onSignal(int signo) {
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    [[maybe_unused]] auto n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

void printHelp() {
    std::cout <<
        R"(Usage: vantasim [OPTION]...
Plays an intraoral X-ray sensor unit on the network: takes one request per connection,
keeps the unit's state, parameters and image, and answers each request on a new
connection to the IP and PORT the request names.

Network:
  --address ADDR           address to listen on (default 127.0.0.1)
  --port PORT              port to listen on (default 104; 0 picks a free port)
  --allow-remote-replies   also answer requests whose reply address is not loopback
                           (without it only 127.0.0.0/8 is ever connected to)

Unit:
  --image FILE             picture to deliver: BMP (8-bit palette or 24-bit) or
                           PGM (P5, 8 or 16 bit); default a 684 x 456 test pattern;
                           "phantom": a synthetic 684 x 456 radiograph (teeth, bone,
                           a saturating metal filling, 12-bit sensor noise)
  --seed N                 seed of the phantom (default 1; the same seed, the same picture)
  --image-size WxH         size of the phantom, e.g. 682x456, 1366x912 or 1638x1248
  --exposure-delay SECONDS expose automatically this long after CAPTURE is accepted;
                           without it the unit waits for exposure on demand
  --processing-time SECONDS
                           time spent in PROCESSING before the image goes out
                           (default 0.5)
  --sensor N               sensor number in status replies (default 1)

Faults:
  --start-state STATE      start in IDLE, IMGRDY (with an image stored) or NOTRDY
  --refuse-capture ERRTEXT refuse every CAPTURE with this error text (e.g. "2: 9")
  --sensor-fault ERRTEXT   report a sensor fault: status replies carry ERRTEXT
                           (e.g. "-2012: 1") and CAPTURE is refused with it
  --fault-sensor N         sensor number reported during --sensor-fault (default 0)
  --foreign-id ID          reply with this id instead of the request's
  --drop-image-after BYTES close image replies after this many body bytes
  --chunk-size BYTES       write replies in pieces of this many bytes
  --chunk-delay MS         pause between pieces, in milliseconds
  --silent                 read requests but never act on them or answer

Other:
  -v, --verbose            log traffic and state changes on stderr (CR, LF and zero
                           bytes shown as \r, \n and \0); VANTA_DEBUG=unit does the same
  -h, --help               show this text

Exposure on demand: send SIGUSR1 (kill -USR1 PID), or type "expose" (or "x") and
Enter on standard input. Further input commands: "status" prints the state and
counters, "quit" ends the program. SIGINT and SIGTERM end it cleanly.

On start the program prints one line "vantasim listening on ADDR:PORT" on stdout.

Error texts the unit answers with: "2: 1" CAPTURE while not idle, "2: 2" GET without
an image, "2: 3" unknown parameter, "2: 4" read-only parameter, "2: 5" value refused,
"2: 6" unknown picture mode, "2: 7" unknown command, "2: 8" no exposure within
XRayTimeout seconds.
)";
}

[[noreturn]] void usageError(const std::string& text) {
    std::cerr << "vantasim: " << text << "\nTry 'vantasim --help'.\n";
    std::exit(2);
}

long long parseWhole(const char* option, const char* text, long long minimum, long long maximum) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum || value > maximum) {
        usageError(std::string(option) + " needs a whole number from " + std::to_string(minimum) +
                   " to " + std::to_string(maximum) + ", not '" + text + "'");
    }
    return value;
}

std::chrono::milliseconds parseSeconds(const char* option, const char* text) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0 ||
        value > kMaxSeconds) {
        usageError(std::string(option) + " needs a number of seconds, not '" + text + "'");
    }
    return std::chrono::milliseconds(std::llround(value * 1000.0));
}

bool debugRequested() {
    const char* debug = std::getenv("VANTA_DEBUG");
    if (debug == nullptr) {
        return false;
    }
    const std::string_view categories(debug);
    return categories.find("unit") != std::string_view::npos ||
           categories.find("all") != std::string_view::npos;
}

void printStatus(const unitsim::VirtualUnit& unit) {
    const auto s = unit.snapshot();
    const auto& c = s.counters;
    std::cout << "state " << unitsim::stateText(s.state) << ", requests " << c.requestsHandled
              << " (" << c.requestsMalformed << " malformed), replies " << c.repliesSent
              << " sent, " << c.repliesFailed << " failed, " << c.repliesDropped
              << " dropped, images " << c.imagesSent << ", exposures " << c.exposures << std::endl;
}

void triggerExposure(unitsim::VirtualUnit& unit) {
    if (unit.triggerExposure()) {
        std::cout << "exposure" << std::endl;
    } else {
        std::cout << "no capture is waiting for X-rays (state " << unitsim::stateText(unit.state())
                  << ")" << std::endl;
    }
}

enum Option {
    kOptAddress = 1000,
    kOptPort,
    kOptAllowRemote,
    kOptImage,
    kOptSeed,
    kOptImageSize,
    kOptExposureDelay,
    kOptProcessingTime,
    kOptSensor,
    kOptStartState,
    kOptRefuseCapture,
    kOptSensorFault,
    kOptFaultSensor,
    kOptForeignId,
    kOptDropImageAfter,
    kOptChunkSize,
    kOptChunkDelay,
    kOptSilent,
};

}  // namespace

int main(int argc, char** argv) {
    unitsim::Config config;
    config.port = 104;
    bool verbose = debugRequested();
    std::optional<std::string> imagePath;
    std::uint32_t phantomSeed = 1;
    int phantomWidth = unitsim::kSensorWidthPixels;
    int phantomHeight = unitsim::kSensorHeightPixels;

    static const option kOptions[] = {
        {"address", required_argument, nullptr, kOptAddress},
        {"port", required_argument, nullptr, kOptPort},
        {"allow-remote-replies", no_argument, nullptr, kOptAllowRemote},
        {"image", required_argument, nullptr, kOptImage},
        {"seed", required_argument, nullptr, kOptSeed},
        {"image-size", required_argument, nullptr, kOptImageSize},
        {"exposure-delay", required_argument, nullptr, kOptExposureDelay},
        {"processing-time", required_argument, nullptr, kOptProcessingTime},
        {"sensor", required_argument, nullptr, kOptSensor},
        {"start-state", required_argument, nullptr, kOptStartState},
        {"refuse-capture", required_argument, nullptr, kOptRefuseCapture},
        {"sensor-fault", required_argument, nullptr, kOptSensorFault},
        {"fault-sensor", required_argument, nullptr, kOptFaultSensor},
        {"foreign-id", required_argument, nullptr, kOptForeignId},
        {"drop-image-after", required_argument, nullptr, kOptDropImageAfter},
        {"chunk-size", required_argument, nullptr, kOptChunkSize},
        {"chunk-delay", required_argument, nullptr, kOptChunkDelay},
        {"silent", no_argument, nullptr, kOptSilent},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (;;) {
        const int opt = getopt_long(argc, argv, "vh", kOptions, nullptr);
        if (opt == -1) {
            break;
        }
        const char* name = optind > 0 && optind <= argc ? argv[optind - 1] : "option";
        switch (opt) {
            case kOptAddress:
                config.address = optarg;
                break;
            case kOptPort:
                config.port = static_cast<std::uint16_t>(parseWhole(name, optarg, 0, 65535));
                break;
            case kOptAllowRemote:
                config.loopbackRepliesOnly = false;
                break;
            case kOptImage:
                imagePath = optarg;
                break;
            case kOptSeed:
                phantomSeed = static_cast<std::uint32_t>(parseWhole(name, optarg, 0, 4294967295LL));
                break;
            case kOptImageSize: {
                const std::string text = optarg;
                const auto x = text.find('x');
                if (x == std::string::npos) {
                    usageError("--image-size needs WIDTHxHEIGHT, not '" + text + "'");
                }
                phantomWidth = static_cast<int>(
                    parseWhole(name, text.substr(0, x).c_str(), 1, unitsim::kMaxImageSidePixels));
                phantomHeight = static_cast<int>(
                    parseWhole(name, text.substr(x + 1).c_str(), 1, unitsim::kMaxImageSidePixels));
                break;
            }
            case kOptExposureDelay:
                config.exposureDelay = parseSeconds(name, optarg);
                break;
            case kOptProcessingTime:
                config.processingTime = parseSeconds(name, optarg);
                break;
            case kOptSensor:
                config.sensorNumber =
                    static_cast<int>(parseWhole(name, optarg, -1, kMaxSensorNumber));
                break;
            case kOptStartState: {
                auto state = unitsim::stateFromText(optarg);
                if (!state || *state == unitsim::UnitState::WaitXray ||
                    *state == unitsim::UnitState::Processing) {
                    usageError("--start-state takes IDLE, IMGRDY or NOTRDY");
                }
                config.startState = *state;
                break;
            }
            case kOptRefuseCapture:
                config.faults.refuseCaptureError = optarg;
                break;
            case kOptSensorFault:
                config.faults.sensorFault = true;
                config.faults.sensorFaultError = optarg;
                break;
            case kOptFaultSensor:
                config.faults.sensorFaultSensor =
                    static_cast<int>(parseWhole(name, optarg, -1, kMaxSensorNumber));
                break;
            case kOptForeignId:
                config.faults.foreignId = optarg;
                break;
            case kOptDropImageAfter:
                config.faults.dropImageAfterBytes =
                    static_cast<std::size_t>(parseWhole(name, optarg, 0, kMaxDropAfterBytes));
                break;
            case kOptChunkSize:
                config.faults.chunkBytes =
                    static_cast<std::size_t>(parseWhole(name, optarg, 1, kMaxChunkBytes));
                break;
            case kOptChunkDelay:
                config.faults.chunkDelay =
                    std::chrono::milliseconds(parseWhole(name, optarg, 0, kMaxChunkDelayMs));
                break;
            case kOptSilent:
                config.faults.silent = true;
                break;
            case 'v':
                verbose = true;
                break;
            case 'h':
                printHelp();
                return 0;
            default:
                usageError(std::string("unknown option or missing value: ") + name);
        }
    }
    if (optind < argc) {
        usageError(std::string("unexpected argument: ") + argv[optind]);
    }

    if (imagePath && *imagePath == "phantom") {
        config.image = unitsim::makePhantom(phantomWidth, phantomHeight, phantomSeed);
    } else if (imagePath) {
        auto decoded = unitsim::loadImageFile(*imagePath);
        if (!decoded.image) {
            std::cerr << "vantasim: " << decoded.error << "\n";
            return 1;
        }
        config.image = std::move(*decoded.image);
    }

    std::mutex logMutex;
    const auto started = std::chrono::steady_clock::now();
    if (verbose) {
        config.log = [&logMutex, started](std::string_view line) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::lock_guard lock(logMutex);
            std::fprintf(stderr, "[%11.6f] unit: %.*s\n", seconds, static_cast<int>(line.size()),
                         line.data());
        };
    }

    if (::pipe(gSignalPipe) != 0) {
        std::perror("vantasim: pipe");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGINT, SIGTERM, SIGUSR1}) {
        ::sigaction(signo, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);

    std::optional<unitsim::VirtualUnit> unit;
    try {
        unit.emplace(std::move(config));
        unit->start();
    } catch (const std::exception& e) {
        std::cerr << "vantasim: " << e.what() << "\n";
        return 1;
    }
    std::cout << "vantasim listening on " << unit->address() << ":" << unit->port() << std::endl;

    bool stdinOpen = true;
    std::string line;
    bool running = true;
    while (running) {
        pollfd fds[2] = {{gSignalPipe[0], POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("vantasim: poll");
            break;
        }
        if (fds[0].revents != 0) {
            char signo = 0;
            if (::read(gSignalPipe[0], &signo, 1) == 1) {
                if (signo == SIGUSR1) {
                    triggerExposure(*unit);
                } else {
                    running = false;
                }
            }
        }
        if (running && fds[1].revents != 0) {
            char buffer[512];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                stdinOpen = false;  // no terminal (or EOF): signals still work
                continue;
            }
            for (ssize_t i = 0; i < n && running; ++i) {
                if (buffer[i] != '\n') {
                    if (line.size() < kMaxStdinLineBytes) {
                        line += buffer[i];
                    }
                    continue;
                }
                while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
                    line.pop_back();
                }
                if (line == "expose" || line == "x") {
                    triggerExposure(*unit);
                } else if (line == "status" || line == "s") {
                    printStatus(*unit);
                } else if (line == "quit" || line == "q") {
                    running = false;
                } else if (!line.empty()) {
                    std::cout << "commands: expose (x), status (s), quit (q)" << std::endl;
                }
                line.clear();
            }
        }
    }
    unit->stop();
    return 0;
}
