// VantaConfiguration driven through its widgets, offscreen, against the virtual unit on loopback.
#include "AboutDlg.h"
#include "MainFrame.h"
#include "SplashWnd.h"
#include "StringTable.h"
#include "VantaConfigurationApp.h"
#include "config_tool_test.h"
#include "scripted_unit.h"

#include "unitsim/virtual_unit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWhatsThis>
#include <QWindow>

#include <winapi_ui.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

using namespace configtest;

class VantaConfigurationTest : public ConfigToolTest<CMainFrame> {
protected:
    const char* Application() const override { return vantastr::kApplication; }
    std::unique_ptr<CMainFrame> MakeFrame() const override {
        return std::make_unique<CMainFrame>();
    }

    void StartSession() {
        PointAtUnit(m_unit->port());
        const int before = Handled();
        Command(kCommandStart)->trigger();
        ASSERT_TRUE(m_frame->View()->HasSession()) << BoxTexts();
        ASSERT_TRUE(WaitFor([&] { return Handled() > before; })) << "no status reply";
    }
    // Runs a command and waits for the reply it brings.
    void RunAndWaitReply(int id) {
        const int before = Handled();
        Command(id)->trigger();
        ASSERT_TRUE(WaitFor([&] { return Handled() > before; })) << "no reply to " << id;
    }
};

TEST_F(VantaConfigurationTest, StartsFromDefaultsAndWritesTheProfileAtCloseWithoutSession) {
    EXPECT_EQ(Edit(kUnitAddressEdit)->text(), "192.168.100.190");
    EXPECT_EQ(Edit(kUnitPortEdit)->text(), "104");
    EXPECT_EQ(Edit(kLocalPortEdit)->text(), "1000");
    EXPECT_EQ(Edit(kSensorTypeEdit)->text(), "0");
    EXPECT_EQ(Combo()->currentText(), "AFEOffset");
    EXPECT_EQ(Combo()->count(), 30);
    EXPECT_EQ(m_frame->SessionPane()->text(), "No Active Sessions.");
    EXPECT_EQ(m_frame->PromptPane()->text(), "For Help, press F1");
    EXPECT_FALSE(m_frame->DatePane()->text().isEmpty());
    EXPECT_TRUE(Command(kCommandStart)->isEnabled());
    for (int id : {kCommandStop, kCommandStatus, kCommandRead, kCommandChange})
        EXPECT_FALSE(Command(id)->isEnabled()) << id;
    EXPECT_EQ(Command(kCommandStart)->statusTip(), "Start Vanta Session ");
    SaveScreenshot(m_frame.get(), "VantaConfiguration-main-before-session");

    Edit(kUnitAddressEdit)->setText("127.0.0.1");
    m_frame.reset();
    QSettings settings(CommunicationProfile::kOrganisation, vantastr::kApplication);
    settings.beginGroup("Communication");
    EXPECT_EQ(settings.value("VantaIP").toString(), "127.0.0.1");
    EXPECT_EQ(settings.value("VantaPort").toInt(), 104);
    EXPECT_EQ(settings.value("LocalPort").toInt(), 1000);
}

TEST_F(VantaConfigurationTest, StatusFillsTheResponseAndStopClearsItButKeepsTheValue) {
    StartSession();
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "IDLE");
    EXPECT_EQ(Edit(kSensorTypeEdit)->text(), "1");
    EXPECT_EQ(Edit(kErrorEdit)->text(), "0: 0");
    EXPECT_EQ(Edit(kLocalHostEdit)->text(), "127.0.0.1");  // the address facing the unit
    EXPECT_EQ(m_frame->SessionPane()->text(), "Id: " + m_frame->View()->SessionId());
    EXPECT_FALSE(Command(kCommandStart)->isEnabled());
    for (int id : {kCommandStop, kCommandStatus, kCommandRead, kCommandChange})
        EXPECT_TRUE(Command(id)->isEnabled()) << id;
    SaveScreenshot(m_frame.get(), "VantaConfiguration-main-after-status");

    Select("XRayTimeout");
    RunAndWaitReply(kCommandRead);
    const auto expected = m_unit->parameter("XRayTimeout");
    ASSERT_TRUE(expected);
    EXPECT_EQ(Edit(kParameterValueEdit)->text().toStdString(), *expected);
    SaveScreenshot(m_frame.get(), "VantaConfiguration-main-after-read");

    // A status reply after a parameter read leaves the value as it is.
    RunAndWaitReply(kCommandStatus);
    EXPECT_EQ(Edit(kParameterValueEdit)->text().toStdString(), *expected);

    Command(kCommandStop)->trigger();
    EXPECT_FALSE(m_frame->View()->HasSession());
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "");
    EXPECT_EQ(Edit(kErrorEdit)->text(), "");
    EXPECT_EQ(Edit(kSensorTypeEdit)->text(), "0");
    EXPECT_EQ(Edit(kLocalHostEdit)->text(), "");
    EXPECT_EQ(Edit(kParameterValueEdit)->text().toStdString(), *expected);
    EXPECT_EQ(m_frame->SessionPane()->text(), "No Active Sessions.");
    EXPECT_TRUE(WaitFor([&] { return LogHas("CMD=CLOSE"); })) << "no CLOSE after stop";
    EXPECT_TRUE(m_boxes->Boxes().empty()) << BoxTexts();
}

