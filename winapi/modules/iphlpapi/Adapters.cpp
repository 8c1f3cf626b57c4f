// Adapter functions: the system's network interfaces as Windows adapter records.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/if_link.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <windows.h>
#include <iphlpapi.h>

#include "Netlink.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kDevicePrefix = "\\DEVICE\\TCPIP_";
constexpr const char* kNoAddress = "0.0.0.0";
constexpr uint64_t kBitsPerMegabit = 1000000;
constexpr uint32_t kMainRoutingTable = 254;
constexpr size_t kEthernetAddressBytes = 6;
constexpr DWORD kLargestReassembledDatagramBytes = 65535;
// Windows fills the address row's broadcast field with the broadcast address's low bit.
constexpr DWORD kBroadcastLowBit = 1;

struct TypeMapping {
    unsigned short arpType;
    DWORD windowsType;
};

constexpr TypeMapping kInterfaceTypes[] = {
    {ARPHRD_ETHER, MIB_IF_TYPE_ETHERNET},
    {ARPHRD_LOOPBACK, MIB_IF_TYPE_LOOPBACK},
    {ARPHRD_PPP, MIB_IF_TYPE_PPP},
    {ARPHRD_SLIP, MIB_IF_TYPE_SLIP},
    {ARPHRD_IEEE802, MIB_IF_TYPE_TOKENRING},
    {ARPHRD_FDDI, MIB_IF_TYPE_FDDI},
    {ARPHRD_IEEE80211, IF_TYPE_IEEE80211},
    {ARPHRD_TUNNEL, IF_TYPE_TUNNEL},
    {ARPHRD_SIT, IF_TYPE_TUNNEL},
    {ARPHRD_IPGRE, IF_TYPE_TUNNEL},
    {ARPHRD_NONE, IF_TYPE_TUNNEL},
};

DWORD WindowsType(unsigned short arpType) {
    for (const auto& m : kInterfaceTypes)
        if (m.arpType == arpType)
            return m.windowsType;
    return MIB_IF_TYPE_OTHER;
}

struct Address {
    uint32_t address;  // network order
    uint32_t mask;
};

struct Interface {
    DWORD index = 0;
    std::string name;
    std::string description;
    unsigned flags = 0;
    DWORD type = MIB_IF_TYPE_OTHER;
    std::vector<BYTE> physical;
    DWORD mtu = 0;
    DWORD speedBitsPerSecond = 0;
    std::vector<Address> addresses;
    std::vector<uint32_t> gateways;
    rtnl_link_stats stats{};
};

class ControlSocket {
public:
    ControlSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~ControlSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Query(unsigned long request, ifreq& rq) const {
        return fd_ >= 0 && ::ioctl(fd_, request, &rq) == 0;
    }

private:
    int fd_;
};

