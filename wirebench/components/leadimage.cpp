// Image object and image box on QImage: the imaging operations the workbench relies on, by role.
#include "leadimage.h"

#include <QFile>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

#include "core/bmp.h"
#include "core/pixelpass.h"

namespace wirebench {

namespace {

QVector<QRgb> orderedGrayTable() {
    QVector<QRgb> t(256);
    for (int i = 0; i < 256; ++i) {
        t[i] = qRgb(i, i, i);
    }
    return t;
}

// Runs pass(band, first row, row count) over the rows of a picture, in two bands (0 and 1) on two
// threads when large; rows that follow each other without padding go to one call.
template <typename Pass>
void forEachRowRun(const QImage& image, int bytesPerPixel, Pass pass) {
    const int w = image.width();
    const int h = image.height();
    const bool packed = image.bytesPerLine() == static_cast<qsizetype>(w) * bytesPerPixel;
    forRowBands(h, static_cast<std::size_t>(w) * static_cast<std::size_t>(h), [&](int y0, int y1) {
        const int band = y0 == 0 ? 0 : 1;
        if (packed) {
            pass(band, y0, y1 - y0);
            return;
        }
        for (int y = y0; y < y1; ++y) {
            pass(band, y, 1);
        }
    });
}

// 16-bit values to 8 bits over the significant range, one map per depth, built once.
const WindowMap& significantMap(int sig) {
    static std::mutex mutex;
    static std::unique_ptr<WindowMap> maps[17];
    std::lock_guard<std::mutex> lock(mutex);
    auto& m = maps[sig];
    if (!m) {
        m = std::make_unique<WindowMap>(straightWindow(static_cast<int>((1u << sig) - 1)));
    }
    return *m;
}

}  // namespace

void LeadImage::free() {
    image_ = QImage();
    bits_ = 0;
    significantBits_ = 0;
}

void LeadImage::adoptQImage(const QImage& image) {
    if (image.isNull()) {
        free();
        return;
    }
    switch (image.format()) {
        case QImage::Format_Grayscale16:
            image_ = image;
            bits_ = 16;
            break;
        case QImage::Format_Grayscale8:
            image_ = image.convertToFormat(QImage::Format_Indexed8, orderedGrayTable());
            bits_ = 8;
            break;
        case QImage::Format_Indexed8:
            image_ = image;
            bits_ = 8;
            break;
        case QImage::Format_Mono:
        case QImage::Format_MonoLSB:
            image_ = image.convertToFormat(QImage::Format_Indexed8);
            bits_ = 8;
            break;
        default:
            image_ = image.convertToFormat(QImage::Format_RGB32);
            bits_ = image.hasAlphaChannel() ? 32 : 24;
            break;
    }
    significantBits_ = bits_;
}

bool LeadImage::loadMemory(const QByteArray& bytes) {
    const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (auto d = decodeBmp(view)) {
        const int w = d->info.width;
        const int h = d->info.height;
        const auto stride = static_cast<std::size_t>(d->info.packedStride());
        QImage img;
        if (d->info.bits == 8) {
            img = QImage(w, h, QImage::Format_Indexed8);
            QVector<QRgb> table(d->palette.begin(), d->palette.end());
            img.setColorTable(table);
        } else if (d->info.bits == 16) {
            img = QImage(w, h, QImage::Format_Grayscale16);
        } else if (d->info.bits == 24) {
            img = QImage(w, h, QImage::Format_RGB888);
        } else {
            img = QImage(w, h, QImage::Format_RGB32);
        }
        if (img.isNull()) {
            return false;
        }
        for (int r = 0; r < h; ++r) {
            uchar* line = img.scanLine(r);
            const std::uint8_t* src = d->pixels.data() + stride * static_cast<std::size_t>(r);
            if (d->info.bits == 24) {
                for (int x = 0; x < w; ++x) {  // BGR in the file
                    line[3 * x] = src[3 * x + 2];
                    line[3 * x + 1] = src[3 * x + 1];
                    line[3 * x + 2] = src[3 * x];
                }
            } else {
                std::memcpy(line, src, stride);
            }
        }
        adoptQImage(img);
        return true;
    }
    if (view.size() >= 2 && view[0] == 'B' && view[1] == 'M') {
        // A bitmap that does not hold all its rows is not read as one.
        if (!readBmpInfo(view)) {
            QImage img;
            if (!img.loadFromData(bytes)) {
                free();
                return false;
            }
            adoptQImage(img);
            return true;
        }
        free();
        return false;
    }
    QImage img;
    if (!img.loadFromData(bytes)) {
        free();
        return false;
    }
    adoptQImage(img);
    return true;
}

bool LeadImage::loadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return false;
    }
    return loadMemory(f.readAll());
}

