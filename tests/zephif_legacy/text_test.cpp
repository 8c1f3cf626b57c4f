// The legacy build's request text, reply parsing, settings and the waits they set, the status
// window's texts and colours, and the Network Error text.
#include "LegacyText.h"
#include "StatusWindow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zephlegacy {
namespace {

namespace fs = std::filesystem;

struct RequestCase {
    const char* what;
    int command;
    int mode;
    const char* text;
};

class RequestText : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestText, NoPaddingNoFinalLineEndModeOnlyOnCapture) {
    const RequestCase& c = GetParam();
    EXPECT_EQ(BuildRequestText(1804289383u, "127.0.0.1", 4000, c.command, c.mode), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestText,
    ::testing::Values(
        RequestCase{"status", kCmdStatus, 0,
                    "ID=1804289383\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=STATUS"},
        RequestCase{"capture 8 bit", kCmdCapture, 1,
                    "ID=1804289383\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=CAPTURE\r\nMODE=536870912"},
        RequestCase{"capture 16 bit", kCmdCapture, 0,
                    "ID=1804289383\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=CAPTURE\r\nMODE=0"},
        RequestCase{"capture unset mode", kCmdCapture, -1,
                    "ID=1804289383\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=CAPTURE"},
        RequestCase{"get ignores the mode", kCmdGet, 1,
                    "ID=1804289383\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=GET"},
        RequestCase{"reset", kCmdReset, 0,
                    "ID=1804289383\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=RESET"},
        RequestCase{"close", kCmdClose, 0,
                    "ID=1804289383\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=CLOSE"}),
    [](const ::testing::TestParamInfo<RequestCase>& row) {
        std::string name = row.param.what;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

TEST(LegacyCheckText, StatusWithIdFortyOneAndFinalLineEnd) {
    EXPECT_EQ(BuildCheckRequestText("10.1.2.3", 65535),
              "ID=41\r\nIP=10.1.2.3\r\nPORT=65535\r\nCMD=STATUS\r\n");
}

TEST(LegacyReply, HeaderWaitsForItsLinesThenSplitsAtCarriageReturnsAndEquals) {
    bool bad = false;
    const std::string reply = "ID=7\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=IDLE\r\nERR=0: 0\r\nSENSOR=1";
    EXPECT_FALSE(ParseReplyHeader(reply.substr(0, 20), bad));
    EXPECT_FALSE(bad);
    const auto header = ParseReplyHeader(reply, bad);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->id, "7");
    EXPECT_EQ(header->command, "STATUS");
    EXPECT_EQ(header->length, 30u);
    EXPECT_EQ(reply.size() - header->headerBytes, 30u);
    const auto status = ParseStatusBody(reply.substr(header->headerBytes));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->state, "IDLE");
    EXPECT_EQ(status->error, "0: 0");
    EXPECT_EQ(status->sensor, "1");
    EXPECT_FALSE(ErrorTextRefuses(status->error));
    EXPECT_TRUE(ErrorTextRefuses("2: 8"));

    EXPECT_FALSE(ParseReplyHeader("ID=7\r\nCMD=STATUS\r\nLEN=x1\r\n", bad));
    EXPECT_TRUE(bad);
    EXPECT_FALSE(ParseReplyHeader(std::string(2000, 'A'), bad));
    EXPECT_TRUE(bad);
    EXPECT_FALSE(ParseStatusBody("NAME=XRayTimeout\r\nVALUE=25"));
}

class LegacySettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zephif_legacy_settings_XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        m_dir = pattern;
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string Write(const std::string& body) {
        const auto path = m_dir / "ZephIF.ini";
        std::ofstream(path) << "[VANTA]\r\n" << body;
        return path.string();
    }
    fs::path m_dir;
};

