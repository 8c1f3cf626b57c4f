// The earlier form of the session that the configuration tools are built with: one form per tool,
// its own listener, reply reader and waits.
#pragma once

#include "vantaproto/VTMessage.h"
#include "vantaproto/VTSocket.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What differs between the two tools' sessions.
struct EarlySessionForm {
    const char* name;
    DWORD listenerStartWaitMs;  // constructor's wait for the listener
    bool stopWaitsForListener;  // stop waits (stopListenerWaitMs) after its sleep
    DWORD stopListenerWaitMs;
    DWORD destroyListenerWaitMs;     // destructor's wait before CLOSE
    int headerBufferBytes;           // the header receive takes one byte less
    bool parseImageRepliesAsStatus;  // GET/CAPTURE bodies under 1000 bytes read as status

    // The sensor-unit tool: any local address, stop only signals, destructor waits 20 s.
    static const EarlySessionForm kSensorUnitTool;
    // The Ethernet-unit tool: given local address, stop and destructor wait 2 s each.
    static const EarlySessionForm kEthernetUnitTool;
};

// A reply as the earlier form hands it over: a plain copy the receiver may keep.
struct EarlyReply {
    std::string id;
    std::string command;
    int32_t length = 0;    // declared body length
    int32_t received = 0;  // body bytes that arrived
    bool complete = false;
    bool valid = true;  // the error text is exactly "0: 0"
    std::string error = "0: 0";
    int32_t sensor = -1;
    std::string state;
    std::string parameterName;
    std::string parameterValue;
};

enum class EarlyReplyOutcome {
    Delivered,      // complete or not, the reply went to the receiver
    NoHeader,       // the connection ended before three header lines
    HeaderOrder,    // the lines were not ID, CMD, LEN in that order, or LEN was unusable
    ReceiverThrew,  // the receiver let an exception out; nothing else happened
};

// Reads one reply from a connection: header lines in the fixed order ID, CMD, LEN (received until
// all three have ended, however the unit splits them), then the body in kBodyReceiveBytes pieces.
class EarlyReplyReader {
public:
    static constexpr int kBodyReceiveBytes = 9999;
    // recv semantics: bytes received, 0 when the peer closed, -1 on failure.
    using Receive = std::function<int(char* buffer, int size)>;

    EarlyReplyReader(const EarlySessionForm& form, Receive receive)
        : m_form(form), m_receive(std::move(receive)) {}

    // Delivers the reply (also when its body stayed incomplete) to `deliver`.
    EarlyReplyOutcome Read(const std::function<void(const EarlyReply&)>& deliver);

private:
    const EarlySessionForm& m_form;
    Receive m_receive;
};

// Takes a received reply apart as the earlier form does; pure, for the reader and for tests.
EarlyReply MakeEarlyReply(const EarlySessionForm& form, const VTReplyHeader& header,
                          const char* body, int32_t bodyBytes);

// The computer's own address that a connection to `unit` would leave from, dotted; empty when
// there is no route. Nothing is sent.
std::string LocalAddressFacing(const VTInetAddress& unit);

class EarlyVantaSession {
public:
    static constexpr int kMaxConnectionThreads = 10;
    static constexpr int kListenerSelectSeconds = 5;
    static constexpr DWORD kListenerStopPollMs = 200;
    static constexpr DWORD kListenerStopRecheckMs = 5;
    static constexpr DWORD kConnectionShutdownWaitMs = 300;
    static constexpr DWORD kStopSleepMs = 500;
    // A connection thread reports its accept before the listener selects again.
    static constexpr DWORD kAcceptHandoffWaitMs = 2000;
    // A reply connection may stay silent this long between bytes.
    static constexpr DWORD kReplyIdleTimeoutMs = 30000;

    // `localAddress` null: listens on any local address (the sensor-unit tool's constructor);
    // otherwise on that address (the Ethernet-unit tool's). Socket failures throw
    // CVTSocketException; a listener that does not start in time throws CVTException.
    EarlyVantaSession(const EarlySessionForm& form, const char* unitHost, unsigned short unitPort,
                      const char* localAddress, unsigned short localPort);
    // Waits for the listener as the form says, never leaving it running, then sends CLOSE when
    // a command other than CLOSE was the last one sent and stop allowed it (its failure throws).
    virtual ~EarlyVantaSession() noexcept(false);
    EarlyVantaSession(const EarlyVantaSession&) = delete;
    EarlyVantaSession& operator=(const EarlyVantaSession&) = delete;

    void Stop(int sendCloseOnEnd);

    // The address written into requests ("IP="): the listening address, or for a session on any
    // address the one facing the unit.
    const VTInetAddress& ReplyAddress() const { return m_requestReplyAddress; }
    const VTInetAddress& UnitAddress() const { return m_unitAddress; }
    const VTMessageBase& SessionIdentity() const { return m_identity; }
    const EarlySessionForm& Form() const { return m_form; }
    LONG Stopping() const { return m_stopping; }
    // Connection threads still running (tests).
    int RunningConnections() const { return m_runningConnections.load(); }

    void Status();
    void Close();
    void GetParameter(const char* name);
    void SetParameter(const char* name, const char* value);
    void SetParameter(const char* name, int value);  // written as "%d"

protected:
    // Raised on connection threads, several possibly at once.
    virtual void OnMessageReceived(const EarlyReply& reply) = 0;
    // The derived session calls this first in its destructor: after it no notification runs.
    void EndListener();

private:
    struct Connection;
    void Send(const VTOutgoingCommand& request, LONG startedAfter);
    static unsigned __stdcall ListenerThread(void* arg);
    static unsigned __stdcall ConnectionThread(void* arg);
    unsigned RunListener();
    void RunConnection(Connection& connection);
    void Reap(std::vector<std::shared_ptr<Connection>>& running);

    const EarlySessionForm& m_form;
    volatile LONG m_stopping = 0;
    VTInetAddress m_unitAddress;
    VTMessageBase m_identity;
    VTInetAddress m_replyAddress;
    VTInetAddress m_requestReplyAddress;
    std::unique_ptr<VTListenSocket> m_listenSocket;
    HANDLE m_listenerThread = nullptr;
    HANDLE m_startedEvent = nullptr;
    HANDLE m_stopEvent = nullptr;
    HANDLE m_acceptDoneEvent = nullptr;
    volatile LONG m_started = 0;
    volatile LONG m_sendCloseOnEnd = 1;
    std::atomic<int> m_runningConnections{0};
};
