// Whether the computer's own name resolves from the hosts file, so a test that resolves it
// sends no query to a name server.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

inline bool LocalHostNameInHostsFile() {
    std::string name;
    std::ifstream("/proc/sys/kernel/hostname") >> name;
    if (name.empty())
        return false;
    std::ifstream hosts("/etc/hosts");
    std::string line;
    while (std::getline(hosts, line)) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string address, alias;
        fields >> address;
        if (address.find('.') == std::string::npos)
            continue;  // IPv4 entries only
        while (fields >> alias) {
            if (alias == name)
                return true;
        }
    }
    return false;
}
