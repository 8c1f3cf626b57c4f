// Session with a unit: listener thread, connection threads reading replies, command operations.
#include "vantaproto/VantaSession.h"

#include "vantaproto/VTException.h"
#include "vantaproto/VTLog.h"
#include "vantaproto/VTReplyReader.h"
#include "vantaproto/VantaClient.h"

#include <process.h>

#include <exception>
#include <new>
#include <string>

namespace vtsession_testing {
std::atomic<DWORD> listenerStartDelayMs{0};
}

namespace {

// One lock serialises accept across every session of the process.
std::mutex& AcceptLock() {
    static std::mutex m;  // an object, not a pointer: the library may be unloaded
    return m;
}

// The system's text for a Win32 code, as FormatMessage gives it.
std::string SystemText(DWORD code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
        nullptr);
    std::string result = (n && text) ? std::string(text, n) : "Error " + std::to_string(code);
    if (text)
        LocalFree(text);
    return result;
}

[[noreturn]] void ThrowSystemError(DWORD code) {
    VT_THROW(CVTException, SystemText(code), static_cast<int32_t>(code));
}

}  // namespace

// One accepted reply connection, shared by the listener and its connection thread so the
// listener can end a connection that outstays shutdown without touching a reused socket.
struct VantaSession::Connection {
    VantaSession* session;
    SOCKET socket;
    HANDLE thread = nullptr;
    std::mutex lock;
    bool closed = false;

    void ShutDown() {
        std::lock_guard<std::mutex> guard(lock);
        if (!closed)
            shutdown(socket, SD_BOTH);
    }
};

class VantaSession::Sink : public VTReplySink {
public:
    explicit Sink(VantaSession& session) : m_session(session) {}
    int32_t lastError = 0;
    void OnMessage(const VTRecvCommand& message) override {
        m_session.m_counters.replies++;
        m_session.m_counters.bodyBytes += static_cast<uint64_t>(message.Received());
        m_session.OnMessageReceived(message);
    }
    void OnDownloadStarted(int32_t length) override { m_session.OnImageDownloadStarted(length); }
    void OnDownloadProgress(int32_t bytes) override { m_session.OnImageDownloadProgress(bytes); }
    void OnReceiveError(int32_t code) override {
        lastError = code;
        m_session.m_counters.receiveErrors++;
        m_session.OnReceiveError(code);
    }

private:
    VantaSession& m_session;
};

// ---- Construction and destruction ------------------------------------------------------------

VantaSession::VantaSession(const char* unitHost, unsigned short unitPort, const char* localAddress,
                           unsigned short localPort)
    : m_unitAddress(unitHost, unitPort),
      m_identity(VTMessageBase::NewSessionId{}),
      m_replyAddress(localAddress, localPort) {
    m_listenSocket = std::make_unique<VTListenSocket>(m_replyAddress);
    StartListener();
}

VantaSession::VantaSession(const char* unitHost, unsigned short unitPort, unsigned short localPort)
    : m_unitAddress(unitHost, unitPort),
      m_identity(VTMessageBase::NewSessionId{}),
      m_replyAddress(localPort) {
    m_listenSocket = std::make_unique<VTListenSocket>(m_replyAddress);
    StartListener();
}

void VantaSession::StartListener() {
    auto closeEvents = [this] {
        for (HANDLE* h : {&m_startedEvent, &m_stopEvent, &m_slotFreedEvent}) {
            if (*h)
                CloseHandle(*h);
            *h = nullptr;
        }
    };
    m_startedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_slotFreedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!m_startedEvent || !m_stopEvent || !m_slotFreedEvent) {
        const DWORD error = GetLastError();
        closeEvents();
        ThrowSystemError(error);
    }
    m_listenerThread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ListenerThread, this, 0, nullptr));
    if (!m_listenerThread) {
        closeEvents();
        ThrowSystemError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (WaitForSingleObject(m_startedEvent, kListenerStartTimeoutMs) != WAIT_OBJECT_0) {
        DWORD error = GetLastError();
        if (error == ERROR_SUCCESS)
            error = WAIT_TIMEOUT;
        // The thread must not outlive the session it was given: stop it before failing.
        InterlockedExchange(&m_stopping, 1);
        SetEvent(m_stopEvent);
        shutdown(m_listenSocket->Handle(), SD_BOTH);
        WaitForSingleObject(m_listenerThread, INFINITE);
        CloseHandle(m_listenerThread);
        m_listenerThread = nullptr;
        closeEvents();
        ThrowSystemError(error);
    }
    VTLOG(vtlog::kSession, "session %s listening on %s:%u for unit %s:%u", m_identity.Id().c_str(),
          m_replyAddress.DottedText().c_str(), m_replyAddress.Port(),
          m_unitAddress.DottedText().c_str(), m_unitAddress.Port());
}

