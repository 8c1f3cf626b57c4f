// The view window: an image as large as the screen, display brightness, contrast and gamma by
// mouse, processing pages by function keys.
#include "forms/frmctviewwindow.h"

#include "core/pixelpass.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

namespace wirebench {

namespace {

// Flag values of the processing pages, in the order of the keys F2 to F11.
constexpr Qt::Key kPageKeys[] = {Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F5,  Qt::Key_F6,
                                 Qt::Key_F7, Qt::Key_F8, Qt::Key_F9, Qt::Key_F10, Qt::Key_F11};
constexpr int kWindowLevelMinBits = 12;

template <typename T>
T* named(T* w, const QString& name) {
    w->setObjectName(name);
    w->setAccessibleName(name);
    return w;
}

QDialogButtonBox* okCancel(QDialog* dlg) {
    auto* buttons =
        named(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel), "buttons");
    QObject::connect(buttons, &QDialogButtonBox::accepted, dlg, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dlg, &QDialog::reject);
    return buttons;
}

}  // namespace

FrmCTViewWindow::FrmCTViewWindow(ImageBox* source, QWidget* parent)
    : QDialog(parent), source_(source) {
    setObjectName("frmCTViewWindow");
    setAccessibleName("frmCTViewWindow");
    setWindowTitle("View");
    setModal(true);
    Image1 = new ImageBox("Image1");
    // The window takes the mouse itself: presses and drags anywhere act alike.
    Image1->setAttribute(Qt::WA_TransparentForMouseEvents);
    QPalette p = Image1->palette();
    p.setColor(QPalette::Window, Qt::black);
    Image1->setPalette(p);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Image1);
    if (source_) {
        loadFrom(source_->bitmap());
    }
}

QSize FrmCTViewWindow::screenSize() const {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    return s ? s->geometry().size() : size();
}

void FrmCTViewWindow::fitScreen() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (s) {
        setGeometry(s->geometry());
    }
}

void FrmCTViewWindow::loadFrom(const LeadImage& image) {
    Image1->bitmap() = image;
    brightness_ = 0;
    contrast_ = 0;
    gamma_ = kGammaNeutral;
    windowLo_ = 0;
    windowHi_ = image.isNull()
                    ? 255
                    : whiteLevel(image.bitsPerPixel(), image.significantBits(), image.isGray());
    redraw();
}

void FrmCTViewWindow::retake() {
    if (source_) {
        loadFrom(source_->bitmap());
    } else {
        brightness_ = 0;
        contrast_ = 0;
        gamma_ = kGammaNeutral;
        redraw();
    }
}

void FrmCTViewWindow::redraw() {
    const LeadImage& img = Image1->bitmap();
    if (img.isNull()) {
        shown_ = QImage();
        Image1->showImage(shown_);
        return;
    }
    const QImage& src = img.image();
    const int w = src.width();
    const int h = src.height();
    if (img.bitsPerPixel() == 16 ||
        (img.bitsPerPixel() == 8 && img.grayscaleKind() == LeadImage::kOrderedGray)) {
        const int white = whiteLevel(img.bitsPerPixel(), img.significantBits(), true);
        if (img.bitsPerPixel() == 16) {
            shown_ = LeadImage::windowGray8(
                src, WindowMap(displayWindow(white, windowLo_, windowHi_, brightness_, contrast_,
                                             gamma_)));
        } else {
            const auto table =
                displayTable(white, windowLo_, windowHi_, brightness_, contrast_, gamma_);
            shown_ = QImage(w, h, QImage::Format_Grayscale8);
            std::vector<std::uint16_t> row(static_cast<std::size_t>(w));
            for (int y = 0; y < h; ++y) {
                const uchar* s8 = src.constScanLine(y);
                std::copy(s8, s8 + w, row.begin());
                mapRow(row.data(), static_cast<std::size_t>(w), table, shown_.scanLine(y));
            }
        }
    } else {
        const auto table = displayTable(255, 0, 255, brightness_, contrast_, gamma_);
        shown_ = src.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < h; ++y) {
            auto* line = reinterpret_cast<QRgb*>(shown_.scanLine(y));
            for (int x = 0; x < w; ++x) {
                const QRgb c = line[x];
                line[x] = qRgb(table[static_cast<std::size_t>(qRed(c))],
                               table[static_cast<std::size_t>(qGreen(c))],
                               table[static_cast<std::size_t>(qBlue(c))]);
            }
        }
    }
    Image1->showImage(shown_);
}

void FrmCTViewWindow::applyPage(ProcessingPage page) {
    LeadImage& img = Image1->bitmap();
    if (img.isNull()) {
        return;
    }
    GrayBuffer b = img.grayBuffer();
    wirebench::applyPage(page, b);
    img.setGrayBuffer(b);
    lastPage_ = page;
    redraw();
}

