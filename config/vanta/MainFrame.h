// The sensor-unit tool's main frame: its toolbar of 32-pixel buttons and its about box.
#pragma once

#include "ConfigurationFrame.h"

#include <QToolBar>

class CMainFrame : public CConfigurationFrame {
    Q_OBJECT
public:
    static constexpr int kButtonPixels = 32;
    explicit CMainFrame(QWidget* parent = nullptr);
    QToolBar* ToolBar() const { return m_toolBar; }

protected:
    void OnAbout() override;

private:
    QToolBar* m_toolBar;
};
