// POSIX socket helpers of the virtual unit.
#include "socket_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace unitsim::net {
namespace {

std::string errnoText(int err) {
    return std::strerror(err);
}

// Waits for `events` on fd or for stop; returns the revents, 0 on time-out, -1 on stop.
int pollWithStop(int fd, short events, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;  // a signal for the host program; the deadline restarts, which is harmless
        }
        if (n < 0) {
            return POLLERR;
        }
        if (fds[1].revents != 0) {
            return -1;
        }
        return fds[0].revents;
    }
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

StopSignal::StopSignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    read_.reset(fds[0]);
    write_.reset(fds[1]);
}

void StopSignal::raise() {
    const char byte = 's';
    // A full pipe already wakes every reader, so a failed write changes nothing.
    [[maybe_unused]] auto n = ::write(write_.get(), &byte, 1);
}

std::string endpointText(const sockaddr_in& addr) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

sockaddr_in makeEndpoint(std::string_view ip, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (ip == "localhost") {
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, std::string(ip).c_str(), &addr.sin_addr) != 1) {
        throw std::invalid_argument("not a dotted IPv4 address: " + std::string(ip));
    }
    return addr;
}

bool isLoopback(const sockaddr_in& addr) {
    return (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
}

Fd listenOn(const sockaddr_in& addr, int backlog) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::system_error(errno, std::generic_category(), "bind " + endpointText(addr));
    }
    if (::listen(fd.get(), backlog) != 0) {
        throw std::system_error(errno, std::generic_category(), "listen");
    }
    return fd;
}

std::uint16_t localPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

IoResult connectTo(const sockaddr_in& addr, int stopFd, int timeoutMs, Fd& out,
                   std::string& error) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = "socket: " + errnoText(errno);
        return IoResult::Failed;
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            error = "connect: " + errnoText(errno);
            return IoResult::Failed;
        }
        const int ready = pollWithStop(fd.get(), POLLOUT, stopFd, timeoutMs);
        if (ready < 0) {
            return IoResult::Stopped;
        }
        if (ready == 0) {
            error = "connect: timed out";
            return IoResult::Failed;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) {
            error = "connect: " + errnoText(soError);
            return IoResult::Failed;
        }
    }
    // Chunked replies are meant to leave in the pieces they were written in.
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    out = std::move(fd);
    return IoResult::Done;
}

IoResult sendAll(int fd, std::string_view bytes, int stopFd, int stallTimeoutMs,
                 std::string& error) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = "send: " + errnoText(errno);
            return IoResult::Failed;
        }
        const int ready = pollWithStop(fd, POLLOUT, stopFd, stallTimeoutMs);
        if (ready < 0) {
            return IoResult::Stopped;
        }
        if (ready == 0) {
            error = "send: peer took nothing for " + std::to_string(stallTimeoutMs) + " ms";
            return IoResult::Failed;
        }
    }
    return IoResult::Done;
}

void drainUntilClosed(int fd, int stopFd, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char sink[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || pollWithStop(fd, POLLIN, stopFd, static_cast<int>(left)) <= 0) {
            return;
        }
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return;
        }
    }
}

}  // namespace unitsim::net