VantaSession::~VantaSession() noexcept(false) {
    if (m_listenerThread) {
        if (!m_stopping) {
            // Destroyed without stop: end the listener now rather than leave it running.
            InterlockedExchange(&m_stopping, 1);
            SetEvent(m_stopEvent);
            shutdown(m_listenSocket->Handle(), SD_BOTH);
        }
        if (WaitForSingleObject(m_listenerThread, kDestroyListenerWaitMs) != WAIT_OBJECT_0) {
            // Its connection threads are being ended; it cannot be left behind.
            WaitForSingleObject(m_listenerThread, INFINITE);
        }
        CloseHandle(m_listenerThread);
        m_listenerThread = nullptr;
    }
    struct EventCloser {
        VantaSession* s;
        ~EventCloser() {
            CloseHandle(s->m_startedEvent);
            CloseHandle(s->m_stopEvent);
            CloseHandle(s->m_slotFreedEvent);
        }
    } closer{this};
    if (m_started && m_sendCloseOnEnd) {
        if (std::uncaught_exceptions() > 0) {
            try {
                Close();
            } catch (const CVTException&) {
                // Already unwinding: a second exception would end the process.
            }
        } else {
            Close();
        }
    }
}

void VantaSession::Stop(int sendCloseOnEnd) {
    InterlockedExchange(&m_sendCloseOnEnd, sendCloseOnEnd);
    SetEvent(m_stopEvent);
    InterlockedExchange(&m_stopping, 1);
    // Wake the listener from its select at once instead of after its time-out.
    if (m_listenSocket)
        shutdown(m_listenSocket->Handle(), SD_BOTH);
    Sleep(kStopSleepMs);
    if (m_listenerThread &&
        WaitForSingleObject(m_listenerThread, kStopListenerWaitMs) != WAIT_OBJECT_0) {
        // Still ending connections that outstayed the stop. The derived session is destroyed
        // right after this returns, so no notification may run any more: wait for the end.
        WaitForSingleObject(m_listenerThread, INFINITE);
    }
}

// ---- Notifications ---------------------------------------------------------------------------

void VantaSession::OnImageDownloadStarted(int32_t) {}
void VantaSession::OnImageDownloadProgress(int32_t) {}
void VantaSession::OnReceiveError(int32_t) {}
void VantaSession::OnReplyConnectionEnded(const ReplyConnectionEnd&) {}

// ---- Commands --------------------------------------------------------------------------------

void VantaSession::Send(const VTOutgoingCommand& request, LONG startedAfter) {
    VantaClient client(m_unitAddress);
    client.Send(&request);
    client.Close();
    InterlockedExchange(&m_started, startedAfter);
}

void VantaSession::Status() {
    Send({m_identity, m_replyAddress, vtwire::kCommandStatus, -1}, 1);
}
void VantaSession::Close() {
    Send({m_identity, m_replyAddress, vtwire::kCommandClose, -1}, 0);
}
void VantaSession::Reset() {
    Send({m_identity, m_replyAddress, vtwire::kCommandReset, -1}, 1);
}

void VantaSession::GetParameter(const char* name) {
    if (!name)
        return;
    Send({m_identity, m_replyAddress, name, vtwire::kCommandGetParam}, 1);
}

void VantaSession::SetParameter(const char* name, const char* value) {
    if (!name || !value)
        return;
    Send({m_identity, m_replyAddress, name, value, vtwire::kCommandSetParam}, 1);
}

void VantaSession::Capture(int32_t mode) {
    Send({m_identity, m_replyAddress, vtwire::kCommandCapture, mode}, 1);
}

void VantaSession::Get(int32_t mode) {
    Send({m_identity, m_replyAddress, vtwire::kCommandGet, mode}, 1);
}

void VantaSession::CaptureTo(int32_t mode, const VTInetAddress& address) {
    Send({m_identity, address, vtwire::kCommandCapture, mode}, 1);
}

void VantaSession::GetTo(int32_t mode, const VTInetAddress& address) {
    Send({m_identity, address, vtwire::kCommandGet, mode}, 1);
}

// ---- Listener --------------------------------------------------------------------------------

unsigned __stdcall VantaSession::ListenerThread(void* arg) {
    if (!arg)
        return 0;
    return static_cast<VantaSession*>(arg)->RunListener();
}

