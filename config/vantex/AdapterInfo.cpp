// AdapterInfo: adapter list, best interface, and the address-table row of that interface.
#include "AdapterInfo.h"

#include <winsock2.h>

namespace {

DWORD WINAPI NoAdaptersInfo(PIP_ADAPTER_INFO, PULONG) {
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI NoNumberOfInterfaces(PDWORD) {
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI NoBestInterface(IPAddr, PDWORD) {
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI NoIpAddrTable(PMIB_IPADDRTABLE, PULONG, BOOL) {
    return ERROR_DLL_INIT_FAILED;
}

template <class Function>
Function Bind(HMODULE module, const char* name, Function missing) {
    if (!module)
        return missing;
    auto found = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return found ? found : missing;
}

}  // namespace

AdapterSource AdapterSource::System() {
    // Loaded once for the process, as a statically bound library would be.
    static HMODULE module = LoadLibraryA("iphlpapi.dll");
    AdapterSource source;
    source.getAdaptersInfo = Bind(module, "GetAdaptersInfo", &NoAdaptersInfo);
    source.getNumberOfInterfaces = Bind(module, "GetNumberOfInterfaces", &NoNumberOfInterfaces);
    source.getBestInterface = Bind(module, "GetBestInterface", &NoBestInterface);
    source.getIpAddrTable = Bind(module, "GetIpAddrTable", &NoIpAddrTable);
    return source;
}

AdapterInfo::AdapterInfo(const AdapterSource& source) : m_source(source) {
    if (!m_source.getAdaptersInfo)
        return;
    ULONG size = kFirstBufferBytes;
    m_buffer.assign(size, 0);
    DWORD rc = m_source.getAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(m_buffer.data()), &size);
    if (rc == ERROR_BUFFER_OVERFLOW && size > m_buffer.size()) {
        m_buffer.assign(size, 0);
        rc = m_source.getAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(m_buffer.data()), &size);
    }
    m_listed = rc == NO_ERROR;
}

const IP_ADAPTER_INFO* AdapterInfo::First() const {
    return m_listed ? reinterpret_cast<const IP_ADAPTER_INFO*>(m_buffer.data()) : nullptr;
}

int AdapterInfo::AdapterCount() const {
    int count = 0;
    for (const IP_ADAPTER_INFO* a = First(); a; a = a->Next)
        ++count;
    return count;
}

bool AdapterInfo::LocalAddressTowards(const std::string& unitAddress, std::string& local) const {
    local.clear();
    if (unitAddress.empty() || !m_source.getBestInterface || !m_source.getIpAddrTable)
        return false;
    const IPAddr destination = inet_addr(unitAddress.c_str());
    if (destination == INADDR_NONE)
        return false;
    DWORD interfaces = 0;
    if (m_source.getNumberOfInterfaces)
        m_source.getNumberOfInterfaces(&interfaces);
    // The call's own result says whether it found a route; an interface index is an identifier,
    // not a position, so it is never compared with the number of interfaces.
    DWORD best = 0;
    if (m_source.getBestInterface(destination, &best) != NO_ERROR)
        return false;

    ULONG size = 0;
    if (m_source.getIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return false;
    std::vector<unsigned char> table(size, 0);
    auto* rows = reinterpret_cast<PMIB_IPADDRTABLE>(table.data());
    if (m_source.getIpAddrTable(rows, &size, FALSE) != NO_ERROR)
        return false;
    const DWORD count = rows->dwNumEntries;
    if (offsetof(MIB_IPADDRTABLE, table) + count * sizeof(MIB_IPADDRROW) > table.size())
        return false;
    // The first row of the best interface gives the address; an index no row has (an error
    // code taken for an index, say) gives none.
    for (DWORD i = 0; i < count; ++i) {
        if (rows->table[i].dwIndex != best)
            continue;
        in_addr address{};
        address.s_addr = rows->table[i].dwAddr;
        local = inet_ntoa(address);
        return !local.empty();
    }
    return false;
}
