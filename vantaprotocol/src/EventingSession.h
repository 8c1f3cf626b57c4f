// EventingSession: the protocol session whose notifications become the Vanta object's events.
#pragma once

#include <vantaproto/VantaSession.h>

class CVanta;

class EventingSession final : public VantaSession {
public:
    EventingSession(CVanta* owner, const char* unitHost, unsigned short unitPort,
                    unsigned short localPort)
        : VantaSession(unitHost, unitPort, localPort), m_owner(owner) {}
    EventingSession(CVanta* owner, const char* unitHost, unsigned short unitPort,
                    const char* localAddress, unsigned short localPort)
        : VantaSession(unitHost, unitPort, localAddress, localPort), m_owner(owner) {}

protected:
    void OnMessageReceived(const VTRecvCommand& message) override;
    void OnImageDownloadStarted(int32_t declaredLength) override;
    void OnImageDownloadProgress(int32_t chunkBytes) override;
    void OnReceiveError(int32_t) override {}

private:
    CVanta* const m_owner;
};