TEST_F(VantaConfigurationTest, ChangeSendsNumbersTheWayAtoiReadsThemAndTextAsTyped) {
    StartSession();
    struct Case {
        const char* name;
        const char* row;
        const char* typed;
        const char* sent;
    };
    const Case cases[] = {
        {"digits then letters", "XRayTimeout", "12abc", "12"},
        {"letters only", "XRayTimeout", "abc", "0"},
        {"blank minus five", "ExposureThreshold", " -5", "-5"},
        {"too large saturates", "AFEGain", "99999999999", "2147483647"},
        {"too small saturates", "AFEOffset", "-99999999999", "-2147483648"},
        {"text row unchanged", "HostID", "Lab 3 x", "Lab 3 x"},
        {"text row empty", "HostID", "", ""},
        {"address row unchanged", "NetMask", "255.255.0.0", "255.255.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Select(c.row);
        Edit(kParameterValueEdit)->setText(c.typed);
        ASSERT_TRUE(Command(kCommandChange)->isEnabled());
        RunAndWaitReply(kCommandChange);
        EXPECT_TRUE(LogHas(std::string("NAME=") + c.row + "\\r\\nVAL=" + c.sent + "\\r\\n"));
    }
}

TEST_F(VantaConfigurationTest, ChangeIsOfferedOnlyForWritableRowsOfTheList) {
    StartSession();
    for (const ParameterEntry& row : kVantaParameters) {
        Select(row.name);
        m_frame->UpdateCommandUI();
        EXPECT_EQ(Command(kCommandChange)->isEnabled(), row.writable) << row.name;
    }
    Combo()->setEditText("XRayTimeou");  // typed, not a row of the list
    m_frame->UpdateCommandUI();
    EXPECT_FALSE(Command(kCommandChange)->isEnabled());
    EXPECT_EQ(m_frame->View()->SelectedRow(), -1);
}

TEST_F(VantaConfigurationTest, ReplyWithAForeignSessionIdChangesNothing) {
    StartSession();
    unitsim::Faults faults;
    faults.foreignId = "1234567890";
    m_unit->setFaults(faults);
    Select("XRayTimeout");
    Edit(kParameterValueEdit)->setText("unchanged");
    RunAndWaitReply(kCommandRead);
    EXPECT_EQ(Edit(kParameterValueEdit)->text(), "unchanged");
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "IDLE");
    EXPECT_TRUE(m_boxes->Boxes().empty()) << BoxTexts();
}

TEST_F(VantaConfigurationTest, PortOutOfRangeIsRefusedAsTyped) {
    QLineEdit* port = Edit(kUnitPortEdit);
    port->setFocus();
    port->selectAll();
    QTest::keyClicks(port, "65536");
    ASSERT_EQ(m_boxes->Boxes().size(), 1u) << BoxTexts();
    EXPECT_EQ(m_boxes->Boxes()[0].text, "Please enter an integer between 0 and 65535.");
    EXPECT_EQ(m_boxes->Boxes()[0].type & MB_ICONMASK, MB_ICONEXCLAMATION);
    EXPECT_EQ(port->text(), "6553");
    m_frame.reset();
    QSettings settings(CommunicationProfile::kOrganisation, vantastr::kApplication);
    EXPECT_EQ(settings.value("Communication/VantaPort").toInt(), 6553);
}

TEST_F(VantaConfigurationTest, TextWithALineBreakIsRefusedAndNothingIsSent) {
    StartSession();
    Select("HostID");
    Edit(kParameterValueEdit)->setText("lab\r\nCMD=RESET");
    const auto handled = m_unit->counters().requestsHandled;
    Command(kCommandChange)->trigger();
    ASSERT_EQ(m_boxes->Boxes().size(), 1u) << BoxTexts();
    EXPECT_EQ(m_boxes->Boxes()[0].text,
              "Internal Application Error: Invalid character in request text");
    EXPECT_EQ(m_unit->counters().requestsHandled, handled);
}

