// Large log window: one list filling the window; its close box only hides it.
#include "frmlogwin.h"

#include <QCloseEvent>
#include <QMouseEvent>

namespace wirebench {

FrmLogWin::FrmLogWin(const QString& caption, const QString& name, QWidget* parent)
    : QWidget(parent, Qt::Window) {
    setObjectName(name);
    setAccessibleName(name);
    setWindowTitle(caption);
    List1 = new QListWidget(this);
    List1->setObjectName("List1");
    List1->setAccessibleName("List1");
    List1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(List1, &QWidget::customContextMenuRequested, List1, &QListWidget::clear);
    resize(480, 360);
}

void FrmLogWin::addLine(const QString& line) {
    List1->addItem(line);
    List1->setCurrentRow(List1->count() - 1);
}

void FrmLogWin::unload() {
    unloading_ = true;
    close();
}

void FrmLogWin::closeEvent(QCloseEvent* event) {
    if (unloading_) {
        event->accept();
        return;
    }
    event->ignore();
    hide();
}

void FrmLogWin::resizeEvent(QResizeEvent* event) {
    List1->setGeometry(0, 0, width(), height());
    QWidget::resizeEvent(event);
}

}  // namespace wirebench
