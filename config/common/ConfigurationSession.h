// The tools' session: hands each reply to its owning view, and never after being detached.
#pragma once

#include "vantaproto/EarlySession.h"

#include <mutex>

// What a session hands its replies to. Called on a connection thread, one reply at a time.
class ReplyReceiver {
public:
    virtual ~ReplyReceiver() = default;
    virtual void ReceiveReply(const EarlyReply& reply) = 0;
};

class CConfigurationSession : public EarlyVantaSession {
public:
    using EarlyVantaSession::EarlyVantaSession;
    // Ends the listener before the receiver link goes.
    ~CConfigurationSession() noexcept(false) override;

    // Sets or clears (null) the owning view. Once cleared, no reply reaches the old owner: a
    // hand-over under way finishes before this returns.
    void SetOwner(ReplyReceiver* owner);

protected:
    void OnMessageReceived(const EarlyReply& reply) override;

private:
    ReplyReceiver* m_owner = nullptr;  // guarded by the process-wide reply lock
};

// The lock that hands replies over one at a time across every session of the process.
std::mutex& ReplyHandOverLock();
