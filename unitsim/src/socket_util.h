// POSIX socket helpers of the virtual unit: owned descriptors, and waits that yield to a stop.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace unitsim::net {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// The unit's own threads block in poll on this pipe's read end next to their sockets; one write
// wakes all of them for good, because nobody ever reads it.
class StopSignal {
public:
    StopSignal();
    int waitFd() const { return read_.get(); }
    void raise();

private:
    Fd read_;
    Fd write_;
};

std::string endpointText(const sockaddr_in& addr);

// Parses dotted text or "localhost"; throws std::invalid_argument otherwise.
sockaddr_in makeEndpoint(std::string_view ip, std::uint16_t port);

bool isLoopback(const sockaddr_in& addr);

// A non-blocking listening socket; throws std::system_error.
Fd listenOn(const sockaddr_in& addr, int backlog);

std::uint16_t localPort(int fd);

enum class IoResult { Done, Failed, Stopped };

// Connects a non-blocking socket within timeoutMs.
IoResult connectTo(const sockaddr_in& addr, int stopFd, int timeoutMs, Fd& out, std::string& error);

// Writes all bytes; gives up when the peer takes nothing for stallTimeoutMs.
IoResult sendAll(int fd, std::string_view bytes, int stopFd, int stallTimeoutMs,
                 std::string& error);

// Reads and discards until the peer closes, the time-out passes or stop is raised, so that our
// close does not turn into a reset while the peer still has something on the way.
void drainUntilClosed(int fd, int stopFd, int timeoutMs);

}  // namespace unitsim::net
