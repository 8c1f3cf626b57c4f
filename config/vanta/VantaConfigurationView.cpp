// Session creation on any local address and the reply rule of the sensor-unit tool.
#include "VantaConfigurationView.h"

#include "StringTable.h"

#include "vantaproto/VTMessage.h"

CVantaConfigurationView::CVantaConfigurationView(QWidget* parent)
    : CConfigurationView(kVantaTexts, kVantaParameters, parent) {}

CConfigurationSession* CVantaConfigurationView::CreateSession() {
    const QByteArray address = m_unitAddress.toLocal8Bit();
    auto* session = new CConfigurationSession(
        EarlySessionForm::kSensorUnitTool, address.constData(),
        static_cast<unsigned short>(m_unitPort), nullptr, static_cast<unsigned short>(m_localPort));
    // The address the unit is told to answer to: the one facing it.
    m_localHost = QString::fromStdString(session->ReplyAddress().DottedText());
    return session;
}

void CVantaConfigurationView::ApplyReply(const EarlyReply& reply) {
    const bool statusKind = reply.command == vtwire::kCommandStatus || !reply.valid;
    if (statusKind) {
        m_error = QString::fromLocal8Bit(reply.error.c_str());
        m_sensorType = reply.sensor;
        m_unitState = QString::fromLocal8Bit(reply.state.c_str());
    } else {
        m_parameterValue = QString::fromLocal8Bit(reply.parameterValue.c_str());
    }
}
