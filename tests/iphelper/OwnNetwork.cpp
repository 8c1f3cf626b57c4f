// Test support: threads in network namespaces of their own.
#include "OwnNetwork.h"

#include <linux/capability.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

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
