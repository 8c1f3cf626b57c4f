// Commands, reply handling and field exchange of the shared form view.
#include "ConfigurationView.h"

#include "vantaproto/VTException.h"
#include "vantaproto/VTLog.h"

#include <QRegularExpressionValidator>

#include <windows.h>

#include <utility>

namespace {

constexpr char kIntegerNotice[] = "Please enter an integer.";
constexpr char kRangeNotice[] = "Please enter an integer between %1 and %2.";

}  // namespace

CConfigurationView::CConfigurationView(const ToolTexts& texts, ParameterTable table,
                                       QWidget* parent)
    : QWidget(parent), m_texts(texts), m_table(table), m_units(DialogFont()) {
    setObjectName("formView101");
    setFont(DialogFont());
    const CommunicationProfile profile = CommunicationProfile::Read(m_texts.application);
    m_unitAddress = profile.unitAddress;
    m_unitPort = profile.unitPort;
    m_localPort = profile.localPort;
    BuildForm();
    ShowFields();
}

CConfigurationView::~CConfigurationView() {
    if (m_session)
        CloseSession();
    CommunicationProfile profile;
    profile.unitAddress = m_unitAddress;
    profile.unitPort = m_unitPort;
    profile.localPort = m_localPort;
    profile.Write(m_texts.application);
}

// ---- Form ------------------------------------------------------------------------------------

QLineEdit* CConfigurationView::MakeEdit(QWidget* parent, int id, const QRect& rect,
                                        const QString& name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString("edit%1").arg(id));
    edit->setAccessibleName(name);
    edit->setGeometry(rect);
    return edit;
}

void CConfigurationView::BuildForm() {
    const DialogUnits& u = m_units;
    const QString unit = m_texts.unitName;
    setFixedSize(u.Size(kFormWidthDlu, kFormHeightDlu));

    auto group = [&](const QString& title, int x, int y, int w, int h, const char* name) {
        auto* box = new QGroupBox(title, this);
        box->setObjectName(name);
        box->setGeometry(u.Rect(x, y, w, h));
        return box;
    };
    // Labels are right-aligned and end just before their control.
    auto label = [&](const QString& text, int x, int y, int controlX) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString("label_") + QString(text).remove(' ').remove(':'));
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        l->setGeometry(QRect(u.X(x), u.Y(y) - u.Y(2), u.X(controlX - 3 - x), u.Y(12)));
        return l;
    };
    auto caption = [](const QString& text) { return QString(text).remove(':'); };
    auto digitsOnly = [](QLineEdit* edit) {
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    };

    group(unit + " Response:", 9, 8, 361, 33, "groupResponse");
    label("Unit State:", 18, 21, 65);
    m_unitStateEdit = MakeEdit(this, kUnitStateEdit, u.Rect(65, 20, 60, 12), "Unit State");
    label("Sensor Type:", 133, 21, 184);
    m_sensorTypeEdit = MakeEdit(this, kSensorTypeEdit, u.Rect(184, 20, 60, 12), "Sensor Type");
    label("Error:", 249, 21, 291);
    m_errorEdit = MakeEdit(this, kErrorEdit, u.Rect(291, 20, 60, 12), "Error");

    group("Parameter Configuration:", 9, 49, 361, 58, "groupParameter");
    QLabel* nameLabel = label("Parameter Name:", 13, 65, 81);
    m_parameterBox = new QComboBox(this);
    m_parameterBox->setObjectName(QString("combo%1").arg(kParameterCombo));
    m_parameterBox->setAccessibleName(caption(nameLabel->text()));
    m_parameterBox->setEditable(true);  // a drop-down: the box can hold typed text
    m_parameterBox->setInsertPolicy(QComboBox::NoInsert);
    m_parameterBox->setMaxVisibleItems(u.Y(105 - 12) / std::max(1, fontMetrics().height()));
    m_parameterBox->setGeometry(u.X(81), u.Y(63), u.X(177), u.Y(13));
    nameLabel->setBuddy(m_parameterBox);
    for (const ParameterEntry& row : m_table)
        m_parameterBox->addItem(row.name);
    m_parameterBox->setCurrentIndex(0);
    label("Parameter Value:", 13, 89, 81);
    m_parameterValueEdit =
        MakeEdit(this, kParameterValueEdit, u.Rect(81, 87, 92, 12), "Parameter Value");

    group("Network Configuration:", 9, 114, 361, 57, "groupNetwork");
    label(unit + " IP Address:", 15, 128, 81);
    m_unitAddressEdit =
        MakeEdit(this, kUnitAddressEdit, u.Rect(81, 127, 93, 12), unit + " IP Address");
    label(unit + " Port Number:", 13, 148, 81);
    m_unitPortEdit = MakeEdit(this, kUnitPortEdit, u.Rect(81, 146, 93, 12), unit + " Port Number");
    digitsOnly(m_unitPortEdit);
    label("Local Host IP Address:", 189, 128, 265);
    m_localHostEdit =
        MakeEdit(this, kLocalHostEdit, u.Rect(265, 127, 93, 12), "Local Host IP Address");
    label("Local Host Port Number:", 185, 148, 265);
    m_localPortEdit =
        MakeEdit(this, kLocalPortEdit, u.Rect(265, 146, 93, 12), "Local Host Port Number");
    digitsOnly(m_localPortEdit);

    // Read-only boxes show the dialog face behind their text, as such edits do on the desktop
    // the tool was made for.
    for (QLineEdit* readOnly : {m_unitStateEdit, m_sensorTypeEdit, m_errorEdit, m_localHostEdit}) {
        readOnly->setReadOnly(true);
        QPalette face = readOnly->palette();
        face.setColor(QPalette::Base, face.color(QPalette::Window));
        readOnly->setPalette(face);
        readOnly->setFocusPolicy(Qt::TabFocus);
    }

    // Every change of the network boxes reads the form at once, so the fields hold what is typed.
    for (QLineEdit* network : {m_unitAddressEdit, m_unitPortEdit, m_localPortEdit}) {
        connect(network, &QLineEdit::textChanged, this, [this] {
            if (!m_showingFields)
                UpdateFields(false);
        });
    }
    connect(m_parameterValueEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!m_showingFields)
            m_parameterValue = text;
    });
    connect(m_parameterBox, &QComboBox::currentIndexChanged, this, [this] {
        m_parameterValue.clear();
        m_parameterValueEdit->clear();
        emit sessionChanged();
    });
    connect(m_parameterBox, &QComboBox::editTextChanged, this, [this] { emit sessionChanged(); });
}

