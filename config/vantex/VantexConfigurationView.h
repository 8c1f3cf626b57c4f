// The Ethernet-unit tool's form view: adapter check, session on the address facing the unit,
// the list-dropped flag and its reply rule.
#pragma once

#include "AdapterInfo.h"
#include "ConfigurationView.h"

#include <functional>

class CVantexConfigurationView : public CConfigurationView {
    Q_OBJECT
public:
    using AdapterSourceFactory = std::function<AdapterSource()>;

    explicit CVantexConfigurationView(AdapterSourceFactory adapters = &AdapterSource::System,
                                      QWidget* parent = nullptr);

    bool CanChange() const override;
    bool ListDropped() const { return m_listDropped; }

protected:
    CConfigurationSession* CreateSession() override;
    void ApplyReply(const EarlyReply& reply) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AdapterSourceFactory m_adapters;
    bool m_listDropped = false;
    mutable bool m_changeEnabled = false;  // the state kept while the list is dropped
};
