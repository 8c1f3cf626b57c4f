// The sensor-unit tool's form view: its session and how a reply fills the form.
#pragma once

#include "ConfigurationView.h"

class CVantaConfigurationView : public CConfigurationView {
    Q_OBJECT
public:
    explicit CVantaConfigurationView(QWidget* parent = nullptr);

protected:
    CConfigurationSession* CreateSession() override;
    void ApplyReply(const EarlyReply& reply) override;
};
