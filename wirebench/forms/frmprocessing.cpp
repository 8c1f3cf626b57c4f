// The processing window: histogram with window markers, grey-level remap, read-outs, line profile.
#include "forms/frmprocessing.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>

namespace wirebench {

namespace {

constexpr int kFactorMin = 1;
constexpr int kFactorMax = 1000;
constexpr int kFactorNeutral = 100;
const QColor kMarkerColor(30, 60, 200);
const QColor kMiddleColor(20, 150, 60);
const QColor kCurveColor(230, 120, 0);
const QColor kReadoutColor(255, 0, 0);
const QRgb kHighlight = qRgb(255, 0, 255);

template <typename T>
T* named(T* w, const QString& name) {
    w->setObjectName(name);
    w->setAccessibleName(name);
    return w;
}

}  // namespace

HistoView::HistoView(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
}

void HistoView::setHistogram(const HistogramScale& scale) {
    steps_ = histogramSteps(scale);
    drawn_ = scale.drawn;
    first_ = scale.first;
    last_ = scale.last;
    max_ = std::max<std::uint64_t>(scale.max, 1);
    levels_ = scale.levels;
    update();
}

void HistoView::clearHistogram() {
    steps_.clear();
    drawn_.clear();
    readout_ = -1;
    profile_.clear();
    update();
}

void HistoView::setWindow(int lo, int hi, const std::vector<std::uint16_t>& table, int white) {
    lo_ = lo;
    hi_ = hi;
    table_ = table;
    white_ = std::max(white, 1);
    if (levels_ == 0) {
        levels_ = static_cast<int>(table.size());
    }
    update();
}

void HistoView::setReadout(int level) {
    readout_ = level;
    update();
}

void HistoView::setProfile(const std::vector<unsigned>& values, int white) {
    profile_ = values;
    white_ = std::max(white, 1);
    update();
}

void HistoView::clearProfile() {
    profile_.clear();
    update();
}

double HistoView::xOf(double level) const {
    return levels_ > 0 ? level * (width() - 1) / levels_ : 0.0;
}

int HistoView::levelAt(int x) const {
    if (levels_ <= 0 || width() <= 1) {
        return 0;
    }
    const auto l = static_cast<std::int64_t>(x) * levels_ / (width() - 1);
    return static_cast<int>(std::clamp<std::int64_t>(l, 0, levels_ - 1));
}

void HistoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const double h = height() - 1;
    if (!profile_.empty()) {
        // Grey values along the line: the count axis reads as grey value 0..white.
        QPainterPath path;
        const double n = std::max<double>(static_cast<double>(profile_.size()) - 1, 1);
        for (std::size_t i = 0; i < profile_.size(); ++i) {
            const QPointF p(i * (width() - 1) / n, h - profile_[i] * h / white_);
            i == 0 ? path.moveTo(p) : path.lineTo(p);
        }
        painter.setPen(QPen(kReadoutColor, 1));
        painter.drawPath(path);
        painter.setPen(Qt::darkGray);
        painter.drawText(
            rect().adjusted(4, 2, -4, -2), Qt::AlignLeft | Qt::AlignTop,
            QString("line density: %1 pixels, grey 0..%2").arg(profile_.size()).arg(white_));
        return;
    }
    if (!steps_.empty()) {
        QPainterPath path;
        const int columns = std::max(width(), 1);
        if (last_ - first_ + 1 > 2 * columns &&
            drawn_.size() == static_cast<std::size_t>(levels_)) {
            // More levels than pixels: each column shows the tallest count of its levels, so the
            // drawing costs the same at 16 bits as at 8.
            for (int x = 0; x < columns; ++x) {
                const auto from =
                    std::max<std::int64_t>(std::int64_t{x} * levels_ / columns, first_);
                const auto to =
                    std::min<std::int64_t>(std::int64_t{x + 1} * levels_ / columns - 1, last_);
                std::uint64_t m = 0;
                for (auto l = from; l <= to; ++l) {
                    m = std::max(m, drawn_[static_cast<std::size_t>(l)]);
                }
                const double y = h - static_cast<double>(m) * h / max_;
                x == 0 ? path.moveTo(x, y) : path.lineTo(x, y);
                path.lineTo(x + 1, y);
            }
        } else {
            for (std::size_t i = 0; i < steps_.size(); ++i) {
                const QPointF p(xOf(steps_[i].level),
                                h - static_cast<double>(steps_[i].count) * h / max_);
                i == 0 ? path.moveTo(p) : path.lineTo(p);
            }
        }
        painter.setPen(QPen(Qt::black, 1));
        painter.drawPath(path);
        painter.setPen(Qt::darkGray);
        painter.drawText(rect().adjusted(4, 2, -4, -2), Qt::AlignRight | Qt::AlignTop,
                         QString("%1 levels, top %2").arg(levels_).arg(max_));
    }
    if (levels_ > 0 && !table_.empty()) {
        QPainterPath curve;
        for (int x = 0; x < width(); ++x) {
            const int l = std::min<int>(levelAt(x), static_cast<int>(table_.size()) - 1);
            const QPointF p(x, h - table_[static_cast<std::size_t>(l)] * h / white_);
            x == 0 ? curve.moveTo(p) : curve.lineTo(p);
        }
        painter.setPen(QPen(kCurveColor, 1));
        painter.drawPath(curve);
        painter.setPen(QPen(kMarkerColor, 1, Qt::DashLine));
        for (int l : {lo_, hi_}) {
            if (l >= 0) {
                const double x = xOf(l + 0.5);
                painter.drawLine(QPointF(x, 0), QPointF(x, h));
            }
        }
    }
    if (readout_ >= 0 && levels_ > 0) {
        painter.setPen(QPen(kReadoutColor, 1));
        const double x = xOf(readout_ + 0.5);
        painter.drawLine(QPointF(x, 0), QPointF(x, h));
    }
}

