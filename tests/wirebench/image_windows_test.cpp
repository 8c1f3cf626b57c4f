// Window tests of the processing and view windows on 8-, 12- and 16-bit images, by object names.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTimer>
#include <cmath>
#include <functional>

#include "forms/frmctviewwindow.h"
#include "forms/frmprocessing.h"
#include "gui_helpers.h"

namespace wirebench {
namespace {

// A small synthetic radiograph: two crowns over roots, bone texture, a saturated filling and
// seeded noise, at the given depth (significant bits within 16-bit pixels).
LeadImage radiograph(int width, int height, int bits, int significant) {
    LeadImage img;
    img.create(width, height, bits);
    img.setSignificantBits(significant);
    const double white = (1 << significant) - 1;
    GrayBuffer b{width, height, static_cast<int>(white), {}};
    b.pixels.resize(static_cast<std::size_t>(width) * height);
    std::uint32_t seed = 12345;
    auto noise = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return ((seed >> 8) & 0xFFFF) / 65535.0 - 0.5;
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            const double v = double(y) / height;
            double d = 0.15 + 0.05 * std::sin(u * 60) * std::sin(v * 45);  // bone texture
            for (double cx : {0.3, 0.7}) {
                const double crown = std::pow((u - cx) / 0.14, 2) + std::pow((v - 0.35) / 0.2, 2);
                const double root = std::pow((u - cx) / 0.06, 2) + std::pow((v - 0.7) / 0.3, 2);
                if (crown < 1) {
                    d += 0.5 * (1 - crown * 0.3);
                } else if (root < 1) {
                    d += 0.3;
                }
            }
            if (std::pow((u - 0.7) / 0.06, 2) + std::pow((v - 0.3) / 0.06, 2) < 1) {
                d = 1.5;  // metal filling: saturates
            }
            const double value = std::clamp(d * white + noise() * white * 0.03, 0.0, white);
            b.pixels[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint16_t>(std::lround(value));
        }
    }
    img.setGrayBuffer(b);
    return img;
}

class ProcessingWindow : public ::testing::Test {
protected:
    void open(const LeadImage& image) {
        delete w;
        source = std::make_unique<ImageBox>("PCImg");
        source->bitmap() = image;
        w = new FrmProcessing(source.get());
        w->show();
        QCoreApplication::processEvents();
    }
    void TearDown() override { delete w; }
    // Strip position of the left edge of a marker.
    QPoint markerAt(int i) const {
        return {w->BorderMove->markers().position(i) + BorderStrip::kMarkerWidth / 2,
                BorderStrip::kHeight / 2};
    }
    std::unique_ptr<ImageBox> source;
    FrmProcessing* w = nullptr;
};

TEST_F(ProcessingWindow, ControlsByNameWithTheirCaptions) {
    open(radiograph(200, 150, 8, 8));
    EXPECT_EQ(w->windowTitle(), "Image Processing");
    const std::pair<const char*, const char*> captions[] = {
        {"cmdHistogram", "draw Histogram"},
        {"chkHistoDropEdges", "drop Edges"},
        {"chkHistoIgnoreFirstQuarter", "ignore first 1/4"},
        {"chkHistoIgnorSingleMax", "ignore signle Maximum"},
        {"chkOuterrangeBlack", "set values outside range to black"},
        {"chkEnableLineDensity", "enable line density draw"},
    };
    for (const auto& [name, caption] : captions) {
        auto* b = w->findChild<QAbstractButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->text(), caption);
        EXPECT_EQ(b->accessibleName(), name);
    }
    for (const char* name : {"LEAD1", "HISTO", "BorderMove", "shpBorder0", "shpBorder1",
                             "shpBorder2", "scrlHistRemapFactor", "lblRemap", "cmdRemapReset"}) {
        EXPECT_NE(w->findChild<QWidget*>(name), nullptr) << name;
    }
    EXPECT_EQ(w->lblRemap->text(), "Gamma");
    EXPECT_EQ(w->scrlHistRemapFactor->minimum(), 1);
    EXPECT_EQ(w->scrlHistRemapFactor->maximum(), 1000);
    EXPECT_EQ(w->scrlHistRemapFactor->value(), 100);
    // Markers at the ends read as the whole range.
    EXPECT_EQ(w->lowLevel(), 0);
    EXPECT_EQ(w->highLevel(), 255);
}

