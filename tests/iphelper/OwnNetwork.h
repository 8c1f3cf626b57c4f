// Test support: run code in a network namespace of its own and tune it, touching no other network.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace iphelper_test {

// Runs `body` on a thread that has moved into a new network namespace with only its loopback
// interface, brought up. Returns an empty text, or why the system refused the namespace (the
// caller skips then). Sockets, sysctl files and child processes of that thread see only the
// new namespace, which disappears when the thread ends.
std::string RunInOwnNetwork(const std::function<void()>& body);

// Writes a sysctl of the calling thread's namespace, e.g. "net/ipv4/icmp_echo_ignore_all".
bool WriteSysctl(const std::string& name, const std::string& value);

// Runs an iproute2 command line ("ip ...") from the calling thread; true when it succeeded.
bool RunIp(const std::string& arguments);

// Removes CAP_NET_RAW from the calling thread, so that raw sockets are refused to it.
bool DropRawSocketCapability();

}  // namespace iphelper_test

namespace iphelper_test {

// Plays a router that answers every echo request it sees in the calling thread's namespace
// with an ICMP "host unreachable" quoting it, until `stop` is called or kResponderLimitMs
// passes. Open it in the namespace's thread before it drops any capability.
class UnreachableResponder {
public:
    UnreachableResponder();
    ~UnreachableResponder();
    UnreachableResponder(const UnreachableResponder&) = delete;
    UnreachableResponder& operator=(const UnreachableResponder&) = delete;
    bool IsOpen() const { return m_fd >= 0; }

private:
    void Serve();
    int m_fd = -1;
    int m_stopPipe[2] = {-1, -1};
    std::thread m_thread;
};

}  // namespace iphelper_test
