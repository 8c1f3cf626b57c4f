// The configuration tools' session: listener, self-accepting connection threads, reply reader.
#include "vantaproto/EarlySession.h"

#include "vantaproto/VTException.h"
#include "vantaproto/VTLog.h"
#include "vantaproto/VantaClient.h"

#include <process.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

const EarlySessionForm EarlySessionForm::kSensorUnitTool = {
    "sensor-unit tool", 2000, false, 0, 20000, 100000, false};
const EarlySessionForm EarlySessionForm::kEthernetUnitTool = {
    "Ethernet-unit tool", 2000, true, 2000, 2000, 10000, true};

namespace {

constexpr int kHeaderLines = 3;
constexpr std::string_view kHeaderKeys[kHeaderLines] = {"ID=", "CMD=", "LEN="};
constexpr char kValidError[] = "0: 0";

std::mutex& AcceptLock() {
    static std::mutex m;
    return m;
}

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

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// One header line in its fixed place: the key must open it.
bool TakeHeaderLine(int index, std::string_view line, VTReplyHeader& header) {
    line = TrimBlanks(line);
    if (line.substr(0, kHeaderKeys[index].size()) != kHeaderKeys[index])
        return false;
    return ParseReplyHeaderLine(line, header) == VTHeaderLine::Accepted;
}

}  // namespace

// ---- Replies ---------------------------------------------------------------------------------

EarlyReply MakeEarlyReply(const EarlySessionForm& form, const VTReplyHeader& header,
                          const char* body, int32_t bodyBytes) {
    VTRecvCommand message = header.MakeMessage();
    message.AddData(body, bodyBytes);
    EarlyReply reply;
    reply.id = message.Id();
    reply.command = message.Command();
    reply.length = message.Length();
    reply.received = message.Received();
    reply.complete = message.Complete() != 0;
    const bool imageCommand =
        reply.command == vtwire::kCommandGet || reply.command == vtwire::kCommandCapture;
    if (form.parseImageRepliesAsStatus || !imageCommand) {
        reply.error = message.Error();
        reply.sensor = message.Sensor();
        reply.state = message.State();
    }
    reply.parameterName = message.ParameterName();
    reply.parameterValue = message.ParameterValue();
    reply.valid = reply.error == kValidError;
    return reply;
}

EarlyReplyOutcome EarlyReplyReader::Read(const std::function<void(const EarlyReply&)>& deliver) {
    const int bufferBytes = m_form.headerBufferBytes;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[bufferBytes]);
    if (!buffer)
        return EarlyReplyOutcome::NoHeader;
    std::memset(buffer.get(), 0, static_cast<size_t>(bufferBytes));
    const int headerRoom = bufferBytes - 1;

    // One receive normally holds the whole header; a unit that splits it is read on until the
    // third line has ended.
    int received = 0;
    int lines = 0;
    int lineStart[kHeaderLines + 1] = {0, 0, 0, 0};
    while (lines < kHeaderLines && received < headerRoom) {
        const int got = m_receive(buffer.get() + received, headerRoom - received);
        if (got <= 0)
            break;
        int scan = received > 0 ? received - 1 : 0;
        received += got;
        for (; scan + 1 < received && lines < kHeaderLines; ++scan) {
            if (buffer[scan] == '\r' && buffer[scan + 1] == '\n') {
                lineStart[++lines] = scan + 2;
                ++scan;
            }
        }
    }
    if (lines < kHeaderLines)
        return EarlyReplyOutcome::NoHeader;

    VTReplyHeader header;
    for (int i = 0; i < kHeaderLines; ++i) {
        const std::string_view line(buffer.get() + lineStart[i],
                                    static_cast<size_t>(lineStart[i + 1] - 2 - lineStart[i]));
        if (!TakeHeaderLine(i, line, header))
            return EarlyReplyOutcome::HeaderOrder;
    }
    if (vtlog::Enabled(vtlog::kWire)) {
        vtlog::Print(
            vtlog::kWire, "reply header %s",
            vtlog::Escape(std::string(buffer.get(), static_cast<size_t>(lineStart[3]))).c_str());
    }

    // The body is stored once, in a buffer of its declared length.
    const int32_t length = header.length;
    std::string body;
    body.reserve(static_cast<size_t>(length));
    const int first = received - lineStart[kHeaderLines];
    body.append(buffer.get() + lineStart[kHeaderLines],
                static_cast<size_t>(first < length ? first : length));
    while (static_cast<int32_t>(body.size()) < length) {
        const int got = m_receive(buffer.get(), kBodyReceiveBytes);
        if (got <= 0)
            break;
        const size_t room = static_cast<size_t>(length) - body.size();
        body.append(buffer.get(),
                    static_cast<size_t>(got) < room ? static_cast<size_t>(got) : room);
    }
    const EarlyReply reply =
        MakeEarlyReply(m_form, header, body.data(), static_cast<int32_t>(body.size()));
    try {
        deliver(reply);
    } catch (...) {
        return EarlyReplyOutcome::ReceiverThrew;
    }
    return EarlyReplyOutcome::Delivered;
}

