// CToolButton: masked bitmap, flat edges that follow the mouse, embossed disabled drawing.
#include "ToolButton.h"

#include <QBitmap>
#include <QPainter>
#include <QStyle>
#include <qdrawutil.h>

CToolButton::CToolButton(QWidget* parent) : QAbstractButton(parent) {
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::NoFocus);
}

void CToolButton::SetBitmap(const QImage& bitmap) {
    const QImage rgb = bitmap.convertToFormat(QImage::Format_RGB888);
    const QBitmap mask = QBitmap::fromImage(
        rgb.createMaskFromColor(kTransparent.rgb(), Qt::MaskInColor), Qt::MonoOnly);
    m_bitmap = QPixmap::fromImage(rgb);
    m_bitmap.setMask(mask);
    // Embossed: the shape in the highlight colour one pixel down and right, then in the shadow.
    QImage shape(rgb.size(), QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter p(&shape);
        p.setClipRegion(QRegion(mask));
        p.fillRect(shape.rect(), Qt::black);
    }
    QPixmap embossed(rgb.size() + QSize(1, 1));
    embossed.fill(Qt::transparent);
    {
        QPainter p(&embossed);
        QImage light = shape, dark = shape;
        {
            QPainter l(&light);
            l.setCompositionMode(QPainter::CompositionMode_SourceIn);
            l.fillRect(light.rect(), palette().color(QPalette::Light));
            QPainter d(&dark);
            d.setCompositionMode(QPainter::CompositionMode_SourceIn);
            d.fillRect(dark.rect(), palette().color(QPalette::Dark));
        }
        p.drawImage(1, 1, light);
        p.drawImage(0, 0, dark);
    }
    m_disabled = embossed;
    update();
}

void CToolButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect face = rect();
    const bool down = isDown();
    const QPixmap& picture = isEnabled() ? m_bitmap : m_disabled;
    QPoint at((face.width() - kBitmapPixels) / 2, (face.height() - kBitmapPixels) / 2);
    if (down)
        at += QPoint(1, 1);
    p.drawPixmap(at, picture);
    if (!isEnabled())
        return;
    if (down)
        qDrawShadePanel(&p, face, palette(), true, 1);
    else if (m_hovered)
        qDrawShadePanel(&p, face, palette(), false, 1);
}

void CToolButton::enterEvent(QEnterEvent* event) {
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CToolButton::leaveEvent(QEvent* event) {
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}