int LeadImage::grayscaleKind() const {
    if (image_.isNull()) {
        return kNotGray;
    }
    if (image_.format() == QImage::Format_Grayscale16) {
        return kOrderedGray;
    }
    if (image_.format() != QImage::Format_Indexed8) {
        return kNotGray;
    }
    const auto table = image_.colorTable();
    bool ordered = table.size() == 256;
    for (int i = 0; i < table.size(); ++i) {
        const QRgb c = table[i];
        if (qRed(c) != qGreen(c) || qGreen(c) != qBlue(c)) {
            return kNotGray;
        }
        if (qRed(c) != i) {
            ordered = false;
        }
    }
    return ordered ? kOrderedGray : kOtherGray;
}

QByteArray LeadImage::saveBmp() const {
    if (image_.isNull()) {
        return {};
    }
    if (bits_ == 16 || (bits_ == 8 && image_.format() == QImage::Format_Indexed8)) {
        std::string b = writeGrayBmp(image_.width(), image_.height(), bits_, image_.constBits(),
                                     static_cast<std::size_t>(image_.bytesPerLine()));
        if (bits_ == 8) {
            const auto table = image_.colorTable();
            for (int i = 0; i < std::min<int>(256, table.size()); ++i) {
                const QRgb c = table[i];
                const std::size_t at = kBmpHeadersBytes + 4 * static_cast<std::size_t>(i);
                b[at] = static_cast<char>(qBlue(c));
                b[at + 1] = static_cast<char>(qGreen(c));
                b[at + 2] = static_cast<char>(qRed(c));
            }
        }
        return QByteArray(b.data(), static_cast<qsizetype>(b.size()));
    }
    QByteArray out;
    QImage rgb = image_.convertToFormat(QImage::Format_RGB888);
    std::string b(kBmpHeadersBytes, '\0');
    const int w = rgb.width();
    const int h = rgb.height();
    const std::size_t padded = (static_cast<std::size_t>(w) * 3 + 3) / 4 * 4;
    b.resize(kBmpHeadersBytes + padded * static_cast<std::size_t>(h), '\0');
    auto put32 = [&](std::size_t at, quint32 v) {
        for (int i = 0; i < 4; ++i) {
            b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        }
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<quint32>(b.size()));
    put32(10, static_cast<quint32>(kBmpHeadersBytes));
    put32(14, static_cast<quint32>(kBmpInfoHeaderBytes));
    put32(18, static_cast<quint32>(w));
    put32(22, static_cast<quint32>(h));
    b[26] = 1;
    b[28] = 24;
    for (int r = 0; r < h; ++r) {
        const uchar* src = rgb.constScanLine(r);
        char* dst = b.data() + kBmpHeadersBytes + padded * static_cast<std::size_t>(h - 1 - r);
        for (int x = 0; x < w; ++x) {
            dst[3 * x] = static_cast<char>(src[3 * x + 2]);
            dst[3 * x + 1] = static_cast<char>(src[3 * x + 1]);
            dst[3 * x + 2] = static_cast<char>(src[3 * x]);
        }
    }
    return QByteArray(b.data(), static_cast<qsizetype>(b.size()));
}

bool LeadImage::saveBmpFile(const QString& path) const {
    const QByteArray b = saveBmp();
    if (b.isEmpty()) {
        return false;
    }
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(b) == b.size();
}

bool LeadImage::saveFile(const QString& path, const char* format) const {
    if (image_.isNull()) {
        return false;
    }
    if (qstrcmp(format, "BMP") == 0) {
        return saveBmpFile(path);
    }
    return image_.save(path, format);
}

