// Fanfare's pictures: a splash with a clear middle band for the text, and the about pictures.
#include "FanfareArtwork.h"

#include "Artwork.h"

#include <QLinearGradient>
#include <QPainter>

namespace fanfare {

QImage SplashBitmap() {
    QImage image(kSplashWidth, kSplashHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient ground(0, 0, 0, kSplashHeight);
    ground.setColorAt(0, QColor(38, 62, 96));
    ground.setColorAt(1, QColor(96, 128, 168));
    p.fillRect(image.rect(), ground);
    // The unit's picture in the upper part, the family name beside it.
    const QImage unit = artwork::UnitPicture(134, 100);
    p.drawImage(40, 40, unit);
    QFont title("Tahoma");
    title.setBold(true);
    title.setPixelSize(44);
    p.setFont(title);
    p.setPen(QColor(236, 241, 246));
    p.drawText(QRect(200, 40, 290, 100), Qt::AlignLeft | Qt::AlignVCenter, "Vantex");
    // The band the splash text is drawn on, across the middle.
    const QRect band(0, kSplashHeight / 2 - 28, kSplashWidth, 56);
    p.fillRect(band, QColor(236, 241, 246));
    p.setPen(QPen(QColor(38, 62, 96), 2));
    p.drawLine(band.topLeft(), band.topRight());
    p.drawLine(band.bottomLeft(), band.bottomRight());
    QFont small("Tahoma");
    small.setPixelSize(14);
    p.setFont(small);
    p.setPen(QColor(236, 241, 246));
    p.drawText(QRect(24, kSplashHeight - 70, kSplashWidth - 48, 40),
               Qt::AlignLeft | Qt::AlignVCenter, "Network intraoral X-ray sensor unit");
    p.setPen(QPen(QColor(20, 30, 48), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(image.rect().adjusted(1, 1, -2, -2));
    return image;
}

QImage LogoPicture(const QString& maker) {
    return artwork::LogoPicture(maker, 350, 60);
}

QImage UnitPicture() {
    return artwork::UnitPicture(134, 100);
}

}  // namespace fanfare
