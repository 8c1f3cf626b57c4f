// CSplashScreenEx: a caption-less, always-on-top splash window with a bitmap, a shaped region,
// fades and one line of text that can be changed while the caller blocks.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QWidget>

class CSplashScreenEx : public QWidget {
    Q_OBJECT
public:
    // Style flags.
    enum Style : unsigned {
        kFadeIn = 1,
        kFadeOut = 2,
        kDropShadow = 4,
        kCenterScreen = 8,
        kCenterOwner = 16,
        kHideOnClick = 32,
    };
    // Text format bits, with the values of the Win32 text-drawing flags.
    enum TextFormat : unsigned {
        kFormatCenter = 0x1,
        kFormatVCenter = 0x4,
        kFormatWordBreak = 0x10,
        kFormatSingleLine = 0x20,
    };
    static constexpr unsigned kDefaultTextFormat = 21;
    static constexpr int kDefaultTimeoutMs = 2000;
    static constexpr int kFadeInMs = 500;
    static constexpr int kFadeOutMs = 200;
    // Rectangles collected before they are joined into the region.
    static constexpr int kRegionBlock = 40;
    static constexpr char kClassName[] = "SplashScreenExClass";

    // The window is made at once: a tool window on top, no caption, zero size.
    CSplashScreenEx(QWidget* owner, const QString& text, int timeoutMs, unsigned styles);
    ~CSplashScreenEx() override;

    // The bitmap gives the window its size and, unless a component is -1, its region.
    bool SetBitmap(const QImage& bitmap, int red, int green, int blue);
    void SetText(const QString& text);
    void SetTextFormat(unsigned format) { m_textFormat = format; }
    void SetTextColour(QColor colour) { m_textColour = colour; }
    void SetTextRect(const QRect& rect) { m_textRect = rect; }
    void SetTextFont(const QFont& font) { m_textFont = font; }

    // Places and shows the window (fading in where the platform can), then starts the timer.
    void Show();
    // Fades out where it can, hides, and ends the window; outside a blocking call the object is
    // deleted once control returns to the event loop.
    void Hide();
    // While the caller blocks, the window is painted but its timer and input are left alone.
    void SetBlocking(bool blocking) { m_blocking = blocking; }

    const QString& Text() const { return m_text; }
    const QRegion& Region() const { return m_region; }
    unsigned Styles() const { return m_styles; }
    int TimeoutMs() const { return m_timeoutMs; }

    // Whether opacity can be animated here; FANFARE_FADE=0/1 decides when it is set.
    static bool FadeAvailable();
    // The region of every pixel that is not `transparent`, built row by row.
    static QRegion RegionFromBitmap(const QImage& bitmap, QColor transparent);

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Fade(double from, double to, int durationMs);
    // Paints now and lets the window system show it, without taking any user input.
    void PaintNow();

    QWidget* m_owner;
    QImage m_bitmap;
    QFont m_textFont;
    QRegion m_region;
    unsigned m_styles;
    int m_timeoutMs;
    QString m_text;
    QRect m_textRect;
    unsigned m_textFormat = kDefaultTextFormat;
    QColor m_textColour{0, 0, 0};
    int m_timerId = 0;
    bool m_blocking = false;
    bool m_ended = false;
};
