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

/* The number of interfaces, the loopback interface included. */
DWORD WINAPI GetNumberOfInterfaces(PDWORD pdwNumIf);
/* The index of the interface the route towards dwDestAddr leaves through. */
DWORD WINAPI GetBestInterface(IPAddr dwDestAddr, PDWORD pdwBestIfIndex);
/* Every IPv4 address of every interface, ascending by address when bOrder is set;
 * ERROR_INSUFFICIENT_BUFFER with the size needed in *pdwSize when the table does not fit. */
DWORD WINAPI GetIpAddrTable(PMIB_IPADDRTABLE pIpAddrTable, PULONG pdwSize, BOOL bOrder);

#ifdef __cplusplus
}
#endif
