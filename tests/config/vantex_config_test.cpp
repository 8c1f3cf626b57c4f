// VantexConfiguration driven through its widgets, offscreen, against the virtual unit on loopback,
// with the adapter list injected; splash and about through Fanfare registered in a test registry.
#include "AdapterInfo.h"
#include "FanfareClient.h"
#include "MainFrame.h"
#include "StringTable.h"
#include "VantexConfigurationApp.h"
#include "config_tool_test.h"

#include "unitsim/virtual_unit.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <windows.h>
#include <olectl.h>
#include <winapi_ui.h>
#include <winsock2.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace configtest;

constexpr int kModalWaitMs = 10000;
constexpr char kNoAdapterChild[] = "--no-adapter-child";
constexpr int kChildNoNamespace = 77;
constexpr int kChildFailed = 3;

// ---- An adapter source of the test's own ------------------------------------------------------

struct FakeNetwork {
    std::vector<DWORD> adapters;  // interface indexes of the adapters, in list order
    DWORD interfaces = 0;
    DWORD bestResult = NO_ERROR;
    DWORD bestIndex = 0;
    std::vector<std::pair<DWORD, const char*>> rows;  // address table: index, address
    int listCalls = 0;
    ULONG firstListRoom = 0;
};
FakeNetwork g_net;

DWORD WINAPI FakeAdaptersInfo(PIP_ADAPTER_INFO info, PULONG size) {
    if (++g_net.listCalls == 1)
        g_net.firstListRoom = *size;
    if (g_net.adapters.empty())
        return ERROR_NO_DATA;
    const ULONG needed = static_cast<ULONG>(g_net.adapters.size() * sizeof(IP_ADAPTER_INFO));
    if (!info || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(info, 0, needed);
    for (size_t i = 0; i < g_net.adapters.size(); ++i) {
        info[i].Index = g_net.adapters[i];
        info[i].Next = i + 1 < g_net.adapters.size() ? &info[i + 1] : nullptr;
    }
    return NO_ERROR;
}
DWORD WINAPI FakeNumberOfInterfaces(PDWORD count) {
    *count = g_net.interfaces;
    return NO_ERROR;
}
DWORD WINAPI FakeBestInterface(IPAddr, PDWORD index) {
    *index = g_net.bestIndex;
    return g_net.bestResult;
}
DWORD WINAPI FakeIpAddrTable(PMIB_IPADDRTABLE table, PULONG size, BOOL) {
    const ULONG needed = static_cast<ULONG>(offsetof(MIB_IPADDRTABLE, table) +
                                            (g_net.rows.size() + 1) * sizeof(MIB_IPADDRROW));
    if (!table || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memset(table, 0, needed);
    table->dwNumEntries = static_cast<DWORD>(g_net.rows.size());
    for (size_t i = 0; i < g_net.rows.size(); ++i) {
        table->table[i].dwIndex = g_net.rows[i].first;
        table->table[i].dwAddr = inet_addr(g_net.rows[i].second);
    }
    return NO_ERROR;
}
AdapterSource FakeSource() {
    return {&FakeAdaptersInfo, &FakeNumberOfInterfaces, &FakeBestInterface, &FakeIpAddrTable};
}
// One Ethernet adapter (index 2) and loopback (index 1), the unit reached through loopback.
void OneAdapterUnitOnLoopback() {
    g_net = FakeNetwork{};
    g_net.adapters = {2};
    g_net.interfaces = 2;
    g_net.bestIndex = 1;
    g_net.rows = {{1, "127.0.0.1"}, {2, "10.9.8.7"}};
}

// ---- The tool --------------------------------------------------------------------------------

class VantexConfigurationTest : public ConfigToolTest<CVantexMainFrame> {
protected:
    const char* Application() const override { return vantexstr::kApplication; }
    std::unique_ptr<CVantexMainFrame> MakeFrame() const override {
        return std::make_unique<CVantexMainFrame>(&FakeSource);
    }
    void SetUp() override {
        OneAdapterUnitOnLoopback();
        ConfigToolTest::SetUp();
    }

    auto* View() const { return static_cast<CVantexConfigurationView*>(m_frame->View()); }

    // Clicks a button of the bar and waits for the reply it brings.
    void ClickAndWaitReply(int id) {
        const int before = Handled();
        CToolButton* button = m_frame->Button(id);
        ASSERT_NE(button, nullptr);
        ASSERT_TRUE(button->isEnabled()) << id;
        QTest::mouseClick(button, Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return Handled() > before; })) << "no reply to " << id;
    }
    // The unit port box cannot be typed in; PointAtUnit sets it as the profile would.
    void StartSession() {
        PointAtUnit(m_unit->port());
        ClickAndWaitReply(kCommandStart);
        ASSERT_TRUE(View()->HasSession()) << BoxTexts();
    }
};

