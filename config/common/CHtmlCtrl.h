// An HTML view used as a plain child control; "app:" addresses are commands, not pages.
#pragma once

#include <QImage>
#include <QMap>
#include <QTextBrowser>
#include <QUrl>

class CHtmlCtrl : public QTextBrowser {
    Q_OBJECT
public:
    // What an "app:" address does: run it as a command (the tools) or cancel it silently.
    enum class AppCommands { Run, Ignore };
    static constexpr char kAppScheme[] = "app:";
    static constexpr char kUnexpectedCaption[] = "Unexpected Command";

    explicit CHtmlCtrl(QWidget* parent = nullptr, AppCommands appCommands = AppCommands::Run);

    // Takes the place of `placeholder` (same rectangle, same parent), which is then destroyed.
    void ReplaceControl(QWidget* placeholder);
    // Pictures the page refers to by name.
    void AddPicture(const QString& name, const QImage& picture);
    // Loads an HTML page held in the program's resources.
    bool LoadFromResource(const QString& resourcePath);
    // Follows an address as a click would.
    void Navigate(const QUrl& address) { setSource(address); }

    // The command an "app:" address carries, matched without regard to case; empty otherwise.
    static bool IsAppAddress(const QString& address, QString* command);

signals:
    void appCommand(const QString& command);

protected:
    void doSetSource(const QUrl& name, QTextDocument::ResourceType type) override;

private:
    void RunAppCommand(const QString& command);
    AppCommands m_appCommands;
};
