// Template 100: the page above the OK button, the banner attached on the left.
#include "AboutDlg.h"

#include "Artwork.h"
#include "DialogUnits.h"
#include "StringTable.h"

// The page lives in a static library: its resources are registered by hand (outside any
// namespace, as the registration requires).
static void LoadPageResources() {
    Q_INIT_RESOURCE(vanta);
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    LoadPageResources();
    setObjectName("aboutDlg100");
    setWindowTitle(vantastr::kAboutCaption);
    setFont(DialogFont());
    const DialogUnits u(font());
    setFixedSize(u.Size(kWidthDlu, kHeightDlu));

    constexpr int kOkWidthDlu = 50;
    constexpr int kOkHeightDlu = 14;
    constexpr int kMarginDlu = 7;
    m_ok = new QPushButton("OK", this);
    m_ok->setObjectName("buttonOK");
    m_ok->setAccessibleName("OK");
    m_ok->setDefault(true);
    m_ok->setGeometry(u.Rect(kWidthDlu - kMarginDlu - kOkWidthDlu,
                             kHeightDlu - kMarginDlu - kOkHeightDlu, kOkWidthDlu, kOkHeightDlu));
    m_ok->setToolTip(vantastr::kOkTip);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* placeholder = new QWidget(this);
    placeholder->setObjectName(QString("control%1").arg(kPlaceholderId));
    placeholder->setGeometry(0, 0, width(), m_ok->geometry().top() - u.Y(kMarginDlu));

    m_banner = new KCSideBanner;
    m_banner->SetTitle(vantastr::kBannerTitle);
    m_banner->SetCaption(vantastr::kMaker);
    m_banner->Attach(this, KCSideBanner::Left);

    m_page = new CHtmlCtrl;
    m_page->ReplaceControl(placeholder);
    m_page->AddPicture("logo.jpg", artwork::LogoPicture(vantastr::kMaker, 350, 60));
    m_page->AddPicture("vanta_134x100.jpg", artwork::UnitPicture(134, 100));
    m_page->LoadFromResource(":/vanta/ABOUT.HTML");
}