BorderStrip::BorderStrip(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setFixedHeight(kHeight);
    setMinimumWidth(256);
    for (int i = 0; i < 3; ++i) {
        shpBorder_[i] = named(new QFrame(this), QString("shpBorder%1").arg(i));
        shpBorder_[i]->setAttribute(Qt::WA_TransparentForMouseEvents);
        shpBorder_[i]->setAutoFillBackground(true);
        QPalette p = shpBorder_[i]->palette();
        p.setColor(QPalette::Window, i == 1 ? kMiddleColor : kMarkerColor);
        shpBorder_[i]->setPalette(p);
        shpBorder_[i]->resize(kMarkerWidth, kHeight - 4);
    }
    markers_.resize(width());
    markers_.reset();
    placeShapes();
}

void BorderStrip::placeShapes() {
    for (int i = 0; i < 3; ++i) {
        const int inset = i == 1 ? 4 : 2;
        shpBorder_[i]->setGeometry(markers_.position(i), inset, kMarkerWidth, kHeight - 2 * inset);
    }
}

void BorderStrip::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        markers_.press(event->position().toPoint().x());
    }
}

void BorderStrip::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) && markers_.dragTo(event->position().toPoint().x())) {
        placeShapes();
        emit moved();
    }
}

void BorderStrip::mouseReleaseEvent(QMouseEvent*) {
    markers_.release();
}

void BorderStrip::mouseDoubleClickEvent(QMouseEvent*) {
    markers_.reset();
    placeShapes();
    emit moved();
}

void BorderStrip::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    markers_.resize(width());
    placeShapes();
}