TEST_F(VantexConfigurationTest, StartsFromDefaultsWithItsButtonBarAndWritesItsOwnProfile) {
    EXPECT_EQ(Edit(kUnitAddressEdit)->text(), "192.168.100.190");
    EXPECT_EQ(Edit(kUnitPortEdit)->text(), "104");
    EXPECT_FALSE(Edit(kUnitPortEdit)->isEnabled());
    EXPECT_EQ(Edit(kLocalPortEdit)->text(), "1000");
    EXPECT_EQ(Combo()->count(), 31);
    EXPECT_EQ(Combo()->itemText(Combo()->findText("FrMemNewMin") + 1), "Gateway");
    EXPECT_EQ(Combo()->itemText(Combo()->findText("Gateway") + 1), "HardwareVersion");
    QStringList labels;
    for (auto* label : View()->findChildren<QLabel*>())
        labels << label->text();
    for (const char* text : {"Vantex IP Address:", "Vantex Port Number:"})
        EXPECT_TRUE(labels.contains(text)) << text << " in " << labels.join("|").toStdString();
    EXPECT_EQ(m_frame->SessionPane()->text(), "No Active Sessions.");
    EXPECT_EQ(Command(kCommandStart)->statusTip(), "Start Vantex Session ");

    // Nine buttons 28 dialog units apart; tooltips keep the word Vanta.
    const int ids[] = {kCommandExit,   kCommandStart,      kCommandStop,
                       kCommandStatus, kCommandRead,       kCommandChange,
                       kCommandAbout,  kCommandVantexHelp, kCommandContextHelp};
    int previous = -1;
    for (int id : ids) {
        CToolButton* b = m_frame->Button(id);
        ASSERT_NE(b, nullptr) << id;
        EXPECT_GT(b->x(), previous) << id;
        previous = b->x();
    }
    EXPECT_EQ(m_frame->Button(kCommandStatus)->toolTip(), "Get Status Information from Vanta");
    EXPECT_EQ(m_frame->Button(kCommandRead)->toolTip(), "Read Parameter from Vanta");
    EXPECT_TRUE(m_frame->Button(kCommandStart)->isEnabled());
    for (int id : {kCommandStop, kCommandStatus, kCommandRead, kCommandChange})
        EXPECT_FALSE(m_frame->Button(id)->isEnabled()) << id;
    EXPECT_TRUE(m_frame->Button(kCommandVantexHelp)->isEnabled());
    EXPECT_FALSE(m_frame->Button(kCommandContextHelp)->isVisible());
    EXPECT_FALSE(m_frame->Button(kCommandContextHelp)->isEnabled());
    // The bitmap's transparent ground lets the face show through.
    const QImage face = m_frame->Button(kCommandStart)->grab().toImage();
    EXPECT_NE(QColor(face.pixel(face.width() / 2 - 19, face.height() / 2 - 19)),
              CToolButton::kTransparent);
    SaveScreenshot(m_frame.get(), "VantexConfiguration-main-before-session");

    // F1 does nothing here.
    Command(kCommandHelp)->trigger();
    EXPECT_TRUE(m_boxes->Boxes().empty()) << BoxTexts();

    Edit(kUnitAddressEdit)->setText("127.0.0.1");
    m_frame.reset();
    QSettings settings(CommunicationProfile::kOrganisation, vantexstr::kApplication);
    settings.beginGroup("Communication");
    EXPECT_EQ(settings.value("VantaIP").toString(), "127.0.0.1");
    EXPECT_EQ(settings.value("VantaPort").toInt(), 104);
    EXPECT_EQ(settings.value("LocalPort").toInt(), 1000);
}

