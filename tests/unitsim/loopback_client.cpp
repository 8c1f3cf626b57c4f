// The tests' own computer side: raw request writer and reply listener on loopback.
#include "loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace unitsim_test {
namespace {

constexpr int kListenBacklog = 64;  // tests fire a couple of dozen replies at once

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int connectToUnit(std::uint16_t unitPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    const sockaddr_in addr = loopback(unitPort);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), "connect to the unit");
    }
    return fd;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::system_error(errno, std::generic_category(), "send");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Milliseconds left until the deadline, at least 0.
int leftMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string makeRequest(std::string_view id, std::uint16_t replyPort, std::string_view command,
                        std::string_view extraLines) {
    char port[16];
    std::snprintf(port, sizeof port, "%4d", replyPort);
    std::string text;
    text.append("ID=").append(id).append("\r\n");
    text.append("IP=127.0.0.1\r\n");
    text.append("PORT=").append(port).append("\r\n");
    text.append("CMD=").append(command).append("\r\n");
    text.append(extraLines);
    text.push_back('\0');
    return text;
}

void sendRequest(std::uint16_t unitPort, std::string_view bytes) {
    const int fd = connectToUnit(unitPort);
    writeAll(fd, bytes);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

int openRequest(std::uint16_t unitPort, std::string_view bytes) {
    const int fd = connectToUnit(unitPort);
    writeAll(fd, bytes);
    return fd;
}

ReplyListener::ReplyListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopback(0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, kListenBacklog) != 0) {
        throw std::system_error(errno, std::generic_category(), "reply listener");
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.sin_port);
}

ReplyListener::~ReplyListener() {
    ::close(fd_);
}

std::optional<Reply> ReplyListener::next(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, leftMs(deadline)) <= 0) {
        return std::nullopt;
    }
    const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
        return std::nullopt;
    }
    std::string raw;
    for (;;) {
        pollfd cfd{conn, POLLIN, 0};
        if (::poll(&cfd, 1, leftMs(deadline)) <= 0) {
            break;
        }
        char buffer[65536];
        const ssize_t n = ::recv(conn, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(conn);
    return parseReply(std::move(raw));
}

std::optional<Reply> parseReply(std::string raw) {
    Reply reply;
    std::size_t pos = 0;
    const char* keys[] = {"ID=", "CMD=", "LEN="};
    std::string values[3];
    for (int i = 0; i < 3; ++i) {
        const std::size_t end = raw.find("\r\n", pos);
        if (end == std::string::npos || raw.compare(pos, std::strlen(keys[i]), keys[i]) != 0) {
            return std::nullopt;
        }
        values[i] = raw.substr(pos + std::strlen(keys[i]), end - pos - std::strlen(keys[i]));
        pos = end + 2;
    }
    reply.id = values[0];
    reply.command = values[1];
    reply.declaredLength = std::strtoull(values[2].c_str(), nullptr, 10);
    reply.body = raw.substr(pos);
    reply.raw = std::move(raw);
    return reply;
}

}  // namespace unitsim_test
