// Network helper: binds the IP helper and ICMP functions by name and pings or routes through them.
#include "vantaproto/IpHelper.h"

#include <winsock2.h>

#include <cstring>
#include <memory>
#include <new>
#include <tuple>

namespace {

constexpr char kIpHelperLibraryName[] = "iphlpapi.dll";
constexpr char kIcmpLibraryName[] = "icmp.dll";

// Where an entry is looked up: the library that has the second send-echo form, or the IP
// helper library.
enum class Source { EchoLibrary, IpHelperLibrary };

// Substitutes installed when the functions are missing: same signatures, last error 1114.
HANDLE WINAPI MissingIcmpCreateFile() {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return INVALID_HANDLE_VALUE;
}
DWORD WINAPI MissingIcmpSendEcho(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID,
                                 DWORD, DWORD) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return 0;
}
DWORD WINAPI MissingIcmpSendEcho2(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, IPAddr, LPVOID, WORD,
                                  PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return 0;
}
BOOL WINAPI MissingIcmpCloseHandle(HANDLE) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return FALSE;
}
DWORD WINAPI MissingGetInterfaceInfo(PIP_INTERFACE_INFO, PULONG) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI MissingGetAdaptersInfo(PIP_ADAPTER_INFO, PULONG) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI MissingGetIfEntry(PMIB_IFROW) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI MissingIpReleaseAddress(PIP_ADAPTER_INDEX_MAP) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI MissingIpRenewAddress(PIP_ADAPTER_INDEX_MAP) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI MissingGetBestRoute(DWORD, DWORD, PMIB_IPFORWARDROW) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return ERROR_DLL_INIT_FAILED;
}
DWORD WINAPI MissingSetAdapterIpAddress(LPSTR, BOOL, ULONG, ULONG, ULONG) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return ERROR_DLL_INIT_FAILED;
}

// One row of the function table: the exported name, where it is looked up, the member it
// fills and the substitute that stands in when the helper is not available.
template <class F>
struct Row {
    const char* name;
    Source source;
    F IpHelperFunctions::*member;
    F substitute;
};

// The function table, in IpHelperFunctions' order.
constexpr auto kBindings = std::make_tuple(
    Row<decltype(&::IcmpCreateFile)>{"IcmpCreateFile", Source::EchoLibrary,
                                     &IpHelperFunctions::pIcmpCreateFile, &MissingIcmpCreateFile},
    Row<decltype(&::IcmpSendEcho)>{"IcmpSendEcho", Source::EchoLibrary,
                                   &IpHelperFunctions::pIcmpSendEcho, &MissingIcmpSendEcho},
    Row<decltype(&::IcmpSendEcho2)>{"IcmpSendEcho2", Source::EchoLibrary,
                                    &IpHelperFunctions::pIcmpSendEcho2, &MissingIcmpSendEcho2},
    Row<decltype(&::IcmpCloseHandle)>{"IcmpCloseHandle", Source::EchoLibrary,
                                      &IpHelperFunctions::pIcmpCloseHandle,
                                      &MissingIcmpCloseHandle},
    Row<decltype(&::GetInterfaceInfo)>{"GetInterfaceInfo", Source::IpHelperLibrary,
                                       &IpHelperFunctions::pGetInterfaceInfo,
                                       &MissingGetInterfaceInfo},
    Row<decltype(&::GetAdaptersInfo)>{"GetAdaptersInfo", Source::IpHelperLibrary,
                                      &IpHelperFunctions::pGetAdaptersInfo,
                                      &MissingGetAdaptersInfo},
    Row<decltype(&::GetIfEntry)>{"GetIfEntry", Source::IpHelperLibrary,
                                 &IpHelperFunctions::pGetIfEntry, &MissingGetIfEntry},
    Row<decltype(&::IpReleaseAddress)>{"IpReleaseAddress", Source::IpHelperLibrary,
                                       &IpHelperFunctions::pIpReleaseAddress,
                                       &MissingIpReleaseAddress},
    Row<decltype(&::IpRenewAddress)>{"IpRenewAddress", Source::IpHelperLibrary,
                                     &IpHelperFunctions::pIpRenewAddress, &MissingIpRenewAddress},
    Row<decltype(&::GetBestRoute)>{"GetBestRoute", Source::IpHelperLibrary,
                                   &IpHelperFunctions::pGetBestRoute, &MissingGetBestRoute},
    Row<decltype(&::SetAdapterIpAddress)>{"SetAdapterIpAddress", Source::IpHelperLibrary,
                                          &IpHelperFunctions::pSetAdapterIpAddress,
                                          &MissingSetAdapterIpAddress});

static_assert(std::tuple_size_v<decltype(kBindings)> == IpHelper::kFunctionCount);

}  // namespace