int CConfigurationView::SelectedRow() const {
    const int row = m_parameterBox->currentIndex();
    if (row < 0 || row >= static_cast<int>(m_table.size()))
        return -1;
    // Typed text that is not the row's name leaves the list without a selection.
    if (m_parameterBox->currentText() != m_parameterBox->itemText(row))
        return -1;
    return row;
}

QString CConfigurationView::SessionId() const {
    return m_session ? QString::fromStdString(m_session->SessionIdentity().Id()) : QString();
}

bool CConfigurationView::CanChange() const {
    const int row = SelectedRow();
    return m_session && row >= 0 && m_table[static_cast<size_t>(row)].writable;
}

// ---- Field exchange --------------------------------------------------------------------------

bool CConfigurationView::ReadPort(QLineEdit* edit, int& field, bool forStart) {
    const QString text = edit->text().trimmed();
    if (text.isEmpty()) {
        if (!forStart)
            return true;  // being retyped
        ShowMessage(kIntegerNotice, MB_OK | MB_ICONEXCLAMATION);
        edit->setFocus();
        return false;
    }
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < 0 || value > kMaxPort) {
        if (!m_inNotice) {
            m_inNotice = true;
            ShowMessage(QString(kRangeNotice).arg(0).arg(kMaxPort), MB_OK | MB_ICONEXCLAMATION);
            // Refused: the box returns to the value the field holds.
            m_showingFields = true;
            edit->setText(QString::number(field));
            m_showingFields = false;
            edit->setFocus();
            m_inNotice = false;
        }
        return false;
    }
    field = static_cast<int>(value);
    return true;
}

bool CConfigurationView::UpdateFields(bool forStart) {
    m_unitAddress = m_unitAddressEdit->text();
    if (!ReadPort(m_unitPortEdit, m_unitPort, forStart))
        return false;
    if (!ReadPort(m_localPortEdit, m_localPort, forStart))
        return false;
    m_parameterValue = m_parameterValueEdit->text();
    return true;
}

void CConfigurationView::ShowFields() {
    m_showingFields = true;
    auto put = [](QLineEdit* edit, const QString& text) {
        if (edit->text() != text)
            edit->setText(text);
    };
    put(m_unitAddressEdit, m_unitAddress);
    put(m_unitPortEdit, QString::number(m_unitPort));
    put(m_localPortEdit, QString::number(m_localPort));
    put(m_localHostEdit, m_localHost);
    put(m_errorEdit, m_error);
    put(m_sensorTypeEdit, QString::number(m_sensorType));
    put(m_unitStateEdit, m_unitState);
    put(m_parameterValueEdit, m_parameterValue);
    m_showingFields = false;
    emit fieldsShown();
}

