// The capture library inside a Qt program: its status window becomes a Qt window by itself and
// follows a whole capture while the program's GUI thread keeps running.
#include <windows.h>
#include <zephif/ZephIF.h>

#include <unitsim/virtual_unit.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;

// Bound on every wait for the library or the window.
constexpr int kWaitMs = 30000;
// Reply ports are taken from here, outside the ephemeral range the other tests draw from; the
// tests that do so hold a common lock.
constexpr int kFirstReplyPort = 20000;
constexpr int kReplyPorts = 10000;

bool SpinUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > kWaitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The library's status window, shown or hidden.
QWidget* StatusWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == "StatusWindow")
            return w;
    }
    return nullptr;
}

QString StatusText() {
    QWidget* window = StatusWindow();
    auto* label = window ? window->findChild<QLabel*>("StatusText") : nullptr;
    return label ? label->text() : QString();
}

bool WindowShows(const char* text, QColor colour) {
    QWidget* window = StatusWindow();
    return window && window->isVisible() && StatusText() == text &&
           window->palette().color(QPalette::Window) == colour;
}

int UnusedReplyPort() {
    for (int i = 0; i < kReplyPorts; ++i) {
        const int port = kFirstReplyPort + (std::rand() % kReplyPorts);
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (free)
            return port;
    }
    return 0;
}

template <class Function>
void Bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    ASSERT_NE(function, nullptr) << name;
}

TEST(QtHost, StatusWindowFollowsACaptureWithoutWaitingOnTheGuiThread) {
    unsetenv("WINAPI_UI");
    char pattern[] = "/tmp/zephif_qt_host_XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    const fs::path dir = pattern;
    const fs::path previous = fs::current_path();
    fs::current_path(dir);

    unitsim::Config config;
    config.processingTime = std::chrono::milliseconds(0);  // exposure only on demand
    unitsim::VirtualUnit unit(config);
    unit.start();
    const int replyPort = UnusedReplyPort();
    ASSERT_NE(replyPort, 0);
    std::ofstream(dir / "ZephIF.ini")
        << "[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=" << unit.port()
        << "\r\nLocal-IP=127.0.0.1\r\nLocal-Port=" << replyPort
        << "\r\nSensor-Status-Timeout=5\r\nSensor-Capture-Timeout=20\r\n";

    void* library = dlopen(ZEPHIF_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    decltype(&ZephLibStartSession) start = nullptr;
    decltype(&ZephLibEndSession) end = nullptr;
    decltype(&ZephLibCaptureRawImageWithEventSignal) capture = nullptr;
    Bind(library, "ZephLibStartSession", start);
    Bind(library, "ZephLibEndSession", end);
    Bind(library, "ZephLibCaptureRawImageWithEventSignal", capture);

    // Called on the GUI thread, as a Qt program calls it; the worker's window updates wait for
    // the loop instead of holding the call up.
    ASSERT_EQ(start(), ZEPHLIB_OK);
    // Shown for a moment, then hidden: what the window holds once the loop has caught up.
    EXPECT_TRUE(SpinUntil([] { return StatusText() == "Vantex is connected!"; }))
        << "the status window did not report the connection";

    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HGLOBAL record = nullptr;
    ASSERT_EQ(capture(0, done, &record, 1), ZEPHLIB_OK);
    ASSERT_TRUE(SpinUntil([] {
        return WindowShows("Sensor is ready, please expose now!", QColor(0, 255, 0));
    })) << "the status window never asked for the exposure";
    QDir().mkpath(SCREENSHOT_DIR);
    EXPECT_TRUE(StatusWindow()->grab().save(SCREENSHOT_DIR "/status-window-hosted-expose-now.png"));
    ASSERT_TRUE(unit.triggerExposure());
    ASSERT_TRUE(SpinUntil([&] { return WaitForSingleObject(done, 0) == WAIT_OBJECT_0; }))
        << "no result";
    auto* result = static_cast<const CaptureResult*>(GlobalLock(record));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->status, ZEPHLIB_STATUS_DELIVERED);
    GlobalUnlock(record);
    EXPECT_TRUE(SpinUntil([] { return StatusText() == "Image transfer completed!"; }))
        << "the status window did not report the image";

    EXPECT_EQ(end(), ZEPHLIB_OK);
    CloseHandle(done);
    dlclose(library);
    unit.stop();
    fs::current_path(previous);
    fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
