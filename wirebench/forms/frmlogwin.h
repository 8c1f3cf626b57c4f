// Large log window: one list filling the window; its close box only hides it.
#pragma once

#include <QListWidget>
#include <QWidget>

namespace wirebench {

class FrmLogWin : public QWidget {
    Q_OBJECT
public:
    FrmLogWin(const QString& caption, const QString& name, QWidget* parent = nullptr);
    void addLine(const QString& line);
    // Closes the window for good (the close box only hides it).
    void unload();
    QListWidget* List1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool unloading_ = false;
};

}  // namespace wirebench
