// The Qt UI backend: the status line as a small coloured window and message boxes as dialogs,
// all on the GUI thread of the host's QApplication, or of one this module runs itself.
#include <winapi_ui.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using winapi::MessageBoxCall;
using winapi::StatusLine;

// The status window's template: 167 x 31 dialog units, the text at (2, 2), 162 x 26.
constexpr int kWindowWidthDlu = 167;
constexpr int kWindowHeightDlu = 31;
constexpr int kTextLeftDlu = 2;
constexpr int kTextTopDlu = 2;
constexpr int kTextWidthDlu = 162;
constexpr int kTextHeightDlu = 26;
constexpr int kHorizontalDluPerBaseUnit = 4;
constexpr int kVerticalDluPerBaseUnit = 8;
constexpr char kFontFamily[] = "MS Sans Serif";
constexpr int kFontPoints = 10;
// The offscreen platform has no z-order and says so on every raise.
constexpr char kPlatformWithoutStacking[] = "offscreen";
// How long a question from another thread may wait for the GUI thread to show it (a window
// that handles no input this long counts as hung).
constexpr auto kGuiPickUpTimeout = std::chrono::seconds(5);
// How long a module-run GUI thread may take to bring its application up.
constexpr auto kGuiStartTimeout = std::chrono::seconds(30);

struct ButtonText {
    int id;
    const char* text;
    QMessageBox::ButtonRole role;
};
const ButtonText kButtonTexts[] = {
    {IDOK, "OK", QMessageBox::AcceptRole},
    {IDCANCEL, "Cancel", QMessageBox::RejectRole},
    {IDABORT, "Abort", QMessageBox::RejectRole},
    {IDRETRY, "Retry", QMessageBox::AcceptRole},
    {IDIGNORE, "Ignore", QMessageBox::AcceptRole},
    {IDYES, "Yes", QMessageBox::YesRole},
    {IDNO, "No", QMessageBox::NoRole},
    {IDTRYAGAIN, "Try Again", QMessageBox::AcceptRole},
    {IDCONTINUE, "Continue", QMessageBox::AcceptRole},
};

const ButtonText& TextOf(int id) {
    for (const auto& b : kButtonTexts) {
        if (b.id == id)
            return b;
    }
    return kButtonTexts[0];
}

QMessageBox::Icon IconOf(UINT type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONHAND:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONASTERISK:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// Windows' dialog base units of a font: the average width of the 52 letters, and the height.
QSize BaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const int width = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    return {width, metrics.height()};
}

// The status window: no caption, no buttons, one text on the state's colour.
class StatusWindow : public QWidget {
public:
    StatusWindow()
        : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowStaysOnTopHint) {
        setObjectName("StatusWindow");
        setAccessibleName("StatusWindow");
        setAttribute(Qt::WA_ShowWithoutActivating);
        QFont font(kFontFamily, kFontPoints);
        font.setStyleHint(QFont::SansSerif);
        setFont(font);
        const QSize base = BaseUnits(font);
        m_unitX = base.width();
        m_unitY = base.height();
        m_text = new QLabel(this);
        m_text->setObjectName("StatusText");
        m_text->setAccessibleName("StatusText");
        m_text->setWordWrap(true);
        m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_text->setAutoFillBackground(true);
        setAutoFillBackground(true);
        Apply(StatusLine{});
    }

    void Apply(const StatusLine& line) {
        QPalette palette = this->palette();
        const QColor colour(GetRValue(line.color), GetGValue(line.color), GetBValue(line.color));
        palette.setColor(QPalette::Window, colour);
        palette.setColor(QPalette::WindowText, Qt::black);
        setPalette(palette);
        m_text->setPalette(palette);
        m_text->setText(QString::fromLocal8Bit(line.text.c_str()));
        Layout();
        if (line.visible) {
            show();
            if (QGuiApplication::platformName() != kPlatformWithoutStacking)
                raise();
        } else {
            hide();
        }
        repaint();
    }