ifreq RequestFor(const std::string& name) {
    ifreq rq{};
    std::strncpy(rq.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return rq;
}

void ReadLinkDetails(const ControlSocket& control, Interface& itf) {
    ifreq rq = RequestFor(itf.name);
    if (control.Query(SIOCGIFFLAGS, rq))
        itf.flags = static_cast<unsigned short>(rq.ifr_flags);
    rq = RequestFor(itf.name);
    if (control.Query(SIOCGIFMTU, rq))
        itf.mtu = static_cast<DWORD>(rq.ifr_mtu);
    rq = RequestFor(itf.name);
    if (control.Query(SIOCGIFHWADDR, rq)) {
        itf.type = WindowsType(rq.ifr_hwaddr.sa_family);
        if (itf.type == MIB_IF_TYPE_ETHERNET || itf.type == IF_TYPE_IEEE80211)
            itf.physical.assign(rq.ifr_hwaddr.sa_data,
                                rq.ifr_hwaddr.sa_data + kEthernetAddressBytes);
    }
    // The driver's name stands in for the adapter's product description.
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    rq = RequestFor(itf.name);
    rq.ifr_data = reinterpret_cast<char*>(&info);
    itf.description = itf.name;
    if (control.Query(SIOCETHTOOL, rq) && info.driver[0])
        itf.description = std::string(info.driver) + " (" + itf.name + ")";
    ethtool_cmd settings{};
    settings.cmd = ETHTOOL_GSET;
    rq = RequestFor(itf.name);
    rq.ifr_data = reinterpret_cast<char*>(&settings);
    if (control.Query(SIOCETHTOOL, rq)) {
        uint32_t mbps = ethtool_cmd_speed(&settings);
        if (mbps != 0 && mbps != static_cast<uint32_t>(SPEED_UNKNOWN))
            itf.speedBitsPerSecond = static_cast<DWORD>(
                std::min<uint64_t>(uint64_t(mbps) * kBitsPerMegabit, 0xFFFFFFFFu));
    }
}

// Every interface of the system in index order, with its IPv4 addresses, default gateways
// and counters.
std::vector<Interface> ListInterfaces() {
    std::vector<Interface> list;
    if (struct if_nameindex* names = if_nameindex()) {
        for (struct if_nameindex* n = names; n->if_index != 0; ++n) {
            Interface itf;
            itf.index = n->if_index;
            itf.name = n->if_name;
            list.push_back(std::move(itf));
        }
        if_freenameindex(names);
    }
    std::sort(list.begin(), list.end(),
              [](const Interface& a, const Interface& b) { return a.index < b.index; });
    auto find = [&list](const char* label) -> Interface* {
        std::string name = label;
        name = name.substr(0, name.find(':'));  // "eth0:1" is an address label of eth0
        for (auto& itf : list)
            if (itf.name == name)
                return &itf;
        return nullptr;
    };
    ControlSocket control;
    for (auto& itf : list)
        ReadLinkDetails(control, itf);
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) == 0) {
        for (ifaddrs* a = all; a; a = a->ifa_next) {
            if (!a->ifa_addr || !a->ifa_name)
                continue;
            Interface* itf = find(a->ifa_name);
            if (!itf)
                continue;
            if (a->ifa_addr->sa_family == AF_INET) {
                Address address{};
                address.address = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
                if (a->ifa_netmask)
                    address.mask = reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr;
                itf->addresses.push_back(address);
            } else if (a->ifa_addr->sa_family == AF_PACKET && a->ifa_data) {
                std::memcpy(&itf->stats, a->ifa_data, sizeof itf->stats);
            }
        }
        freeifaddrs(all);
    }
    std::vector<iphlp::RouteInfo> routes;
    if (iphlp::DumpRoutes(routes) == 0) {
        for (const auto& r : routes) {
            if (r.prefixLength != 0 || !r.hasGateway || r.table != kMainRoutingTable)
                continue;
            for (auto& itf : list)
                if (static_cast<int>(itf.index) == r.outputInterface)
                    itf.gateways.push_back(r.gateway);
        }
    }
    return list;
}

// Adapters as Windows lists them: not the loopback interface, not those switched off.
std::vector<Interface> ListAdapters() {
    std::vector<Interface> all = ListInterfaces();
    std::vector<Interface> adapters;
    for (auto& itf : all)
        if (!(itf.flags & IFF_LOOPBACK) && (itf.flags & IFF_UP))
            adapters.push_back(std::move(itf));
    return adapters;
}

std::string DeviceName(const Interface& itf) {
    return kDevicePrefix + itf.name;
}

template <size_t N>
void CopyWide(uint16_t (&to)[N], const std::string& from) {
    size_t n = std::min(from.size(), N - 1);
    for (size_t i = 0; i < n; ++i)
        to[i] = static_cast<unsigned char>(from[i]);
    to[n] = 0;
}

template <size_t N>
void CopyText(char (&to)[N], const std::string& from) {
    size_t n = std::min(from.size(), N - 1);
    std::memcpy(to, from.data(), n);
    to[n] = 0;
}

void SetAddressString(IP_ADDR_STRING& s, uint32_t address, uint32_t mask, DWORD context) {
    in_addr a{address};
    in_addr m{mask};
    inet_ntop(AF_INET, &a, s.IpAddress.String, sizeof s.IpAddress.String);
    inet_ntop(AF_INET, &m, s.IpMask.String, sizeof s.IpMask.String);
    s.Context = context;
    s.Next = nullptr;
}

// Extra list entries an adapter needs beyond the ones inside its record.
size_t ExtraEntries(const Interface& itf) {
    return (itf.addresses.size() > 1 ? itf.addresses.size() - 1 : 0) +
           (itf.gateways.size() > 1 ? itf.gateways.size() - 1 : 0);
}

}  // namespace

