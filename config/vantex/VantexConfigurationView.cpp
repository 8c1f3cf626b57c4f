// Start checks the adapters and the address facing the unit; replies clear the value on status.
#include "VantexConfigurationView.h"

#include "StringTable.h"

#include "vantaproto/VTMessage.h"

#include <QAbstractItemView>
#include <QEvent>

CVantexConfigurationView::CVantexConfigurationView(AdapterSourceFactory adapters, QWidget* parent)
    : CConfigurationView(kVantexTexts, kVantexParameters, parent), m_adapters(std::move(adapters)) {
    // The unit port is only ever the profile's.
    m_unitPortEdit->setEnabled(false);
    // The list's pop-up tells when it is open.
    if (QWidget* popup = m_parameterBox->view()->window())
        popup->installEventFilter(this);
}

bool CVantexConfigurationView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show)
        m_listDropped = true;
    else if (event->type() == QEvent::Hide)
        m_listDropped = false;
    return CConfigurationView::eventFilter(watched, event);
}

bool CVantexConfigurationView::CanChange() const {
    if (!m_listDropped)
        m_changeEnabled = CConfigurationView::CanChange();
    return m_changeEnabled;
}

CConfigurationSession* CVantexConfigurationView::CreateSession() {
    AdapterInfo adapters(m_adapters ? m_adapters() : AdapterSource{});
    if (adapters.AdapterCount() == 0) {
        ShowMessage(vantexstr::kNoNetworkCards, MB_OK);
        return nullptr;
    }
    std::string local;
    if (!adapters.LocalAddressTowards(m_unitAddress.toStdString(), local)) {
        ShowMessage(vantexstr::kNoLocalAddress, MB_OK);
        return nullptr;
    }
    m_localHost = QString::fromStdString(local);
    const QByteArray address = m_unitAddress.toLocal8Bit();
    return new CConfigurationSession(EarlySessionForm::kEthernetUnitTool, address.constData(),
                                     static_cast<unsigned short>(m_unitPort), local.c_str(),
                                     static_cast<unsigned short>(m_localPort));
}

void CVantexConfigurationView::ApplyReply(const EarlyReply& reply) {
    const bool statusKind = reply.command == vtwire::kCommandStatus || !reply.valid;
    if (statusKind) {
        m_error = QString::fromLocal8Bit(reply.error.c_str());
        m_sensorType = reply.sensor;
        m_unitState = QString::fromLocal8Bit(reply.state.c_str());
        m_parameterValue.clear();
    } else if (reply.command != vtwire::kCommandCapture) {
        m_error = QString::fromLocal8Bit(reply.error.c_str());
        m_parameterValue = QString::fromLocal8Bit(reply.parameterValue.c_str());
    }
}