private:
    int X(int dlu) const { return dlu * m_unitX / kHorizontalDluPerBaseUnit; }
    int Y(int dlu) const { return dlu * m_unitY / kVerticalDluPerBaseUnit; }

    // The template's size; a text longer than the template's box makes the window taller
    // instead of being cut off.
    void Layout() {
        const int textWidth = X(kTextWidthDlu);
        const int textHeight = std::max(Y(kTextHeightDlu), m_text->heightForWidth(textWidth));
        m_text->setGeometry(X(kTextLeftDlu), Y(kTextTopDlu), textWidth, textHeight);
        setFixedSize(X(kWindowWidthDlu),
                     std::max(Y(kWindowHeightDlu), Y(kTextTopDlu) * 2 + textHeight));
    }

    QLabel* m_text = nullptr;
    int m_unitX = 1;
    int m_unitY = 1;
};

// Starts a QApplication on a thread of its own for hosts without one; null when it does not
// come up in time. The thread runs until the process ends and is never joined: at exit, Qt's
// own statics go before any handler of ours could stop it, so it must then be idle.
QApplication* StartGuiThread() {
    auto started = std::make_shared<std::promise<QApplication*>>();
    auto future = started->get_future();
    std::thread([started] {
        static int argc = 1;
        static char name[] = "winapi";
        static char* argv[] = {name, nullptr};
        // Never deleted, for the same reason.
        auto* application = new QApplication(argc, argv);
        application->setQuitOnLastWindowClosed(false);
        started->set_value(application);
        application->exec();
    }).detach();
    if (future.wait_for(kGuiStartTimeout) != std::future_status::ready)
        return nullptr;
    return future.get();
}

class QtUiBackend : public winapi::UiBackend {
public:
    // ownGui: the GUI thread is this module's, so nobody's user waits when it is made to wait.
    explicit QtUiBackend(bool ownGui) : m_ownGui(ownGui) {}
    ~QtUiBackend() override {
        // The window belongs to the GUI thread; leave it to be deleted there.
        if (m_window && QCoreApplication::instance())
            m_window->deleteLater();
    }

    int ShowMessageBox(const MessageBoxCall& box) override {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return winapi::DefaultMessageBoxButton(box.type);
        if (QThread::currentThread() == app->thread()) {
            // Called on the GUI thread: a modal box with its own loop, as Win32 runs one.
            QMessageBox dialog;
            Prepare(dialog, box);
            dialog.exec();
            return Answer(dialog, box);
        }
        // A box with one button asks nothing: shown, and the caller goes on.
        const auto buttons = winapi::MessageBoxButtons(box.type);
        if (buttons.size() == 1) {
            QMetaObject::invokeMethod(
                app, [box] { ShowAsync(box, nullptr); }, Qt::QueuedConnection);
            return buttons[0];
        }
        // Any other thread waits for the answer, which only the GUI thread can show. A GUI
        // thread that does not take the box up in time is blocked (perhaps waiting for this
        // very caller): the box is withdrawn and its default button answers.
        auto pending = std::make_shared<PendingAnswer>();
        QMetaObject::invokeMethod(
            app, [box, pending] { ShowAsync(box, pending); }, Qt::QueuedConnection);
        std::unique_lock<std::mutex> lock(pending->lock);
        if (!pending->changed.wait_for(lock, kGuiPickUpTimeout, [&] { return pending->shown; })) {
            pending->withdrawn = true;
            std::fprintf(stderr, "[%s] %s -> default button: the GUI thread did not show the box\n",
                         box.caption.c_str(), box.text.c_str());
            return winapi::DefaultMessageBoxButton(box.type);
        }
        pending->changed.wait(lock, [&] { return pending->answered; });
        return pending->answer;
    }

