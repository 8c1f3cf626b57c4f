// Dialog bar 128: nine CToolButtons, 28 dialog units apart, in a band with a gripper.
#include "MainFrame.h"

#include "Artwork.h"
#include "DialogUnits.h"
#include "FanfareClient.h"
#include "StringTable.h"

#include <QPainter>

namespace {

constexpr int kGlyphPixels = 32;

// A 40 x 40, 24-bit bitmap: the glyph on the transparent colour.
QImage ButtonBitmap(artwork::Glyph glyph) {
    QImage image(CToolButton::kBitmapPixels, CToolButton::kBitmapPixels, QImage::Format_RGB888);
    image.fill(CToolButton::kTransparent);
    QPainter p(&image);
    const int inset = (CToolButton::kBitmapPixels - kGlyphPixels) / 2;
    p.drawPixmap(inset, inset, artwork::ToolGlyph(glyph, kGlyphPixels));
    return image;
}

}  // namespace

CVantexMainFrame::CVantexMainFrame(CVantexConfigurationView::AdapterSourceFactory adapters,
                                   QWidget* parent)
    : CConfigurationFrame(new CVantexConfigurationView(std::move(adapters)), kVantexCommands,
                          vantexstr::kWindowTitle, parent) {
    setWindowIcon(QIcon(QPixmap::fromImage(artwork::ProgramIcon(64))));
    m_band = new QToolBar("Buttons", this);
    m_band->setObjectName("rebarBand");
    m_band->setMovable(true);  // the band's gripper
    m_band->setFloatable(false);
    m_band->setAllowedAreas(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, m_band);

    m_bar = new QWidget;
    m_bar->setObjectName("dialogBar128");
    m_bar->setAccessibleName("Buttons");
    m_bar->setFont(DialogFont());
    const DialogUnits u(m_bar->font());
    m_bar->setFixedSize(u.Size(kBarWidthDlu, kBarHeightDlu));

    struct Place {
        int id;
        artwork::Glyph glyph;
    };
    const Place layout[] = {
        {kCommandExit, artwork::Glyph::Exit},
        {kCommandStart, artwork::Glyph::Start},
        {kCommandStop, artwork::Glyph::Stop},
        {kCommandStatus, artwork::Glyph::Status},
        {kCommandRead, artwork::Glyph::Read},
        {kCommandChange, artwork::Glyph::Change},
        {kCommandAbout, artwork::Glyph::About},
        {kCommandVantexHelp, artwork::Glyph::Help},
        {kCommandContextHelp, artwork::Glyph::ContextHelp},
    };
    int x = 0;
    for (const Place& b : layout) {
        auto* button = new CToolButton(m_bar);
        button->setObjectName(QString("button%1").arg(b.id));
        button->setGeometry(u.Rect(x, 0, kButtonWidthDlu, kButtonHeightDlu));
        button->SetBitmap(ButtonBitmap(b.glyph));
        x += kButtonWidthDlu;
        QAction* action = Action(b.id);
        if (action) {
            button->setToolTip(action->toolTip());
            button->setAccessibleName(action->toolTip());
            button->setEnabled(action->isEnabled());
            connect(button, &QAbstractButton::clicked, action, &QAction::trigger);
            connect(action, &QAction::changed, button,
                    [button, action] { button->setEnabled(action->isEnabled()); });
        }
        m_buttons.insert(b.id, button);
    }
    // The context-help button is there but hidden and disabled.
    if (CToolButton* context = Button(kCommandContextHelp)) {
        context->setEnabled(false);
        context->hide();
        if (QAction* action = Action(kCommandContextHelp))
            disconnect(action, &QAction::changed, context, nullptr);
    }
    m_band->addWidget(m_bar);

    if (QAction* help = Action(kCommandVantexHelp))
        connect(help, &QAction::triggered, this, [this] { CConfigurationFrame::OnHelp(); });
    FitToForm();
}

void CVantexMainFrame::OnAbout() {
    fanfareclient::ShowAbout();
}
