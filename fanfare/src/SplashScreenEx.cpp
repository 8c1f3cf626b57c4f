// CSplashScreenEx: window set-up, region from the transparent colour, fades, text and painting.
#include "SplashScreenEx.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QTimerEvent>
#include <QVector>

#include <cstdlib>
#include <cstring>

namespace {
// Opacity steps of a fade.
constexpr int kFadeSteps = 10;
}  // namespace

CSplashScreenEx::CSplashScreenEx(QWidget* owner, const QString& text, int timeoutMs,
                                 unsigned styles)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus),
      m_owner(owner),
      m_textFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont)),
      m_styles(styles),
      m_timeoutMs(timeoutMs),
      m_text(text) {
    setObjectName(kClassName);
    setAccessibleName(kClassName);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setCursor(Qt::ArrowCursor);
    resize(0, 0);
    if (m_styles & kHideOnClick)
        installEventFilter(this);
}

CSplashScreenEx::~CSplashScreenEx() = default;

QRegion CSplashScreenEx::RegionFromBitmap(const QImage& bitmap, QColor transparent) {
    const QImage image = bitmap.convertToFormat(QImage::Format_RGB32);
    const QRgb key = transparent.rgb() & 0xFFFFFF;
    QRegion region;
    QVector<QRect> block;
    block.reserve(kRegionBlock);
    auto flush = [&] {
        QRegion part;
        part.setRects(block.constData(), static_cast<int>(block.size()));
        region += part;
        block.clear();
    };
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        int x = 0;
        while (x < image.width()) {
            while (x < image.width() && (row[x] & 0xFFFFFF) == key)
                ++x;
            const int start = x;
            while (x < image.width() && (row[x] & 0xFFFFFF) != key)
                ++x;
            if (x > start) {
                block.append(QRect(start, y, x - start, 1));
                if (block.size() == kRegionBlock)
                    flush();
            }
        }
    }
    if (!block.isEmpty())
        flush();
    return region;
}

bool CSplashScreenEx::SetBitmap(const QImage& bitmap, int red, int green, int blue) {
    if (bitmap.isNull())
        return false;
    m_bitmap = bitmap.convertToFormat(QImage::Format_RGB32);
    resize(m_bitmap.size());
    m_textRect = QRect(QPoint(0, 0), m_bitmap.size());
    QRect area;
    if ((m_styles & kCenterOwner) && m_owner) {
        area = m_owner->frameGeometry();
    } else if (m_styles & kCenterScreen) {
        QScreen* screen = QGuiApplication::primaryScreen();
        area = screen ? screen->availableGeometry() : QRect();
    }
    if (area.isValid())
        move(area.x() + (area.width() - m_bitmap.width()) / 2,
             area.y() + (area.height() - m_bitmap.height()) / 2);
    if (red >= 0 && green >= 0 && blue >= 0) {
        m_region = RegionFromBitmap(m_bitmap, QColor(red, green, blue));
        setMask(m_region);
    }
    return true;
}

bool CSplashScreenEx::FadeAvailable() {
    if (const char* forced = std::getenv("FANFARE_FADE"))
        return std::strcmp(forced, "0") != 0;
    const QString platform = QGuiApplication::platformName();
    return platform != "offscreen" && platform != "minimal";
}

void CSplashScreenEx::PaintNow() {
    repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void CSplashScreenEx::Fade(double from, double to, int durationMs) {
    for (int step = 0; step <= kFadeSteps; ++step) {
        setWindowOpacity(from + (to - from) * step / kFadeSteps);
        PaintNow();
        if (step < kFadeSteps)
            QThread::msleep(static_cast<unsigned long>(durationMs / kFadeSteps));
    }
}

void CSplashScreenEx::Show() {
    if ((m_styles & kFadeIn) && FadeAvailable()) {
        setWindowOpacity(0.0);
        show();
        Fade(0.0, 1.0, kFadeInMs);
    } else {
        show();
        PaintNow();
    }
    m_timerId = startTimer(m_timeoutMs);
}

void CSplashScreenEx::Hide() {
    if (m_ended)
        return;
    m_ended = true;
    if (m_timerId) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
    if ((m_styles & kFadeOut) && FadeAvailable() && isVisible())
        Fade(1.0, 0.0, kFadeOutMs);
    hide();
    if (!m_blocking)
        deleteLater();
}

void CSplashScreenEx::SetText(const QString& text) {
    m_text = text;
    setProperty("splashText", text);
    PaintNow();
}

void CSplashScreenEx::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, m_bitmap);
    if (m_text.isEmpty())
        return;
    int flags = 0;
    flags |= (m_textFormat & kFormatCenter) ? Qt::AlignHCenter : Qt::AlignLeft;
    flags |= (m_textFormat & kFormatVCenter) ? Qt::AlignVCenter : Qt::AlignTop;
    if (m_textFormat & kFormatSingleLine)
        flags |= Qt::TextSingleLine;
    else if (m_textFormat & kFormatWordBreak)
        flags |= Qt::TextWordWrap;
    painter.setFont(m_textFont);
    painter.setPen(m_textColour);
    painter.drawText(m_textRect, flags, m_text);
}

void CSplashScreenEx::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timerId || m_blocking)
        return;
    Hide();
}

bool CSplashScreenEx::eventFilter(QObject*, QEvent* event) {
    if (m_ended || m_blocking)
        return false;
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::NonClientAreaMouseButtonPress: {
            if (event->type() != QEvent::KeyPress) {
                const auto button = static_cast<QMouseEvent*>(event)->button();
                if (button != Qt::LeftButton && button != Qt::RightButton &&
                    button != Qt::MiddleButton)
                    return false;
            }
            Hide();
            return true;
        }
        default:
            return false;
    }
}
