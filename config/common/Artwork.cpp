// Pictures drawn with QPainter: flat shapes in the tools' blue-grey palette.
#include "Artwork.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace artwork {
namespace {

const QColor kInk(38, 52, 84);
const QColor kSteel(198, 209, 218);
const QColor kAccent(64, 112, 176);
const QColor kGo(46, 139, 87);
const QColor kHalt(192, 57, 43);

// The sensor: a rounded plate with its cable, seen from above.
void DrawSensor(QPainter& p, const QRectF& area) {
    const QRectF plate(area.left(), area.top(), area.width() * 0.62, area.height() * 0.78);
    QLinearGradient shade(plate.topLeft(), plate.bottomRight());
    shade.setColorAt(0, QColor(235, 240, 245));
    shade.setColorAt(1, QColor(150, 165, 185));
    p.setPen(QPen(kInk, std::max(1.0, area.width() / 60)));
    p.setBrush(shade);
    p.drawRoundedRect(plate, plate.width() * 0.18, plate.width() * 0.18);
    const QRectF window = plate.adjusted(plate.width() * 0.15, plate.height() * 0.15,
                                         -plate.width() * 0.15, -plate.height() * 0.15);
    p.setBrush(QColor(60, 80, 110));
    p.drawRoundedRect(window, window.width() * 0.1, window.width() * 0.1);
    QPainterPath cable;
    cable.moveTo(plate.right(), plate.center().y());
    cable.cubicTo(area.right() - area.width() * 0.2, plate.center().y(),
                  area.right() - area.width() * 0.25, area.bottom(), area.right(), area.bottom());
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kInk, std::max(1.5, area.width() / 30), Qt::SolidLine, Qt::RoundCap));
    p.drawPath(cable);
}

}  // namespace

QPixmap ToolGlyph(Glyph glyph, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const QRectF box(s * 0.12, s * 0.12, s * 0.76, s * 0.76);
    p.setPen(QPen(kInk, s / 16));
    QFont font("Sans");
    font.setBold(true);
    font.setPixelSize(static_cast<int>(s * 0.5));
    p.setFont(font);
    switch (glyph) {
        case Glyph::Exit: {
            p.setBrush(kSteel);
            p.drawRect(QRectF(s * 0.15, s * 0.12, s * 0.45, s * 0.76));
            p.setBrush(kAccent);
            QPainterPath arrow;
            arrow.moveTo(s * 0.45, s * 0.42);
            arrow.lineTo(s * 0.70, s * 0.42);
            arrow.lineTo(s * 0.70, s * 0.30);
            arrow.lineTo(s * 0.90, s * 0.50);
            arrow.lineTo(s * 0.70, s * 0.70);
            arrow.lineTo(s * 0.70, s * 0.58);
            arrow.lineTo(s * 0.45, s * 0.58);
            arrow.closeSubpath();
            p.drawPath(arrow);
            break;
        }
        case Glyph::Start: {
            p.setBrush(kGo);
            QPolygonF play({QPointF(s * 0.25, s * 0.15), QPointF(s * 0.85, s * 0.5),
                            QPointF(s * 0.25, s * 0.85)});
            p.drawPolygon(play);
            break;
        }
        case Glyph::Stop:
            p.setBrush(kHalt);
            p.drawRoundedRect(box.adjusted(s * 0.05, s * 0.05, -s * 0.05, -s * 0.05), s * 0.08,
                              s * 0.08);
            break;
        case Glyph::Status: {
            // A monitor with a pulse line.
            p.setBrush(QColor(60, 80, 110));
            p.drawRoundedRect(QRectF(s * 0.08, s * 0.16, s * 0.84, s * 0.6), s * 0.06, s * 0.06);
            p.setPen(QPen(QColor(120, 230, 140), s / 14, Qt::SolidLine, Qt::RoundCap));
            const QPolygonF pulse({QPointF(s * 0.16, s * 0.48), QPointF(s * 0.36, s * 0.48),
                                   QPointF(s * 0.44, s * 0.28), QPointF(s * 0.54, s * 0.64),
                                   QPointF(s * 0.62, s * 0.48), QPointF(s * 0.84, s * 0.48)});
            p.drawPolyline(pulse);
            p.setPen(QPen(kInk, s / 16));
            p.drawLine(QPointF(s * 0.3, s * 0.88), QPointF(s * 0.7, s * 0.88));
            p.drawLine(QPointF(s * 0.5, s * 0.76), QPointF(s * 0.5, s * 0.88));
            break;
        }
        case Glyph::Read:
        case Glyph::Change: {
            p.setBrush(Qt::white);
            p.drawRect(QRectF(s * 0.18, s * 0.10, s * 0.56, s * 0.80));
            p.setPen(QPen(kAccent, s / 20));
            for (int line = 0; line < 4; ++line) {
                const double y = s * (0.28 + 0.14 * line);
                p.drawLine(QPointF(s * 0.28, y), QPointF(s * 0.64, y));
            }
            if (glyph == Glyph::Change) {
                p.setPen(QPen(kHalt, s / 9, Qt::SolidLine, Qt::RoundCap));
                p.drawLine(QPointF(s * 0.52, s * 0.82), QPointF(s * 0.88, s * 0.40));
            } else {
                p.setPen(QPen(kInk, s / 14));
                p.setBrush(Qt::NoBrush);
                p.drawEllipse(QPointF(s * 0.66, s * 0.62), s * 0.16, s * 0.16);
                p.drawLine(QPointF(s * 0.77, s * 0.74), QPointF(s * 0.90, s * 0.88));
            }
            break;
        }
        case Glyph::About:
        case Glyph::Help:
        case Glyph::ContextHelp:
            p.setBrush(glyph == Glyph::About ? kSteel : QColor(250, 235, 160));
            p.drawEllipse(box);
            p.drawText(box, Qt::AlignCenter, glyph == Glyph::About ? "i" : "?");
            if (glyph == Glyph::ContextHelp) {
                QPolygonF pointer(
                    {QPointF(0, 0), QPointF(s * 0.3, s * 0.18), QPointF(s * 0.12, s * 0.3)});
                p.setBrush(Qt::white);
                p.drawPolygon(pointer);
            }
            break;
    }
    return pixmap;
}