TEST_F(VantexConfigurationTest, SessionOnTheAddressFacingTheUnitAndStatusClearsTheValue) {
    StartSession();
    EXPECT_EQ(g_net.firstListRoom, AdapterInfo::kFirstBufferBytes);
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "IDLE");
    EXPECT_EQ(Edit(kSensorTypeEdit)->text(), "1");
    EXPECT_EQ(Edit(kErrorEdit)->text(), "0: 0");
    EXPECT_EQ(Edit(kLocalHostEdit)->text(), "127.0.0.1");
    EXPECT_TRUE(LogHas("IP=127.0.0.1"));
    EXPECT_EQ(m_frame->SessionPane()->text(), "Id: " + View()->SessionId());
    SaveScreenshot(m_frame.get(), "VantexConfiguration-main-after-status");

    Select("XRayTimeout");
    ClickAndWaitReply(kCommandRead);
    const auto expected = m_unit->parameter("XRayTimeout");
    ASSERT_TRUE(expected);
    EXPECT_EQ(Edit(kParameterValueEdit)->text().toStdString(), *expected);
    SaveScreenshot(m_frame.get(), "VantexConfiguration-main-after-read");

    ClickAndWaitReply(kCommandStatus);
    EXPECT_EQ(Edit(kParameterValueEdit)->text(), "");

    // Gateway is writable and sent as typed; numbers go the way atoi reads them.
    struct Case {
        const char* row;
        const char* typed;
        const char* sent;
    };
    for (const Case& c :
         {Case{"Gateway", "10.0.0.1x", "10.0.0.1x"}, Case{"XRayTimeout", "12abc", "12"},
          Case{"AFEGain", " -5", "-5"}, Case{"AFEOffset", "abc", "0"}}) {
        SCOPED_TRACE(c.row);
        Select(c.row);
        Edit(kParameterValueEdit)->setText(c.typed);
        m_frame->UpdateCommandUI();
        ClickAndWaitReply(kCommandChange);
        EXPECT_TRUE(LogHas(std::string("NAME=") + c.row + "\\r\\nVAL=" + c.sent + "\\r\\n"));
    }

    // Stop clears the response fields and keeps the value.
    Select("XRayTimeout");
    ClickAndWaitReply(kCommandRead);
    const QString value = Edit(kParameterValueEdit)->text();
    QTest::mouseClick(m_frame->Button(kCommandStop), Qt::LeftButton);
    EXPECT_FALSE(View()->HasSession());
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "");
    EXPECT_EQ(Edit(kErrorEdit)->text(), "");
    EXPECT_EQ(Edit(kParameterValueEdit)->text(), value);
    EXPECT_EQ(m_frame->SessionPane()->text(), "No Active Sessions.");
    EXPECT_TRUE(WaitFor([&] { return LogHas("CMD=CLOSE"); })) << "no CLOSE after stop";
    EXPECT_TRUE(m_boxes->Boxes().empty()) << BoxTexts();
}

TEST_F(VantexConfigurationTest, NoAdapterOrNoAddressTowardsTheUnitMeansNoSession) {
    struct Case {
        const char* name;
        std::function<void()> network;
        const char* box;
    };
    const Case cases[] = {
        {"no adapters", [] { g_net.adapters.clear(); }, vantexstr::kNoNetworkCards},
        {"no route", [] { g_net.bestResult = ERROR_NETWORK_UNREACHABLE; },
         vantexstr::kNoLocalAddress},
        {"best interface without an address", [] { g_net.bestIndex = 9; },
         vantexstr::kNoLocalAddress},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OneAdapterUnitOnLoopback();
        c.network();
        m_boxes->Clear();
        PointAtUnit(m_unit->port());
        QTest::mouseClick(m_frame->Button(kCommandStart), Qt::LeftButton);
        EXPECT_FALSE(View()->HasSession());
        ASSERT_EQ(m_boxes->Boxes().size(), 1u) << BoxTexts();
        EXPECT_EQ(m_boxes->Boxes()[0].text, c.box);
        EXPECT_EQ(m_boxes->Boxes()[0].type & MB_ICONMASK, 0u);
        EXPECT_EQ(m_frame->SessionPane()->text(), "No Active Sessions.");
    }
    // An empty unit address finds no local address either.
    OneAdapterUnitOnLoopback();
    std::string local;
    EXPECT_FALSE(AdapterInfo(FakeSource()).LocalAddressTowards("", local));
}

