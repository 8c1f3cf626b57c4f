// The processing window: histogram with window markers, grey-level remap, read-outs, line profile.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QWidget>

#include "components/leadimage.h"
#include "core/imaging.h"

namespace wirebench {

// The histogram drawing at display size: step curve, remap curve, marker lines, read-out line,
// or the grey values along a line of the image.
class HistoView : public QWidget {
    Q_OBJECT
public:
    explicit HistoView(QWidget* parent = nullptr);
    void setHistogram(const HistogramScale& scale);
    void clearHistogram();
    void setWindow(int lo, int hi, const std::vector<std::uint16_t>& table, int white);
    void setReadout(int level);  // -1: none
    void setProfile(const std::vector<unsigned>& values, int white);
    void clearProfile();
    bool showsProfile() const { return !profile_.empty(); }
    int levels() const { return levels_; }
    // Level under a horizontal position of the drawing.
    int levelAt(int x) const;
    QSize sizeHint() const override { return {512, 220}; }
    QSize minimumSizeHint() const override { return {256, 120}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double xOf(double level) const;
    std::vector<CurvePoint> steps_;
    std::vector<std::uint64_t> drawn_;
    int first_ = 0;
    int last_ = -1;
    std::uint64_t max_ = 1;
    int levels_ = 0;
    int lo_ = -1;
    int hi_ = -1;
    std::vector<std::uint16_t> table_;
    int white_ = 255;
    int readout_ = -1;
    std::vector<unsigned> profile_;
};

// The marker strip under the histogram; the three markers are child shapes it places.
class BorderStrip : public QFrame {
    Q_OBJECT
public:
    explicit BorderStrip(QWidget* parent = nullptr);
    MarkerStrip& markers() { return markers_; }
    void placeShapes();
    QFrame* shape(int i) const { return shpBorder_[i]; }
    QSize sizeHint() const override { return {512, kHeight}; }
    static constexpr int kHeight = 18;
    static constexpr int kMarkerWidth = 9;

signals:
    void moved();
    void resetRequested();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    MarkerStrip markers_{512, kMarkerWidth};
    QFrame* shpBorder_[3] = {};
};

class FrmProcessing : public QWidget {
    Q_OBJECT
public:
    // The window works on a copy of the box's image; space takes it again from the box.
    explicit FrmProcessing(ImageBox* source, QWidget* parent = nullptr);
    void loadFrom(const LeadImage& image);
    void retake();

    // Actions of the window (the controls call them; tests may too).
    void drawHistogram();
    void remap();
    int levels() const { return levels_; }
    int white() const { return white_; }
    int lowLevel() const;
    int highLevel() const;
    bool histogramDrawn() const { return histogramDrawn_; }
    const HistogramScale& scale() const { return scale_; }
    const LeadImage& original() const { return original_; }
    const std::vector<unsigned>& profile() const { return profile_; }
    int readoutLevel() const { return readout_; }

    ImageBox* LEAD1 = nullptr;
    HistoView* HISTO = nullptr;
    QPushButton* cmdHistogram = nullptr;
    QCheckBox* chkHistoDropEdges = nullptr;
    QCheckBox* chkHistoIgnoreFirstQuarter = nullptr;
    QCheckBox* chkHistoIgnorSingleMax = nullptr;
    BorderStrip* BorderMove = nullptr;
    QScrollBar* scrlHistRemapFactor = nullptr;
    QLabel* lblRemap = nullptr;
    QLabel* lblRemapValue = nullptr;
    QPushButton* cmdRemapReset = nullptr;
    QCheckBox* chkOuterrangeBlack = nullptr;
    QCheckBox* chkEnableLineDensity = nullptr;
    QLabel* lblWindow = nullptr;
    QLabel* lblReadout = nullptr;
    QLabel* lblImageInfo = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void readoutAt(int x);
    void endReadout();
    void lineTo(const QPoint& imagePos);
    void showRemapped();

    QPointer<ImageBox> source_;
    LeadImage original_;  // never remapped: every remap starts from it
    std::vector<std::uint32_t> counts_;
    HistogramScale scale_;
    int levels_ = 256;
    int white_ = 255;
    bool histogramDrawn_ = false;
    int readout_ = -1;
    QPoint lineStart_{-1, -1};
    bool lineActive_ = false;
    std::vector<unsigned> profile_;
};

}  // namespace wirebench