void LeadImage::convertGray(int bits) {
    if (image_.isNull() || (bits != 8 && bits != 16)) {
        return;
    }
    const int w = image_.width();
    const int h = image_.height();
    if (bits == 16) {
        if (bits_ == 16) {
            return;
        }
        QImage out(w, h, QImage::Format_Grayscale16);
        for (int y = 0; y < h; ++y) {
            auto* dst = reinterpret_cast<quint16*>(out.scanLine(y));
            for (int x = 0; x < w; ++x) {
                dst[x] = static_cast<quint16>(qGray(image_.pixel(x, y)) * 257);
            }
        }
        image_ = out;
        bits_ = 16;
        significantBits_ = 16;
        return;
    }
    QImage out(w, h, QImage::Format_Indexed8);
    out.setColorTable(orderedGrayTable());
    if (bits_ == 16) {
        const int sig = std::clamp(significantBits_, 1, 16);
        const quint32 max = (1u << sig) - 1;
        for (int y = 0; y < h; ++y) {
            const auto* src = reinterpret_cast<const quint16*>(image_.constScanLine(y));
            uchar* dst = out.scanLine(y);
            for (int x = 0; x < w; ++x) {
                const quint32 v = std::min<quint32>(src[x], max);
                dst[x] = static_cast<uchar>((v * 255 + max / 2) / max);
            }
        }
    } else {
        for (int y = 0; y < h; ++y) {
            uchar* dst = out.scanLine(y);
            for (int x = 0; x < w; ++x) {
                dst[x] = static_cast<uchar>(qGray(image_.pixel(x, y)));
            }
        }
    }
    image_ = out;
    bits_ = 8;
    significantBits_ = 8;
}

bool LeadImage::create(int width, int height, int bits) {
    if (width <= 0 || height <= 0 || width > kMaxBmpSide || height > kMaxBmpSide) {
        return false;
    }
    if (bits == 8) {
        image_ = QImage(width, height, QImage::Format_Indexed8);
        image_.setColorTable(orderedGrayTable());
    } else if (bits == 16) {
        image_ = QImage(width, height, QImage::Format_Grayscale16);
    } else {
        image_ = QImage(width, height, QImage::Format_RGB32);
        bits = 24;
    }
    if (image_.isNull()) {
        free();
        return false;
    }
    bits_ = bits;
    significantBits_ = bits;
    fill(0);
    return true;
}

void LeadImage::fill(unsigned value) {
    if (image_.isNull()) {
        return;
    }
    if (bits_ == 16) {
        for (int y = 0; y < image_.height(); ++y) {
            auto* line = reinterpret_cast<quint16*>(image_.scanLine(y));
            std::fill(line, line + image_.width(), static_cast<quint16>(value));
        }
    } else if (bits_ == 8) {
        image_.fill(value & 0xFF);
    } else {
        image_.fill(value);
    }
}

void LeadImage::drawLine(int x1, int y1, int x2, int y2, unsigned value, int penWidth) {
    if (image_.isNull()) {
        return;
    }
    // Pixel-exact for every depth: step along the longer axis and stamp a square pen.
    const int steps = std::max(std::abs(x2 - x1), std::abs(y2 - y1));
    const int half = std::max(penWidth, 1) / 2;
    for (int i = 0; i <= steps; ++i) {
        const int cx = steps == 0 ? x1 : x1 + (x2 - x1) * i / steps;
        const int cy = steps == 0 ? y1 : y1 + (y2 - y1) * i / steps;
        for (int y = cy - half; y <= cy - half + std::max(penWidth, 1) - 1; ++y) {
            if (y < 0 || y >= image_.height()) {
                continue;
            }
            for (int x = cx - half; x <= cx - half + std::max(penWidth, 1) - 1; ++x) {
                if (x < 0 || x >= image_.width()) {
                    continue;
                }
                if (bits_ == 16) {
                    reinterpret_cast<quint16*>(image_.scanLine(y))[x] = static_cast<quint16>(value);
                } else if (bits_ == 8) {
                    image_.scanLine(y)[x] = static_cast<uchar>(value);
                } else {
                    image_.setPixel(x, y, value);
                }
            }
        }
    }
}