void FrmCTViewWindow::reduceTo8Bits() {
    LeadImage& img = Image1->bitmap();
    if (img.isNull() || img.bitsPerPixel() <= 8) {
        return;
    }
    img.convertGray(8);
    windowLo_ = 0;
    windowHi_ = 255;
    redraw();
}

void FrmCTViewWindow::windowLevelDialog() {
    const LeadImage& img = Image1->bitmap();
    if (img.isNull() || !img.isGray() || img.bitsPerPixel() <= 8 ||
        img.significantBits() < kWindowLevelMinBits) {
        return;
    }
    const int white = whiteLevel(img.bitsPerPixel(), img.significantBits(), true);
    QDialog dlg(this);
    named(&dlg, "LEADDlg1");
    dlg.setWindowTitle("Window Level");
    auto* low = named(new QSpinBox, "spnWindowLow");
    auto* high = named(new QSpinBox, "spnWindowHigh");
    for (QSpinBox* s : {low, high}) {
        s->setRange(0, white);
    }
    low->setValue(windowLo_);
    high->setValue(windowHi_);
    auto* form = new QFormLayout(&dlg);
    form->addRow(
        new QLabel(QString("Levels 0 .. %1 shown from black to white between:").arg(white)));
    form->addRow("Low:", low);
    form->addRow("High:", high);
    form->addRow(okCancel(&dlg));
    if (dlg.exec() == QDialog::Accepted) {
        windowLo_ = std::min(low->value(), high->value());
        windowHi_ = std::max(low->value(), high->value());
        redraw();
    }
}

void FrmCTViewWindow::pageDialog(std::uint32_t flag) {
    if (Image1->bitmap().isNull()) {
        return;
    }
    const PageInfo* page = pageByFlag(flag);
    QDialog dlg(this);
    named(&dlg, "LEADDlg1");
    dlg.setProperty("flags", static_cast<qulonglong>(flag));
    auto* layout = new QVBoxLayout(&dlg);
    auto* description = named(new QLabel, "lblDescription");
    description->setWordWrap(true);
    description->setMinimumWidth(360);
    QComboBox* choice = nullptr;
    if (page) {
        dlg.setWindowTitle(page->title);
        description->setText(page->description);
    } else {
        // Further processing: every page to choose from.
        dlg.setWindowTitle("Further processing");
        choice = named(new QComboBox, "cmbPage");
        for (const auto& p : processingPages()) {
            choice->addItem(p.title);
        }
        auto* label = new QLabel("&Processing:");
        label->setBuddy(choice);
        auto* row = new QHBoxLayout;
        row->addWidget(label);
        row->addWidget(choice, 1);
        layout->addLayout(row);
        auto describe = [description, choice] {
            description->setText(
                processingPages()[static_cast<std::size_t>(choice->currentIndex())].description);
        };
        connect(choice, &QComboBox::currentIndexChanged, &dlg, describe);
        describe();
    }
    layout->addWidget(description);
    layout->addWidget(okCancel(&dlg));
    if (dlg.exec() == QDialog::Accepted) {
        const PageInfo& chosen =
            page ? *page : processingPages()[static_cast<std::size_t>(choice->currentIndex())];
        applyPage(chosen.page);
    }
}

void FrmCTViewWindow::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Shift || key == Qt::Key_Control) {
        return;
    }
    if (key == Qt::Key_F1) {
        windowLevelDialog();
        return;
    }
    for (std::size_t i = 0; i < std::size(kPageKeys); ++i) {
        if (key == kPageKeys[i]) {
            pageDialog(processingPages()[i].flag);
            return;
        }
    }
    if (key == Qt::Key_F12) {
        pageDialog(kFurtherProcessingFlag);
        return;
    }
    if (key == Qt::Key_8) {
        reduceTo8Bits();
        return;
    }
    if (key == Qt::Key_H) {
        applyPage(lastPage_);
        return;
    }
    if (key == Qt::Key_Space) {
        retake();
        return;
    }
    accept();
}

void FrmCTViewWindow::mousePressEvent(QMouseEvent* event) {
    pressPos_ = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        accept();
    }
}

void FrmCTViewWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::RightButton)) {
        return;
    }
    const QPoint d = event->position().toPoint() - pressPos_;
    const QSize screenSz = screenSize();
    if (event->modifiers() & Qt::ShiftModifier) {
        gamma_ = gammaFromDrag(d.x(), d.y(), screenSz.width(), screenSz.height());
    } else {
        const DragAdjust a = adjustFromDrag(d.x(), d.y(), screenSz.width(), screenSz.height());
        brightness_ = a.brightness;
        contrast_ = a.contrast;
    }
    redraw();
}

}  // namespace wirebench