FrmProcessing::FrmProcessing(ImageBox* source, QWidget* parent) : QWidget(parent), source_(source) {
    setObjectName("frmProcessing");
    setAccessibleName("frmProcessing");
    setWindowTitle("Image Processing");
    setAttribute(Qt::WA_DeleteOnClose);

    LEAD1 = new ImageBox("LEAD1");
    LEAD1->setMinimumSize(360, 280);
    HISTO = named(new HistoView, "HISTO");
    BorderMove = named(new BorderStrip, "BorderMove");
    cmdHistogram = named(new QPushButton("draw Histogram"), "cmdHistogram");
    chkHistoDropEdges = named(new QCheckBox("drop Edges"), "chkHistoDropEdges");
    chkHistoIgnoreFirstQuarter =
        named(new QCheckBox("ignore first 1/4"), "chkHistoIgnoreFirstQuarter");
    chkHistoIgnorSingleMax =
        named(new QCheckBox("ignore signle Maximum"), "chkHistoIgnorSingleMax");
    scrlHistRemapFactor = named(new QScrollBar(Qt::Horizontal), "scrlHistRemapFactor");
    scrlHistRemapFactor->setRange(kFactorMin, kFactorMax);
    scrlHistRemapFactor->setValue(kFactorNeutral);
    scrlHistRemapFactor->setPageStep(10);
    scrlHistRemapFactor->setMinimumWidth(200);
    lblRemap = named(new QLabel("Gamma"), "lblRemap");
    lblRemap->setBuddy(scrlHistRemapFactor);
    lblRemapValue = named(new QLabel("1.00"), "lblRemapValue");
    lblRemapValue->setMinimumWidth(40);
    cmdRemapReset = named(new QPushButton("Reset"), "cmdRemapReset");
    chkOuterrangeBlack =
        named(new QCheckBox("set values outside range to black"), "chkOuterrangeBlack");
    chkEnableLineDensity = named(new QCheckBox("enable line density draw"), "chkEnableLineDensity");
    lblWindow = named(new QLabel, "lblWindow");
    lblReadout = named(new QLabel("-"), "lblReadout");
    lblImageInfo = named(new QLabel, "lblImageInfo");
    lblImageInfo->setWordWrap(true);

    auto* right = new QVBoxLayout;
    right->addWidget(HISTO, 1);
    right->addWidget(BorderMove);
    auto* values = new QGridLayout;
    values->addWidget(new QLabel("Window:"), 0, 0);
    values->addWidget(lblWindow, 0, 1);
    values->addWidget(new QLabel("Level:"), 1, 0);
    values->addWidget(lblReadout, 1, 1);
    values->addWidget(new QLabel("Image:"), 2, 0);
    values->addWidget(lblImageInfo, 2, 1);
    values->setColumnStretch(1, 1);
    right->addLayout(values);
    auto* histoRow = new QHBoxLayout;
    histoRow->addWidget(cmdHistogram);
    histoRow->addWidget(chkHistoDropEdges);
    histoRow->addWidget(chkHistoIgnoreFirstQuarter);
    histoRow->addWidget(chkHistoIgnorSingleMax);
    histoRow->addStretch();
    right->addLayout(histoRow);
    auto* remapRow = new QHBoxLayout;
    remapRow->addWidget(lblRemap);
    remapRow->addWidget(scrlHistRemapFactor, 1);
    remapRow->addWidget(lblRemapValue);
    remapRow->addWidget(cmdRemapReset);
    right->addLayout(remapRow);
    auto* checks = new QHBoxLayout;
    checks->addWidget(chkOuterrangeBlack);
    checks->addWidget(chkEnableLineDensity);
    checks->addStretch();
    right->addLayout(checks);
    auto* top = new QHBoxLayout(this);
    top->addWidget(LEAD1, 3);
    top->addLayout(right, 2);
    resize(1180, 620);

    connect(cmdHistogram, &QPushButton::clicked, this, &FrmProcessing::drawHistogram);
    for (QCheckBox* c : {chkHistoDropEdges, chkHistoIgnoreFirstQuarter, chkHistoIgnorSingleMax}) {
        connect(c, &QCheckBox::clicked, this, [this] {
            if (histogramDrawn_) {
                drawHistogram();
            }
        });
    }
    connect(scrlHistRemapFactor, &QScrollBar::valueChanged, this, &FrmProcessing::remap);
    connect(cmdRemapReset, &QPushButton::clicked, this, [this] {
        if (scrlHistRemapFactor->value() == kFactorNeutral) {
            remap();
        } else {
            scrlHistRemapFactor->setValue(kFactorNeutral);
        }
    });
    connect(chkOuterrangeBlack, &QCheckBox::clicked, this, &FrmProcessing::remap);
    connect(BorderMove, &BorderStrip::moved, this, &FrmProcessing::remap);
    LEAD1->installEventFilter(this);
    HISTO->installEventFilter(this);
    // Space takes the image again from the main window, whichever control has the focus.
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    space->setObjectName("shortcutRetake");
    connect(space, &QShortcut::activated, this, &FrmProcessing::retake);

    if (source_) {
        loadFrom(source_->bitmap());
    }
}

