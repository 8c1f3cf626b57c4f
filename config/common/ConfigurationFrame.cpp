// Commands, enable rules and status panes of the main frame.
#include "ConfigurationFrame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QStatusBar>
#include <QWhatsThis>

#include <windows.h>

#include <ctime>

namespace {
// The C runtime's rendering of the current time in the locale set at start-up.
QString LocaleTime(const char* format) {
    char text[128] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, format, &local);
    return QString::fromLocal8Bit(text);
}

constexpr int kPanePadding = 12;
}  // namespace

CConfigurationFrame::CConfigurationFrame(CConfigurationView* view,
                                         std::span<const CommandInfo> commands,
                                         const QString& title, QWidget* parent)
    : QMainWindow(parent), m_view(view) {
    setObjectName("mainFrame");
    setWindowTitle(title);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setCentralWidget(view);

    for (const CommandInfo& info : commands) {
        auto* action = new QAction(this);
        action->setObjectName(QString("command%1").arg(info.id));
        action->setStatusTip(info.prompt);
        if (info.tooltip && *info.tooltip) {
            action->setToolTip(info.tooltip);
            action->setText(info.tooltip);
        }
        addAction(action);  // reachable by its keys without a menu bar
        m_actions.insert(info.id, action);
    }
    auto on = [this](int id, auto slot) {
        if (QAction* a = Action(id))
            connect(a, &QAction::triggered, this, slot);
    };
    on(kCommandExit, [this] { OnExit(); });
    on(kCommandStart, [this] { m_view->OnStartSession(); });
    on(kCommandStop, [this] { m_view->OnStopSession(); });
    on(kCommandStatus, [this] { m_view->OnStatus(); });
    on(kCommandRead, [this] { m_view->OnReadParameter(); });
    on(kCommandChange, [this] { m_view->OnChangeParameter(); });
    on(kCommandAbout, [this] { OnAbout(); });
    on(kCommandContextHelp, [this] { OnContextHelp(); });
    on(kCommandHelp, [this] { OnHelp(); });
    on(kCommandHelpTopics, [this] { OnHelp(); });
    on(kCommandHelpIndex, [this] { OnHelp(); });
    if (QAction* help = Action(kCommandHelp))
        help->setShortcut(QKeySequence(Qt::Key_F1));
    if (QAction* context = Action(kCommandContextHelp))
        context->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1));

    // Status bar: prompt, session, date, time.
    m_promptPane = new QLabel(kIdlePrompt);
    m_promptPane->setObjectName("panePrompt");
    m_promptPane->setAccessibleName("Prompt");
    statusBar()->addWidget(m_promptPane, 1);
    m_sessionPane = new QLabel(kNoSessions);
    m_sessionPane->setObjectName("paneSession");
    m_sessionPane->setAccessibleName("Session");
    m_sessionPane->setMinimumWidth(
        m_sessionPane->fontMetrics().horizontalAdvance(kSessionPaneSample) + kPanePadding);
    m_datePane = new QLabel;
    m_datePane->setObjectName("paneDate");
    m_datePane->setAccessibleName("Date");
    m_timePane = new QLabel;
    m_timePane->setObjectName("paneTime");
    m_timePane->setAccessibleName("Time");
    for (QLabel* pane : {m_sessionPane, m_datePane, m_timePane}) {
        pane->setFrameShape(QFrame::Panel);
        pane->setFrameShadow(QFrame::Sunken);
        statusBar()->addPermanentWidget(pane);
    }
    statusBar()->setSizeGripEnabled(false);

    connect(&m_clock, &QTimer::timeout, this, [this] {
        UpdateClock();
        if (!QWhatsThis::inWhatsThisMode())
            m_promptPane->setText(kIdlePrompt);
        UpdateCommandUI();
    });
    m_clock.start(kClockTimerMs);
    connect(view, &CConfigurationView::sessionChanged, this, [this] {
        UpdateSessionPane();
        UpdateCommandUI();
    });
    connect(view, &CConfigurationView::fieldsShown, this, [this] { UpdateCommandUI(); });
    UpdateClock();
    UpdateSessionPane();
    UpdateCommandUI();
}

void CConfigurationFrame::FitToForm() {
    adjustSize();
    const QSize fitted = sizeHint();
    setFixedSize(fitted);
}

void CConfigurationFrame::UpdateCommandUI() {
    auto enable = [this](int id, bool on) {
        if (QAction* a = Action(id))
            a->setEnabled(on);
    };
    enable(kCommandStart, m_view->CanStart());
    enable(kCommandStop, m_view->HasSession());
    enable(kCommandStatus, m_view->HasSession());
    enable(kCommandRead, m_view->HasSession());
    enable(kCommandChange, m_view->CanChange());
}

void CConfigurationFrame::UpdateClock() {
    const QString date = LocaleTime("%x");
    const QString time = LocaleTime("%X");
    m_datePane->setText(date);
    m_timePane->setText(time);
    m_datePane->setFixedWidth(m_datePane->fontMetrics().horizontalAdvance(date) + kPanePadding);
    m_timePane->setFixedWidth(m_timePane->fontMetrics().horizontalAdvance(time) + kPanePadding);
}

void CConfigurationFrame::UpdateSessionPane() {
    m_sessionPane->setText(m_view->HasSession() ? QString("Id: %1").arg(m_view->SessionId())
                                                : QString(kNoSessions));
}

void CConfigurationFrame::OnHelp() {
    MessageBoxA(nullptr,
                "Start opens a session with the unit at the address and port below and asks for "
                "its status.\nRead asks for the selected parameter; Change sends the value box "
                "to it.\nStop ends the session.",
                m_view->Texts().application, MB_OK | MB_ICONINFORMATION);
}

void CConfigurationFrame::OnContextHelp() {
    m_promptPane->setText(kContextHelpPrompt);
    QWhatsThis::enterWhatsThisMode();
}

void CConfigurationFrame::OnExit() {
    m_view->OnStopSession();
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void CConfigurationFrame::closeEvent(QCloseEvent* event) {
    event->accept();
}
