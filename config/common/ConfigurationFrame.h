// The tools' main frame: fixed size around the form, commands with their enable rules, and the
// status bar with its prompt, session, date and time panes.
#pragma once

#include "ConfigurationView.h"

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMap>
#include <QTimer>

#include <span>

// Command ids the frame knows.
enum CommandId : int {
    kCommandNew = 57600,
    kCommandAbout = 57664,
    kCommandExit = 57665,
    kCommandHelpTopics = 57667,
    kCommandContextHelp = 57669,
    kCommandHelp = 57670,
    kCommandHelpIndex = 57671,
    kCommandStart = 32771,
    kCommandStop = 32772,
    kCommandStatus = 32774,
    kCommandRead = 32775,
    kCommandChange = 32776,
};

struct CommandInfo {
    int id;
    const char* prompt;   // status bar
    const char* tooltip;  // empty: none
};

class CConfigurationFrame : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kClockTimerMs = 1000;  // timer 4096
    static constexpr char kIdlePrompt[] = "For Help, press F1";
    static constexpr char kContextHelpPrompt[] = "Select an object on which to get Help";
    static constexpr char kNoSessions[] = "No Active Sessions.";
    static constexpr char kSessionPaneSample[] = "Id: 12345678911234";

    // Takes ownership of `view`; `title` is the window title made from the document template.
    CConfigurationFrame(CConfigurationView* view, std::span<const CommandInfo> commands,
                        const QString& title, QWidget* parent = nullptr);

    QAction* Action(int id) const { return m_actions.value(id); }
    CConfigurationView* View() const { return m_view; }
    QLabel* SessionPane() const { return m_sessionPane; }
    QLabel* DatePane() const { return m_datePane; }
    QLabel* TimePane() const { return m_timePane; }
    QLabel* PromptPane() const { return m_promptPane; }

    // Recomputes every command's enabled state from the view's state.
    virtual void UpdateCommandUI();
    // Shrinks the frame around the form (never grows it); called once the bars are built.
    void FitToForm();

protected:
    virtual void OnAbout() = 0;
    virtual void OnHelp();
    virtual void OnContextHelp();
    void OnExit();
    void UpdateClock();
    void UpdateSessionPane();
    void closeEvent(QCloseEvent* event) override;

    CConfigurationView* m_view;
    QMap<int, QAction*> m_actions;

private:
    QLabel* m_promptPane = nullptr;
    QLabel* m_sessionPane = nullptr;
    QLabel* m_datePane = nullptr;
    QLabel* m_timePane = nullptr;
    QTimer m_clock;
};
