// Test doubles around sessions: a recording session, a raw fake unit and a raw reply peer.
#pragma once

#include <vantaproto/VTSocket.h>
#include <vantaproto/VantaSession.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

inline constexpr auto kEventTimeout = std::chrono::seconds(20);

// Records every notification; a gate can hold message notifications inside the call.
class RecordingSession : public VantaSession {
public:
    using VantaSession::VantaSession;

    struct Seen {
        std::vector<VTRecvCommand> messages;
        std::vector<int32_t> started, progress, errors;
        std::vector<ReplyConnectionEnd> ends;
        int insideMessage = 0;
    };

    template <class Predicate>
    bool WaitFor(Predicate predicate) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kEventTimeout, [&] { return predicate(m_seen); });
    }
    Seen Snapshot() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_seen;
    }
    void HoldMessages(bool hold) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_hold = hold;
        m_changed.notify_all();
    }

protected:
    void OnMessageReceived(const VTRecvCommand& message) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_seen.insideMessage++;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return !m_hold; });
        m_seen.insideMessage--;
        m_seen.messages.push_back(message);
        m_changed.notify_all();
    }
    void OnImageDownloadStarted(int32_t n) override { Record(m_seen.started, n); }
    void OnImageDownloadProgress(int32_t n) override { Record(m_seen.progress, n); }
    void OnReceiveError(int32_t code) override { Record(m_seen.errors, code); }
    void OnReplyConnectionEnded(const ReplyConnectionEnd& end) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_seen.ends.push_back(end);
        m_changed.notify_all();
    }

private:
    void Record(std::vector<int32_t>& into, int32_t value) {
        std::lock_guard<std::mutex> guard(m_mutex);
        into.push_back(value);
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    Seen m_seen;
    bool m_hold = false;
};

// A listening socket standing in for the unit: it only reads what the session sends.
class FakeUnit {
public:
    FakeUnit() : m_address("127.0.0.1", 0), m_listener(m_address) {}
    unsigned short Port() const { return m_address.Port(); }

    // Whether a request connection is already waiting (commands connect before returning).
    bool HasRequest() { return m_listener.WaitReadable(0) > 0; }
    // The bytes of the next request connection, read until the session closed it.
    std::string NextRequest() {
        if (m_listener.WaitReadable(20) <= 0)
            return "<no request>";
        VTTcpSocket connection(m_listener.Accept());
        std::string bytes;
        char buffer[4096];
        int n;
        while ((n = connection.Receive(buffer, sizeof buffer)) > 0)
            bytes.append(buffer, n);
        return bytes;
    }

private:
    VTInetAddress m_address;
    VTListenSocket m_listener;
};

// Connects to a session's reply port and writes raw reply bytes.
class ReplyPeer {
public:
    explicit ReplyPeer(unsigned short port) : m_socket(socket(AF_INET, SOCK_STREAM, 0)) {
        VTInetAddress address("127.0.0.1", port);
        connect(m_socket, reinterpret_cast<const sockaddr*>(&address.SockAddr()),
                sizeof(sockaddr_in));
    }
    ~ReplyPeer() { Close(); }
    void Write(const std::string& bytes) {
        send(m_socket, bytes.data(), static_cast<int>(bytes.size()), 0);
    }
    void Close() {
        if (m_socket != INVALID_SOCKET)
            closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    // Ends the connection with a reset, which the reader sees as a failed receive.
    void Reset() {
        u_short abortive[2] = {1, 0};
        setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(abortive),
                   sizeof abortive);
        Close();
    }

private:
    WinsockUse m_winsock;
    SOCKET m_socket;
};