// ---- Messages --------------------------------------------------------------------------------

void CConfigurationView::ShowMessage(const QString& text, unsigned type) {
    MessageBoxA(nullptr, text.toLocal8Bit().constData(), m_texts.application, type);
}

void CConfigurationView::ShowProtocolError(const CVTException& e) {
    const bool socketFailure = dynamic_cast<const CVTSocketException*>(&e) != nullptr;
    const QString text = QString(socketFailure ? m_texts.communicationError : m_texts.internalError)
                             .arg(QString::fromLocal8Bit(e.message().c_str()));
    ShowMessage(text, MB_OK | MB_ICONERROR);
}

// ---- Commands --------------------------------------------------------------------------------

void CConfigurationView::OnStartSession() {
    if (!UpdateFields(true))
        return;
    if (m_session)
        return;
    CConfigurationSession* session = nullptr;
    try {
        session = CreateSession();
    } catch (const CVTException& e) {
        ShowProtocolError(e);
        return;
    }
    if (!session)
        return;
    m_session = session;
    m_openGeneration = ++m_generation;
    session->SetOwner(this);
    ShowFields();
    emit sessionChanged();
    Sleep(kStatusAfterStartDelayMs);
    OnStatus();
}

void CConfigurationView::CloseSession() {
    CConfigurationSession* session = std::exchange(m_session, nullptr);
    // From here no reply of this session reaches the form, queued ones included.
    m_openGeneration = 0;
    session->SetOwner(nullptr);
    try {
        session->Stop(1);
    } catch (const CVTException& e) {
        ShowProtocolError(e);
    }
    try {
        delete session;  // may send CLOSE, whose failure is reported; the memory goes anyway
    } catch (const CVTException& e) {
        ShowProtocolError(e);
    }
    m_localHost.clear();
    m_error.clear();
    m_unitState.clear();
    m_sensorType = 0;
}

void CConfigurationView::OnStopSession() {
    if (!m_session)
        return;
    CloseSession();
    ShowFields();
    emit sessionChanged();
}

void CConfigurationView::OnStatus() {
    if (!m_session)
        return;
    try {
        m_session->Status();
    } catch (const CVTException& e) {
        ShowProtocolError(e);
    }
}

void CConfigurationView::OnReadParameter() {
    const int row = SelectedRow();
    if (!m_session || row < 0)
        return;
    try {
        m_session->GetParameter(m_table[static_cast<size_t>(row)].name);
    } catch (const CVTException& e) {
        ShowProtocolError(e);
    }
}

void CConfigurationView::OnChangeParameter() {
    if (!CanChange())
        return;
    const ParameterEntry& row = m_table[static_cast<size_t>(SelectedRow())];
    const QByteArray text = m_parameterValueEdit->text().toLocal8Bit();
    try {
        if (row.textValue) {
            // A line break would add lines to the request: refused before anything is sent.
            m_session->SetParameter(row.name, text.constData());
        } else {
            m_session->SetParameter(row.name, AtoiSaturating(text.toStdString()));
        }
    } catch (const CVTException& e) {
        ShowProtocolError(e);
    }
}

// ---- Replies ---------------------------------------------------------------------------------

void CConfigurationView::ReceiveReply(const EarlyReply& reply) {
    const uint64_t generation = m_openGeneration.load();
    QMetaObject::invokeMethod(
        this, [this, generation, reply] { DeliverReply(generation, reply); }, Qt::QueuedConnection);
}

void CConfigurationView::DeliverReply(uint64_t generation, const EarlyReply& reply) {
    if (generation == 0 || generation != m_openGeneration.load()) {
        ++m_droppedLate;
        VTLOG(vtlog::kSession, "reply of a closed session dropped (%s)", reply.command.c_str());
        return;
    }
    HandleReply(reply);
    ++m_handled;
}

void CConfigurationView::HandleReply(const EarlyReply& reply) {
    if (!m_session) {
        ShowMessage(m_texts.noSessionReply, MB_OK | MB_ICONINFORMATION);
        return;
    }
    if (reply.id != m_session->SessionIdentity().Id()) {
        VTLOG(vtlog::kSession, "%s",
              QString(m_texts.foreignSessionId)
                  .arg(QString::fromStdString(reply.id))
                  .toLocal8Bit()
                  .constData());
        return;
    }
    if (!reply.complete) {
        // What arrived is not the unit's answer: say so instead of showing part of it.
        const QString what = QString(m_texts.incompleteReply).arg(reply.received).arg(reply.length);
        ShowMessage(QString(m_texts.communicationError).arg(what), MB_OK | MB_ICONERROR);
        return;
    }
    ApplyReply(reply);
    ShowFields();
}