TEST_F(LegacySettingsFile, DefaultsAndReturnKeysFollowTheLocalOnes) {
    LegacySettings s;
    EXPECT_FALSE(ReadLegacySettings((m_dir / "missing.ini").string(), s));

    ASSERT_TRUE(ReadLegacySettings(Write(""), s));
    EXPECT_EQ(s.localIp, "127.0.0.1");
    EXPECT_EQ(s.localPort, 4000);
    EXPECT_EQ(s.returnIp, "127.0.0.1");
    EXPECT_EQ(s.returnPort, 4000);
    EXPECT_EQ(s.sensorIp, "127.0.0.1");
    EXPECT_EQ(s.sensorPort, 104);
    EXPECT_EQ(s.pictureMode, -1);
    EXPECT_EQ(PollTimeMs(s), kDefaultPollMs);
    EXPECT_EQ(CommandWaitMs(s), kDefaultCommandWaitMs);

    ASSERT_TRUE(ReadLegacySettings(
        Write("Local-IP=127.0.0.2\r\nLocal-Port=5000\r\nSensor-IP=127.0.0.3\r\nSensor-Port=7\r\n"
              "Sensor-Picture-Mode=1\r\nSensor-Status-Timeout=3\r\nSensor-Poll-Timeout=250\r\n"),
        s));
    EXPECT_EQ(s.returnIp, "127.0.0.2");
    EXPECT_EQ(s.returnPort, 5000);
    EXPECT_EQ(s.sensorIp, "127.0.0.3");
    EXPECT_EQ(s.sensorPort, 7);
    EXPECT_EQ(s.pictureMode, 1);
    EXPECT_EQ(PollTimeMs(s), 250u);
    EXPECT_EQ(CommandWaitMs(s), 3000u);

    ASSERT_TRUE(ReadLegacySettings(
        Write("Return-IP=127.0.0.9\r\nReturn-Port=6000\r\nSensor-IP=" + std::string(100, '1') +
              "\r\nSensor-Status-Timeout=100000\r\nSensor-Poll-Timeout=999999999\r\n"),
        s));
    EXPECT_EQ(s.returnIp, "127.0.0.9");
    EXPECT_EQ(s.returnPort, 6000);
    EXPECT_EQ(s.sensorIp.size(), kSettingsTextChars);  // text values up to 80 characters
    EXPECT_EQ(PollTimeMs(s), kMaxWaitMs);
    EXPECT_EQ(CommandWaitMs(s), kMaxWaitMs);
}

TEST(LegacyStatusWindow, CodesTextsAndColours) {
    struct Row {
        int code;
        COLORREF colour;
        const char* text;
    } rows[] = {{1, RGB(255, 0, 0), "Wait!"},
                {2, RGB(0, 255, 0), "Waiting for X-Ray!"},
                {3, RGB(255, 255, 0), "Wait for Processing!"},
                {4, RGB(255, 255, 0), "Image Found. Wait for Processing!"},
                {5, RGB(255, 0, 0), "Can't get Image. Wait for resetting sensor!"}};
    for (const auto& row : rows) {
        const StatusCodeRow* found = FindStatusCode(row.code);
        ASSERT_NE(found, nullptr) << row.code;
        EXPECT_EQ(found->colour, row.colour) << row.code;
        EXPECT_STREQ(found->text, row.text);
    }
    EXPECT_EQ(FindStatusCode(0), nullptr);
    EXPECT_EQ(FindStatusCode(6), nullptr);

    auto ui = std::make_shared<winapi::RecordingUiBackend>();
    winapi::SetUiBackend(ui);
    StatusWindow window;
    window.ShowCode(2);  // no window yet: nothing shown
    window.Create();
    window.ShowCode(2);
    window.ShowProgress(3000, 10000);
    window.Destroy();
    winapi::SetUiBackend(nullptr);
    const auto lines = ui->StatusUpdates();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "Checking Sensor Status...");
    EXPECT_TRUE(lines[0].visible);
    EXPECT_EQ(lines[1].text, "Waiting for X-Ray!");
    EXPECT_EQ(lines[1].color, RGB(0, 255, 0));
    EXPECT_EQ(lines[2].text, "Waiting for X-Ray!\nProgress 30%");
    EXPECT_FALSE(lines[3].visible);
}

TEST(LegacyDialogs, NetworkErrorShowsTheSixValuesBesideTheirLabels) {
    LegacySettings s;
    s.localIp = "127.0.0.5";
    s.localPort = 4001;
    s.returnIp = "127.0.0.6";
    s.returnPort = 4002;
    s.sensorIp = "127.0.0.7";
    s.sensorPort = 105;
    EXPECT_EQ(NetworkErrorText(s),
              "Couldn't find Quill sensor.\nCheck network hardware connections (sensor, cable).\n"
              "\nCheck network parameters in zephif.ini file:\n"
              "PC Local IP: 127.0.0.5\nPC Local Port: 4001\nPC Return IP: 127.0.0.6\n"
              "PC Return Port: 4002\nSensor IP: 127.0.0.7\nSensor Port: 105\n\n"
              "Power-cycle sensor module, exit from application, and restart the application.");
    EXPECT_STREQ(LegacyString(1), "Failed to open the X-ray capture device driver!");
    EXPECT_STREQ(LegacyString(13), "Harrow Test Failure!\nTest Values: ");
    EXPECT_STREQ(LegacyString(15), "Power OFF");
    EXPECT_STREQ(LegacyString(16), "");
}

}  // namespace
}  // namespace zephlegacy