unsigned VantaSession::RunListener() {
    if (!m_startedEvent || !m_stopEvent || !m_listenSocket)
        return 0;
    if (DWORD delay = vtsession_testing::listenerStartDelayMs.load())
        Sleep(delay);
    SetEvent(m_startedEvent);

    std::vector<std::shared_ptr<Connection>> running;
    for (;;) {
        const int ready = m_listenSocket->WaitReadable(kListenerSelectSeconds);
        const bool pending = ready != SOCKET_ERROR && m_listenSocket->IsReadable();
        if (WaitForSingleObject(m_stopEvent, pending ? 0 : kListenerIdleWaitMs) == WAIT_OBJECT_0 ||
            m_stopping)
            break;
        ReapConnections(running);
        // All slots taken: accept nothing until a connection thread ends.
        bool stop = false;
        while (static_cast<int>(running.size()) >= kMaxConnectionThreads && !stop) {
            HANDLE waits[2] = {m_stopEvent, m_slotFreedEvent};
            stop = WaitForMultipleObjects(2, waits, FALSE, kListenerIdleWaitMs) == WAIT_OBJECT_0 ||
                   m_stopping;
            ReapConnections(running);
        }
        if (stop)
            break;
        if (!pending)
            continue;

        SOCKET accepted;
        {
            std::lock_guard<std::mutex> guard(AcceptLock());
            accepted = m_listenSocket->Accept();
        }
        if (accepted == INVALID_SOCKET)
            continue;
        m_counters.connections++;

        auto connection = std::make_shared<Connection>();
        connection->session = this;
        connection->socket = accepted;
        auto* arg = new (std::nothrow) std::shared_ptr<Connection>(connection);
        HANDLE thread = arg ? reinterpret_cast<HANDLE>(
                                  _beginthreadex(nullptr, 0, ConnectionThread, arg, 0, nullptr))
                            : nullptr;
        if (!thread) {
            delete arg;
            closesocket(accepted);
            continue;
        }
        connection->thread = thread;
        running.push_back(std::move(connection));
    }
    return ShutDownConnections(running);
}

void VantaSession::ReapConnections(std::vector<std::shared_ptr<Connection>>& running) {
    for (size_t i = 0; i < running.size();) {
        if (WaitForSingleObject(running[i]->thread, 0) == WAIT_OBJECT_0) {
            CloseHandle(running[i]->thread);
            running[i] = std::move(running.back());
            running.pop_back();
        } else {
            ++i;
        }
    }
}

unsigned VantaSession::ShutDownConnections(std::vector<std::shared_ptr<Connection>>& running) {
    if (running.empty())
        return 0;
    std::vector<HANDLE> handles;
    for (auto& c : running)
        handles.push_back(c->thread);
    const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                                TRUE, kConnectionShutdownWaitMs);
    if (waited != WAIT_OBJECT_0) {
        // Threads are never terminated: end their connections and let them finish.
        for (auto& c : running)
            c->ShutDown();
        for (HANDLE h : handles)
            WaitForSingleObject(h, INFINITE);
    }
    for (HANDLE h : handles)
        CloseHandle(h);
    running.clear();
    return waited == WAIT_FAILED ? 1 : 0;
}

// ---- Connection threads ----------------------------------------------------------------------

unsigned __stdcall VantaSession::ConnectionThread(void* arg) {
    std::shared_ptr<Connection> connection =
        std::move(*static_cast<std::shared_ptr<Connection>*>(arg));
    delete static_cast<std::shared_ptr<Connection>*>(arg);
    connection->session->RunConnection(*connection);
    return 0;
}

void VantaSession::RunConnection(Connection& connection) {
    VTTcpSocket socket(connection.socket);
    DWORD timeoutMs = m_replyIdleTimeoutMs;
    setsockopt(socket.Handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    const ULONGLONG deadline = GetTickCount64() + m_replyMaxDurationMs;

    ReplyConnectionEnd end;
    end.aborted = true;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[VTReplyReader::kBufferBytes]);
    if (buffer) {
        auto receive = [&](char* into, int size) -> int {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                WSASetLastError(WSAETIMEDOUT);
                return SOCKET_ERROR;
            }
            if (deadline - now < timeoutMs) {
                timeoutMs = static_cast<DWORD>(deadline - now);
                setsockopt(socket.Handle(), SOL_SOCKET, SO_RCVTIMEO,
                           reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
            }
            return socket.Receive(into, size);
        };
        VTReplyReader reader(receive, [] { return static_cast<int32_t>(WSAGetLastError()); });
        Sink sink(*this);
        try {
            end.outcome = reader.Read(buffer.get(), sink);
            end.aborted = false;
            if (end.outcome != VTReplyOutcome::Delivered &&
                end.outcome != VTReplyOutcome::ReceiveError)
                m_counters.dropped++;
            VTLOG(vtlog::kSession, "reply connection ended: %d", static_cast<int>(end.outcome));
        } catch (const CVTException& e) {
            m_counters.dropped++;
            VTLOG(vtlog::kSession, "reply dropped: %s", e.message().c_str());
        } catch (...) {
            // A notification that throws must not end the process from this thread.
            m_counters.dropped++;
            VTLOG(vtlog::kSession, "a notification threw; reply dropped");
        }
        end.hasId = reader.HeaderHasId();
        end.id = reader.HeaderId();
        end.receiveError = sink.lastError;
    }
    try {
        OnReplyConnectionEnded(end);
    } catch (...) {
        VTLOG(vtlog::kSession, "the connection-end notification threw");
    }
    buffer.reset();
    {
        std::lock_guard<std::mutex> guard(connection.lock);
        socket.Close();
        connection.closed = true;
    }
    SetEvent(m_slotFreedEvent);
}