TEST_F(VantaConfigurationTest, FailedSendIsACommunicationErrorAndTheToolGoesOn) {
    // Nothing listens on the unit's port: the STATUS after start fails, the session stays open.
    uint16_t closedPort = 0;
    {
        RequestSink gone;
        closedPort = gone.Port();
    }
    PointAtUnit(closedPort);
    Command(kCommandStart)->trigger();
    ASSERT_TRUE(m_frame->View()->HasSession());
    ASSERT_EQ(m_boxes->Boxes().size(), 1u) << BoxTexts();
    EXPECT_EQ(m_boxes->Boxes()[0].text.rfind("Communication Error: ", 0), 0u);
    EXPECT_EQ(m_boxes->Boxes()[0].type & MB_ICONMASK, MB_ICONERROR);
}

// The unit splits the header across receives: the reply is read whole all the same.
TEST_F(VantaConfigurationTest, HeaderSplitAcrossReceivesIsReadWhole) {
    const std::string body = "STATE=WAITXRAY\r\nERR=0: 0\r\nSENSOR=3";
    ScriptedUnit unit({"ID={ID}\r\nCM", "D=STATUS\r", "\nLEN=" + std::to_string(body.size()) + "\r",
                       "\n" + body});
    PointAtUnit(unit.Port());
    const int before = Handled();
    Command(kCommandStart)->trigger();
    ASSERT_TRUE(WaitFor([&] { return Handled() > before; })) << BoxTexts();
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "WAITXRAY");
    EXPECT_EQ(Edit(kSensorTypeEdit)->text(), "3");
}

// A body cut short is reported as incomplete, never shown as the unit's answer.
TEST_F(VantaConfigurationTest, IncompleteBodyIsReportedNotShown) {
    ScriptedUnit unit({"ID={ID}\r\nCMD=STATUS\r\nLEN=60\r\nSTATE=NOTRDY\r\nERR="});
    PointAtUnit(unit.Port());
    const int before = Handled();
    Command(kCommandStart)->trigger();
    ASSERT_TRUE(WaitFor([&] { return Handled() > before; })) << BoxTexts();
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "");
    ASSERT_EQ(m_boxes->Boxes().size(), 1u) << BoxTexts();
    EXPECT_EQ(m_boxes->Boxes()[0].text,
              "Communication Error: incomplete response from Vanta (18 of 60 bytes arrived). "
              "Message is ignored.");
}

TEST_F(VantaConfigurationTest, ReplyWithoutASessionIsReportedAndExitStopsTheSession) {
    EarlyReply stray;
    stray.command = "STATUS";
    stray.complete = true;
    m_frame->View()->HandleReply(stray);
    ASSERT_EQ(m_boxes->Boxes().size(), 1u);
    EXPECT_EQ(m_boxes->Boxes()[0].text, vantastr::kNoSessionReply);
    EXPECT_EQ(m_boxes->Boxes()[0].type & MB_ICONMASK, MB_ICONINFORMATION);

    StartSession();
    Command(kCommandContextHelp)->trigger();
    EXPECT_EQ(m_frame->PromptPane()->text(), "Select an object on which to get Help");
    QWhatsThis::leaveWhatsThisMode();
    Command(kCommandExit)->trigger();
    EXPECT_FALSE(m_frame->View()->HasSession());
    EXPECT_TRUE(WaitFor([&] { return !m_frame->isVisible(); })) << "Exit did not close the frame";
    EXPECT_TRUE(WaitFor([&] { return LogHas("CMD=CLOSE"); })) << "no CLOSE after Exit";
}

TEST_F(VantaConfigurationTest, ReplyQueuedWhileStoppingNeverReachesTheForm) {
    StartSession();
    Command(kCommandStatus)->trigger();  // its reply may arrive while the session stops
    Command(kCommandStop)->trigger();
    QTest::qWait(300);
    QCoreApplication::processEvents();
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "");
    EXPECT_EQ(Edit(kSensorTypeEdit)->text(), "0");
    EXPECT_TRUE(m_boxes->Boxes().empty()) << BoxTexts();
}

