// Test support: run code in a network namespace of its own and tune it, touching no other network.
#pragma once

#include <functional>
#include <string>

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
