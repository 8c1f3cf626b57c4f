// Session throughput against plain sockets on loopback: STATUS round trips and a 4 MB reply.
#include <unitsim/virtual_unit.h>
#include <vantaproto/VTMessage.h>
#include <vantaproto/VTSocket.h>
#include <vantaproto/VantaSession.h>

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

// Keeps each run's rate so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            auto items = run.counters.find("items_per_second");
            auto bytes = run.counters.find("bytes_per_second");
            if (items != run.counters.end())
                rates[run.benchmark_name()] = items->second;
            if (bytes != run.counters.end())
                rates[run.benchmark_name()] = bytes->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

double RateOf(const std::map<std::string, double>& rates, const std::string& prefix) {
    for (const auto& [name, rate] : rates) {
        if (name.rfind(prefix, 0) == 0)
            return rate;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto& r = reporter.rates;
    const double statusSession = RateOf(r, "BM_StatusRoundTrip_Session");
    const double statusPlain = RateOf(r, "BM_StatusRoundTrip_PlainSockets");
    const double imageSession = RateOf(r, "BM_ImageReceive_Session");
    const double imagePlain = RateOf(r, "BM_ImageReceive_PlainSockets");
    if (statusSession > 0 && statusPlain > 0) {
        std::printf("STATUS round trips: session %.0f/s, plain sockets %.0f/s, ratio %.2f\n",
                    statusSession, statusPlain, statusSession / statusPlain);
    }
    if (imageSession > 0 && imagePlain > 0) {
        std::printf("4 MB reply receive: session %.1f MB/s, plain sockets %.1f MB/s, ratio %.2f\n",
                    imageSession / 1e6, imagePlain / 1e6, imageSession / imagePlain);
    }
    Unit().stop();
    return 0;
}
