// Network helper: ICMP ping and best-route lookup through the IP helper functions bound at run
// time.
#pragma once

#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <array>
#include <cstddef>
#include <string>

// The functions an IpHelper binds, in table order. When the helper is not available each one
// is a substitute that sets the last error to ERROR_DLL_INIT_FAILED and fails.
struct IpHelperFunctions {
    decltype(&::IcmpCreateFile) pIcmpCreateFile;
    decltype(&::IcmpSendEcho) pIcmpSendEcho;
    decltype(&::IcmpSendEcho2) pIcmpSendEcho2;
    decltype(&::IcmpCloseHandle) pIcmpCloseHandle;
    decltype(&::GetInterfaceInfo) pGetInterfaceInfo;
    decltype(&::GetAdaptersInfo) pGetAdaptersInfo;
    decltype(&::GetIfEntry) pGetIfEntry;
    decltype(&::IpReleaseAddress) pIpReleaseAddress;
    decltype(&::IpRenewAddress) pIpRenewAddress;
    decltype(&::GetBestRoute) pGetBestRoute;
    decltype(&::SetAdapterIpAddress) pSetAdapterIpAddress;
};

// Binds "iphlpapi.dll" and "icmp.dll" by name, so that the library loads where they are
// missing; then every operation reports ERROR_DLL_INIT_FAILED. Made, used and destroyed on one
// thread within one operation; never throws: results are Win32 codes.
class IpHelper {
public:
    static constexpr size_t kFunctionCount = 11;
    // The echo payload: the text "Echo Request" without its terminator.
    static constexpr char kEchoPayload[] = "Echo Request";
    static constexpr size_t kEchoPayloadBytes = sizeof kEchoPayload - 1;  // 12
    // Room for one reply record and the echoed payload, and never less than the record plus
    // the 8 bytes of an ICMP error (40 bytes with the 28-byte record of 32-bit Windows).
    static constexpr size_t kIcmpErrorBytes = 8;
    static constexpr size_t kReplyBufferBytes =
        sizeof(ICMP_ECHO_REPLY) +
        (kEchoPayloadBytes > kIcmpErrorBytes ? kEchoPayloadBytes : kIcmpErrorBytes);

    IpHelper();
    ~IpHelper();
    IpHelper(const IpHelper&) = delete;
    IpHelper& operator=(const IpHelper&) = delete;

    // Whether all eleven functions were found.
    bool IsAvailable() const { return m_available; }
    // The bound table (substitutes when not available), for tools that manage adapters.
    const IpHelperFunctions& Functions() const { return m_functions; }

    // ICMP echo to `address` (network order): 0 when an echo reply arrived; otherwise
    // ERROR_DLL_INIT_FAILED, ERROR_BAD_ARGUMENTS (INADDR_NONE), ERROR_NOT_ENOUGH_MEMORY, the
    // send-echo function's last error (IP_REQ_TIMED_OUT on time-out), or the status of an ICMP
    // error that came back instead of the reply.
    DWORD Ping(IPAddr address, DWORD timeoutMs);
    // As above for dotted text; text that inet_addr rejects, or none, is INADDR_NONE.
    DWORD Ping(const char* address, DWORD timeoutMs);

    // The next hop towards `address` (network order): 0 and the route's next hop, or the error
    // (ERROR_DLL_INIT_FAILED, ERROR_BAD_ARGUMENTS, GetBestRoute's result) and INADDR_NONE.
    DWORD BestRoute(IPAddr address, IPAddr& nextHop);

    // The computer's own address that faces `address`, as dotted text (the best route's next
    // hop, which for a directly attached network is that address). Returns 0; ERROR_BAD_ARGUMENTS
    // for a missing or unparsable text; E_FAIL when there is no route. `localAddress` is empty
    // unless the result is 0.
    HRESULT LocalAddressTowards(const char* address, std::string& localAddress);

private:
    bool m_available = false;
    HMODULE m_ipHelperLibrary = nullptr;
    HMODULE m_icmpLibrary = nullptr;
    IpHelperFunctions m_functions{};
};
