// Toolbar 128: Exit | Start Stop | Status | Read | Change | About Context-help.
#include "MainFrame.h"

#include "AboutDlg.h"
#include "Artwork.h"
#include "StringTable.h"
#include "VantaConfigurationView.h"

#include <QToolButton>

CMainFrame::CMainFrame(QWidget* parent)
    : CConfigurationFrame(new CVantaConfigurationView, kVantaCommands, vantastr::kWindowTitle,
                          parent) {
    setWindowIcon(QIcon(QPixmap::fromImage(artwork::ProgramIcon(64))));
    m_toolBar = new QToolBar("Standard", this);
    m_toolBar->setObjectName("toolbar128");
    m_toolBar->setMovable(false);
    m_toolBar->setFloatable(false);
    m_toolBar->setIconSize(QSize(kButtonPixels, kButtonPixels));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    addToolBar(Qt::TopToolBarArea, m_toolBar);

    struct Button {
        int id;
        artwork::Glyph glyph;
    };
    const Button layout[] = {
        {kCommandExit, artwork::Glyph::Exit},
        {0, {}},
        {kCommandStart, artwork::Glyph::Start},
        {kCommandStop, artwork::Glyph::Stop},
        {0, {}},
        {kCommandStatus, artwork::Glyph::Status},
        {0, {}},
        {kCommandRead, artwork::Glyph::Read},
        {0, {}},
        {kCommandChange, artwork::Glyph::Change},
        {0, {}},
        {kCommandAbout, artwork::Glyph::About},
        {kCommandContextHelp, artwork::Glyph::ContextHelp},
    };
    for (const Button& b : layout) {
        if (b.id == 0) {
            m_toolBar->addSeparator();
            continue;
        }
        QAction* action = Action(b.id);
        action->setIcon(QIcon(artwork::ToolGlyph(b.glyph, kButtonPixels)));
        m_toolBar->addAction(action);
        if (QWidget* button = m_toolBar->widgetForAction(action)) {
            button->setObjectName(QString("button%1").arg(b.id));
            button->setAccessibleName(action->toolTip());
        }
    }
    FitToForm();
}

void CMainFrame::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}
