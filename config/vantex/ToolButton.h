// CToolButton: a flat push button showing a 40 x 40 bitmap with a transparent colour, raised
// under the mouse, sunken while pressed, embossed when disabled.
#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QPixmap>

class CToolButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int kBitmapPixels = 40;
    static inline const QColor kTransparent{236, 233, 216};

    explicit CToolButton(QWidget* parent = nullptr);
    // The bitmap's pixels of the transparent colour are masked out.
    void SetBitmap(const QImage& bitmap);
    bool Hovered() const { return m_hovered; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    QSize sizeHint() const override { return QSize(kBitmapPixels + 8, kBitmapPixels + 8); }

private:
    QPixmap m_bitmap;
    QPixmap m_disabled;
    bool m_hovered = false;
};
