// Fanfare's about dialog: the product name on a side banner beside the about page.
#pragma once

#include "CHtmlCtrl.h"
#include "KCSideBanner.h"

#include <QDialog>
#include <QPushButton>

namespace fanfare {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kWidthDlu = 310;
    static constexpr int kHeightDlu = 257;
    static constexpr int kPlaceholderId = 201;
    static constexpr char kObjectName[] = "fanfareAboutDlg201";

    // `maker` is the banner's caption (string 101).
    CAboutDlg(const QString& productName, const QString& maker, QWidget* parent = nullptr);

    KCSideBanner* Banner() const { return m_banner; }
    CHtmlCtrl* Page() const { return m_page; }
    QPushButton* OkButton() const { return m_ok; }
    const QString& ProductName() const { return m_productName; }

private:
    QString m_productName;
    KCSideBanner* m_banner = nullptr;
    CHtmlCtrl* m_page = nullptr;
    QPushButton* m_ok = nullptr;
};

}  // namespace fanfare
