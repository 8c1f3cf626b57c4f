// The splash consumes the key or button press that closes it, application-wide.
#include "SplashWnd.h"

#include "Artwork.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>

namespace {
CSplashWnd* g_splash = nullptr;
QPointer<QWidget> g_mainWindow;
}  // namespace

CSplashWnd::CSplashWnd()
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName("splashWnd");
    setAccessibleName("Splash");
    m_bitmap =
        QPixmap::fromImage(artwork::SplashPicture("Vanta Configuration Tool", kWidth, kHeight)
                               .convertToFormat(QImage::Format_Indexed8)
                               .convertToFormat(QImage::Format_RGB32));
    setFixedSize(kWidth, kHeight);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CSplashWnd::HideSplashScreen);
    m_timer.start(kShowMs);
    qApp->installEventFilter(this);
}

CSplashWnd::~CSplashWnd() {
    qApp->removeEventFilter(this);
    if (g_splash == this)
        g_splash = nullptr;
}

void CSplashWnd::ShowSplashScreen(QWidget* mainWindow) {
    if (mainWindow)
        g_mainWindow = mainWindow;
    if (g_splash)
        return;
    g_splash = new CSplashWnd;
    g_splash->show();
    g_splash->repaint();
}

CSplashWnd* CSplashWnd::Current() {
    return g_splash;
}

void CSplashWnd::SetMainWindow(QWidget* mainWindow) {
    g_mainWindow = mainWindow;
}

void CSplashWnd::HideSplashScreen() {
    if (g_splash != this)
        return;
    g_splash = nullptr;
    qApp->removeEventFilter(this);
    m_timer.stop();
    hide();
    deleteLater();
    if (g_mainWindow)
        g_mainWindow->update();
}

void CSplashWnd::paintEvent(QPaintEvent*) {
    QPainter(this).drawPixmap(0, 0, m_bitmap);
}

bool CSplashWnd::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::NonClientAreaMouseButtonPress:
            if (g_splash == this) {
                HideSplashScreen();
                return true;  // the press that closed the splash goes no further
            }
            break;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}
