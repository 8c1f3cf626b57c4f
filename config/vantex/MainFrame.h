// The Ethernet-unit tool's main frame: the button bar in a band at the top, about through Fanfare.
#pragma once

#include "ConfigurationFrame.h"
#include "ToolButton.h"
#include "VantexConfigurationView.h"

#include <QMap>
#include <QToolBar>

class CVantexMainFrame : public CConfigurationFrame {
    Q_OBJECT
public:
    static constexpr int kBarWidthDlu = 328;
    static constexpr int kBarHeightDlu = 26;
    static constexpr int kButtonWidthDlu = 28;
    static constexpr int kButtonHeightDlu = 26;

    explicit CVantexMainFrame(
        CVantexConfigurationView::AdapterSourceFactory adapters = &AdapterSource::System,
        QWidget* parent = nullptr);

    QToolBar* Band() const { return m_band; }
    QWidget* ButtonBar() const { return m_bar; }
    CToolButton* Button(int id) const { return m_buttons.value(id); }

protected:
    void OnAbout() override;
    // 57670 (F1) and 57669 do nothing in this tool; 32784 opens the help.
    void OnHelp() override {}
    void OnContextHelp() override {}

private:
    QToolBar* m_band;
    QWidget* m_bar;
    QMap<int, CToolButton*> m_buttons;
};
