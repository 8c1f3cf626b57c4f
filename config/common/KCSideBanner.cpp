// Drawing and attaching the side banner.
#include "KCSideBanner.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

#include <algorithm>

KCSideBanner::KCSideBanner(QWidget* parent) : QWidget(parent) {
    setObjectName(QString("banner%1").arg(kBannerChildId));
    setAccessibleName("Banner");
    setCursor(Qt::ArrowCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);  // no background brush: the buffer covers it all
    m_titleFont = QFont("Tahoma");
    m_titleFont.setBold(true);
    m_titleFont.setPointSizeF(11);
    m_captionFont = QFont("Tahoma");
    m_captionFont.setPointSizeF(8.5);
}

void KCSideBanner::Attach(QWidget* parent, Edge edge) {
    m_edge = edge;
    const bool horizontalBand = edge == Top || edge == Bottom;
    QRect frame = parent->geometry();
    QSize grown = parent->size() + (horizontalBand ? QSize(0, m_thickness) : QSize(m_thickness, 0));
    if (edge == Left)
        frame.moveLeft(std::max(0, frame.left() - m_thickness));
    if (edge == Top)
        frame.moveTop(std::max(0, frame.top() - m_thickness));
    const QObjectList children = parent->children();
    if (edge == Left || edge == Top) {
        const QPoint shift = edge == Left ? QPoint(m_thickness, 0) : QPoint(0, m_thickness);
        for (QObject* child : children) {
            auto* widget = qobject_cast<QWidget*>(child);
            if (widget && widget != this && !widget->isWindow())
                widget->move(widget->pos() + shift);
        }
    }
    setParent(parent);
    parent->setGeometry(QRect(frame.topLeft(), grown));
    parent->setFixedSize(grown);
    parent->installEventFilter(this);
    LayOut();
    show();
}

void KCSideBanner::LayOut() {
    QWidget* parent = parentWidget();
    if (!parent)
        return;
    const QSize size = parent->size();
    switch (m_edge) {
        case Left:
            setGeometry(0, 0, m_thickness, size.height());
            break;
        case Right:
            setGeometry(size.width() - m_thickness, 0, m_thickness, size.height());
            break;
        case Top:
            setGeometry(0, 0, size.width(), m_thickness);
            break;
        case Bottom:
            setGeometry(0, size.height() - m_thickness, size.width(), m_thickness);
            break;
    }
}

bool KCSideBanner::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        LayOut();
    return QWidget::eventFilter(watched, event);
}

void KCSideBanner::paintEvent(QPaintEvent*) {
    // Drawn into a buffer the size of the band, then copied in one go.
    QPixmap buffer(size());
    {
        QPainter painter(&buffer);
        Draw(painter);
    }
    QPainter(this).drawPixmap(0, 0, buffer);
}

void KCSideBanner::Draw(QPainter& painter) {
    const QRect band = rect();
    const bool vertical = m_edge == Left || m_edge == Right;
    if (m_fill == Solid) {
        painter.fillRect(band, m_first);
    } else {
        QLinearGradient gradient(band.topLeft(), vertical ? band.topRight() : band.bottomLeft());
        gradient.setColorAt(0, m_first);
        gradient.setColorAt(1, m_second);
        painter.fillRect(band, gradient);
    }
    painter.setPen(m_edgeColour);
    switch (m_edge) {
        case Left:
            painter.drawLine(band.topRight(), band.bottomRight());
            break;
        case Right:
            painter.drawLine(band.topLeft(), band.bottomLeft());
            break;
        case Top:
            painter.drawLine(band.bottomLeft(), band.bottomRight());
            break;
        case Bottom:
            painter.drawLine(band.topLeft(), band.topRight());
            break;
    }
    DrawRotatedText(painter, m_edge == Left ? -90 : (m_edge == Right ? 90 : 0));
}

// Title then caption; the caption goes character by character so its line breaks step across.
void KCSideBanner::DrawRotatedText(QPainter& painter, double angle) {
    const QFontMetrics titleMetrics(m_titleFont);
    const QFontMetrics captionMetrics(m_captionFont);
    const QRect band = rect();
    painter.save();
    // Local axes: x runs along the text, y runs across the lines.
    if (m_edge == Left) {
        painter.translate(m_titleOffsetX, band.height() - m_titleOffsetY);
    } else if (m_edge == Right) {
        painter.translate(band.width() - m_titleOffsetX, m_titleOffsetY);
    } else {
        painter.translate(m_titleOffsetX, m_titleOffsetY);
    }
    painter.rotate(angle);
    painter.setFont(m_titleFont);
    painter.setPen(m_titleColour);
    painter.drawText(QPoint(0, titleMetrics.ascent()), m_title);

    painter.setFont(m_captionFont);
    painter.setPen(m_captionColour);
    const int startX = m_captionOffsetY;
    int x = startX;
    int y = m_captionOffsetX + titleMetrics.height();
    for (QChar c : m_caption) {
        if (c == '\r')
            continue;
        if (c == '\n') {
            y += captionMetrics.height();
            x = startX;
            continue;
        }
        painter.drawText(QPoint(x, y + captionMetrics.ascent()), QString(c));
        x += captionMetrics.horizontalAdvance(c);
    }
    painter.restore();
}