TEST_F(ProcessingWindow, HistogramLevelsAndCheckBoxes) {
    LeadImage img = radiograph(200, 150, 8, 8);
    GrayBuffer b = img.grayBuffer();
    for (std::size_t i = 0; i < b.pixels.size() * 3 / 4; ++i) {
        b.pixels[i] = 0;  // most pixels at level 0
    }
    img.setGrayBuffer(b);
    open(img);
    // The check boxes redraw only once a histogram was drawn.
    w->chkHistoDropEdges->click();
    EXPECT_FALSE(w->histogramDrawn());
    w->cmdHistogram->click();
    ASSERT_TRUE(w->histogramDrawn());
    EXPECT_EQ(w->scale().first, 1);
    EXPECT_NE(w->scale().peak, 0);
    EXPECT_LT(w->scale().max, 200u * 150 / 4);
    w->chkHistoDropEdges->click();
    EXPECT_EQ(w->scale().peak, 0);
    EXPECT_EQ(w->scale().max, img.histogram()[0]);

    open(radiograph(300, 200, 16, 12));
    w->cmdHistogram->click();
    EXPECT_EQ(w->levels(), 4096);
    EXPECT_EQ(w->highLevel(), 4095);
    open(radiograph(300, 200, 16, 16));
    w->cmdHistogram->click();
    EXPECT_EQ(w->levels(), 65536);
    EXPECT_LE(w->HISTO->width(), 2000) << "drawn at display size";
}

