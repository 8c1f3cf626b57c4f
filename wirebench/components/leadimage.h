// Image object and image box on QImage: the imaging operations the workbench relies on, by role.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QWidget>
#include <vector>

#include "core/imaging.h"
#include "core/pixelpass.h"

namespace wirebench {

class LeadImage {
public:
    // Grayscale kinds as the imaging component reports them.
    enum GrayKind : int { kNotGray = 0, kOrderedGray = 1, kOtherGray = 2 };

    bool isNull() const { return image_.isNull(); }
    void free();
    bool loadFile(const QString& path);
    bool loadMemory(const QByteArray& bytes);
    int width() const { return image_.width(); }
    int height() const { return image_.height(); }
    int bitsPerPixel() const { return image_.isNull() ? 0 : bits_; }
    // Bits that carry the picture within a 16-bit pixel (12 for the sensor's pixels).
    int significantBits() const { return significantBits_; }
    void setSignificantBits(int bits) { significantBits_ = bits; }
    int grayscaleKind() const;

    QByteArray saveBmp() const;
    bool saveBmpFile(const QString& path) const;
    bool saveFile(const QString& path, const char* format) const;
    void convertGray(int bits);
    bool create(int width, int height, int bits);
    void fill(unsigned value);
    void drawLine(int x1, int y1, int x2, int y2, unsigned value, int penWidth);
    std::vector<quint32> histogram() const;
    void remap(const std::vector<quint16>& table);
    // A copy with the table applied, read straight from this image's pixels.
    LeadImage remapped(const std::vector<quint16>& table) const;
    void setPaletteEntry(int index, QRgb color);
    void swapBytes16();
    bool isGray() const { return grayscaleKind() != kNotGray; }
    // Grey value of a pixel (luminance for colour pixels); 0 outside the image.
    unsigned value(int x, int y) const;
    // The pixels as grey values 0..white level, and back into the image at its own depth.
    GrayBuffer grayBuffer() const;
    void setGrayBuffer(const GrayBuffer& buffer);

    void setBrightness(int v) { brightness_ = v; }
    void setContrast(int v) { contrast_ = v; }
    void setGamma(double v) { gamma_ = v; }
    int brightness() const { return brightness_; }
    int contrast() const { return contrast_; }
    double gamma() const { return gamma_; }
    // The picture as shown, with brightness, contrast and gamma applied (8-bit grey for 16-bit
    // images without adjustments, else 32-bit RGB).
    QImage displayImage() const;

    const QImage& image() const { return image_; }

    // A 16-bit grey picture through a display window into 8-bit grey.
    static QImage windowGray8(const QImage& gray16, const WindowMap& map);

private:
    void adoptQImage(const QImage& image);

    QImage image_;
    int bits_ = 0;
    int significantBits_ = 0;
    int brightness_ = 0;  // -1000 .. 1000
    int contrast_ = 0;    // -1000 .. 1000
    double gamma_ = 1.0;
};

// Image box: shows an image object scaled to fit; right click reported.
class ImageBox : public QWidget {
    Q_OBJECT
public:
    explicit ImageBox(const QString& name, QWidget* parent = nullptr);
    LeadImage& bitmap() { return image_; }
    const LeadImage& bitmap() const { return image_; }
    void freeBitmap();
    void repaintImage();
    // Shows a prepared picture in place of the image's own display until the next repaintImage.
    void showImage(const QImage& shown);
    // A line drawn over the picture in image coordinates (empty: none).
    void setOverlayLine(const QLine& line, const QColor& color);
    // Where the picture is drawn, and the image pixel under a point of the box.
    QRect imageRect() const;
    QPoint toImage(const QPoint& boxPos) const;
    QSize sizeHint() const override { return {160, 120}; }

signals:
    void rightClicked(const QPoint& globalPos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    LeadImage image_;
    QImage shown_;
    QLine overlay_;
    QColor overlayColor_;
};

}  // namespace wirebench