TEST(AdapterInfo, BestInterfaceIsAnIdentifierNotAPosition) {
    // Linux interface indexes are not dense: index 7 on a host with two interfaces is fine.
    g_net = FakeNetwork{};
    g_net.adapters = {7};
    g_net.interfaces = 2;
    g_net.bestIndex = 7;
    g_net.rows = {{1, "127.0.0.1"}, {7, "192.0.2.10"}};
    std::string local;
    AdapterInfo info(FakeSource());
    EXPECT_EQ(info.AdapterCount(), 1);
    ASSERT_TRUE(info.LocalAddressTowards("192.0.2.99", local));
    EXPECT_EQ(local, "192.0.2.10");
    // A failing call's error code (1231 is more than the interface count too) is no index.
    g_net.bestResult = ERROR_NETWORK_UNREACHABLE;
    g_net.bestIndex = 1;
    EXPECT_FALSE(info.LocalAddressTowards("192.0.2.99", local));
    // The list is asked for again with the size it reports when 640 bytes are too few.
    g_net = FakeNetwork{};
    for (DWORD i = 1; i <= 12; ++i)
        g_net.adapters.push_back(i);
    EXPECT_EQ(AdapterInfo(FakeSource()).AdapterCount(), 12);
    EXPECT_EQ(g_net.listCalls, 2);
}

TEST(AdapterInfo, SystemSourceCountsThisMachinesAdapters) {
    // Only reads the machine's interfaces; nothing is sent.
    AdapterInfo info(AdapterSource::System());
    std::string local;
    if (info.AdapterCount() == 0)
        GTEST_SKIP() << "this machine has no adapter besides loopback";
    EXPECT_TRUE(info.LocalAddressTowards("127.0.0.1", local));
    EXPECT_EQ(local, "127.0.0.1");
}

TEST_F(VantexConfigurationTest, ChangeKeepsItsStateWhileTheListIsDropped) {
    StartSession();
    Select("XRayTimeout");
    m_frame->UpdateCommandUI();
    ASSERT_TRUE(Command(kCommandChange)->isEnabled());
    Combo()->showPopup();
    ASSERT_TRUE(WaitFor([&] { return View()->ListDropped(); }, 2000));
    Select("CCD_ID");  // read-only, picked while the list is open
    m_frame->UpdateCommandUI();
    EXPECT_TRUE(Command(kCommandChange)->isEnabled());
    Combo()->hidePopup();
    ASSERT_TRUE(WaitFor([&] { return !View()->ListDropped(); }, 2000));
    m_frame->UpdateCommandUI();
    EXPECT_FALSE(Command(kCommandChange)->isEnabled());
    EXPECT_FALSE(m_frame->Button(kCommandChange)->isEnabled());
    SaveScreenshot(m_frame->ButtonBar(), "VantexConfiguration-buttonbar-change-disabled");
}

TEST_F(VantexConfigurationTest, ReplyWithAForeignSessionIdChangesNothing) {
    StartSession();
    unitsim::Faults faults;
    faults.foreignId = "1234567890";
    m_unit->setFaults(faults);
    Select("XRayTimeout");
    Edit(kParameterValueEdit)->setText("unchanged");
    ClickAndWaitReply(kCommandRead);
    EXPECT_EQ(Edit(kParameterValueEdit)->text(), "unchanged");
    EXPECT_EQ(Edit(kUnitStateEdit)->text(), "IDLE");
    EXPECT_TRUE(m_boxes->Boxes().empty()) << BoxTexts();
}

TEST_F(VantexConfigurationTest, LocalPortOutOfRangeIsRefusedAsTyped) {
    QLineEdit* port = Edit(kLocalPortEdit);
    port->setFocus();
    port->selectAll();
    QTest::keyClicks(port, "65536");
    ASSERT_EQ(m_boxes->Boxes().size(), 1u) << BoxTexts();
    EXPECT_EQ(m_boxes->Boxes()[0].text, "Please enter an integer between 0 and 65535.");
    EXPECT_EQ(port->text(), "6553");
}

// ---- Fanfare through COM ----------------------------------------------------------------------

TEST_F(VantexConfigurationTest, AboutComesFromFanfareWithTheNameOnItsBanner) {
    QString title, pageText;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (waited.elapsed() > kModalWaitMs)
                poll.stop();
            return;
        }
        poll.stop();
        if (QWidget* banner = modal->findChild<QWidget*>("banner65520"))
            title = banner->property("title").toString();
        if (auto* page = modal->findChild<QTextBrowser*>())
            pageText = page->toPlainText();
        SaveScreenshot(modal, "VantexConfiguration-about");
        if (auto* ok = modal->findChild<QPushButton*>("buttonOK"))
            ok->click();
    });
    poll.start(20);
    QTest::mouseClick(m_frame->Button(kCommandAbout), Qt::LeftButton);
    EXPECT_EQ(title, "  Vantex Configuration Tool");
    EXPECT_TRUE(pageText.contains("Vantex Configuration Tool"));
    EXPECT_TRUE(m_boxes->Boxes().empty()) << BoxTexts();
}

