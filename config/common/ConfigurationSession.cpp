// Hand-over of replies from connection threads to the owning view.
#include "ConfigurationSession.h"

std::mutex& ReplyHandOverLock() {
    static std::mutex m;
    return m;
}

CConfigurationSession::~CConfigurationSession() noexcept(false) {
    SetOwner(nullptr);
    EndListener();
}

void CConfigurationSession::SetOwner(ReplyReceiver* owner) {
    std::lock_guard<std::mutex> guard(ReplyHandOverLock());
    m_owner = owner;
}

void CConfigurationSession::OnMessageReceived(const EarlyReply& reply) {
    std::lock_guard<std::mutex> guard(ReplyHandOverLock());
    if (m_owner)
        m_owner->ReceiveReply(reply);
}
