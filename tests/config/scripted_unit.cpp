// Loopback peers over POSIX sockets.
#include "scripted_unit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {
std::mutex g_lock;
std::condition_variable g_changed;
constexpr int kAcceptWaitMs = 20000;

std::string Field(const std::string& request, const std::string& key) {
    const size_t at = request.find(key);
    if (at == std::string::npos)
        return {};
    const size_t end = request.find("\r\n", at);
    return request.substr(at + key.size(), end - at - key.size());
}
}  // namespace

ScriptedUnit::ScriptedUnit(std::vector<std::string> pieces, std::chrono::milliseconds pause)
    : m_pieces(std::move(pieces)), m_pause(pause) {
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_listener, 4);
    socklen_t size = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

ScriptedUnit::~ScriptedUnit() {
    shutdown(m_listener, SHUT_RDWR);
    m_thread.join();
    close(m_listener);
}

bool ScriptedUnit::WaitDone(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(g_lock);
    return g_changed.wait_for(guard, timeout, [this] { return m_done; });
}

void ScriptedUnit::Serve() {
    pollfd waiting{m_listener, POLLIN, 0};
    if (poll(&waiting, 1, kAcceptWaitMs) <= 0)
        return;
    const int connection = accept(m_listener, nullptr, nullptr);
    if (connection < 0)
        return;
    std::string request;
    char buffer[512];
    for (;;) {
        const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
        if (request.find('\0') != std::string::npos)
            break;
    }
    close(connection);
    const std::string id = Field(request, "ID=");
    const std::string ip = Field(request, "IP=");
    const int port = std::atoi(Field(request, "PORT=").c_str());

    const int reply = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(port));
    // Loopback only, whatever the request says.
    inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    if (connect(reply, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        for (size_t i = 0; i < m_pieces.size(); ++i) {
            std::string piece = m_pieces[i];
            for (size_t at; (at = piece.find("{ID}")) != std::string::npos;)
                piece.replace(at, 4, id);
            send(reply, piece.data(), piece.size(), MSG_NOSIGNAL);
            if (i + 1 < m_pieces.size())
                std::this_thread::sleep_for(m_pause);
        }
    }
    close(reply);
    (void)ip;
    std::lock_guard<std::mutex> guard(g_lock);
    m_done = true;
    g_changed.notify_all();
}

RequestSink::RequestSink() {
    m_socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_socket, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_socket, 8);
    socklen_t n = sizeof a;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&a), &n);
    m_port = ntohs(a.sin_port);
}

RequestSink::~RequestSink() {
    close(m_socket);
}

std::string RequestSink::NextRequest() {
    pollfd waiting{m_socket, POLLIN, 0};
    if (poll(&waiting, 1, kAcceptWaitMs) <= 0)
        return {};
    const int c = accept(m_socket, nullptr, nullptr);
    std::string text;
    char b[256];
    for (ssize_t got; (got = recv(c, b, sizeof b, 0)) > 0;)
        text.append(b, static_cast<size_t>(got));
    close(c);
    return text;
}

int ConnectToLoopback(uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}