TEST_F(ProcessingWindow, RemapFromTheUntouchedCopyAndTheMainImageStays) {
    const LeadImage img = radiograph(240, 180, 16, 12);
    open(img);
    w->cmdHistogram->click();
    // Factor 100 with the markers at the ends: unchanged.
    EXPECT_EQ(w->LEAD1->bitmap().image(), img.image());
    // Lower marker to a quarter, upper to three quarters (by dragging on the strip).
    const int maxPos = w->BorderMove->width() - BorderStrip::kMarkerWidth;
    drag(w->BorderMove, markerAt(0), markerAt(0) + QPoint(maxPos / 4, 0));
    drag(w->BorderMove, markerAt(2), markerAt(2) - QPoint(maxPos / 4, 0));
    const int lo = w->lowLevel();
    const int hi = w->highLevel();
    EXPECT_NEAR(lo, 1024, 30);
    EXPECT_NEAR(hi, 3071, 30);
    EXPECT_EQ(w->BorderMove->shape(1)->x(),
              (w->BorderMove->markers().position(0) + w->BorderMove->markers().position(2)) / 2);
    auto expectOutside = [&](unsigned above) {
        const auto& out = w->LEAD1->bitmap();
        int checked = 0;
        for (int y = 0; y < img.height(); y += 3) {
            for (int x = 0; x < img.width(); x += 3) {
                const unsigned v = img.value(x, y);
                if (v < static_cast<unsigned>(lo)) {
                    ASSERT_EQ(out.value(x, y), 0u);
                    ++checked;
                } else if (v > static_cast<unsigned>(hi)) {
                    ASSERT_EQ(out.value(x, y), above);
                    ++checked;
                }
            }
        }
        EXPECT_GT(checked, 0);
    };
    expectOutside(4095);
    w->chkOuterrangeBlack->click();
    expectOutside(0);
    w->chkOuterrangeBlack->click();
    // Factors up and down, then back: the same picture as the first remap (nothing compounds).
    const QImage once = w->LEAD1->bitmap().image();
    w->scrlHistRemapFactor->setValue(300);
    w->scrlHistRemapFactor->setValue(20);
    w->cmdRemapReset->click();
    EXPECT_EQ(w->scrlHistRemapFactor->value(), 100);
    EXPECT_EQ(w->LEAD1->bitmap().image(), once);
    // The middle marker moves the window; a double-click resets it and the image is unchanged.
    const int width = hi - lo;
    drag(w->BorderMove, markerAt(1), markerAt(1) + QPoint(2 * maxPos, 0));
    EXPECT_EQ(w->highLevel(), 4095);
    EXPECT_NEAR(w->highLevel() - w->lowLevel(), width, 30);
    mouse(w->BorderMove, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(w->lowLevel(), 0);
    EXPECT_EQ(w->highLevel(), 4095);
    EXPECT_EQ(w->LEAD1->bitmap().image(), img.image());
    EXPECT_EQ(source->bitmap().image(), img.image()) << "the main window's image is not touched";
}

TEST_F(ProcessingWindow, ReadOutLineDensityAndScreenshots) {
    struct Case {
        int bits, significant;
        const char* name;
    } cases[] = {{8, 8, "8bit"}, {16, 12, "12bit"}, {16, 16, "16bit"}};
    for (const auto& c : cases) {
        const LeadImage img = radiograph(400, 300, c.bits, c.significant);
        open(img);
        w->cmdHistogram->click();
        w->chkHistoDropEdges->click();
        const int maxPos = w->BorderMove->width() - BorderStrip::kMarkerWidth;
        drag(w->BorderMove, markerAt(0), markerAt(0) + QPoint(maxPos / 8, 0));
        drag(w->BorderMove, markerAt(2), markerAt(2) - QPoint(maxPos / 3, 0));
        w->scrlHistRemapFactor->setValue(150);
        screenshot(w, QString("frmProcessing-%1-remapped").arg(c.name));

        // Read-out: a press on the histogram marks the level and highlights its pixels.
        // At the histogram's peak, so that highlighted pixels show.
        const int peakX =
            static_cast<int>((w->scale().peak + 0.5) * (w->HISTO->width() - 1) / w->levels());
        const QPoint at(peakX, w->HISTO->height() / 2);
        mouse(w->HISTO, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
        const int level = w->readoutLevel();
        EXPECT_EQ(level, w->HISTO->levelAt(at.x()));
        EXPECT_TRUE(w->lblReadout->text().startsWith(QString::number(level) + ":"))
            << w->lblReadout->text().toStdString();
        screenshot(w, QString("frmProcessing-%1-readout").arg(c.name));
        mouse(w->HISTO, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);

        // Line density: the grey values along the line, sampled from the picture, which keeps
        // its pixels.
        w->chkEnableLineDensity->click();
        const QImage before = w->LEAD1->bitmap().image();
        const QRect r = w->LEAD1->imageRect();
        drag(w->LEAD1, r.topLeft() + QPoint(r.width() / 10, r.height() / 2),
             r.topLeft() + QPoint(r.width() * 9 / 10, r.height() / 2));
        ASSERT_GT(w->profile().size(), 100u) << c.name;
        EXPECT_TRUE(w->HISTO->showsProfile());
        EXPECT_EQ(w->LEAD1->bitmap().image(), before);
        const QPoint p0 = w->LEAD1->toImage(r.topLeft() + QPoint(r.width() / 10, r.height() / 2));
        EXPECT_EQ(w->profile().front(), w->LEAD1->bitmap().value(p0.x(), p0.y()));
        screenshot(w, QString("frmProcessing-%1-linedensity").arg(c.name));
        delete w;
        w = nullptr;
    }
}

TEST_F(ProcessingWindow, ColourImageIsWorkedOnByItsLuminanceAndSpaceRetakes) {
    LeadImage colour;
    colour.create(64, 48, 24);
    colour.fill(qRgb(200, 40, 10));
    open(colour);
    w->cmdHistogram->click();
    EXPECT_EQ(w->levels(), 256);
    EXPECT_EQ(w->original().bitsPerPixel(), 8);
    EXPECT_TRUE(w->lblImageInfo->text().contains("luminance"));
    // Space takes the image again from the main box.
    source->bitmap() = radiograph(80, 60, 16, 12);
    key(w, Qt::Key_Space);
    EXPECT_EQ(w->levels(), 4096);
    EXPECT_EQ(w->original().width(), 80);
    EXPECT_FALSE(w->histogramDrawn());
    // An empty box: drawing does nothing.
    source->bitmap().free();
    key(w, Qt::Key_Space);
    w->cmdHistogram->click();
    EXPECT_FALSE(w->histogramDrawn());
}

class ViewWindow : public ::testing::Test {
protected:
    void open(const LeadImage& image) {
        source = std::make_unique<ImageBox>("SensorImg");
        source->bitmap() = image;
        w = std::make_unique<FrmCTViewWindow>(source.get());
        w->fitScreen();
        w->show();
        QCoreApplication::processEvents();
    }
    std::unique_ptr<ImageBox> source;
    std::unique_ptr<FrmCTViewWindow> w;
};

TEST_F(ViewWindow, DragsSetBrightnessContrastAndGamma) {
    open(radiograph(400, 300, 16, 12));
    const QSize screen = w->size();
    ASSERT_GT(screen.width(), 100);
    const QPoint start(screen.width() / 4, screen.height() / 2);
    // Right-drag half a screen to the right: the first adjustment at its top.
    drag(w.get(), start, start + QPoint(screen.width() / 2, 0), Qt::RightButton);
    EXPECT_EQ(w->brightness(), 1000);
    EXPECT_EQ(w->contrast(), 0);
    drag(w.get(), start, start + QPoint(0, screen.height() / 4), Qt::RightButton);
    EXPECT_EQ(w->contrast(), 500);
    EXPECT_TRUE(w->isVisible()) << "right presses do not close";
    // Shift right-drag: gamma; back to the press point: 100 again.
    mouse(w.get(), QEvent::MouseButtonPress, start, Qt::RightButton, Qt::RightButton,
          Qt::ShiftModifier);
    mouse(w.get(), QEvent::MouseMove, start + QPoint(screen.width() / 4, 0), Qt::NoButton,
          Qt::RightButton, Qt::ShiftModifier);
    EXPECT_GT(w->gamma(), 400);
    screenshot(w.get(), "frmCTViewWindow-after-gamma-drag");
    mouse(w.get(), QEvent::MouseMove, start, Qt::NoButton, Qt::RightButton, Qt::ShiftModifier);
    EXPECT_EQ(w->gamma(), 100);
    // The pixels never change by a display adjustment.
    EXPECT_EQ(w->image().image(), source->bitmap().image());
    // Space resets the adjustments.
    key(w.get(), Qt::Key_Space);
    EXPECT_EQ(w->brightness(), 0);
    EXPECT_EQ(w->contrast(), 0);
    EXPECT_EQ(w->gamma(), 100);
}

TEST_F(ViewWindow, KeysOpenTheirPagesAndOthersClose) {
    open(radiograph(120, 90, 16, 12));
    const std::uint32_t flags[] = {0xC2000100, 0xC2000200, 0xC2000800, 0xC2001000, 0xC2002000,
                                   0xC2000001, 0xC2000002, 0xC2000004, 0xC2000008, 0xC2000010};
    const int keys[] = {Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F5,  Qt::Key_F6,
                        Qt::Key_F7, Qt::Key_F8, Qt::Key_F9, Qt::Key_F10, Qt::Key_F11};
    for (std::size_t i = 0; i < 10; ++i) {
        std::uint32_t seen = 0;
        onModal([&seen](QWidget* m) {
            EXPECT_EQ(m->objectName(), "LEADDlg1");
            seen = static_cast<std::uint32_t>(m->property("flags").toULongLong());
            static_cast<QDialog*>(m)->reject();
        });
        key(w.get(), keys[i]);
        EXPECT_EQ(seen, flags[i]) << "F" << (i + 2);
    }
    EXPECT_EQ(w->image().image(), source->bitmap().image()) << "cancel changes nothing";
    // F7 with OK: the inverted picture is shown.
    onModal([](QWidget* m) { static_cast<QDialog*>(m)->accept(); });
    key(w.get(), Qt::Key_F7);
    EXPECT_EQ(w->image().value(5, 5), 4095 - source->bitmap().value(5, 5));
    // H repeats the last page: inverted twice is the original.
    key(w.get(), Qt::Key_H);
    EXPECT_EQ(w->image().image(), source->bitmap().image());
    // F12: every page to choose from.
    onModal([](QWidget* m) {
        EXPECT_EQ(m->property("flags").toULongLong(), 0xC2000000u);
        auto* choice = m->findChild<QComboBox*>("cmbPage");
        ASSERT_NE(choice, nullptr);
        choice->setCurrentIndex(9);  // mirror
        static_cast<QDialog*>(m)->accept();
    });
    key(w.get(), Qt::Key_F12);
    EXPECT_EQ(w->image().value(0, 7), source->bitmap().value(119, 7));
    // F1: the window for 12-bit images, preset with the current one.
    onModal([](QWidget* m) {
        auto* low = m->findChild<QSpinBox*>("spnWindowLow");
        auto* high = m->findChild<QSpinBox*>("spnWindowHigh");
        ASSERT_TRUE(low && high);
        EXPECT_EQ(low->value(), 0);
        EXPECT_EQ(high->value(), 4095);
        low->setValue(500);
        high->setValue(1500);
        static_cast<QDialog*>(m)->accept();
    });
    key(w.get(), Qt::Key_F1);
    EXPECT_EQ(w->windowLow(), 500);
    EXPECT_EQ(w->windowHigh(), 1500);
    // 8: reduced to 8 bits.
    key(w.get(), Qt::Key_8);
    EXPECT_EQ(w->image().bitsPerPixel(), 8);
    key(w.get(), Qt::Key_F1);  // no window dialog at 8 bits: nothing happens
    // Shift and control do nothing; any other key closes.
    key(w.get(), Qt::Key_Shift, Qt::ShiftModifier);
    key(w.get(), Qt::Key_Control, Qt::ControlModifier);
    EXPECT_TRUE(w->isVisible());
    key(w.get(), Qt::Key_Q);
    EXPECT_FALSE(w->isVisible());
    // A left press closes too.
    open(radiograph(60, 40, 8, 8));
    mouse(w.get(), QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_FALSE(w->isVisible());
}

}  // namespace
}  // namespace wirebench
