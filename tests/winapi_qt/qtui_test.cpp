// The Qt UI backend in a Qt application: the status window's texts, colours, size and
// visibility, message boxes as dialogs, and a GUI thread that is never made to wait.
#include <windows.h>
#include <winapi_ui.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QPixmap>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace {

using winapi::CurrentUiBackend;
using winapi::SetUiBackend;
using winapi::StatusLine;

// Bound on every wait for the GUI thread to show what a worker asked for.
constexpr int kShowWaitMs = 10000;

// Processes events until `done` holds or the bound passes.
bool SpinUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > kShowWaitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

template <class Widget>
Widget* TopLevel(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name && w->isVisible())
            return qobject_cast<Widget*>(w);
    }
    return nullptr;
}

void Screenshot(QWidget* widget, const std::string& name) {
    QDir().mkpath(SCREENSHOT_DIR);
    const QString path = QString(SCREENSHOT_DIR) + "/" + QString::fromStdString(name) + ".png";
    EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
}

class QtUi : public ::testing::Test {
protected:
    // The backend is chosen as a library in a Qt program finds it: by itself.
    static void SetUpTestSuite() {
        unsetenv("WINAPI_UI");
        SetUiBackend(nullptr);
    }
};

TEST_F(QtUi, StatusWindowShowsEachColourAndHides) {
    struct Case {
        const char* name;
        const char* text;
        COLORREF colour;
    };
    const Case cases[] = {
        {"white", "Vantex is connected!", RGB(255, 255, 255)},
        {"red",
         "Error connecting to Vantex 127.0.0.1,  wait a few seconds and try again. If this "
         "happens again, switch off and on the Vantex, wait 20 seconds and try again!",
         RGB(255, 0, 0)},
        {"green", "Sensor is ready, please expose now!", RGB(0, 255, 0)},
        {"yellow", "Image transfer in progress, received 1048576 bytes, please wait!",
         RGB(255, 255, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // From a worker thread, as the capture library's worker shows it.
        std::thread([&] { CurrentUiBackend()->UpdateStatus({true, c.text, c.colour}); }).join();
        QWidget* window = nullptr;
        QLabel* label = nullptr;
        ASSERT_TRUE(SpinUntil([&] {
            window = TopLevel<QWidget>("StatusWindow");
            label = window ? window->findChild<QLabel*>("StatusText") : nullptr;
            return label && label->text() == c.text;
        })) << "the status window never showed the text";
        EXPECT_EQ(window->palette().color(QPalette::Window),
                  QColor(GetRValue(c.colour), GetGValue(c.colour), GetBValue(c.colour)));
        EXPECT_FALSE(window->windowFlags() & Qt::WindowTitleHint);
        // 167 x 31 dialog units of a 10-point font: some 250-350 pixels wide; the whole text
        // fits inside the window.
        EXPECT_GT(window->width(), 200);
        EXPECT_LT(window->width(), 450);
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
        EXPECT_LE(label->geometry().bottom(), window->height());
        EXPECT_EQ(label->font().pointSize(), 10);
        Screenshot(window, std::string("status-window-") + c.name);
    }
    CurrentUiBackend()->UpdateStatus({false, "", RGB(255, 255, 255)});
    EXPECT_TRUE(SpinUntil([] { return TopLevel<QWidget>("StatusWindow") == nullptr; }))
        << "the status window stayed up after hide";
}

TEST_F(QtUi, StatusUpdatesOnTheGuiThreadDoNotWait) {
    // Posted, not drawn in the call: the window appears only once the loop runs.
    CurrentUiBackend()->UpdateStatus(
        {true, "Checking connection to Vantex, please wait!", RGB(255, 255, 255)});
    EXPECT_EQ(TopLevel<QWidget>("StatusWindow"), nullptr);
    EXPECT_TRUE(SpinUntil([] { return TopLevel<QWidget>("StatusWindow") != nullptr; }));
    CurrentUiBackend()->UpdateStatus({false, "", RGB(255, 255, 255)});
    EXPECT_TRUE(SpinUntil([] { return TopLevel<QWidget>("StatusWindow") == nullptr; }));
}

TEST_F(QtUi, MessageBoxFromAWorkerIsADialogAndReturnsTheClickedButton) {
    const std::string text =
        "Could not find file: /tmp/x/ZephIF.ini! Click 'Yes' button to use default settings.";
    std::atomic<int> answer{-1};
    std::thread worker(
        [&] { answer = MessageBoxA(nullptr, text.c_str(), "ZephIF", MB_YESNO | MB_ICONSTOP); });
    QMessageBox* box = nullptr;
    const bool shown = SpinUntil([&] { return (box = TopLevel<QMessageBox>("MessageBox")); });
    if (!shown) {
        worker.detach();
        FAIL() << "no message box appeared";
    }
    EXPECT_EQ(box->text().toStdString(), text);
    EXPECT_EQ(box->windowTitle(), "ZephIF");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    auto* yes = box->findChild<QAbstractButton*>("ButtonYes");
    auto* no = box->findChild<QAbstractButton*>("ButtonNo");
    ASSERT_TRUE(yes && no);
    EXPECT_EQ(static_cast<QAbstractButton*>(box->defaultButton()), yes);
    Screenshot(box, "message-box-settings-missing");
    EXPECT_EQ(answer.load(), -1);  // still waiting for the user
    no->click();
    EXPECT_TRUE(SpinUntil([&] { return answer.load() != -1; }));
    worker.join();
    EXPECT_EQ(answer.load(), IDNO);
}

TEST_F(QtUi, OneButtonBoxFromAWorkerDoesNotWait) {
    // Nothing to choose: the worker goes on while the box stays up for the user.
    const int answer = std::async(std::launch::async, [] {
                           return MessageBoxA(nullptr, "Communication Error: Connection refused",
                                              "ZephIF", MB_OK | MB_ICONSTOP);
                       }).get();
    EXPECT_EQ(answer, IDOK);
    QMessageBox* box = nullptr;
    ASSERT_TRUE(SpinUntil([&] { return (box = TopLevel<QMessageBox>("MessageBox")); }))
        << "no message box appeared";
    EXPECT_EQ(box->text(), "Communication Error: Connection refused");
    box->findChild<QAbstractButton*>("ButtonOK")->click();
    EXPECT_TRUE(SpinUntil([] { return TopLevel<QMessageBox>("MessageBox") == nullptr; }));
}

TEST_F(QtUi, QuestionFromAWorkerWhileTheGuiThreadIsBlockedGetsTheDefault) {
    // The GUI thread waits for the worker (as a host waits in a library call) and so never
    // shows the box: the worker is answered with the default button instead of hanging.
    auto worker = std::async(std::launch::async, [] {
        return MessageBoxA(nullptr, "Could not find file: /x/ZephIF.ini", "ZephIF",
                           MB_YESNO | MB_DEFBUTTON2 | MB_ICONSTOP);
    });
    ASSERT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the worker hung on a GUI thread that could not answer";
    EXPECT_EQ(worker.get(), IDNO);
    // The withdrawn box never appears afterwards.
    QApplication::processEvents();
    EXPECT_EQ(TopLevel<QMessageBox>("MessageBox"), nullptr);
}

TEST_F(QtUi, MessageBoxOnTheGuiThreadRunsItsOwnLoop) {
    // Polled, since the box is shown only inside the call.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] {
        if (auto* box = TopLevel<QMessageBox>("MessageBox")) {
            Screenshot(box, "message-box-ok-cancel");
            box->findChild<QAbstractButton*>("ButtonCancel")->click();
        }
    });
    poll.start(50);
    EXPECT_EQ(MessageBoxA(nullptr, "Using default IP address for Vantex: 192.168.100.190", "ZephIF",
                          MB_OKCANCEL | MB_ICONINFORMATION),
              IDCANCEL);
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
