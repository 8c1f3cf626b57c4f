// Template 201: the page over the whole dialog above OK, the banner attached on the left.
#include "FanfareAboutDlg.h"

#include "DialogUnits.h"
#include "FanfareArtwork.h"

#include <QFrame>

// The page lives in a static library: its resources are registered by hand (outside any
// namespace, as the registration requires).
static void LoadFanfarePageResources() {
    Q_INIT_RESOURCE(fanfare);
}

namespace fanfare {

CAboutDlg::CAboutDlg(const QString& productName, const QString& maker, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_productName(productName) {
    LoadFanfarePageResources();
    setObjectName(kObjectName);
    setAccessibleName(kObjectName);
    setWindowTitle(QString());
    setFont(DialogFont());
    const DialogUnits u(font());
    setFixedSize(u.Size(kWidthDlu, kHeightDlu));

    m_ok = new QPushButton("OK", this);
    m_ok->setObjectName("buttonOK");
    m_ok->setAccessibleName("OK");
    m_ok->setDefault(true);
    m_ok->setGeometry(u.Rect(130, 240, 50, 14));
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* placeholder = new QFrame(this);
    placeholder->setObjectName(QString("control%1").arg(kPlaceholderId));
    placeholder->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    placeholder->setGeometry(u.Rect(0, 0, kWidthDlu, 235));

    m_banner = new KCSideBanner;
    m_banner->SetTitle(productName);
    m_banner->SetCaption(maker);
    m_banner->Attach(this, KCSideBanner::Left);

    m_page = new CHtmlCtrl(nullptr, CHtmlCtrl::AppCommands::Ignore);
    m_page->ReplaceControl(placeholder);
    m_page->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_page->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_page->AddPicture("LOGO.JPG", LogoPicture(maker));
    m_page->AddPicture("VANTA_134X100.JPG", UnitPicture());
    m_page->LoadFromResource(":/fanfare/ABOUT.HTML");
}

}  // namespace fanfare