std::string LocalAddressFacing(const VTInetAddress& unit) {
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET)
        return {};
    std::string text;
    // A datagram socket's connect only chooses the route; nothing goes on the wire.
    if (connect(probe, reinterpret_cast<const sockaddr*>(&unit.SockAddr()), sizeof(sockaddr_in)) ==
        0) {
        sockaddr_in local{};
        int size = sizeof local;
        if (getsockname(probe, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
            local.sin_addr.s_addr != INADDR_ANY) {
            char dotted[INET_ADDRSTRLEN] = {};
            const unsigned long a = ntohl(local.sin_addr.s_addr);
            std::snprintf(dotted, sizeof dotted, "%lu.%lu.%lu.%lu", (a >> 24) & 0xff,
                          (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
            text = dotted;
        }
    }
    closesocket(probe);
    return text;
}

// ---- Session ---------------------------------------------------------------------------------

struct EarlyVantaSession::Connection {
    EarlyVantaSession* session = nullptr;
    HANDLE thread = nullptr;
    std::mutex lock;
    SOCKET socket = INVALID_SOCKET;  // set by the thread's own accept
    bool closed = false;

    void ShutDown() {
        std::lock_guard<std::mutex> guard(lock);
        if (socket != INVALID_SOCKET && !closed)
            shutdown(socket, SD_BOTH);
    }
};

namespace {
VTInetAddress ListenAddress(const char* localAddress, unsigned short localPort) {
    return localAddress ? VTInetAddress(localAddress, localPort) : VTInetAddress(localPort);
}
}  // namespace

EarlyVantaSession::EarlyVantaSession(const EarlySessionForm& form, const char* unitHost,
                                     unsigned short unitPort, const char* localAddress,
                                     unsigned short localPort)
    : m_form(form),
      m_unitAddress(unitHost, unitPort),
      m_identity(VTMessageBase::NewSessionId{}),
      m_replyAddress(ListenAddress(localAddress, localPort)),
      m_requestReplyAddress(m_replyAddress) {
    m_listenSocket = std::make_unique<VTListenSocket>(m_replyAddress);
    if (localAddress) {
        m_requestReplyAddress = m_replyAddress;
    } else {
        // Listening on every address, the unit must be told the one it can reach: the host
        // name's first address is often a loopback alias.
        const std::string facing = LocalAddressFacing(m_unitAddress);
        m_requestReplyAddress =
            facing.empty() ? m_replyAddress : VTInetAddress(facing.c_str(), m_replyAddress.Port());
    }

    auto closeEvents = [this] {
        for (HANDLE* h : {&m_startedEvent, &m_stopEvent, &m_acceptDoneEvent}) {
            if (*h)
                CloseHandle(*h);
            *h = nullptr;
        }
    };
    m_startedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_acceptDoneEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!m_startedEvent || !m_stopEvent || !m_acceptDoneEvent) {
        const DWORD error = GetLastError();
        closeEvents();
        VT_THROW(CVTException, SystemText(error), error);
    }
    m_listenerThread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ListenerThread, this, 0, nullptr));
    if (!m_listenerThread) {
        closeEvents();
        VT_THROW(CVTException, SystemText(ERROR_NOT_ENOUGH_MEMORY), ERROR_NOT_ENOUGH_MEMORY);
    }
    if (WaitForSingleObject(m_startedEvent, m_form.listenerStartWaitMs) != WAIT_OBJECT_0) {
        DWORD error = GetLastError();
        if (error == ERROR_SUCCESS)
            error = WAIT_TIMEOUT;
        InterlockedExchange(&m_stopping, 1);
        SetEvent(m_stopEvent);
        shutdown(m_listenSocket->Handle(), SD_BOTH);
        WaitForSingleObject(m_listenerThread, INFINITE);
        CloseHandle(m_listenerThread);
        m_listenerThread = nullptr;
        closeEvents();
        VT_THROW(CVTException, SystemText(error), error);
    }
    VTLOG(vtlog::kSession, "%s session %s listening on port %u, replies to %s, unit %s:%u",
          m_form.name, m_identity.Id().c_str(), m_replyAddress.Port(),
          m_requestReplyAddress.DottedText().c_str(), m_unitAddress.DottedText().c_str(),
          m_unitAddress.Port());
}