TEST_F(VantaConfigurationTest, AboutBoxHasBannerPageAndRunsOnlyItsOwnCommands) {
    CAboutDlg about(m_frame.get());
    about.show();
    EXPECT_EQ(about.windowTitle(), "About VantaConfiguration");
    EXPECT_EQ(about.Banner()->Title(), "Vanta Configuration Tool");
    EXPECT_EQ(about.Banner()->width(), KCSideBanner::kDefaultThickness);
    EXPECT_EQ(about.Banner()->height(), about.height());
    EXPECT_GE(about.Page()->geometry().left(), KCSideBanner::kDefaultThickness);
    EXPECT_GE(about.OkButton()->geometry().left(), KCSideBanner::kDefaultThickness);
    EXPECT_EQ(about.OkButton()->toolTip(), "Click on ok to dismiss the about dialog");
    EXPECT_TRUE(about.Page()->toPlainText().contains("Vanta Configuration Tool"));
    QTest::qWait(50);
    SaveScreenshot(&about, "VantaConfiguration-about");

    // Gradient from white to 128,128,192 across the band, a black edge line on its right side.
    const QImage band = about.Banner()->grab().toImage();
    const int last = band.width() - 1;
    EXPECT_GE(qGray(band.pixel(0, 5)), 250);
    EXPECT_NEAR(qRed(band.pixel(last - 1, 5)), 128, 6);
    EXPECT_NEAR(qBlue(band.pixel(last - 1, 5)), 192, 6);
    EXPECT_EQ(QColor(band.pixel(last, 5)), QColor(0, 0, 0));
    // The rotated title is drawn near the bottom of the band, nothing at its top.
    auto inked = [&](int top, int bottom) {
        for (int y = top; y < bottom; ++y)
            for (int x = 1; x < last - 1; ++x)
                if (qGray(band.pixel(x, y)) < 60)
                    return true;
        return false;
    };
    EXPECT_TRUE(inked(band.height() - 60, band.height()));
    EXPECT_FALSE(inked(0, 20));

    const QString page = about.Page()->toHtml();
    about.Page()->Navigate(QUrl("APP:Unknown thing"));
    ASSERT_EQ(m_boxes->Boxes().size(), 1u);
    EXPECT_EQ(m_boxes->Boxes()[0].caption, "Unexpected Command");
    EXPECT_EQ(m_boxes->Boxes()[0].text, "Unknown thing");
    EXPECT_EQ(m_boxes->Boxes()[0].type & MB_ICONMASK, MB_ICONQUESTION);
    about.Page()->Navigate(QUrl("app:Beep"));
    EXPECT_EQ(m_boxes->Boxes().size(), 1u);
    about.Page()->Navigate(QUrl("App:Minimise"));
    EXPECT_TRUE(WaitFor([&] { return m_frame->isMinimized(); }, 2000));
    EXPECT_EQ(about.Page()->toHtml(), page);  // every one cancelled: the page stays
}

TEST_F(VantaConfigurationTest, SplashShowsItsBitmapAndSwallowsTheKeyThatClosesIt) {
    CSplashWnd::ShowSplashScreen(m_frame.get());
    CSplashWnd* splash = CSplashWnd::Current();
    ASSERT_NE(splash, nullptr);
    EXPECT_EQ(splash->size(), QSize(520, 389));
    SaveScreenshot(splash, "VantaConfiguration-splash");
    QLineEdit* value = Edit(kParameterValueEdit);
    value->setFocus();
    QTest::keyClick(value, Qt::Key_X);
    EXPECT_EQ(CSplashWnd::Current(), nullptr);
    EXPECT_EQ(value->text(), "");  // the closing key went no further

    CSplashWnd::ShowSplashScreen(m_frame.get());
    EXPECT_TRUE(WaitFor([] { return CSplashWnd::Current() == nullptr; }, 5000))
        << "the 750 ms timer did not close the splash";
}

TEST(VantaConfigurationOptions, CommandLine) {
    auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "VantaConfiguration");
        return ParseConfigurationOptions(static_cast<int>(args.size()),
                                         const_cast<char**>(args.data()));
    };
    EXPECT_TRUE(parse({"--help"}).showHelp);
    EXPECT_TRUE(parse({"--version"}).showVersion);
    EXPECT_FALSE(parse({"-Embedding"}).splash);
    const ConfigurationOptions unit = parse({"--unit", "127.0.0.1:10104", "--local-port", "0"});
    EXPECT_EQ(unit.unitAddress, "127.0.0.1");
    EXPECT_EQ(unit.unitPort, 10104);
    EXPECT_EQ(unit.localPort, 0);
    EXPECT_FALSE(parse({"--unit", "host:65536"}).error.empty());
    EXPECT_FALSE(parse({"--frobnicate"}).error.empty());
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The profile goes to a private place, never the user's.
    QTemporaryDir profileHome;
    setenv("XDG_CONFIG_HOME", profileHome.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
