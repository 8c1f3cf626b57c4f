// GetBestRoute: the kernel's route towards an address, as a Windows forwarding row.
#include <windows.h>
#include <iphlpapi.h>

#include "Netlink.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

struct ProtocolMapping {
    unsigned char linuxProtocol;
    DWORD windowsProtocol;
};

// Routes the system made itself count as local; configured ones as network management.
constexpr ProtocolMapping kProtocols[] = {
    {RTPROT_KERNEL, MIB_IPPROTO_LOCAL},   {RTPROT_BOOT, MIB_IPPROTO_NETMGMT},
    {RTPROT_STATIC, MIB_IPPROTO_NETMGMT}, {RTPROT_DHCP, MIB_IPPROTO_NETMGMT},
    {RTPROT_RA, MIB_IPPROTO_NETMGMT},
};

DWORD WindowsProtocol(unsigned char protocol) {
    for (const auto& m : kProtocols)
        if (m.linuxProtocol == protocol)
            return m.windowsProtocol;
    return MIB_IPPROTO_OTHER;
}

DWORD Win32FromRouteErrno(int err) {
    switch (err) {
        case ENETUNREACH:
            return ERROR_NETWORK_UNREACHABLE;
        case EHOSTUNREACH:
            return ERROR_HOST_UNREACHABLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_CAN_NOT_COMPLETE;
    }
}

DWORD MaskOf(unsigned prefixLength) {
    if (prefixLength == 0)
        return 0;
    return htonl(prefixLength >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefixLength));
}

// The source address the system would use towards `destination`, for routes that name none.
DWORD SourceTowards(DWORD destination) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);  // connect on a datagram socket only picks a route; nothing is sent
    to.sin_addr.s_addr = destination;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    DWORD source = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        source = local.sin_addr.s_addr;
    ::close(fd);
    return source;
}

}  // namespace

extern "C" DWORD WINAPI GetBestRoute(DWORD dwDestAddr, DWORD dwSourceAddr,
                                     PMIB_IPFORWARDROW pBestRoute) {
    if (!pBestRoute)
        return ERROR_INVALID_PARAMETER;
    iphlp::RouteInfo resolved;
    if (int err = iphlp::QueryRoute(dwDestAddr, dwSourceAddr, false, resolved))
        return Win32FromRouteErrno(err);
    // The table entry gives the network and metric; the resolved route gives the next hop.
    iphlp::RouteInfo entry;
    bool haveEntry = iphlp::QueryRoute(dwDestAddr, dwSourceAddr, true, entry) == 0;
    if (!haveEntry) {
        entry = resolved;
        entry.prefixLength = 32;
        entry.destination = dwDestAddr;
    }
    MIB_IPFORWARDROW row{};
    row.dwForwardMask = MaskOf(entry.prefixLength);
    row.dwForwardDest = entry.destination & row.dwForwardMask;
    if (resolved.hasGateway) {
        row.dwForwardNextHop = resolved.gateway;
        row.dwForwardType = MIB_IPROUTE_TYPE_INDIRECT;
    } else {
        // A directly attached network: the computer's own address on it, as Windows reports.
        row.dwForwardNextHop =
            resolved.hasPreferredSource ? resolved.preferredSource : SourceTowards(dwDestAddr);
        row.dwForwardType = MIB_IPROUTE_TYPE_DIRECT;
    }
    row.dwForwardIfIndex = static_cast<DWORD>(resolved.outputInterface);
    row.dwForwardProto = WindowsProtocol(entry.protocol);
    row.dwForwardMetric1 = entry.priority;
    row.dwForwardMetric2 = MIB_IPROUTE_METRIC_UNUSED;
    row.dwForwardMetric3 = MIB_IPROUTE_METRIC_UNUSED;
    row.dwForwardMetric4 = MIB_IPROUTE_METRIC_UNUSED;
    row.dwForwardMetric5 = MIB_IPROUTE_METRIC_UNUSED;
    *pBestRoute = row;
    return NO_ERROR;
}

extern "C" DWORD WINAPI GetBestInterface(IPAddr dwDestAddr, PDWORD pdwBestIfIndex) {
    if (!pdwBestIfIndex)
        return ERROR_INVALID_PARAMETER;
    iphlp::RouteInfo resolved;
    if (int err = iphlp::QueryRoute(dwDestAddr, 0, false, resolved))
        return Win32FromRouteErrno(err);
    *pdwBestIfIndex = static_cast<DWORD>(resolved.outputInterface);
    return NO_ERROR;
}
