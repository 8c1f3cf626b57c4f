// vanta and vantasim together, as processes through their command lines, on loopback.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "json_reader.h"

extern char** environ;

namespace {

constexpr const char* kVanta = VANTA_PATH;
constexpr const char* kVantasim = VANTASIM_PATH;
// Upper bound on any one program run; only a hang ever reaches it.
constexpr auto kProcessBound = std::chrono::seconds(60);
// Time-out given to vanta where no reply is to come, so those cases stay fast.
constexpr char kShortTimeoutSeconds[] = "0.3";
// A reply with a foreign id does come: the wait must outlast its arrival on a loaded machine for
// the note about it to appear.
constexpr char kForeignReplyTimeoutSeconds[] = "3";
// The default 684 x 456 test pattern as a 16-bit bitmap: 14 + 40 header bytes and the pixels.
constexpr size_t kPatternWidth = 684;
constexpr size_t kPatternHeight = 456;
constexpr size_t kBitmapHeaderBytes = 54;
constexpr size_t kPattern16BitBytes = kBitmapHeaderBytes + kPatternWidth * kPatternHeight * 2;

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

struct Spawned {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

// Starts a program with pipes on the streams asked for (the others on /dev/null).
Spawned Spawn(const char* program, std::vector<std::string> args, bool withStdin, bool withErr) {
    int in[2] = {-1, -1}, out[2], err[2] = {-1, -1};
    if ((withStdin && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0 ||
        (withErr && ::pipe2(err, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (withStdin)
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (withErr)
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Spawned s;
    const int rc = posix_spawn(&s.pid, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]})
        if (fd >= 0)
            ::close(fd);
    s.in = in[1];
    s.out = out[0];
    s.err = err[0];
    if (rc != 0)
        throw std::runtime_error(std::string("cannot start ") + program);
    return s;
}

struct Result {
    int exit = -1;
    std::string out, err;
};

// Runs vanta to its end and collects both output streams.
Result Vanta(const std::vector<std::string>& args) {
    Spawned p = Spawn(kVanta, args, false, true);
    Result r;
    const auto deadline = std::chrono::steady_clock::now() + kProcessBound;
    int open = 2;
    while (open > 0) {
        pollfd fds[2] = {{p.out, POLLIN, 0}, {p.err, POLLIN, 0}};
        if (::poll(fds, 2, MsLeft(deadline)) <= 0) {
            ::kill(p.pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(i == 0 ? p.out : p.err);
                (i == 0 ? p.out : p.err) = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buffer, static_cast<size_t>(n));
            }
        }
    }
    for (int fd : {p.out, p.err})
        if (fd >= 0)
            ::close(fd);
    int status = 0;
    ::waitpid(p.pid, &status, 0);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A vantasim on 127.0.0.1 and a free port, ended when the object goes.
class Unit {
public:
    explicit Unit(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--port", "0", "--address", "127.0.0.1"});
        m_process = Spawn(kVantasim, options, true, false);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + kProcessBound;
        while (line.find('\n') == std::string::npos) {
            pollfd pfd{m_process.out, POLLIN, 0};
            char buffer[256];
            ssize_t n = 0;
            if (::poll(&pfd, 1, MsLeft(deadline)) <= 0 ||
                (n = ::read(m_process.out, buffer, sizeof buffer)) <= 0)
                break;
            line.append(buffer, static_cast<size_t>(n));
        }
        const std::string prefix = "vantasim listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) != 0)
            throw std::runtime_error("vantasim did not start: " + line);
        m_port = std::stoi(line.substr(prefix.size()));
    }
    ~Unit() {
        ::kill(m_process.pid, SIGTERM);
        ::waitpid(m_process.pid, nullptr, 0);
        ::close(m_process.in);
        ::close(m_process.out);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    int Port() const { return m_port; }

    // vanta against this unit.
    Result Run(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--unit", Address()});
        return Vanta(args);
    }

private:
    Spawned m_process;
    int m_port = 0;
};

json_test::Value Json(const Result& r) {
    return json_test::Parse(r.out);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t Le32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/vanta_e2e_XXXXXX";
        if (!::mkdtemp(name))
            throw std::runtime_error("mkdtemp");
        m_path = name;
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

TEST(VantaProgram, StatusAsFieldsAndAsJson) {
    Unit unit;
    const Result plain = unit.Run({"status"});
    EXPECT_EQ(plain.exit, 0) << plain.err;
    EXPECT_NE(plain.out.find("command  STATUS\n"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("valid    yes\n"), std::string::npos);
    EXPECT_NE(plain.out.find("state    IDLE\n"), std::string::npos);
    EXPECT_NE(plain.out.find("error    0: 0\n"), std::string::npos);

    const Result json = unit.Run({"--json", "status"});
    ASSERT_EQ(json.exit, 0) << json.err;
    const auto v = Json(json);
    EXPECT_EQ(v.members.size(), 9u);
    EXPECT_FALSE(v["id"].text.empty());
    EXPECT_EQ(v["id"].text.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(v["command"].text, "STATUS");
    EXPECT_TRUE(v["valid"].boolean);
    EXPECT_EQ(v["state"].text, "IDLE");
    EXPECT_EQ(v["error"].text, "0: 0");
    EXPECT_EQ(v["sensor"].number, 1);
    EXPECT_EQ(v["length"].number, 30);
}

TEST(VantaProgram, ParametersReadChangedAndRefused) {
    Unit unit;
    const Result read = unit.Run({"--json", "getparam", "CCDSizeX"});
    ASSERT_EQ(read.exit, 0) << read.err;
    EXPECT_EQ(Json(read)["name"].text, "CCDSizeX");
    EXPECT_EQ(Json(read)["value"].text, "684");

    const Result set = unit.Run({"--json", "setparam", "XRayTimeout", "45"});
    ASSERT_EQ(set.exit, 0) << set.err;
    EXPECT_EQ(Json(set)["value"].text, "45");
    EXPECT_EQ(Json(unit.Run({"--json", "getparam", "XRayTimeout"}))["value"].text, "45");

    // Refusals: exit 1 with the unit's error text.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"setparam", "CCDSizeX", "5"}, "2: 4"},
        {{"setparam", "AFEGain", "-5"}, "2: 5"},
        {{"getparam", "NoSuchParameter"}, "2: 3"},
    };
    for (const auto& [args, error] : refused) {
        std::vector<std::string> all = {"--json"};
        all.insert(all.end(), args.begin(), args.end());
        const Result r = unit.Run(all);
        EXPECT_EQ(r.exit, 1) << args[1];
        const auto v = Json(r);
        EXPECT_FALSE(v["valid"].boolean) << args[1];
        EXPECT_EQ(v["error"].text, error) << args[1];
    }
}

TEST(VantaProgram, ParamsReadsEveryParameterIntoATable) {
    Unit unit;
    const Result table = unit.Run({"params"});
    ASSERT_EQ(table.exit, 0) << table.err;
    size_t lines = 0;
    for (char c : table.out)
        lines += c == '\n';
    EXPECT_EQ(lines, 32u) << table.out;  // heading and 31 parameters
    EXPECT_NE(table.out.find("CCDSizeY             ro     456\n"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("XRayTimeout          rw     30\n"), std::string::npos);

    const Result json = unit.Run({"--json", "params"});
    ASSERT_EQ(json.exit, 0) << json.err;
    const auto list = Json(json)["parameters"];
    ASSERT_EQ(list.items.size(), 31u);
    for (const auto& item : list.items) {
        EXPECT_TRUE(item["reply"]["valid"].boolean) << item["name"].text;
        EXPECT_EQ(item["reply"]["name"].text, item["name"].text);
    }
}

TEST(VantaProgram, CaptureWritesTheImageAndReturnsTheUnitToIdle) {
    Unit unit({"--exposure-delay", "0", "--processing-time", "0"});
    TempDir dir;
    const auto image = dir / "image.bmp";
    const Result r = unit.Run({"capture", "--out", image.string()});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("saved    " + std::to_string(kPattern16BitBytes) + " bytes to"),
              std::string::npos)
        << r.out;
    const std::string bytes = ReadFile(image);
    ASSERT_EQ(bytes.size(), kPattern16BitBytes);
    EXPECT_EQ(bytes.substr(0, 2), "BM");
    EXPECT_EQ(Le32(bytes, 2), kPattern16BitBytes);
    EXPECT_EQ(Le32(bytes, 18), kPatternWidth);
    EXPECT_EQ(Le32(bytes, 22), kPatternHeight);
    EXPECT_EQ(bytes[28], 16);
    EXPECT_FALSE(std::filesystem::exists(image.string() + ".part"));
    // The CLOSE that ends a capture leaves the unit ready for the next one.
    EXPECT_EQ(Json(unit.Run({"--json", "status"}))["state"].text, "IDLE");

    // The stored image stays available to GET, in another picture mode too.
    const auto preview = dir / "preview.bmp";
    const Result get = unit.Run({"get", "--mode", "8", "--out", preview.string()});
    ASSERT_EQ(get.exit, 0) << get.err;
    const std::string eight = ReadFile(preview);
    EXPECT_EQ(eight.substr(0, 2), "BM");
    EXPECT_EQ(bytes[28], 16);
    EXPECT_EQ(eight[28], 8);
}

// Only capture ends with CLOSE: a look at the unit must not end the cycle it is in, while a
// capture nobody waits for any more must not stay armed.
TEST(VantaProgram, OnlyCaptureEndsTheUnitsCycle) {
    Unit ready({"--start-state", "IMGRDY"});
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--json", "status"}, {"--json", "getparam", "HostID"}, {"--json", "get"}})
        EXPECT_EQ(ready.Run(args).exit, 0) << args[1];
    EXPECT_EQ(Json(ready.Run({"--json", "status"}))["state"].text, "IMGRDY");
    const Result close = ready.Run({"--json", "close"});
    EXPECT_EQ(close.exit, 0) << close.err;
    EXPECT_EQ(Json(close)["command"].text, "CLOSE");
    EXPECT_EQ(Json(close)["state"].text, "IDLE");

    Unit waiting;  // exposes only on demand, which never comes
    const Result r = waiting.Run({"--timeout", kShortTimeoutSeconds, "capture"});
    EXPECT_EQ(r.exit, 3);
    EXPECT_NE(r.err.find("no CAPTURE reply"), std::string::npos) << r.err;
    EXPECT_EQ(Json(waiting.Run({"--json", "status"}))["state"].text, "IDLE");
}

TEST(VantaProgram, RefusedOrUnwritableCaptureLeavesNoFile) {
    Unit refusing({"--refuse-capture", "2: 9"});
    TempDir dir;
    const auto image = dir / "image.bmp";
    const Result refused = refusing.Run({"--json", "capture", "--out", image.string()});
    EXPECT_EQ(refused.exit, 1) << refused.err;
    EXPECT_EQ(Json(refused)["error"].text, "2: 9");
    EXPECT_TRUE(std::filesystem::is_empty(dir / ""));

    // An --out that cannot be written is found before the unit is armed.
    Unit unit({"--exposure-delay", "0"});
    const Result unwritable = unit.Run({"capture", "--out", (dir / "no/such/dir.bmp").string()});
    EXPECT_EQ(unwritable.exit, 5);
    EXPECT_NE(unwritable.err.find("nothing was sent"), std::string::npos) << unwritable.err;
    EXPECT_EQ(Json(unit.Run({"--json", "get"}))["error"].text, "2: 2");  // never exposed
}

TEST(VantaProgram, NoReplyAndNoConnection) {
    Unit silent({"--silent"});
    const Result quiet = silent.Run({"--timeout", kShortTimeoutSeconds, "status"});
    EXPECT_EQ(quiet.exit, 3);
    EXPECT_NE(quiet.err.find("no STATUS reply from " + silent.Address()), std::string::npos)
        << quiet.err;
    EXPECT_TRUE(quiet.out.empty());

    Unit foreign({"--foreign-id", "777"});
    const Result other =
        foreign.Run({"--timeout", kForeignReplyTimeoutSeconds, "getparam", "HostID"});
    EXPECT_EQ(other.exit, 3);
    EXPECT_NE(other.err.find("foreign id (777"), std::string::npos) << other.err;

    // A port nobody listens on: taken from the system, then given back.
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ::close(s);
    const Result refused =
        Vanta({"--unit", "127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "status"});
    EXPECT_EQ(refused.exit, 4);
    EXPECT_NE(refused.err.find("cannot reach the unit"), std::string::npos) << refused.err;
}

TEST(VantaProgram, ImageThatBreaksOffFailsWithoutWaitingOutTheTimeOut) {
    Unit unit({"--exposure-delay", "0", "--processing-time", "0", "--drop-image-after", "5000"});
    TempDir dir;
    const auto image = dir / "image.bmp";
    const auto started = std::chrono::steady_clock::now();
    const Result r = unit.Run({"--timeout", "50", "capture", "--out", image.string()});
    EXPECT_EQ(r.exit, 3);
    EXPECT_NE(r.err.find("broke off"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50));
    EXPECT_TRUE(std::filesystem::is_empty(dir / ""));
}

// Strangers on the reply port: how many, and how long a silent one stays before it hangs up.
constexpr int kStrangerConnections = 200;
constexpr auto kSilentStrangerHold = std::chrono::seconds(3);
// The wait vanta is given while strangers come and go; the real reply ends it long before.
constexpr char kFloodTimeoutSeconds[] = "60";
constexpr auto kFloodBound = std::chrono::seconds(90);

enum class Flood { Garbage, Silent };

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// Stands between vanta and the unit: takes vanta's request, floods the reply port it names with
// strangers, and only then hands the request on, so the real reply comes after all of them.
class FloodingGate {
public:
    FloodingGate(int unitPort, Flood flood) : m_unitPort(unitPort), m_flood(flood) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        socklen_t size = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 1) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            throw std::runtime_error("gate socket");
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { m_error = Run(); });
    }
    ~FloodingGate() {
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Empty when the gate did its part.
    std::string Finish() {
        m_thread.join();
        return m_error;
    }

private:
    std::string Run() {
        const auto deadline = std::chrono::steady_clock::now() + kFloodBound;
        pollfd pfd{m_listen, POLLIN, 0};
        if (::poll(&pfd, 1, MsLeft(deadline)) <= 0)
            return "vanta never sent its request";
        const int client = ::accept(m_listen, nullptr, nullptr);
        std::string request;
        char buffer[512];
        while (request.find('\0') == std::string::npos) {
            pollfd c{client, POLLIN, 0};
            ssize_t n = 0;
            if (::poll(&c, 1, MsLeft(deadline)) <= 0 ||
                (n = ::read(client, buffer, sizeof buffer)) <= 0)
                break;
            request.append(buffer, static_cast<size_t>(n));
        }
        ::close(client);
        const size_t at = request.find("PORT=");
        if (at == std::string::npos)
            return "no PORT line in the request: " + request;
        const int replyPort = std::stoi(request.substr(at + 5));
        const std::string flooded =
            m_flood == Flood::Garbage ? Garbage(replyPort, deadline) : Silent(replyPort, deadline);
        if (!flooded.empty())
            return flooded;
        const int unit = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in u = Loopback(m_unitPort);
        if (::connect(unit, reinterpret_cast<const sockaddr*>(&u), sizeof u) != 0 ||
            ::write(unit, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            ::close(unit);
            return "cannot hand the request to the unit";
        }
        ::close(unit);
        return WaitForSilentOnes(deadline);
    }

    // Each stranger sends one of these and hangs up: bytes that are no header, a header cut
    // short, and a header of another session whose body never comes.
    std::string Garbage(int port, std::chrono::steady_clock::time_point deadline) {
        static const std::string kPayloads[] = {
            std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
            "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
            "ID=00000000000000000000\r\nCMD=STA",
            "ID=12345678901234567890\r\nCMD=STATUS\r\nLEN=100\r\nshort",
            "\r\n\r\n\r\n",
            "",
        };
        for (int i = 0; i < kStrangerConnections; ++i) {
            if (std::chrono::steady_clock::now() >= deadline)
                return "garbage flood outlasted its bound";
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in a = Loopback(port);
            if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
                ::close(s);
                return "stranger " + std::to_string(i) + " could not connect";
            }
            const std::string& payload = kPayloads[i % std::size(kPayloads)];
            if (!payload.empty())
                (void)::send(s, payload.data(), payload.size(), MSG_NOSIGNAL);
            // Hang up, then let vanta drop the connection before the next one: six strangers
            // in a row would fill its accept queue and cost a second of SYN retry each time.
            ::shutdown(s, SHUT_WR);
            pollfd p{s, POLLIN, 0};
            char rest[64];
            while (::poll(&p, 1, MsLeft(deadline)) > 0 && ::read(s, rest, sizeof rest) > 0) {
            }
            ::close(s);
        }
        return {};
    }

    // All strangers connect at once without blocking; each hangs up kSilentStrangerHold after it
    // got through. The request goes on once every one of them has got through.
    std::string Silent(int port, std::chrono::steady_clock::time_point deadline) {
        const sockaddr_in a = Loopback(port);
        for (int i = 0; i < kStrangerConnections; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 &&
                errno != EINPROGRESS) {
                ::close(s);
                return "stranger " + std::to_string(i) + " could not connect";
            }
            m_silent.push_back({s, {}, false});
        }
        return Pump(deadline, true);
    }

    std::string WaitForSilentOnes(std::chrono::steady_clock::time_point deadline) {
        return Pump(deadline, false);
    }

    // Completes connects and hangs up the silent strangers whose time is up; returns once all
    // have connected (untilConnected) or all have hung up.
    std::string Pump(std::chrono::steady_clock::time_point deadline, bool untilConnected) {
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            size_t connected = 0, open = 0;
            std::vector<pollfd> waits;
            for (auto& c : m_silent) {
                if (c.fd < 0) {
                    ++connected;
                    continue;
                }
                ++open;
                if (c.connected && now >= c.since + kSilentStrangerHold) {
                    ::close(c.fd);
                    c.fd = -1;
                    ++connected;
                    --open;
                } else if (c.connected) {
                    ++connected;
                } else {
                    waits.push_back({c.fd, POLLOUT, 0});
                }
            }
            if (untilConnected ? connected == m_silent.size() : open == 0)
                return {};
            if (now >= deadline)
                return "silent strangers outlasted their bound";
            (void)::poll(waits.data(), waits.size(), 50);
            for (const pollfd& p : waits) {
                if (!(p.revents & (POLLOUT | POLLERR | POLLHUP)))
                    continue;
                for (auto& c : m_silent) {
                    if (c.fd != p.fd)
                        continue;
                    int error = 0;
                    socklen_t size = sizeof error;
                    ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
                    if (error != 0)
                        return "a silent stranger could not connect: " + std::to_string(error);
                    c.connected = true;
                    c.since = std::chrono::steady_clock::now();
                }
            }
        }
    }

    struct SilentStranger {
        int fd;
        std::chrono::steady_clock::time_point since;
        bool connected;
    };

    int m_unitPort;
    Flood m_flood;
    int m_listen = -1;
    int m_port = 0;
    std::vector<SilentStranger> m_silent;
    std::thread m_thread;
    std::string m_error;
};

TEST(VantaProgram, StrangersOnTheReplyPortDoNotEndTheWait) {
    Unit unit;
    for (const Flood flood : {Flood::Garbage, Flood::Silent}) {
        SCOPED_TRACE(flood == Flood::Garbage ? "garbage and hang up" : "silent, then hang up");
        FloodingGate gate(unit.Port(), flood);
        const Result r = Vanta(
            {"--unit", gate.Address(), "--timeout", kFloodTimeoutSeconds, "--json", "status"});
        EXPECT_EQ(gate.Finish(), "");
        EXPECT_EQ(r.exit, 0) << r.err;
        EXPECT_EQ(Json(r)["command"].text, "STATUS") << r.out;
    }
}

TEST(VantaProgram, UsageErrorsAndHelp) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"nonsense"}, {"--unit", "127.0.0.1:0", "status"}, {"getparam"}}) {
        const Result r = Vanta(args);
        EXPECT_EQ(r.exit, 2);
        EXPECT_NE(r.err.find("usage: vanta"), std::string::npos) << r.err;
    }
    const Result help = Vanta({"--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
}

TEST(VantaProgram, DebugShowsTheRequestAndReplyHeaderEscaped) {
    Unit unit;
    const Result r = unit.Run({"--debug", "reset"});
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.err.find("\\r\\nCMD=RESET\\r\\n\\0"), std::string::npos) << r.err;
    const Result status = unit.Run({"--debug", "status"});
    EXPECT_NE(status.err.find("reply header ID="), std::string::npos) << status.err;
    EXPECT_NE(status.err.find("\\r\\nCMD=STATUS\\r\\nLEN=30\\r\\n"), std::string::npos);
}

TEST(VantaProgram, RouteAndPingOfLoopback) {
    const Result route = Vanta({"--unit", "127.0.0.1", "route"});
    EXPECT_EQ(route.exit, 0) << route.err;
    EXPECT_EQ(route.out, "127.0.0.1\n");
    const Result ping = Vanta({"--unit", "127.0.0.1", "--json", "ping"});
    EXPECT_EQ(ping.exit, 0) << ping.err;
    EXPECT_TRUE(Json(ping)["reply"].boolean);
}

}  // namespace
