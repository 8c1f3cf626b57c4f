/* IP helper functions: adapters, interfaces, the best route towards an address. */
#pragma once

#include "windows.h"
#include "iprtrmib.h"
#include "ipexport.h"
#include "iptypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Adapter index maps of the IP-enabled adapters (not the loopback interface). */
DWORD WINAPI GetInterfaceInfo(PIP_INTERFACE_INFO pIfTable, PULONG dwOutBufLen);
/* The adapter list (not the loopback interface); ERROR_BUFFER_OVERFLOW with the size needed
 * in *pOutBufLen when the buffer is too small, ERROR_NO_DATA when there is no adapter. */
DWORD WINAPI GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, PULONG pOutBufLen);
/* Fills the row for pIfRow->dwIndex (any interface, the loopback one included). */
DWORD WINAPI GetIfEntry(PMIB_IFROW pIfRow);
/* DHCP lease control and address assignment: ERROR_NOT_SUPPORTED here, where addresses are
 * managed by the system's own network configuration. */
DWORD WINAPI IpReleaseAddress(PIP_ADAPTER_INDEX_MAP AdapterInfo);
DWORD WINAPI IpRenewAddress(PIP_ADAPTER_INDEX_MAP AdapterInfo);
DWORD WINAPI SetAdapterIpAddress(LPSTR AdapterName, BOOL EnableDHCP, ULONG IPAddress,
                                 ULONG SubnetMask, ULONG DefaultGateway);
/* The route towards dwDestAddr. For a directly attached network the next hop is the computer's
 * own address on it. */
DWORD WINAPI GetBestRoute(DWORD dwDestAddr, DWORD dwSourceAddr, PMIB_IPFORWARDROW pBestRoute);

#ifdef __cplusplus
}
#endif