void FrmProcessing::loadFrom(const LeadImage& image) {
    original_ = image;
    QString info;
    if (!original_.isNull()) {
        info = QString("%1 x %2, %3 bits")
                   .arg(original_.width())
                   .arg(original_.height())
                   .arg(original_.bitsPerPixel());
        if (original_.bitsPerPixel() == 16) {
            info += QString(" (%1 significant)").arg(original_.significantBits());
        }
        if (original_.bitsPerPixel() != 16 &&
            original_.grayscaleKind() != LeadImage::kOrderedGray) {
            // Colour (or a shuffled palette): worked on by its luminance at 8 bits.
            original_.convertGray(8);
            info += ", worked on by its luminance at 8 bits";
        }
    }
    lblImageInfo->setText(info.isEmpty() ? "none" : info);
    levels_ = histogramLevels(original_.bitsPerPixel(), original_.significantBits(), true);
    white_ = whiteLevel(original_.bitsPerPixel(), original_.significantBits(), true);
    counts_ = original_.isNull() ? std::vector<std::uint32_t>{} : original_.histogram();
    histogramDrawn_ = false;
    scale_ = {};
    readout_ = -1;
    profile_.clear();
    lineActive_ = false;
    HISTO->clearHistogram();
    LEAD1->setOverlayLine({}, Qt::red);
    remap();
}

void FrmProcessing::retake() {
    if (source_) {
        loadFrom(source_->bitmap());
    }
}

int FrmProcessing::lowLevel() const {
    return BorderMove->markers().level(0, levels_);
}

int FrmProcessing::highLevel() const {
    return BorderMove->markers().level(2, levels_);
}

void FrmProcessing::drawHistogram() {
    if (original_.isNull()) {
        return;
    }
    HistogramOptions o;
    o.dropEdges = chkHistoDropEdges->isChecked();
    o.ignoreFirstQuarter = chkHistoIgnoreFirstQuarter->isChecked();
    o.ignoreSingleMax = chkHistoIgnorSingleMax->isChecked();
    scale_ = scaleHistogram(counts_, levels_, o);
    profile_.clear();
    HISTO->clearProfile();
    HISTO->setHistogram(scale_);
    histogramDrawn_ = true;
    remap();
}

void FrmProcessing::remap() {
    const double factor = scrlHistRemapFactor->value() / 100.0;
    lblRemapValue->setText(QString::number(factor, 'f', 2));
    if (original_.isNull()) {
        LEAD1->freeBitmap();
        lblWindow->setText("-");
        return;
    }
    const int lo = lowLevel();
    const int hi = highLevel();
    const auto table = remapTable(levels_, white_, lo, hi, factor, chkOuterrangeBlack->isChecked());
    // Always from the untouched copy: remaps never compound.
    LEAD1->bitmap() = original_.remapped(table);
    showRemapped();
    HISTO->setWindow(lo, hi, table, white_);
    lblWindow->setText(QString("%1 .. %2 of 0 .. %3").arg(lo).arg(hi).arg(levels_ - 1));
}

void FrmProcessing::showRemapped() {
    LEAD1->repaintImage();
}

