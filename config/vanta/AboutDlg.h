// The sensor-unit tool's about box: side banner and the HTML about page.
#pragma once

#include "CHtmlCtrl.h"
#include "KCSideBanner.h"

#include <QDialog>
#include <QPushButton>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kWidthDlu = 351;
    static constexpr int kHeightDlu = 260;
    static constexpr int kPlaceholderId = 1000;

    explicit CAboutDlg(QWidget* parent = nullptr);

    KCSideBanner* Banner() const { return m_banner; }
    CHtmlCtrl* Page() const { return m_page; }
    QPushButton* OkButton() const { return m_ok; }

private:
    KCSideBanner* m_banner = nullptr;
    CHtmlCtrl* m_page = nullptr;
    QPushButton* m_ok = nullptr;
};
