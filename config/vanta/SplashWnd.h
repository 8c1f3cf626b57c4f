// The sensor-unit tool's splash window: bitmap 134, closed by its timer or any key or button.
#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>

class CSplashWnd : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 520;
    static constexpr int kHeight = 389;
    static constexpr int kShowMs = 750;

    // Shows the one splash window (none when one is already up).
    static void ShowSplashScreen(QWidget* mainWindow = nullptr);
    static CSplashWnd* Current();
    // The window the splash updates when it goes.
    static void SetMainWindow(QWidget* mainWindow);
    void HideSplashScreen();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CSplashWnd();
    ~CSplashWnd() override;
    QPixmap m_bitmap;
    QTimer m_timer;
};