QImage SplashPicture(const QString& product, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient ground(0, 0, width, height);
    ground.setColorAt(0, QColor(236, 241, 246));
    ground.setColorAt(1, kSteel.darker(115));
    p.fillRect(image.rect(), ground);
    p.setPen(QPen(kInk, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(image.rect().adjusted(1, 1, -2, -2));
    DrawSensor(p, QRectF(width * 0.08, height * 0.18, width * 0.38, height * 0.5));
    QFont title("Tahoma");
    title.setBold(true);
    title.setPixelSize(height / 12);
    p.setFont(title);
    p.setPen(kInk);
    const QRectF text(width * 0.48, height * 0.22, width * 0.48, height * 0.4);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, product);
    QFont small("Tahoma");
    small.setPixelSize(height / 28);
    p.setFont(small);
    p.setPen(kInk.lighter(140));
    p.drawText(QRectF(width * 0.05, height * 0.82, width * 0.9, height * 0.12),
               Qt::AlignLeft | Qt::AlignVCenter, "Intraoral X-ray sensor unit: service and setup");
    return image;
}

QImage LogoPicture(const QString& maker, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient ground(0, 0, width, 0);
    ground.setColorAt(0, kInk);
    ground.setColorAt(1, kAccent);
    p.fillRect(image.rect(), ground);
    p.setPen(Qt::white);
    QFont font("Verdana");
    font.setBold(true);
    // The largest size up to two fifths of the bar at which the name fits.
    const QRect room = image.rect().adjusted(height / 3, 0, -height / 3, 0);
    for (int pixels = height * 2 / 5; pixels > 6; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).horizontalAdvance(maker) <= room.width())
            break;
    }
    p.setFont(font);
    p.drawText(room, Qt::AlignLeft | Qt::AlignVCenter, maker);
    return image;
}

QImage UnitPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(0xC6, 0xD1, 0xDA));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawSensor(p, QRectF(width * 0.1, height * 0.1, width * 0.8, height * 0.8));
    return image;
}

QImage ProgramIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawSensor(p, QRectF(size * 0.08, size * 0.1, size * 0.84, size * 0.82));
    return image;
}

}  // namespace artwork