void EarlyVantaSession::EndListener() {
    if (!m_listenerThread)
        return;
    if (!m_stopping) {
        InterlockedExchange(&m_stopping, 1);
        SetEvent(m_stopEvent);
        shutdown(m_listenSocket->Handle(), SD_BOTH);
    }
    if (WaitForSingleObject(m_listenerThread, m_form.destroyListenerWaitMs) != WAIT_OBJECT_0) {
        // The session cannot go while its listener may still hand over a reply.
        WaitForSingleObject(m_listenerThread, INFINITE);
    }
    CloseHandle(m_listenerThread);
    m_listenerThread = nullptr;
}

EarlyVantaSession::~EarlyVantaSession() noexcept(false) {
    EndListener();
    CloseHandle(m_startedEvent);
    CloseHandle(m_stopEvent);
    CloseHandle(m_acceptDoneEvent);
    if (m_started && m_sendCloseOnEnd) {
        if (std::uncaught_exceptions() > 0) {
            try {
                Close();
            } catch (const CVTException&) {
            }
        } else {
            Close();
        }
    }
}

void EarlyVantaSession::Stop(int sendCloseOnEnd) {
    InterlockedExchange(&m_sendCloseOnEnd, sendCloseOnEnd);
    InterlockedExchange(&m_stopping, 1);
    SetEvent(m_stopEvent);
    // Wakes the listener from its select rather than after the select's time-out.
    if (m_listenSocket)
        shutdown(m_listenSocket->Handle(), SD_BOTH);
    Sleep(kStopSleepMs);
    if (m_form.stopWaitsForListener && m_listenerThread)
        WaitForSingleObject(m_listenerThread, m_form.stopListenerWaitMs);
}

// ---- Commands --------------------------------------------------------------------------------

void EarlyVantaSession::Send(const VTOutgoingCommand& request, LONG startedAfter) {
    VantaClient client(m_unitAddress);
    client.Send(&request);
    client.Close();
    InterlockedExchange(&m_started, startedAfter);
}

void EarlyVantaSession::Status() {
    Send({m_identity, m_requestReplyAddress, vtwire::kCommandStatus, -1}, 1);
}

void EarlyVantaSession::Close() {
    Send({m_identity, m_requestReplyAddress, vtwire::kCommandClose, -1}, 0);
}

void EarlyVantaSession::GetParameter(const char* name) {
    if (!name)
        return;
    Send({m_identity, m_requestReplyAddress, name, vtwire::kCommandGetParam}, 1);
}

void EarlyVantaSession::SetParameter(const char* name, const char* value) {
    if (!name || !value)
        return;
    Send({m_identity, m_requestReplyAddress, name, value, vtwire::kCommandSetParam}, 1);
}

void EarlyVantaSession::SetParameter(const char* name, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    SetParameter(name, text);
}

// ---- Listener --------------------------------------------------------------------------------

unsigned __stdcall EarlyVantaSession::ListenerThread(void* arg) {
    if (!arg)
        return 0;
    return static_cast<EarlyVantaSession*>(arg)->RunListener();
}

