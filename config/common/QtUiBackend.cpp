// A box asked for on another thread is shown by the GUI thread while the caller waits.
#include "QtUiBackend.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QMessageBox>
#include <QThread>

namespace {
int Show(const winapi::MessageBoxCall& box) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (box.type & MB_ICONMASK) {
        case MB_ICONERROR:
            icon = QMessageBox::Critical;
            break;
        case MB_ICONQUESTION:
            icon = QMessageBox::Question;
            break;
        case MB_ICONWARNING:
            icon = QMessageBox::Warning;
            break;
        case MB_ICONINFORMATION:
            icon = QMessageBox::Information;
            break;
        default:
            break;
    }
    QMessageBox message(icon, QString::fromLocal8Bit(box.caption.c_str()),
                        QString::fromLocal8Bit(box.text.c_str()), QMessageBox::NoButton,
                        QApplication::activeWindow());
    const std::vector<int> ids = winapi::MessageBoxButtons(box.type);
    std::vector<QAbstractButton*> buttons;
    for (int id : ids) {
        const char* label = "OK";
        QMessageBox::ButtonRole role = QMessageBox::AcceptRole;
        switch (id) {
            case IDCANCEL:
                label = "Cancel";
                role = QMessageBox::RejectRole;
                break;
            case IDYES:
                label = "&Yes";
                role = QMessageBox::YesRole;
                break;
            case IDNO:
                label = "&No";
                role = QMessageBox::NoRole;
                break;
            case IDRETRY:
                label = "&Retry";
                break;
            case IDABORT:
                label = "&Abort";
                role = QMessageBox::RejectRole;
                break;
            case IDIGNORE:
                label = "&Ignore";
                break;
            default:
                break;
        }
        buttons.push_back(message.addButton(label, role));
    }
    message.exec();
    for (size_t i = 0; i < buttons.size(); ++i)
        if (message.clickedButton() == buttons[i])
            return ids[i];
    return winapi::DefaultMessageBoxButton(box.type);
}
}  // namespace

int QtUiBackend::ShowMessageBox(const winapi::MessageBoxCall& box) {
    if (!qApp || QThread::currentThread() == qApp->thread())
        return Show(box);
    int result = 0;
    QMetaObject::invokeMethod(
        qApp, [&] { result = Show(box); }, Qt::BlockingQueuedConnection);
    return result;
}
