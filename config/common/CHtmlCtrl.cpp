// Navigation rule and the application commands of the HTML control.
#include "CHtmlCtrl.h"

#include <QApplication>
#include <QFile>
#include <QMainWindow>
#include <QTextDocument>

#include <windows.h>

CHtmlCtrl::CHtmlCtrl(QWidget* parent, AppCommands appCommands)
    : QTextBrowser(parent), m_appCommands(appCommands) {
    setObjectName("htmlCtrl");
    setAccessibleName("About page");
    setOpenExternalLinks(false);
    setOpenLinks(true);
    setFrameShape(QFrame::NoFrame);
}

void CHtmlCtrl::ReplaceControl(QWidget* placeholder) {
    setParent(placeholder->parentWidget());
    setGeometry(placeholder->geometry());
    delete placeholder;
    show();
}

void CHtmlCtrl::AddPicture(const QString& name, const QImage& picture) {
    document()->addResource(QTextDocument::ImageResource, QUrl(name), picture);
}

bool CHtmlCtrl::LoadFromResource(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    setHtml(QString::fromUtf8(file.readAll()));
    return true;
}

bool CHtmlCtrl::IsAppAddress(const QString& address, QString* command) {
    const QString scheme = kAppScheme;
    if (!address.startsWith(scheme, Qt::CaseInsensitive))
        return false;
    if (command)
        *command = address.mid(scheme.size());
    return true;
}

void CHtmlCtrl::doSetSource(const QUrl& name, QTextDocument::ResourceType type) {
    QString command;
    if (IsAppAddress(name.toString(), &command)) {
        // Cancelled: the page stays as it is.
        if (m_appCommands == AppCommands::Run)
            RunAppCommand(command);
        return;
    }
    QTextBrowser::doSetSource(name, type);
}

void CHtmlCtrl::RunAppCommand(const QString& command) {
    emit appCommand(command);
    if (command == "Minimise") {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMainWindow*>(top)) {
                top->showMinimized();
                return;
            }
        }
        return;
    }
    if (command == "Beep") {
        QApplication::beep();
        return;
    }
    MessageBoxA(nullptr, command.toLocal8Bit().constData(), kUnexpectedCaption,
                MB_OK | MB_ICONQUESTION);
}