std::vector<quint32> LeadImage::histogram() const {
    std::vector<quint32> h(bits_ == 16 ? 65536 : 256, 0);
    const int w = image_.width();
    quint32* counts = h.data();
    if (bits_ == 16 && !image_.isNull()) {
        // The second band counts apart and is added in after.
        std::vector<quint32> second;
        forEachRowRun(image_, 2, [&](int band, int y, int rows) {
            quint32* c = counts;
            if (band == 1) {
                if (second.empty()) {
                    second.assign(h.size(), 0);
                }
                c = second.data();
            }
            countPixels16(reinterpret_cast<const quint16*>(image_.constScanLine(y)),
                          static_cast<std::size_t>(w) * static_cast<std::size_t>(rows), c);
        });
        for (std::size_t v = 0; v < second.size(); ++v) {
            counts[v] += second[v];
        }
        return h;
    }
    for (int y = 0; y < image_.height(); ++y) {
        if (bits_ == 8) {
            const uchar* line = image_.constScanLine(y);
            for (int x = 0; x < w; ++x) {
                ++counts[line[x]];
            }
        } else {
            for (int x = 0; x < w; ++x) {
                ++counts[static_cast<std::size_t>(qGray(image_.pixel(x, y)))];
            }
        }
    }
    return h;
}

namespace {

// One entry for every possible pixel value: values past the table take its last entry.
std::vector<quint16> fullRemapTable(const std::vector<quint16>& table, int bits) {
    std::vector<quint16> full = fullTable16(table);
    if (bits == 8) {
        for (auto& v : full) {
            v = std::min<quint16>(v, 255);
        }
    }
    return full;
}

// dst's pixels = table[src's pixels]; both of one size and format (16-bit or 8-bit grey).
void remapPixels(const QImage& src, QImage& dst, int bits, const std::vector<quint16>& full) {
    const quint16* t = full.data();
    const int w = src.width();
    if (bits == 16) {
        const auto stride = static_cast<std::size_t>(src.bytesPerLine());
        uchar* out = dst.bits();
        const auto outStride = static_cast<std::size_t>(dst.bytesPerLine());
        const uchar* in = src.constBits();
        forEachRowRun(src, 2, [&](int, int y, int rows) {
            const auto* s =
                reinterpret_cast<const quint16*>(in + stride * static_cast<std::size_t>(y));
            auto* d = reinterpret_cast<quint16*>(out + outStride * static_cast<std::size_t>(y));
            if (stride == outStride) {
                lookupPixels16(s, static_cast<std::size_t>(w) * static_cast<std::size_t>(rows), t,
                               d);
                return;
            }
            for (int r = 0; r < rows; ++r) {
                lookupPixels16(
                    reinterpret_cast<const quint16*>(in + stride * static_cast<std::size_t>(y + r)),
                    static_cast<std::size_t>(w), t,
                    reinterpret_cast<quint16*>(out + outStride * static_cast<std::size_t>(y + r)));
            }
        });
        return;
    }
    for (int y = 0; y < src.height(); ++y) {
        const uchar* s = src.constScanLine(y);
        uchar* d = dst.scanLine(y);
        for (int x = 0; x < w; ++x) {
            d[x] = static_cast<uchar>(t[s[x]]);
        }
    }
}

}  // namespace

void LeadImage::remap(const std::vector<quint16>& table) {
    if (image_.isNull() || table.empty() || (bits_ != 16 && bits_ != 8)) {
        return;
    }
    image_.bits();  // detaches once
    remapPixels(image_, image_, bits_, fullRemapTable(table, bits_));
}

LeadImage LeadImage::remapped(const std::vector<quint16>& table) const {
    if (image_.isNull() || table.empty() || (bits_ != 16 && bits_ != 8)) {
        return *this;
    }
    LeadImage out;
    out.bits_ = bits_;
    out.significantBits_ = significantBits_;
    out.brightness_ = brightness_;
    out.contrast_ = contrast_;
    out.gamma_ = gamma_;
    out.image_ = QImage(image_.width(), image_.height(), image_.format());
    if (out.image_.isNull()) {
        LeadImage copy = *this;  // let the copy's own remap report the shortage as before
        copy.remap(table);
        return copy;
    }
    out.image_.setColorTable(image_.colorTable());
    out.image_.setDotsPerMeterX(image_.dotsPerMeterX());
    out.image_.setDotsPerMeterY(image_.dotsPerMeterY());
    for (const QString& key : image_.textKeys()) {
        out.image_.setText(key, image_.text(key));
    }
    remapPixels(image_, out.image_, bits_, fullRemapTable(table, bits_));
    return out;
}

