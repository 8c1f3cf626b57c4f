// Session throughput against plain sockets on loopback: STATUS round trips and a 4 MB reply;
// and the peak memory of receiving a 4 MB image through the capture library.
#include "StateEventMachine.h"
#include "bench_summary.h"

#include <unitsim/virtual_unit.h>
#include <vantaproto/VTMessage.h>
#include <vantaproto/VTSocket.h>
#include <vantaproto/VantaSession.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kImageBytes = 4 * 1024 * 1024;
constexpr int kPlainReceiveBytes = 9999;  // the same chunk size the session reads with

// Counts delivered messages; the benchmark waits for the next one.
class CountingSession : public VantaSession {
public:
    using VantaSession::VantaSession;
    void WaitForMessages(uint64_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_messages >= count; });
    }
    uint64_t Messages() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_messages;
    }

protected:
    void OnMessageReceived(const VTRecvCommand&) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_messages;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_messages = 0;
};

unitsim::VirtualUnit& Unit() {
    static auto* unit = [] {
        auto* u = new unitsim::VirtualUnit(unitsim::Config{});
        u->start();
        return u;
    }();
    return *unit;
}

std::string ImageReply() {
    std::string reply = "ID=1\r\nCMD=CAPTURE\r\nLEN=" + std::to_string(kImageBytes) + "\r\n";
    reply.resize(reply.size() + kImageBytes, '\x5a');
    return reply;
}

// Writes one reply to a port, as the unit does.
void SendReply(unsigned short port, const std::string& reply) {
    VTTcpSocket socket;
    socket.Connect(VTInetAddress("127.0.0.1", port));
    socket.Send(reply.data(), static_cast<int>(reply.size()));
    socket.Close();
}

// Reads one whole reply from an accepted connection the plain way.
void ReadPlainReply(VTListenSocket& listener, std::vector<char>& body) {
    listener.WaitReadable(10);
    VTTcpSocket connection(listener.Accept());
    std::vector<char> buffer(kPlainReceiveBytes + 1);
    size_t total = 0;
    int n;
    while ((n = connection.Receive(buffer.data(), kPlainReceiveBytes)) > 0) {
        if (total + n > body.size())
            body.resize(total + n);
        std::memcpy(body.data() + total, buffer.data(), static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
}

void BM_StatusRoundTrip_Session(benchmark::State& state) {
    CountingSession session("127.0.0.1", Unit().port(), "127.0.0.1", 0);
    for (auto _ : state) {
        const uint64_t next = session.Messages() + 1;
        session.Status();
        session.WaitForMessages(next);
    }
    state.SetItemsProcessed(state.iterations());
    session.Stop(0);
}

void BM_StatusRoundTrip_PlainSockets(benchmark::State& state) {
    VTInetAddress reply("127.0.0.1", 0);
    VTListenSocket listener(reply);
    const VTInetAddress unit("127.0.0.1", Unit().port());
    const std::string request =
        VTOutgoingCommand(VTMessageBase("1"), reply, "STATUS", -1).WireBytes();
    std::vector<char> body(256);
    for (auto _ : state) {
        VTTcpSocket client;
        client.Connect(unit);
        client.Send(request.data(), static_cast<int>(request.size()));
        client.Close();
        ReadPlainReply(listener, body);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ImageReceive_Session(benchmark::State& state) {
    CountingSession session("127.0.0.1", 9, "127.0.0.1", 0);
    const std::string reply = ImageReply();
    for (auto _ : state) {
        const uint64_t next = session.Messages() + 1;
        std::thread sender(SendReply, session.ReplyAddress().Port(), std::cref(reply));
        session.WaitForMessages(next);
        sender.join();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kImageBytes});
    session.Stop(0);
}

void BM_ImageReceive_PlainSockets(benchmark::State& state) {
    VTInetAddress address("127.0.0.1", 0);
    VTListenSocket listener(address);
    const std::string reply = ImageReply();
    std::vector<char> body;
    for (auto _ : state) {
        std::thread sender(SendReply, address.Port(), std::cref(reply));
        ReadPlainReply(listener, body);
        sender.join();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kImageBytes});
}

BENCHMARK(BM_StatusRoundTrip_Session)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StatusRoundTrip_PlainSockets)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ImageReceive_Session)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ImageReceive_PlainSockets)->UseRealTime()->MinTime(2.0);

// ---- Peak memory of a capture through the library ----------------------------------------------

// 2048 x 1024 pixels of 16 bits: a payload of 4 MB behind its 54-byte header.
constexpr std::uint32_t kMemoryImageWidth = 2048;
constexpr std::uint32_t kMemoryImageHeight = 1024;
constexpr DWORD kCaptureWaitMs = 60000;
constexpr char kPeakResetRequest[] = "5";  // /proc/self/clear_refs: reset the peak RSS