TEST(FanfareClient, SplashGetsTheNameWithoutBlanksAndBlocksItsTime) {
    struct Recorder : QObject {
        QStringList texts;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint && watched->objectName() == "SplashScreenExClass")
                texts << watched->property("splashText").toString();
            return false;
        }
    } recorder;
    qApp->installEventFilter(&recorder);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(fanfareclient::ShowSplash());
    qApp->removeEventFilter(&recorder);
    EXPECT_GE(clock.elapsed(), 2500);
    EXPECT_TRUE(recorder.texts.contains("Vantex Configuration Tool"))
        << recorder.texts.join("|").toStdString();
    EXPECT_EQ(recorder.texts.value(0), QString());
}

TEST(FanfareClient, ComFailuresReadAsTheirTexts) {
    EXPECT_EQ(fanfareclient::ErrorText(static_cast<HRESULT>(0x80040201)), "IDispatch error #1");
    EXPECT_EQ(fanfareclient::ErrorText(static_cast<HRESULT>(0x8FFF0001)),
              "Unknown error 0x8FFF0001");
    const std::string known = fanfareclient::ErrorText(E_OUTOFMEMORY);
    EXPECT_FALSE(known.empty());
    EXPECT_NE(known.back(), '\n');
}

// In a network namespace of its own with only loopback, the real adapter source finds no adapter
// and Start refuses with string 59142. The child (this binary again) does the driving.
TEST(VantexNetworkNamespace, NoAdapterMeansNoSession) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0)
            _exit(kChildNoNamespace);
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            _exit(kChildFailed);
        self[n] = 0;
        execl(self, self, kNoAdapterChild, static_cast<char*>(nullptr));
        _exit(kChildFailed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kChildNoNamespace)
        GTEST_SKIP() << "network namespaces cannot be made here (unshare needs CAP_SYS_ADMIN)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the tool started a session or showed another box";
}

TEST(VantexConfigurationOptions, CommandLine) {
    auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "VantexConfiguration");
        return ParseConfigurationOptions(static_cast<int>(args.size()),
                                         const_cast<char**>(args.data()));
    };
    EXPECT_TRUE(parse({"--help"}).showHelp);
    EXPECT_TRUE(parse({"--version"}).showVersion);
    EXPECT_FALSE(parse({"--no-splash"}).splash);
    const auto unit = parse({"--unit", "127.0.0.1:10104", "--local-port", "0"});
    EXPECT_EQ(unit.unitAddress, "127.0.0.1");
    EXPECT_EQ(unit.unitPort, 10104);
    EXPECT_FALSE(parse({"--frobnicate"}).error.empty());
    EXPECT_NE(VantexUsage().find("VantexConfiguration"), std::string::npos);
}

// The namespace child: the tool with the system's adapters, Start against loopback.
int RunNoAdapterChild() {
    auto boxes = std::make_shared<winapi::RecordingUiBackend>();
    winapi::SetUiBackend(boxes);
    int result = kChildFailed;
    {
        CVantexMainFrame frame;
        frame.View()->findChild<QLineEdit*>("edit1005")->setText("127.0.0.1");
        frame.View()->findChild<QLineEdit*>("edit1008")->setText("0");
        frame.Action(kCommandStart)->trigger();
        const auto shown = boxes->Boxes();
        if (!frame.View()->HasSession() && shown.size() == 1 &&
            shown[0].text == vantexstr::kNoNetworkCards &&
            frame.SessionPane()->text() == "No Active Sessions.")
            result = 0;
        else
            std::fprintf(stderr, "session %d, %zu boxes\n", frame.View()->HasSession(),
                         shown.size());
    }
    winapi::SetUiBackend(nullptr);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The profile and the registry go to private places, never the user's.
    QTemporaryDir home;
    setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    setenv("WINAPI_REGISTRY", (home.path() + "/registry.reg").toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], kNoAdapterChild) == 0)
        return RunNoAdapterChild();
    if (!fanfareclient::EnsureRegistered(FANFARE_PATH)) {
        std::fprintf(stderr, "Fanfare could not be registered from %s\n", FANFARE_PATH);
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