void FrmProcessing::readoutAt(int x) {
    if (!histogramDrawn_ || original_.isNull()) {
        return;
    }
    const int level = HISTO->levelAt(x);
    readout_ = level;
    HISTO->setReadout(level);
    const auto count = static_cast<std::size_t>(level) < counts_.size()
                           ? counts_[static_cast<std::size_t>(level)]
                           : 0u;
    lblReadout->setText(QString("%1: %2 pixels").arg(level).arg(count));
    // The picture at 8 bits with the entry of that level highlighted; the data stay as they are.
    const int entry = static_cast<int>(std::int64_t{level} * 256 / levels_);
    QImage shown = LEAD1->bitmap().displayImage().convertToFormat(QImage::Format_RGB32);
    const QImage& src = original_.image();
    for (int y = 0; y < shown.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(shown.scanLine(y));
        if (original_.bitsPerPixel() == 16) {
            const auto* s = reinterpret_cast<const quint16*>(src.constScanLine(y));
            for (int px = 0; px < shown.width(); ++px) {
                const int v = std::min<int>(s[px], levels_ - 1);
                if (static_cast<int>(std::int64_t{v} * 256 / levels_) == entry) {
                    line[px] = kHighlight;
                }
            }
        } else {
            const uchar* s = src.constScanLine(y);
            for (int px = 0; px < shown.width(); ++px) {
                if (s[px] == entry) {
                    line[px] = kHighlight;
                }
            }
        }
    }
    LEAD1->showImage(shown);
}

void FrmProcessing::endReadout() {
    if (readout_ >= 0) {
        showRemapped();
    }
}

void FrmProcessing::lineTo(const QPoint& imagePos) {
    const LeadImage& img = LEAD1->bitmap();
    // Sampled before the line is drawn: the line lies over the picture, never in its pixels.
    const auto pts = linePixels(lineStart_.x(), lineStart_.y(), imagePos.x(), imagePos.y(),
                                img.width(), img.height());
    profile_.clear();
    profile_.reserve(pts.size());
    if (img.bitsPerPixel() == 16) {
        for (const auto& p : pts) {
            profile_.push_back(
                reinterpret_cast<const quint16*>(img.image().constScanLine(p.y))[p.x]);
        }
    } else {
        for (const auto& p : pts) {
            profile_.push_back(img.image().constScanLine(p.y)[p.x]);
        }
    }
    HISTO->setProfile(profile_, white_);
    LEAD1->setOverlayLine(QLine(lineStart_, imagePos), kReadoutColor);
}

bool FrmProcessing::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove &&
        type != QEvent::MouseButtonRelease) {
        return QWidget::eventFilter(watched, event);
    }
    auto* me = static_cast<QMouseEvent*>(event);
    const QPoint pos = me->position().toPoint();
    if (watched == HISTO) {
        if ((type == QEvent::MouseButtonPress && me->button() == Qt::LeftButton) ||
            (type == QEvent::MouseMove && (me->buttons() & Qt::LeftButton))) {
            readoutAt(pos.x());
            return true;
        }
        if (type == QEvent::MouseButtonRelease && me->button() == Qt::LeftButton) {
            endReadout();
            return true;
        }
    } else if (watched == LEAD1 && chkEnableLineDensity->isChecked() && !original_.isNull()) {
        if (type == QEvent::MouseButtonPress && me->button() == Qt::LeftButton) {
            const QPoint p = LEAD1->toImage(pos);
            lineActive_ =
                p.x() >= 0 && p.y() >= 0 && p.x() < original_.width() && p.y() < original_.height();
            lineStart_ = p;
            return true;
        }
        if (type == QEvent::MouseMove && (me->buttons() & Qt::LeftButton) && lineActive_) {
            lineTo(LEAD1->toImage(pos));
            return true;
        }
        if (type == QEvent::MouseButtonRelease) {
            lineActive_ = false;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace wirebench