// A value in kB from /proc/self/status ("VmRSS", "VmHWM"), 0 when missing.
long StatusKb(const std::string& key) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long value = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key.c_str(), key.size()) == 0 && line[key.size()] == ':') {
            value = std::strtol(line + key.size() + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

bool ResetPeak() {
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    const bool ok = std::fputs(kPeakResetRequest, f) >= 0;
    return std::fclose(f) == 0 && ok;
}

constexpr int kMemoryCaptures = 7;  // the peak depends on how the threads interleave

// Peak RSS over the baseline of each capture, in kB.
struct PeakMemory {
    std::vector<long> overKb;
    std::size_t imageBytes = std::size_t{kMemoryImageWidth} * kMemoryImageHeight * 2;
};

// The unit runs in a child process, so only the library's memory is counted. Called before
// any benchmark starts a thread, so forking is safe.
PeakMemory MeasureCapturePeak() {
    PeakMemory result;
    int toParent[2], toChild[2];
    if (pipe(toParent) != 0 || pipe(toChild) != 0)
        return result;
    const pid_t child = fork();
    if (child < 0)
        return result;
    if (child == 0) {
        close(toParent[0]);
        close(toChild[1]);
        unitsim::Config config;
        config.address = "127.0.0.1";
        config.image = unitsim::makeTestPattern(kMemoryImageWidth, kMemoryImageHeight);
        config.exposureDelay = std::chrono::milliseconds(0);
        config.processingTime = std::chrono::milliseconds(0);
        unitsim::VirtualUnit unit(config);
        unit.start();
        const std::uint16_t port = unit.port();
        if (write(toParent[1], &port, sizeof port) != sizeof port)
            _exit(1);
        char byte;
        while (read(toChild[0], &byte, 1) > 0) {
        }  // until the parent closes its end
        unit.stop();
        _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);
    std::uint16_t port = 0;
    const bool havePort = read(toParent[0], &port, sizeof port) == sizeof port;
    close(toParent[0]);
    if (havePort) {
        zephif::SessionSettings settings;
        settings.sensorIp = "127.0.0.1";
        settings.sensorPort = port;
        settings.localIp = "127.0.0.1";
        settings.localPort = 0;
        settings.captureTimeout = 30;
        zephif::WorkerTiming timing;
        timing.systemChosenLocalPort = true;
        HANDLE started = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        auto worker = std::make_unique<zephif::StateEventMachine>(settings, started, timing);
        if (worker->CreateSuspended()) {
            worker->Resume();
            const bool connected = WaitForSingleObject(started, kCaptureWaitMs) == WAIT_OBJECT_0 &&
                                   worker->CaptureStatus() == 2;
            worker->ReleaseStartEvent();
            if (connected) {
                worker->MarkSessionStarted();
                for (int capture = 0; capture < kMemoryCaptures; ++capture) {
                    malloc_trim(0);
                    const long baselineKb = StatusKb("VmRSS");
                    if (!ResetPeak())
                        break;
                    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
                    HGLOBAL record = nullptr;
                    auto* request = new zephif::CaptureRequest;
                    request->notifyKind = zephif::kNotifyEvent;
                    request->imageKind = zephif::kImageRaw;
                    request->target = zephif::HandleWord(done);
                    request->resultHandle = &record;
                    bool delivered = false;
                    if (!PostThreadMessageA(worker->ThreadId(), zephif::kMsgCaptureRawEvent, 0,
                                            reinterpret_cast<LPARAM>(request)))
                        delete request;
                    else
                        delivered =
                            WaitForSingleObject(done, kCaptureWaitMs) == WAIT_OBJECT_0 && record;
                    CloseHandle(done);
                    if (!delivered)
                        break;
                    result.overKb.push_back(StatusKb("VmHWM") - baselineKb);
                }
            }
            PostThreadMessageA(worker->ThreadId(), zephif::kMsgEnd, 0, 0);
            WaitForSingleObject(worker->Thread(), kCaptureWaitMs);
        }
        CloseHandle(started);
    }
    close(toChild[1]);
    waitpid(child, nullptr, 0);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    // The library's status window would print every transfer step on the console.
    setenv("WINAPI_UI", "none", 1);
    benchmark::Initialize(&argc, argv);
    const PeakMemory peak = MeasureCapturePeak();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double statusSession = reporter.Rate("BM_StatusRoundTrip_Session");
    const double statusPlain = reporter.Rate("BM_StatusRoundTrip_PlainSockets");
    const double imageSession = reporter.Rate("BM_ImageReceive_Session");
    const double imagePlain = reporter.Rate("BM_ImageReceive_PlainSockets");
    if (statusSession > 0 && statusPlain > 0) {
        std::printf("STATUS round trips: session %.0f/s, plain sockets %.0f/s, ratio %.2f\n",
                    statusSession, statusPlain, statusSession / statusPlain);
    }
    if (imageSession > 0 && imagePlain > 0) {
        std::printf("4 MB reply receive: session %.1f MB/s, plain sockets %.1f MB/s, ratio %.2f\n",
                    imageSession / 1e6, imagePlain / 1e6, imageSession / imagePlain);
    }
    if (!peak.overKb.empty()) {
        std::vector<long> sorted = peak.overKb;
        std::sort(sorted.begin(), sorted.end());
        const auto times = [&](long kb) {
            return static_cast<double>(kb) * 1024 / static_cast<double>(peak.imageBytes);
        };
        std::printf(
            "4 MB image through the capture library: peak RSS over the baseline %.2fx the image "
            "size (median of %zu captures; lowest %.2fx, highest %.2fx; goal at most 3x)\n",
            times(sorted[sorted.size() / 2]), sorted.size(), times(sorted.front()),
            times(sorted.back()));
    } else {
        std::printf("4 MB image through the capture library: peak memory not measured\n");
    }
    Unit().stop();
    return 0;
}
