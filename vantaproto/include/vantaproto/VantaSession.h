// A conversation with one unit: the session id, the reply listener and its connection threads,
// and the command operations.
#pragma once

#include "vantaproto/VTMessage.h"
#include "vantaproto/VTReplyReader.h"
#include "vantaproto/VTSocket.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class VantaSession {
public:
    static constexpr DWORD kListenerStartTimeoutMs = 4000;
    static constexpr int kListenerSelectSeconds = 5;
    static constexpr DWORD kListenerIdleWaitMs = 300;
    static constexpr int kMaxConnectionThreads = 64;
    static constexpr DWORD kConnectionShutdownWaitMs = 3000;
    static constexpr DWORD kStopSleepMs = 500;
    static constexpr DWORD kStopListenerWaitMs = 2000;
    static constexpr DWORD kDestroyListenerWaitMs = 4000;
    // A reply connection may stay silent this long between bytes...
    static constexpr DWORD kReplyIdleTimeoutMs = 30000;
    // ...and must be read completely within this long (the largest image at 40 KB/s).
    static constexpr DWORD kReplyMaxDurationMs = 120000;

    // What the session saw, for tools and tests.
    struct Counters {
        std::atomic<uint32_t> replies{0};        // messages delivered
        std::atomic<uint64_t> bodyBytes{0};      // body bytes of delivered messages
        std::atomic<uint32_t> receiveErrors{0};  // receive-error notifications
        std::atomic<uint32_t> dropped{0};        // replies dropped without notification
        std::atomic<uint32_t> connections{0};    // reply connections accepted
    };

    // How one reply connection ended, with the id its header carried: lets a derived session
    // tell its own replies that failed from strangers on its reply port.
    struct ReplyConnectionEnd {
        VTReplyOutcome outcome = VTReplyOutcome::ReceiveError;
        bool aborted = false;      // a notification threw or no buffer: the reply was dropped
        bool hasId = false;        // the header's ID line was read
        std::string id;            // its value
        int32_t receiveError = 0;  // the code OnReceiveError was given, if it was raised
    };

    // Listens on `localAddress`:`localPort` (port 0: chosen by the system).
    VantaSession(const char* unitHost, unsigned short unitPort, const char* localAddress,
                 unsigned short localPort);
    // Listens on any local address.
    VantaSession(const char* unitHost, unsigned short unitPort, unsigned short localPort);
    // Sends CLOSE when a command other than CLOSE was the last one sent and stop allowed it;
    // that CLOSE's failure is thrown unless the destructor runs during unwinding.
    virtual ~VantaSession() noexcept(false);
    VantaSession(const VantaSession&) = delete;
    VantaSession& operator=(const VantaSession&) = delete;

    // Ends the listener and every connection thread: once it returns no notification runs, so
    // a derived session calls it before its own members go.
    void Stop(int sendCloseOnEnd);

    const VTInetAddress& ReplyAddress() const { return m_replyAddress; }
    const VTInetAddress& UnitAddress() const { return m_unitAddress; }
    const VTMessageBase& SessionIdentity() const { return m_identity; }
    LONG Stopping() const { return m_stopping; }
    LONG Started() const { return m_started; }
    const Counters& Statistics() const { return m_counters; }
    // Replaces kReplyIdleTimeoutMs and kReplyMaxDurationMs for connections accepted from now on.
    void SetReplyTimeouts(DWORD idleMs, DWORD maxDurationMs) {
        m_replyIdleTimeoutMs = idleMs;
        m_replyMaxDurationMs = maxDurationMs;
    }

    // Commands: each opens a connection to the unit, writes one request and closes it.
    void Status();
    void Close();
    void Reset();
    void GetParameter(const char* name);
    void SetParameter(const char* name, const char* value);
    void Capture(int32_t mode);
    void Get(int32_t mode);
    void CaptureTo(int32_t mode, const VTInetAddress& address);
    void GetTo(int32_t mode, const VTInetAddress& address);

protected:
    // Notifications, raised on connection threads, several possibly at once. The message is
    // valid only during the call.
    virtual void OnMessageReceived(const VTRecvCommand& message) = 0;
    virtual void OnImageDownloadStarted(int32_t declaredLength);
    virtual void OnImageDownloadProgress(int32_t chunkBytes);
    virtual void OnReceiveError(int32_t code);
    // Raised once per accepted reply connection, on its thread, after the notifications above.
    virtual void OnReplyConnectionEnded(const ReplyConnectionEnd& end);

private:
    struct Connection;
    class Sink;

    void StartListener();
    void Send(const VTOutgoingCommand& request, LONG startedAfter);
    static unsigned __stdcall ListenerThread(void* arg);
    static unsigned __stdcall ConnectionThread(void* arg);
    unsigned RunListener();
    void RunConnection(Connection& connection);
    void ReapConnections(std::vector<std::shared_ptr<Connection>>& running);
    unsigned ShutDownConnections(std::vector<std::shared_ptr<Connection>>& running);

    volatile LONG m_stopping = 0;
    VTInetAddress m_unitAddress;
    VTMessageBase m_identity;
    HANDLE m_listenerThread = nullptr;
    HANDLE m_startedEvent = nullptr;
    HANDLE m_stopEvent = nullptr;
    HANDLE m_slotFreedEvent = nullptr;  // a connection thread ended
    VTInetAddress m_replyAddress;
    std::unique_ptr<VTListenSocket> m_listenSocket;
    volatile LONG m_started = 0;
    volatile LONG m_sendCloseOnEnd = 1;
    Counters m_counters;
    std::atomic<DWORD> m_replyIdleTimeoutMs{kReplyIdleTimeoutMs};
    std::atomic<DWORD> m_replyMaxDurationMs{kReplyMaxDurationMs};
};

namespace vtsession_testing {
// Delays the listener thread before it signals that it runs (construction time-out tests).
extern std::atomic<DWORD> listenerStartDelayMs;
}  // namespace vtsession_testing
