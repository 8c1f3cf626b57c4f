// Test support: threads in network namespaces of their own.
#include "OwnNetwork.h"

#include <linux/capability.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace iphelper_test {

namespace {

bool BringLoopbackUp() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq rq{};
    std::strncpy(rq.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &rq) == 0;
    rq.ifr_flags = static_cast<short>(rq.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &rq) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::string RunInOwnNetwork(const std::function<void()>& body) {
    std::string refusal;
    std::thread worker([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            refusal = std::string("no network namespace: ") + std::strerror(errno);
            return;
        }
        if (!BringLoopbackUp()) {
            refusal = "loopback of the new namespace cannot be brought up";
            return;
        }
        body();
    });
    worker.join();
    return refusal;
}

bool WriteSysctl(const std::string& name, const std::string& value) {
    std::ofstream file("/proc/sys/" + name);
    file << value << '\n';
    file.close();
    return static_cast<bool>(file);
}

bool RunIp(const std::string& arguments) {
    // fork from this thread: the child shares its network namespace.
    pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        std::string command = "exec ip " + arguments + " >/dev/null 2>&1";
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool DropRawSocketCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
    data[CAP_TO_INDEX(CAP_NET_RAW)].permitted &= ~CAP_TO_MASK(CAP_NET_RAW);
    return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace iphelper_test

namespace iphelper_test {

namespace {

constexpr int kResponderLimitMs = 10000;
constexpr size_t kPacketBytes = 65536;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kDestinationUnreachable = 3;
constexpr uint8_t kHostUnreachable = 1;
constexpr size_t kIcmpHeaderBytes = 8;

uint16_t Checksum(const uint8_t* bytes, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < count; i += 2)
        sum += (uint32_t(bytes[i]) << 8) | bytes[i + 1];
    if (count & 1)
        sum += uint32_t(bytes[count - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

UnreachableResponder::UnreachableResponder() {
    m_fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (m_fd < 0 || ::pipe2(m_stopPipe, O_CLOEXEC) != 0)
        return;
    m_thread = std::thread([this] { Serve(); });
}

UnreachableResponder::~UnreachableResponder() {
    if (m_thread.joinable()) {
        char stop = 0;
        (void)!::write(m_stopPipe[1], &stop, 1);
        m_thread.join();
    }
    for (int fd : {m_fd, m_stopPipe[0], m_stopPipe[1]})
        if (fd >= 0)
            ::close(fd);
}

void UnreachableResponder::Serve() {
    std::vector<uint8_t> packet(kPacketBytes);
    for (;;) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        int r = ::poll(fds, 2, kResponderLimitMs);
        if (r <= 0 || (fds[1].revents & POLLIN))
            return;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(m_fd, packet.data(), packet.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 20)
            continue;
        size_t ihl = size_t(packet[0] & 0x0F) * 4;
        if (size_t(n) < ihl + kIcmpHeaderBytes || packet[ihl] != kEchoRequest)
            continue;
        // The error quotes the request's IP header and the first 8 bytes of its ICMP message.
        std::vector<uint8_t> error(kIcmpHeaderBytes + ihl + kIcmpHeaderBytes, 0);
        error[0] = kDestinationUnreachable;
        error[1] = kHostUnreachable;
        std::copy(packet.begin(), packet.begin() + ihl + kIcmpHeaderBytes,
                  error.begin() + kIcmpHeaderBytes);
        uint16_t sum = Checksum(error.data(), error.size());
        error[2] = static_cast<uint8_t>(sum >> 8);
        error[3] = static_cast<uint8_t>(sum);
        ::sendto(m_fd, error.data(), error.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 sizeof from);
    }
}

}  // namespace iphelper_test