void LeadImage::setPaletteEntry(int index, QRgb color) {
    if (image_.format() == QImage::Format_Indexed8 && index >= 0 && index < 256) {
        if (image_.colorCount() <= index) {
            image_.setColorCount(index + 1);
        }
        image_.setColor(index, color);
    }
}

void LeadImage::swapBytes16() {
    if (bits_ != 16) {
        return;
    }
    for (int y = 0; y < image_.height(); ++y) {
        auto* line = reinterpret_cast<quint16*>(image_.scanLine(y));
        for (int x = 0; x < image_.width(); ++x) {
            line[x] = static_cast<quint16>((line[x] >> 8) | (line[x] << 8));
        }
    }
}

unsigned LeadImage::value(int x, int y) const {
    if (image_.isNull() || x < 0 || y < 0 || x >= image_.width() || y >= image_.height()) {
        return 0;
    }
    if (bits_ == 16) {
        return reinterpret_cast<const quint16*>(image_.constScanLine(y))[x];
    }
    if (bits_ == 8 && grayscaleKind() == kOrderedGray) {
        return image_.constScanLine(y)[x];
    }
    return static_cast<unsigned>(qGray(image_.pixel(x, y)));
}

GrayBuffer LeadImage::grayBuffer() const {
    GrayBuffer b;
    if (image_.isNull()) {
        return b;
    }
    b.width = image_.width();
    b.height = image_.height();
    b.maxValue = whiteLevel(bits_, significantBits_, isGray());
    b.pixels.resize(static_cast<std::size_t>(b.width) * static_cast<std::size_t>(b.height));
    const bool ordered = bits_ == 8 && grayscaleKind() == kOrderedGray;
    for (int y = 0; y < b.height; ++y) {
        std::uint16_t* dst = b.pixels.data() + static_cast<std::size_t>(y) * b.width;
        if (bits_ == 16) {
            const auto* src = reinterpret_cast<const quint16*>(image_.constScanLine(y));
            for (int x = 0; x < b.width; ++x) {
                dst[x] = static_cast<std::uint16_t>(std::min<int>(src[x], b.maxValue));
            }
        } else if (ordered) {
            const uchar* src = image_.constScanLine(y);
            std::copy(src, src + b.width, dst);
        } else {
            for (int x = 0; x < b.width; ++x) {
                dst[x] = static_cast<std::uint16_t>(qGray(image_.pixel(x, y)));
            }
        }
    }
    return b;
}

void LeadImage::setGrayBuffer(const GrayBuffer& b) {
    if (b.width <= 0 || b.height <= 0 ||
        b.pixels.size() != static_cast<std::size_t>(b.width) * static_cast<std::size_t>(b.height)) {
        return;
    }
    if (image_.isNull() || image_.width() != b.width || image_.height() != b.height ||
        (bits_ != 16 && !(bits_ == 8 && grayscaleKind() == kOrderedGray))) {
        const int keepSig = bits_ == 16 ? significantBits_ : 8;
        create(b.width, b.height, bits_ == 16 ? 16 : 8);
        significantBits_ = keepSig;
    }
    for (int y = 0; y < b.height; ++y) {
        const std::uint16_t* src = b.pixels.data() + static_cast<std::size_t>(y) * b.width;
        if (bits_ == 16) {
            auto* dst = reinterpret_cast<quint16*>(image_.scanLine(y));
            std::copy(src, src + b.width, dst);
        } else {
            uchar* dst = image_.scanLine(y);
            for (int x = 0; x < b.width; ++x) {
                dst[x] = static_cast<uchar>(std::min<int>(src[x], 255));
            }
        }
    }
}

QImage LeadImage::displayImage() const {
    if (image_.isNull()) {
        return {};
    }
    const bool neutral = brightness_ == 0 && contrast_ == 0 && gamma_ == 1.0;
    QImage shown;
    if (bits_ == 16) {
        // The significant range to 8 bits through one table: no division per pixel.
        const QImage gray =
            windowGray8(image_, significantMap(std::clamp(significantBits_, 1, 16)));
        if (neutral) {
            return gray;
        }
        shown = gray.convertToFormat(QImage::Format_RGB32);
    } else {
        shown = image_.convertToFormat(QImage::Format_RGB32);
    }
    if (neutral) {
        return shown;
    }
    uchar lut[256];
    const double c = (1000.0 + contrast_) / 1000.0;
    for (int i = 0; i < 256; ++i) {
        double v = (i - 127.5) * c + 127.5 + brightness_ * 255.0 / 1000.0;
        v = std::clamp(v, 0.0, 255.0);
        v = 255.0 * std::pow(v / 255.0, gamma_ > 0 ? 1.0 / gamma_ : 1.0);
        lut[i] = static_cast<uchar>(std::lround(std::clamp(v, 0.0, 255.0)));
    }
    for (int y = 0; y < shown.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(shown.scanLine(y));
        for (int x = 0; x < shown.width(); ++x) {
            const QRgb p = line[x];
            line[x] = qRgb(lut[qRed(p)], lut[qGreen(p)], lut[qBlue(p)]);
        }
    }
    return shown;
}

