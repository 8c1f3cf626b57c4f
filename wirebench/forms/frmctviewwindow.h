// The view window: an image as large as the screen, display brightness, contrast and gamma by
// mouse, processing pages by function keys.
#pragma once

#include <QDialog>
#include <QPointer>

#include "components/leadimage.h"
#include "core/imaging.h"

namespace wirebench {

class FrmCTViewWindow : public QDialog {
    Q_OBJECT
public:
    // Shows a copy of the box's image; space takes it again from the box.
    explicit FrmCTViewWindow(ImageBox* source, QWidget* parent = nullptr);
    // Sizes the window to its screen.
    void fitScreen();

    int brightness() const { return brightness_; }
    int contrast() const { return contrast_; }
    int gamma() const { return gamma_; }
    int windowLow() const { return windowLo_; }
    int windowHigh() const { return windowHi_; }
    const LeadImage& image() const { return Image1->bitmap(); }
    // The display as painted (for tests and screenshots).
    QImage shown() const { return shown_; }
    // The last page applied (H repeats it).
    ProcessingPage lastPage() const { return lastPage_; }

    // One processing page applied to the shown image (what a dialog's OK does).
    void applyPage(ProcessingPage page);
    // Reduces an image of more than 8 bits to 8 bits per pixel.
    void reduceTo8Bits();
    void retake();

    ImageBox* Image1 = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void loadFrom(const LeadImage& image);
    void redraw();
    void windowLevelDialog();
    void pageDialog(std::uint32_t flag);
    QSize screenSize() const;

    QPointer<ImageBox> source_;
    QPoint pressPos_;
    int brightness_ = 0;
    int contrast_ = 0;
    int gamma_ = kGammaNeutral;
    int windowLo_ = 0;
    int windowHi_ = 255;
    ProcessingPage lastPage_ = ProcessingPage::kSmooth;
    QImage shown_;
};

}  // namespace wirebench
