// The settings file: the missing-file question, the default unit address, integer keys.
#include "Settings.h"
#include "StringTable.h"

#include <winapi_ui.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using zephif::ReadSessionSettings;
using zephif::SessionSettings;

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zephif_settings_XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        m_dir = pattern;
        m_path = (m_dir / "ZephIF.ini").string();
        m_ui = std::make_shared<winapi::RecordingUiBackend>();
        winapi::SetUiBackend(m_ui);
    }
    void TearDown() override {
        winapi::SetUiBackend(nullptr);
        fs::remove_all(m_dir);
    }
    void Write(const std::string& text) { std::ofstream(m_path) << text; }
    std::string Contents() {
        std::ifstream in(m_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path m_dir;
    std::string m_path;
    std::shared_ptr<winapi::RecordingUiBackend> m_ui;
};

TEST_F(SettingsFile, MissingFileAnsweredYesWritesOnlyTheUnitAddress) {
    m_ui->ScriptAnswer(IDYES);
    SessionSettings s;
    ASSERT_TRUE(ReadSessionSettings(m_path, s));

    const auto boxes = m_ui->Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "Could not find file: " + m_path + "! Click 'Yes' button to use default settings.");
    EXPECT_EQ(boxes[0].type, MB_YESNO | MB_ICONSTOP);
    EXPECT_EQ(s.sensorIp, "192.168.100.190");
    EXPECT_EQ(s.localPort, 1000);
    EXPECT_EQ(s.sensorPort, 104);
    EXPECT_EQ(s.pictureMode, 0);
    EXPECT_EQ(s.statusTimeout, 20);
    EXPECT_EQ(s.captureTimeout, 300);
    EXPECT_EQ(s.localIp, "");
    EXPECT_EQ(s.borderRemove, 0);
    EXPECT_EQ(Contents(), "[VANTA]\r\nSensor-IP=192.168.100.190\r\n");
}

TEST_F(SettingsFile, MissingFileAnsweredNoFailsAndWritesNothing) {
    m_ui->ScriptAnswer(IDNO);
    SessionSettings s;
    EXPECT_FALSE(ReadSessionSettings(m_path, s));
    EXPECT_FALSE(fs::exists(m_path));
}

TEST_F(SettingsFile, EmptyUnitAddressIsReplacedAfterOneInformationBox) {
    Write("[VANTA]\nSensor-IP=\nSensor-Port=2104\n");
    SessionSettings s;
    ASSERT_TRUE(ReadSessionSettings(m_path, s));
    const auto boxes = m_ui->Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Using default IP address for Vantex: 192.168.100.190");
    EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(s.sensorIp, "192.168.100.190");
    EXPECT_EQ(s.sensorPort, 2104);
    EXPECT_NE(Contents().find("Sensor-IP=192.168.100.190"), std::string::npos);

    // Read again: nothing to ask any more.
    m_ui->Clear();
    ASSERT_TRUE(ReadSessionSettings(m_path, s));
    EXPECT_TRUE(m_ui->Boxes().empty());
}

TEST_F(SettingsFile, IntegersReadTheirLeadingDigitsAndTextReadsAsZero) {
    Write(
        "[VANTA]\nSensor-IP=127.0.0.1\nLocal-IP=x\nLocal-Port=abc\nSensor-Port=2104xyz\n"
        "Sensor-Picture-Mode=1\nSensor-Status-Timeout=soon\nSensor-Capture-Timeout=7\n"
        "Border-Remove=1\n");
    SessionSettings s;
    ASSERT_TRUE(ReadSessionSettings(m_path, s));
    EXPECT_TRUE(m_ui->Boxes().empty());
    EXPECT_EQ(s.localPort, 0);
    EXPECT_EQ(s.sensorPort, 2104);
    EXPECT_EQ(s.pictureMode, 1);
    EXPECT_EQ(s.statusTimeout, 0);
    EXPECT_EQ(s.captureTimeout, 7);
    EXPECT_EQ(s.localIp, "x");     // the worker treats one character as none
    EXPECT_EQ(s.borderRemove, 0);  // read, never used in this build
}

TEST(StringTable, TextsKeepTheirWordingAndPlaceholders) {
    EXPECT_EQ(zephif::LoadText(6, "10.1.2.3"),
              "Error connecting to Vantex 10.1.2.3,  wait a few seconds and try again. If this "
              "happens again, switch off and on the Vantex, wait 20 seconds and try again!");
    EXPECT_EQ(zephif::LoadText(7),
              "Vantex is occupied by another applicaton, please make it available!");
    EXPECT_EQ(zephif::LoadText(11), "Vantex timedout, please check network connections!");
    EXPECT_EQ(zephif::LoadText(21, "9999"),
              "Image transfer in progress, received 9999 bytes, please wait!");
    EXPECT_EQ(zephif::LoadText(21), "Image transfer in progress, received %1 bytes, please wait!");
    EXPECT_EQ(zephif::LoadText(22), "");
}

}  // namespace
