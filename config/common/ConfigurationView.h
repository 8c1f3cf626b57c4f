// The form view both tools are built on: template 101, the session and the displayed values.
#pragma once

#include "ConfigurationSession.h"
#include "DialogUnits.h"
#include "ParameterTable.h"
#include "Profile.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>

// Texts of one tool that the shared form uses.
struct ToolTexts {
    const char* unitName;            // "Vanta", "Vantex": in labels
    const char* application;         // profile application name and message box caption
    const char* noSessionReply;      // 135
    const char* communicationError;  // 131 "Communication Error: %1"
    const char* internalError;       // 132 "Internal Application Error: %1"
    const char* foreignSessionId;    // 136, logged only
    const char* incompleteReply;     // "%1" received bytes, "%2" declared bytes
};

// Control ids of template 101.
enum FormControl : int {
    kUnitAddressEdit = 1005,
    kUnitPortEdit = 1006,
    kLocalHostEdit = 1007,
    kLocalPortEdit = 1008,
    kParameterCombo = 1010,
    kParameterValueEdit = 1013,
    kUnitStateEdit = 1024,
    kSensorTypeEdit = 1025,
    kErrorEdit = 1026,
};

class CConfigurationView : public QWidget, public ReplyReceiver {
    Q_OBJECT
public:
    static constexpr int kFormWidthDlu = 381;
    static constexpr int kFormHeightDlu = 182;
    static constexpr DWORD kStatusAfterStartDelayMs = 200;
    static constexpr int kMaxPort = 65535;

    CConfigurationView(const ToolTexts& texts, ParameterTable table, QWidget* parent = nullptr);
    // Stops an open session (errors shown), then writes the profile from the fields.
    ~CConfigurationView() override;

    // Commands. Each is guarded: protocol failures are shown and the tool goes on.
    void OnStartSession();
    void OnStopSession();
    void OnStatus();
    void OnReadParameter();
    void OnChangeParameter();

    // Enable rules.
    bool CanStart() const { return !m_session; }
    bool HasSession() const { return m_session != nullptr; }
    virtual bool CanChange() const;

    // Reads every field from its control; false (with the notice shown) when a port is out of
    // range or not a number. An empty port box keeps the field as it was while typing.
    bool UpdateFields(bool forStart);
    // Writes every field to its control.
    void ShowFields();

    // Row of the selection in the list, or -1 when the box holds no row of the list.
    int SelectedRow() const;
    QString SessionId() const;
    QComboBox* ParameterBox() const { return m_parameterBox; }
    QString ParameterValue() const { return m_parameterValue; }
    const ToolTexts& Texts() const { return m_texts; }
    // Replies dropped because their session was being or had been closed (diagnostic, tests).
    int DroppedLateReplies() const { return m_droppedLate; }
    // Replies that reached the handler, whatever it did with them (tests wait on it).
    int HandledReplies() const { return m_handled; }

    // Reply handler, on the GUI thread.
    void HandleReply(const EarlyReply& reply);

signals:
    void sessionChanged();
    void fieldsShown();

protected:
    // Creates the tool's session (null when a check refused to start, its message shown).
    virtual CConfigurationSession* CreateSession() = 0;
    // Step 3 of the reply handling: which fields the reply sets.
    virtual void ApplyReply(const EarlyReply& reply) = 0;
    // Connection thread: hands the reply to the GUI thread, tagged with its session.
    void ReceiveReply(const EarlyReply& reply) override;

    void ShowProtocolError(const class CVTException& e);
    void ShowMessage(const QString& text, unsigned type);
    void BuildForm();
    QLineEdit* MakeEdit(QWidget* parent, int id, const QRect& rect, const QString& name);

    // Fields, in form order.
    QString m_unitAddress;
    int m_unitPort = CommunicationProfile::kDefaultUnitPort;
    int m_localPort = CommunicationProfile::kDefaultLocalPort;
    QString m_localHost;
    QString m_error;
    int m_sensorType = 0;
    QString m_unitState;
    QString m_parameterValue;
    CConfigurationSession* m_session = nullptr;  // raw: its destructor may throw

    const ToolTexts& m_texts;
    ParameterTable m_table;
    DialogUnits m_units;
    QLineEdit* m_unitAddressEdit = nullptr;
    QLineEdit* m_unitPortEdit = nullptr;
    QLineEdit* m_localHostEdit = nullptr;
    QLineEdit* m_localPortEdit = nullptr;
    QLineEdit* m_errorEdit = nullptr;
    QLineEdit* m_sensorTypeEdit = nullptr;
    QLineEdit* m_unitStateEdit = nullptr;
    QLineEdit* m_parameterValueEdit = nullptr;
    QComboBox* m_parameterBox = nullptr;
    QLabel* m_responseGroupLabel = nullptr;

private:
    void CloseSession();
    void DeliverReply(uint64_t generation, const EarlyReply& reply);
    bool ReadPort(QLineEdit* edit, int& field, bool forStart);

    // Each opened session gets a new generation; replies carry the one they came from.
    std::atomic<uint64_t> m_generation{0};
    std::atomic<uint64_t> m_openGeneration{0};  // 0: no session accepting replies
    int m_droppedLate = 0;
    int m_handled = 0;
    bool m_showingFields = false;
    bool m_inNotice = false;
};