IpHelper::IpHelper() {
    m_ipHelperLibrary = LoadLibraryA(kIpHelperLibraryName);
    m_icmpLibrary = LoadLibraryA(kIcmpLibraryName);
    // The second send-echo form decides which library supplies the ICMP functions.
    HMODULE echoLibrary = nullptr;
    if (m_ipHelperLibrary && GetProcAddress(m_ipHelperLibrary, "IcmpSendEcho2"))
        echoLibrary = m_ipHelperLibrary;
    else if (m_icmpLibrary && GetProcAddress(m_icmpLibrary, "IcmpSendEcho2"))
        echoLibrary = m_icmpLibrary;

    bool allFound = m_ipHelperLibrary || m_icmpLibrary;
    std::apply(
        [&](const auto&... row) {
            auto bind = [&](const auto& r) {
                HMODULE from = r.source == Source::EchoLibrary ? echoLibrary : m_ipHelperLibrary;
                FARPROC entry = from ? GetProcAddress(from, r.name) : nullptr;
                if (!entry)
                    allFound = false;
                m_functions.*r.member =
                    reinterpret_cast<std::remove_cvref_t<decltype(r.substitute)>>(
                        reinterpret_cast<void*>(entry));
            };
            (bind(row), ...);
        },
        kBindings);
    m_available = allFound;
    if (!m_available)
        std::apply([&](const auto&... row) { ((m_functions.*row.member = row.substitute), ...); },
                   kBindings);

    if (m_icmpLibrary && !(m_available && echoLibrary == m_icmpLibrary)) {
        FreeLibrary(m_icmpLibrary);
        m_icmpLibrary = nullptr;
    }
    if (m_ipHelperLibrary && !m_available) {
        FreeLibrary(m_ipHelperLibrary);
        m_ipHelperLibrary = nullptr;
    }
}

IpHelper::~IpHelper() {
    if (m_icmpLibrary)
        FreeLibrary(m_icmpLibrary);
    if (m_ipHelperLibrary)
        FreeLibrary(m_ipHelperLibrary);
}

DWORD IpHelper::Ping(IPAddr address, DWORD timeoutMs) {
    if (!m_available)
        return ERROR_DLL_INIT_FAILED;
    if (address == INADDR_NONE)
        return ERROR_BAD_ARGUMENTS;
    std::unique_ptr<unsigned char[]> reply(new (std::nothrow) unsigned char[kReplyBufferBytes]);
    if (!reply)
        return ERROR_NOT_ENOUGH_MEMORY;

    DWORD status;
    HANDLE icmp = m_functions.pIcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        status = GetLastError();
    } else {
        char payload[kEchoPayloadBytes];
        std::memcpy(payload, kEchoPayload, kEchoPayloadBytes);
        DWORD replies =
            m_functions.pIcmpSendEcho(icmp, address, payload, kEchoPayloadBytes, nullptr,
                                      reply.get(), kReplyBufferBytes, timeoutMs);
        if (replies != 0) {
            // An ICMP error (say, host unreachable from a router) is a reply too, but not an
            // answer from the unit.
            ICMP_ECHO_REPLY record;
            std::memcpy(&record, reply.get(), sizeof record);
            status = record.Status;
        } else {
            status = GetLastError();
            if (status == ERROR_SUCCESS)
                status = IP_GENERAL_FAILURE;
        }
        m_functions.pIcmpCloseHandle(icmp);
    }
    return status;
}

DWORD IpHelper::Ping(const char* address, DWORD timeoutMs) {
    return Ping(static_cast<IPAddr>(inet_addr(address)), timeoutMs);
}

DWORD IpHelper::BestRoute(IPAddr address, IPAddr& nextHop) {
    nextHop = INADDR_NONE;
    if (!m_available)
        return ERROR_DLL_INIT_FAILED;
    if (address == INADDR_NONE)
        return ERROR_BAD_ARGUMENTS;
    MIB_IPFORWARDROW route{};
    DWORD result = m_functions.pGetBestRoute(address, 0, &route);
    if (result != NO_ERROR)
        return result;
    nextHop = route.dwForwardNextHop;
    return NO_ERROR;
}

HRESULT IpHelper::LocalAddressTowards(const char* address, std::string& localAddress) {
    localAddress.clear();
    IPAddr destination = static_cast<IPAddr>(inet_addr(address));
    if (destination == INADDR_NONE)
        return ERROR_BAD_ARGUMENTS;
    IPAddr nextHop;
    if (BestRoute(destination, nextHop) != NO_ERROR)
        return E_FAIL;
    if (nextHop != INADDR_NONE) {
        in_addr hop{};
        hop.s_addr = nextHop;
        if (const char* text = inet_ntoa(hop))
            localAddress = text;
    }
    return S_OK;
}