QImage LeadImage::windowGray8(const QImage& gray16, const WindowMap& map) {
    if (gray16.isNull() || gray16.format() != QImage::Format_Grayscale16) {
        return {};
    }
    QImage gray(gray16.width(), gray16.height(), QImage::Format_Grayscale8);
    if (gray.isNull()) {
        return gray;
    }
    const int w = gray16.width();
    const uchar* in = gray16.constBits();
    uchar* out = gray.bits();
    const auto inStride = static_cast<std::size_t>(gray16.bytesPerLine());
    const auto outStride = static_cast<std::size_t>(gray.bytesPerLine());
    // Rows of both pictures are packed when the width is a multiple of 4: one call per band.
    const bool packed = inStride == 2 * outStride && outStride == static_cast<std::size_t>(w);
    forEachRowRun(gray16, 2, [&](int, int y, int rows) {
        if (packed) {
            map.apply(
                reinterpret_cast<const std::uint16_t*>(in + inStride * static_cast<std::size_t>(y)),
                static_cast<std::size_t>(w) * static_cast<std::size_t>(rows),
                out + outStride * static_cast<std::size_t>(y));
            return;
        }
        for (int r = y; r < y + rows; ++r) {
            map.apply(
                reinterpret_cast<const std::uint16_t*>(in + inStride * static_cast<std::size_t>(r)),
                static_cast<std::size_t>(w), out + outStride * static_cast<std::size_t>(r));
        }
    });
    return gray;
}

ImageBox::ImageBox(const QString& name, QWidget* parent) : QWidget(parent) {
    setObjectName(name);
    setAccessibleName(name);
    setMinimumSize(120, 90);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(40, 40, 40));
    setPalette(p);
}

void ImageBox::freeBitmap() {
    image_.free();
    repaintImage();
}

void ImageBox::repaintImage() {
    shown_ = image_.displayImage();
    update();
}

void ImageBox::showImage(const QImage& shown) {
    shown_ = shown;
    update();
}

void ImageBox::setOverlayLine(const QLine& line, const QColor& color) {
    overlay_ = line;
    overlayColor_ = color;
    update();
}

QRect ImageBox::imageRect() const {
    if (shown_.isNull()) {
        return {};
    }
    const QSize fit = shown_.size().scaled(size(), Qt::KeepAspectRatio);
    return {QPoint((width() - fit.width()) / 2, (height() - fit.height()) / 2), fit};
}

QPoint ImageBox::toImage(const QPoint& boxPos) const {
    const QRect r = imageRect();
    if (r.isEmpty()) {
        return {-1, -1};
    }
    return {
        static_cast<int>(std::floor((boxPos.x() - r.x()) * double(shown_.width()) / r.width())),
        static_cast<int>(std::floor((boxPos.y() - r.y()) * double(shown_.height()) / r.height()))};
}

void ImageBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (shown_.isNull()) {
        return;
    }
    const QRect target = imageRect();
    painter.drawImage(target, shown_);
    if (!overlay_.isNull()) {
        const double sx = double(target.width()) / shown_.width();
        const double sy = double(target.height()) / shown_.height();
        auto at = [&](const QPoint& p) {
            return QPointF(target.x() + (p.x() + 0.5) * sx, target.y() + (p.y() + 0.5) * sy);
        };
        painter.setPen(QPen(overlayColor_, 2));
        painter.drawLine(at(overlay_.p1()), at(overlay_.p2()));
    }
}

void ImageBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        emit rightClicked(event->globalPosition().toPoint());
    }
    QWidget::mousePressEvent(event);
}

}  // namespace wirebench
