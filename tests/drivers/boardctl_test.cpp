// The boardctl program: it hosts a driver, runs a command and names the identified sensor.
#include <boardsim/Boards.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int exitCode;
    std::string output;
};

// Runs boardctl; one that hangs is ended after five minutes (exit code 124).
Outcome RunBoardctl(const std::string& arguments) {
    std::string command = "timeout 300 " + std::string(BOARDCTL_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    Outcome outcome{-1, ""};
    if (pipe == nullptr)
        return outcome;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        outcome.output.append(buffer, n);
    int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// The 16-bit samples of a binary PGM file, empty unless it is `columns` x `rows`.
std::vector<uint16_t> ReadPgm(const std::string& path, unsigned columns, unsigned rows) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    unsigned c = 0, r = 0, maxValue = 0;
    in >> magic >> c >> r >> maxValue;
    in.get();
    if (!in || magic != "P5" || c != columns || r != rows)
        return {};
    std::vector<uint16_t> pixels(static_cast<size_t>(columns) * rows);
    for (auto& p : pixels) {
        const int high = in.get();
        p = static_cast<uint16_t>((high << 8) | in.get());
    }
    return in ? pixels : std::vector<uint16_t>{};
}

// A read streams the sensor's image on the default pixel clock, on both boards: it arrives
// whole and intact, and no sooner than the clock sends it (400 words per ms). The boards' FIFOs
// hold a whole image, so a loaded machine only makes it slower.
TEST(BoardctlTest, ReadStreamsTheImageOnTheDefaultPixelClock) {
    const struct {
        const char* board;
        const char* read;
        unsigned columns, rows;
        std::vector<uint16_t> image;
        double clockSeconds;  // the image's words at the clock's rate
    } cases[] = {
        {"harrow", "read 2725632 bytes in ", 1638, 1248,
         boardsim::HarrowBoard::TestPattern(1638, 1248), 681408 / 400000.0},
        {"zeph", "read 621984 bytes in ", 682, 456, boardsim::ZephBoard::TestPattern(682, 456),
         155496 / 400000.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.board);
        const std::string file = ::testing::TempDir() + "boardctl_clock_" + c.board + ".pgm";
        std::remove(file.c_str());
        Outcome o = RunBoardctl(std::string("--board ") + c.board + " read --out " + file);
        ASSERT_EQ(o.exitCode, 0) << o.output;
        const size_t at = o.output.find(c.read);
        ASSERT_NE(at, std::string::npos) << o.output;
        const double seconds = std::strtod(o.output.c_str() + at + std::strlen(c.read), nullptr);
        EXPECT_GE(seconds + 0.005, c.clockSeconds) << o.output;  // printed to the hundredth
        EXPECT_TRUE(ReadPgm(file, c.columns, c.rows) == c.image);
        std::remove(file.c_str());
    }
}

// The overrun fault is a burst larger than the FIFO: it sends bursts whatever the default clock,
// and a pixel clock asked for beside it is refused.
TEST(BoardctlTest, FifoOverrunFaultSendsBursts) {
    for (const char* board : {"harrow", "zeph"}) {
        Outcome o =
            RunBoardctl(std::string("--board ") + board + " --fifo-overrun read --out /dev/null");
        EXPECT_EQ(o.exitCode, 1) << o.output;
        EXPECT_NE(o.output.find("read: error 1117"), std::string::npos) << o.output;
    }
    Outcome o = RunBoardctl("--fifo-overrun --pixel-clock 400 read --out /dev/null");
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.output.find("not with a pixel clock"), std::string::npos) << o.output;
}

TEST(BoardctlTest, CableTestNamesEachSensorModel) {
    const struct {
        const char* sensor;
        const char* expected;
    } cases[] = {
        {"zeph", "sensor: Zeph (model 1), 682 x 456 pixels"},
        {"osprey", "sensor: Osprey (model 2), 1366 x 912 pixels"},
        {"kestrel", "sensor: Kestrel (model 3), 1638 x 1248 pixels"},
    };
    for (const auto& c : cases) {
        Outcome o = RunBoardctl(std::string("--board harrow --sensor ") + c.sensor + " test");
        EXPECT_EQ(o.exitCode, 0) << o.output;
        EXPECT_NE(o.output.find("result 0 (sensor identified), fault mask 0x0000"),
                  std::string::npos)
            << o.output;
        EXPECT_NE(o.output.find(c.expected), std::string::npos) << o.output;
    }
}

TEST(BoardctlTest, FaultOptionsShowInTheResult) {
    Outcome o = RunBoardctl("--sensor osprey --clock-stuck-low test");
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.output.find("result 2 (cable fault), fault mask 0x0400"), std::string::npos)
        << o.output;
    o = RunBoardctl("--data-high-at-rest test");
    EXPECT_NE(o.output.find("result 5 (data line high at rest)"), std::string::npos) << o.output;
}

TEST(BoardctlTest, NvramRoundTripOnTheSingleSensorBoard) {
    std::string file = ::testing::TempDir() + "boardctl_nvram.bin";
    std::remove(file.c_str());
    Outcome o = RunBoardctl("--board zeph --nvram-file " + file + " nvram write 0x80 0x12 0x34");
    ASSERT_EQ(o.exitCode, 0) << o.output;
    o = RunBoardctl("--board zeph --nvram-file " + file + " nvram read 0x80 2");
    EXPECT_EQ(o.exitCode, 0) << o.output;
    EXPECT_NE(o.output.find("0080: 12 34"), std::string::npos) << o.output;
    o = RunBoardctl("--board zeph nvram write 0x10 1");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.output.find("invalid parameter"), std::string::npos) << o.output;
    std::remove(file.c_str());
}

TEST(BoardctlTest, HelpListsCommandsAndEveryFault) {
    Outcome o = RunBoardctl("--help");
    EXPECT_EQ(o.exitCode, 0);
    for (const char* text :
         {"test", "power on|off", "read --out FILE", "nvram read", "nvram write", "dump",
          "--sync-stuck-high", "--data-high-at-rest", "--command-busy", "--fifo-overrun",
          "--nvram-fault", "--no-sensor", "--pixel-clock WORDS_PER_MS"}) {
        EXPECT_NE(o.output.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(RunBoardctl("--bogus test").exitCode, 2);
    EXPECT_EQ(RunBoardctl("--pixel-clock fast test").exitCode, 2);
}

}  // namespace