unsigned EarlyVantaSession::RunListener() {
    if (!m_startedEvent || !m_stopEvent || !m_listenSocket)
        return 0;
    SetEvent(m_startedEvent);

    std::vector<std::shared_ptr<Connection>> running;
    for (;;) {
        if (WaitForSingleObject(m_stopEvent, kListenerStopPollMs) == WAIT_OBJECT_0 || m_stopping)
            break;
        const int ready = m_listenSocket->WaitReadable(kListenerSelectSeconds);
        const bool pending = ready != SOCKET_ERROR && ready > 0 && m_listenSocket->IsReadable();
        if (WaitForSingleObject(m_stopEvent, kListenerStopRecheckMs) == WAIT_OBJECT_0 || m_stopping)
            break;
        Reap(running);
        if (!pending || static_cast<int>(running.size()) >= kMaxConnectionThreads)
            continue;

        // The connection thread accepts for itself; the listener waits for that before it
        // selects again, so one pending connection never gets two threads.
        auto connection = std::make_shared<Connection>();
        connection->session = this;
        auto* arg = new (std::nothrow) std::shared_ptr<Connection>(connection);
        HANDLE thread = arg ? reinterpret_cast<HANDLE>(
                                  _beginthreadex(nullptr, 0, ConnectionThread, arg, 0, nullptr))
                            : nullptr;
        if (!thread) {
            delete arg;
            continue;
        }
        connection->thread = thread;
        m_runningConnections++;
        running.push_back(std::move(connection));
        WaitForSingleObject(m_acceptDoneEvent, kAcceptHandoffWaitMs);
    }

    // Connection threads get a short grace; those still reading are ended and joined, so none
    // outlives the session.
    if (running.empty())
        return 0;
    std::vector<HANDLE> handles;
    for (auto& c : running)
        handles.push_back(c->thread);
    const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                                TRUE, kConnectionShutdownWaitMs);
    if (waited != WAIT_OBJECT_0) {
        for (auto& c : running)
            c->ShutDown();
        for (HANDLE h : handles)
            WaitForSingleObject(h, INFINITE);
    }
    for (HANDLE h : handles)
        CloseHandle(h);
    return waited == WAIT_FAILED ? 1 : 0;
}

void EarlyVantaSession::Reap(std::vector<std::shared_ptr<Connection>>& running) {
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

unsigned __stdcall EarlyVantaSession::ConnectionThread(void* arg) {
    std::shared_ptr<Connection> connection =
        std::move(*static_cast<std::shared_ptr<Connection>*>(arg));
    delete static_cast<std::shared_ptr<Connection>*>(arg);
    connection->session->RunConnection(*connection);
    connection->session->m_runningConnections--;
    return 0;
}

void EarlyVantaSession::RunConnection(Connection& connection) {
    SOCKET accepted;
    {
        std::lock_guard<std::mutex> guard(AcceptLock());
        accepted = m_stopping ? INVALID_SOCKET : m_listenSocket->Accept();
    }
    {
        std::lock_guard<std::mutex> guard(connection.lock);
        connection.socket = accepted;
    }
    SetEvent(m_acceptDoneEvent);
    if (accepted == INVALID_SOCKET)
        return;

    VTTcpSocket socket(accepted);
    const DWORD idleMs = kReplyIdleTimeoutMs;
    setsockopt(socket.Handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&idleMs),
               sizeof idleMs);
    EarlyReplyReader reader(m_form,
                            [&](char* into, int size) { return socket.Receive(into, size); });
    try {
        const EarlyReplyOutcome outcome =
            reader.Read([this](const EarlyReply& reply) { OnMessageReceived(reply); });
        VTLOG(vtlog::kSession, "reply connection ended: %d", static_cast<int>(outcome));
    } catch (const CVTException& e) {
        VTLOG(vtlog::kSession, "reply dropped: %s", e.message().c_str());
    }
    std::lock_guard<std::mutex> guard(connection.lock);
    shutdown(socket.Handle(), SD_BOTH);
    socket.Close();
    connection.closed = true;
}
