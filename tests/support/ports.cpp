// Reserved loopback ports: outside the ephemeral range, locked among test processes.
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace testsupport {
namespace {

constexpr char kLockFolder[] = "/tmp/suite-test-ports";
// Ports a test may take: above the well-known ones, below Linux's default ephemeral range; the
// actual range read from the system narrows this further.
constexpr unsigned kLowestPort = 20000;
constexpr unsigned kHighestPort = 32767;
constexpr int kAttempts = 500;

// The ephemeral range the system hands out for outgoing connections.
std::pair<unsigned, unsigned> EphemeralRange() {
    unsigned low = 32768, high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    return {low, high};
}

// Whether a TCP socket can bind and listen on 127.0.0.1:port right now.
bool Bindable(unsigned port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok =
        bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(s, 1) == 0;
    close(s);
    return ok;
}

}  // namespace

ReservedPort::ReservedPort() {
    mkdir(kLockFolder, 0777);
    const auto [ephemeralLow, ephemeralHigh] = EphemeralRange();
    std::random_device seed;
    std::mt19937 random(seed() ^ static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<unsigned> pick(kLowestPort, kHighestPort);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const unsigned port = pick(random);
        if (port >= ephemeralLow && port <= ephemeralHigh)
            continue;
        const std::string path = std::string(kLockFolder) + "/" + std::to_string(port);
        const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !Bindable(port)) {
            close(fd);
            continue;
        }
        m_port = static_cast<std::uint16_t>(port);
        m_lockFile = fd;
        return;
    }
    throw std::runtime_error("no free loopback port outside the ephemeral range");
}

ReservedPort::~ReservedPort() {
    if (m_lockFile >= 0)
        close(m_lockFile);  // releases the lock; the file stays for the next reservation
}

}  // namespace testsupport
