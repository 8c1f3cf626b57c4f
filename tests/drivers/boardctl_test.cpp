// The boardctl program: it hosts a driver, runs a command and names the identified sensor.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int exitCode;
    std::string output;
};

Outcome RunBoardctl(const std::string& arguments) {
    std::string command = std::string(BOARDCTL_PATH) + " " + arguments + " 2>&1";
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
    for (const char* text : {"test", "power on|off", "read --out FILE", "nvram read", "nvram write",
                             "dump", "--sync-stuck-high", "--data-high-at-rest", "--command-busy",
                             "--fifo-overrun", "--nvram-fault", "--no-sensor"}) {
        EXPECT_NE(o.output.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(RunBoardctl("--bogus test").exitCode, 2);
}

}  // namespace