extern "C" {

DWORD WINAPI GetInterfaceInfo(PIP_INTERFACE_INFO pIfTable, PULONG dwOutBufLen) {
    if (!dwOutBufLen)
        return ERROR_INVALID_PARAMETER;
    std::vector<Interface> adapters = ListAdapters();
    if (adapters.empty())
        return ERROR_NO_DATA;
    size_t needed =
        offsetof(IP_INTERFACE_INFO, Adapter) + adapters.size() * sizeof(IP_ADAPTER_INDEX_MAP);
    if (!pIfTable || *dwOutBufLen < needed) {
        *dwOutBufLen = static_cast<ULONG>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memset(pIfTable, 0, needed);
    pIfTable->NumAdapters = static_cast<LONG>(adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        pIfTable->Adapter[i].Index = adapters[i].index;
        CopyWide(pIfTable->Adapter[i].Name, DeviceName(adapters[i]));
    }
    return NO_ERROR;
}

DWORD WINAPI GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, PULONG pOutBufLen) {
    if (!pOutBufLen)
        return ERROR_INVALID_PARAMETER;
    std::vector<Interface> adapters = ListAdapters();
    if (adapters.empty())
        return ERROR_NO_DATA;
    size_t extra = 0;
    for (const auto& itf : adapters)
        extra += ExtraEntries(itf);
    size_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (!pAdapterInfo || *pOutBufLen < needed) {
        *pOutBufLen = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(pAdapterInfo, 0, needed);
    // Records first, then the further list entries, all inside the caller's buffer.
    auto* spare = reinterpret_cast<IP_ADDR_STRING*>(pAdapterInfo + adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        const Interface& itf = adapters[i];
        IP_ADAPTER_INFO& info = pAdapterInfo[i];
        info.Next = i + 1 < adapters.size() ? &pAdapterInfo[i + 1] : nullptr;
        info.ComboIndex = itf.index;
        CopyText(info.AdapterName, itf.name);
        CopyText(info.Description, itf.description);
        info.AddressLength = static_cast<UINT>(itf.physical.size());
        std::copy(itf.physical.begin(), itf.physical.end(), info.Address);
        info.Index = itf.index;
        info.Type = itf.type;
        info.DhcpEnabled = FALSE;  // leases belong to the system's own network configuration
        if (itf.addresses.empty()) {
            SetAddressString(info.IpAddressList, 0, 0, 0);
        } else {
            IP_ADDR_STRING* tail = &info.IpAddressList;
            for (size_t a = 0; a < itf.addresses.size(); ++a) {
                IP_ADDR_STRING* entry = a == 0 ? tail : spare++;
                SetAddressString(*entry, itf.addresses[a].address, itf.addresses[a].mask,
                                 itf.index);
                if (a > 0)
                    tail->Next = entry;
                tail = entry;
            }
        }
        if (itf.gateways.empty()) {
            SetAddressString(info.GatewayList, 0, 0, 0);
        } else {
            IP_ADDR_STRING* tail = &info.GatewayList;
            for (size_t g = 0; g < itf.gateways.size(); ++g) {
                IP_ADDR_STRING* entry = g == 0 ? tail : spare++;
                SetAddressString(*entry, itf.gateways[g], 0xFFFFFFFFu, 0);
                if (g > 0)
                    tail->Next = entry;
                tail = entry;
            }
        }
        CopyText(info.DhcpServer.IpAddress.String, kNoAddress);
        CopyText(info.DhcpServer.IpMask.String, kNoAddress);
        info.HaveWins = FALSE;
    }
    return NO_ERROR;
}

DWORD WINAPI GetIfEntry(PMIB_IFROW pIfRow) {
    if (!pIfRow)
        return ERROR_INVALID_PARAMETER;
    const DWORD index = pIfRow->dwIndex;
    for (const Interface& itf : ListInterfaces()) {
        if (itf.index != index)
            continue;
        MIB_IFROW row{};
        CopyWide(row.wszName, DeviceName(itf));
        row.dwIndex = itf.index;
        row.dwType = itf.type;
        row.dwMtu = itf.mtu;
        row.dwSpeed = itf.speedBitsPerSecond;
        row.dwPhysAddrLen = static_cast<DWORD>(itf.physical.size());
        std::copy(itf.physical.begin(), itf.physical.end(), row.bPhysAddr);
        row.dwAdminStatus =
            (itf.flags & IFF_UP) ? MIB_IF_ADMIN_STATUS_UP : MIB_IF_ADMIN_STATUS_DOWN;
        if (!(itf.flags & IFF_UP))
            row.dwOperStatus = MIB_IF_OPER_STATUS_NON_OPERATIONAL;
        else if (itf.flags & IFF_RUNNING)
            row.dwOperStatus = MIB_IF_OPER_STATUS_OPERATIONAL;
        else
            row.dwOperStatus = MIB_IF_OPER_STATUS_DISCONNECTED;
        const rtnl_link_stats& s = itf.stats;
        row.dwInOctets = s.rx_bytes;
        row.dwInNUcastPkts = s.multicast;
        row.dwInUcastPkts = s.rx_packets - std::min(s.rx_packets, s.multicast);
        row.dwInDiscards = s.rx_dropped;
        row.dwInErrors = s.rx_errors;
        row.dwOutOctets = s.tx_bytes;
        row.dwOutUcastPkts = s.tx_packets;
        row.dwOutDiscards = s.tx_dropped;
        row.dwOutErrors = s.tx_errors;
        size_t descr = std::min(itf.description.size(), sizeof row.bDescr - 1);
        std::memcpy(row.bDescr, itf.description.data(), descr);
        row.dwDescrLen = static_cast<DWORD>(descr + 1);
        *pIfRow = row;
        return NO_ERROR;
    }
    return ERROR_INVALID_DATA;
}

DWORD WINAPI GetNumberOfInterfaces(PDWORD pdwNumIf) {
    if (!pdwNumIf)
        return ERROR_INVALID_PARAMETER;
    *pdwNumIf = static_cast<DWORD>(ListInterfaces().size());
    return NO_ERROR;
}

DWORD WINAPI GetIpAddrTable(PMIB_IPADDRTABLE pIpAddrTable, PULONG pdwSize, BOOL bOrder) {
    if (!pdwSize)
        return ERROR_INVALID_PARAMETER;
    std::vector<MIB_IPADDRROW> rows;
    for (const Interface& itf : ListInterfaces()) {
        for (const Address& a : itf.addresses) {
            MIB_IPADDRROW row{};
            row.dwAddr = a.address;
            row.dwIndex = itf.index;
            row.dwMask = a.mask;
            row.dwBCastAddr = kBroadcastLowBit;
            row.dwReasmSize = kLargestReassembledDatagramBytes;
            row.wType = MIB_IPADDR_PRIMARY;
            if (!(itf.flags & IFF_RUNNING))
                row.wType |= MIB_IPADDR_DISCONNECTED;
            rows.push_back(row);
        }
    }
    if (bOrder)
        std::sort(rows.begin(), rows.end(), [](const MIB_IPADDRROW& x, const MIB_IPADDRROW& y) {
            return ntohl(x.dwAddr) < ntohl(y.dwAddr);
        });
    size_t needed = offsetof(MIB_IPADDRTABLE, table) + rows.size() * sizeof(MIB_IPADDRROW);
    needed = std::max(needed, sizeof(MIB_IPADDRTABLE));
    if (!pIpAddrTable || *pdwSize < needed) {
        *pdwSize = static_cast<ULONG>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memset(pIpAddrTable, 0, needed);
    pIpAddrTable->dwNumEntries = static_cast<DWORD>(rows.size());
    std::copy(rows.begin(), rows.end(), pIpAddrTable->table);
    return NO_ERROR;
}

DWORD WINAPI IpReleaseAddress(PIP_ADAPTER_INDEX_MAP AdapterInfo) {
    return AdapterInfo ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
}

DWORD WINAPI IpRenewAddress(PIP_ADAPTER_INDEX_MAP AdapterInfo) {
    return AdapterInfo ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
}

DWORD WINAPI SetAdapterIpAddress(LPSTR AdapterName, BOOL /*EnableDHCP*/, ULONG /*IPAddress*/,
                                 ULONG /*SubnetMask*/, ULONG /*DefaultGateway*/) {
    return AdapterName ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
}

}  // extern "C"