    // Posted to the GUI thread; the caller never waits for the window.
    // On our own GUI thread the caller waits until the window shows the change, so that nothing
    // is left to draw when the program ends.
    void UpdateStatus(const StatusLine& status) override {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        auto apply = [this, status] {
            if (!m_window)
                m_window = new StatusWindow;
            m_window->Apply(status);
        };
        if (QThread::currentThread() == app->thread())
            QMetaObject::invokeMethod(app, apply, Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(
                app, apply, m_ownGui ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
    }

private:
    // A question from a thread other than the GUI thread, until it is answered.
    struct PendingAnswer {
        std::mutex lock;
        std::condition_variable changed;
        bool shown = false;
        bool withdrawn = false;
        bool answered = false;
        int answer = 0;
    };

    // On the GUI thread: shows the box without a loop of its own; `pending` (if any) gets the
    // answer.
    static void ShowAsync(const MessageBoxCall& box, std::shared_ptr<PendingAnswer> pending) {
        if (pending) {
            std::lock_guard<std::mutex> guard(pending->lock);
            if (pending->withdrawn)
                return;
            pending->shown = true;
            pending->changed.notify_all();
        }
        auto* dialog = new QMessageBox;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        Prepare(*dialog, box);
        QObject::connect(dialog, &QDialog::finished, dialog, [dialog, box, pending] {
            if (!pending)
                return;
            std::lock_guard<std::mutex> guard(pending->lock);
            pending->answer = Answer(*dialog, box);
            pending->answered = true;
            pending->changed.notify_all();
        });
        dialog->show();
    }

    static void Prepare(QMessageBox& dialog, const MessageBoxCall& box) {
        dialog.setObjectName("MessageBox");
        dialog.setAccessibleName("MessageBox");
        dialog.setWindowTitle(QString::fromLocal8Bit(box.caption.c_str()));
        dialog.setText(QString::fromLocal8Bit(box.text.c_str()));
        dialog.setIcon(IconOf(box.type));
        const int fallback = winapi::DefaultMessageBoxButton(box.type);
        for (int id : winapi::MessageBoxButtons(box.type)) {
            const ButtonText& b = TextOf(id);
            QPushButton* button = dialog.addButton(QString::fromLatin1(b.text), b.role);
            button->setObjectName(QString("Button") + QString::fromLatin1(b.text).remove(' '));
            button->setAccessibleName(button->objectName());
            button->setProperty("winapiId", id);
            if (id == fallback)
                dialog.setDefaultButton(button);
            if (id == IDCANCEL || (id == IDOK && (box.type & MB_TYPEMASK) == MB_OK))
                dialog.setEscapeButton(button);
        }
    }

    // The chosen button's ID; a box closed otherwise answers as Escape would.
    static int Answer(const QMessageBox& dialog, const MessageBoxCall& box) {
        if (QAbstractButton* clicked = dialog.clickedButton()) {
            const QVariant id = clicked->property("winapiId");
            if (id.isValid())
                return id.toInt();
        }
        for (int id : winapi::MessageBoxButtons(box.type)) {
            if (id == IDCANCEL)
                return id;
        }
        return winapi::DefaultMessageBoxButton(box.type);
    }

    const bool m_ownGui;
    QPointer<StatusWindow> m_window;
};

bool CanOpenDisplay() {
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return true;
    }
    return false;
}

}  // namespace

// The backend over the host's QApplication, or over one run on a thread of this module when the
// process has none; null when neither can be (a QCoreApplication without widgets, no display).
extern "C" __attribute__((visibility("default"))) winapi::UiBackend* WinapiCreateQtUiBackend() {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    static QApplication* own = nullptr;
    if (QCoreApplication* app = QCoreApplication::instance()) {
        if (!qobject_cast<QApplication*>(app))
            return nullptr;
        return new QtUiBackend(app == own);
    }
    if (!CanOpenDisplay())
        return nullptr;
    own = StartGuiThread();
    return own ? new QtUiBackend(true) : nullptr;
}
