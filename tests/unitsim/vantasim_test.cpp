// Tests of the vantasim program: options, the listening line, exposure on demand, clean exit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "loopback_client.h"
#include "unitsim/image.h"

extern char** environ;

using namespace unitsim_test;

namespace {

// The program under test; its path comes from the build.
constexpr const char* kProgram = VANTASIM_PATH;

int leftMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// One run of the program with its standard streams on pipes.
class Program {
public:
    explicit Program(std::vector<std::string> args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        args.insert(args.begin(), kProgram);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, kProgram, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
        if (rc != 0) {
            throw std::runtime_error("cannot start " + std::string(kProgram));
        }
    }

    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdin_);
        ::close(stdout_);
        ::close(stderr_);
    }

    // The next line on standard output, without its line end; empty when none comes in time.
    std::string readLine() {
        const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
        for (;;) {
            if (auto nl = out_.find('\n'); nl != std::string::npos) {
                std::string line = out_.substr(0, nl);
                out_.erase(0, nl + 1);
                return line;
            }
            pollfd pfd{stdout_, POLLIN, 0};
            char buffer[1024];
            ssize_t n = 0;
            if (::poll(&pfd, 1, leftMs(deadline)) <= 0 ||
                (n = ::read(stdout_, buffer, sizeof buffer)) <= 0) {
                return {};
            }
            out_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    // Standard output up to its end (the program has closed it or ended).
    std::string readRest() {
        const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
        for (;;) {
            pollfd pfd{stdout_, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (::poll(&pfd, 1, leftMs(deadline)) <= 0 ||
                (n = ::read(stdout_, buffer, sizeof buffer)) <= 0) {
                return std::exchange(out_, {});
            }
            out_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    void writeStdin(std::string_view text) {
        ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    void signal(int signo) { ::kill(pid_, signo); }

    // Waits for the program to end, within the bound; its exit status, or -1.
    int wait() {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd pfd{pidfd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(kWaitBound.count()));
            ::close(pidfd);
            if (ready <= 0) {
                return -1;
            }
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) {
            return -1;
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Everything written on standard error; call after wait().
    std::string readAllStderr() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(stderr_, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

    // Reads the listening line and returns the port it names.
    std::uint16_t listeningPort() {
        const std::string line = readLine();
        const std::string prefix = "vantasim listening on 127.0.0.1:";
        const std::string digits = line.substr(std::min(line.size(), prefix.size()));
        if (!line.starts_with(prefix) || digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            ADD_FAILURE() << "unexpected first line: '" << line << "'";
            return 0;
        }
        return static_cast<std::uint16_t>(std::stoi(digits));
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    std::string out_;
    bool exited_ = false;
};

class unitsimProgram : public ::testing::Test {
protected:
    Reply roundTrip(std::uint16_t port, std::string_view command, std::string_view extra = {}) {
        sendRequest(port, makeRequest("4242", listener_.port(), command, extra));
        auto reply = listener_.next();
        if (!reply) {
            ADD_FAILURE() << "no reply to " << command;
            return {};
        }
        EXPECT_EQ(reply->command, command);
        return *reply;
    }

    // STATUS until the unit reports WAITXRAY: CAPTURE is taken in on the program's own time.
    void waitForWaitXray(std::uint16_t port) {
        const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
        while (std::chrono::steady_clock::now() < deadline) {
            if (roundTrip(port, "STATUS").body.starts_with("STATE=WAITXRAY\r\n")) {
                return;
            }
        }
        FAIL() << "the unit never reached WAITXRAY";
    }

    ReplyListener listener_;
};

TEST_F(unitsimProgram, HelpDescribesEveryOption) {
    Program program({"--help"});
    const std::string help = program.readRest();
    EXPECT_EQ(program.wait(), 0);
    for (const char* option : {"--address",
                               "--port",
                               "--allow-remote-replies",
                               "--image",
                               "phantom",
                               "--seed",
                               "--image-size",
                               "--exposure-delay",
                               "--processing-time",
                               "--sensor ",
                               "--start-state",
                               "--refuse-capture",
                               "--sensor-fault",
                               "--fault-sensor",
                               "--foreign-id",
                               "--drop-image-after",
                               "--chunk-size",
                               "--chunk-delay",
                               "--silent",
                               "--verbose",
                               "--help",
                               "SIGUSR1",
                               "expose"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

TEST_F(unitsimProgram, RefusesBadOptions) {
    EXPECT_EQ(Program({"--port", "http"}).wait(), 2);
    EXPECT_EQ(Program({"--port", "70000"}).wait(), 2);
    EXPECT_EQ(Program({"--exposure-delay", "-1"}).wait(), 2);
    EXPECT_EQ(Program({"--start-state", "WAITXRAY"}).wait(), 2);
    EXPECT_EQ(Program({"--no-such-option"}).wait(), 2);
    EXPECT_EQ(Program({"--port", "0", "--image", "/nonexistent/picture.pgm"}).wait(), 1);
    EXPECT_EQ(Program({"--image", "phantom", "--image-size", "1638"}).wait(), 2);
    EXPECT_EQ(Program({"--image", "phantom", "--image-size", "0x100"}).wait(), 2);
    EXPECT_EQ(Program({"--image", "phantom", "--image-size", "9000x100"}).wait(), 2);
}

TEST_F(unitsimProgram, ExposesOnStdinAndOnSignalAndExitsCleanly) {
    Program program({"--port", "0", "--processing-time", "0", "--sensor", "3"});
    const std::uint16_t port = program.listeningPort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(roundTrip(port, "STATUS").body, "STATE=IDLE\r\nERR=0: 0\r\nSENSOR=3");

    sendRequest(port, makeRequest("4242", listener_.port(), "CAPTURE", "MODE=0\r\n"));
    waitForWaitXray(port);
    program.writeStdin("expose\n");
    EXPECT_EQ(program.readLine(), "exposure");
    auto image = listener_.next();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->command, "CAPTURE");
    EXPECT_EQ(image->body.size(), 54u + 684 * 2 * 456);
    EXPECT_TRUE(image->complete());
    EXPECT_EQ(roundTrip(port, "CLOSE").body, "STATE=IDLE\r\nERR=0: 0\r\nSENSOR=3");

    sendRequest(port, makeRequest("4242", listener_.port(), "CAPTURE", "MODE=536870912\r\n"));
    waitForWaitXray(port);
    program.signal(SIGUSR1);
    EXPECT_EQ(program.readLine(), "exposure");
    image = listener_.next();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->body.size(), 1078u + 684 * 456);

    program.writeStdin("status\n");
    EXPECT_EQ(program.readLine().rfind("state IMGRDY, ", 0), 0u);
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), 0);
}

TEST_F(unitsimProgram, DeliversAnImageFileAndLogsTrafficEscaped) {
    // A 16-bit PGM of 12-bit values, so the delivered payload can be predicted exactly.
    const auto path = std::filesystem::temp_directory_path() /
                      ("vantasim_test_" + std::to_string(::getpid()) + ".pgm");
    std::string pgm = "P5\n4 3\n4095\n";
    unitsim::GrayImage expected{4, 3, {}};
    for (int i = 0; i < 12; ++i) {
        const std::uint16_t v = static_cast<std::uint16_t>(i * 341);
        expected.pixels.push_back(v);
        pgm += static_cast<char>(v >> 8);
        pgm += static_cast<char>(v & 0xff);
    }
    std::ofstream(path, std::ios::binary) << pgm;

    Program program(
        {"--port", "0", "--image", path.string(), "--start-state", "IMGRDY", "--verbose"});
    const std::uint16_t port = program.listeningPort();
    ASSERT_NE(port, 0);
    std::filesystem::remove(path);
    EXPECT_EQ(roundTrip(port, "GETPARAM", "NAME=CCDSizeX\r\n").body, "NAME=CCDSizeX\r\nVALUE=4");
    const auto payload = unitsim::buildImagePayload(expected, unitsim::PictureMode::Gray16);
    EXPECT_EQ(roundTrip(port, "GET", "MODE=0\r\n").body,
              std::string(payload.begin(), payload.end()));

    program.signal(SIGINT);
    EXPECT_EQ(program.wait(), 0);
    const std::string log = program.readAllStderr();
    EXPECT_NE(log.find("CMD=GET\\r\\nMODE=0\\r\\n\\0"), std::string::npos) << log;
    EXPECT_NE(log.find("LEN=" + std::to_string(payload.size()) + "\\r\\n[" +
                       std::to_string(payload.size()) + " image bytes]"),
              std::string::npos)
        << log;
}

TEST_F(unitsimProgram, DeliversTheSeededPhantomAtTheChosenSize) {
    Program program({"--port", "0", "--image", "phantom", "--image-size", "1366x912", "--seed", "5",
                     "--start-state", "IMGRDY"});
    const std::uint16_t port = program.listeningPort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(roundTrip(port, "GETPARAM", "NAME=CCDSizeX\r\n").body, "NAME=CCDSizeX\r\nVALUE=1366");
    const auto payload = unitsim::buildImagePayload(unitsim::makePhantom(1366, 912, 5),
                                                    unitsim::PictureMode::Gray16);
    EXPECT_EQ(roundTrip(port, "GET", "MODE=0\r\n").body,
              std::string(payload.begin(), payload.end()));
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), 0);
}

TEST_F(unitsimProgram, FaultOptionsReachTheUnit) {
    Program program(
        {"--port", "0", "--foreign-id", "77", "--sensor-fault", "-2012: 4", "--fault-sensor", "9"});
    const std::uint16_t port = program.listeningPort();
    ASSERT_NE(port, 0);
    const Reply r = roundTrip(port, "STATUS");
    EXPECT_EQ(r.id, "77");
    EXPECT_EQ(r.body, "STATE=IDLE\r\nERR=-2012: 4\r\nSENSOR=9");
    program.writeStdin("quit\n");
    EXPECT_EQ(program.wait(), 0);
}

}  // namespace
