/* IP helper export types: addresses, IP status codes, ICMP echo records, adapter index maps. */
#pragma once

#include "windef.h"

typedef ULONG IPAddr; /* IPv4 address, network order */
typedef ULONG IPMask;
typedef ULONG IP_STATUS;

/* Status codes of ICMP echo replies; also the last error of a failed send-echo. Values are
 * literal so they repeat winerror.h's IP_REQ_TIMED_OUT exactly. */
#define IP_STATUS_BASE 11000L
#define IP_SUCCESS 0L
#define IP_BUF_TOO_SMALL 11001L
#define IP_DEST_NET_UNREACHABLE 11002L
#define IP_DEST_HOST_UNREACHABLE 11003L
#define IP_DEST_PROT_UNREACHABLE 11004L
#define IP_DEST_PORT_UNREACHABLE 11005L
#define IP_NO_RESOURCES 11006L
#define IP_BAD_OPTION 11007L
#define IP_HW_ERROR 11008L
#define IP_PACKET_TOO_BIG 11009L
#define IP_REQ_TIMED_OUT 11010L
#define IP_BAD_REQ 11011L
#define IP_BAD_ROUTE 11012L
#define IP_TTL_EXPIRED_TRANSIT 11013L
#define IP_TTL_EXPIRED_REASSEM 11014L
#define IP_PARAM_PROBLEM 11015L
#define IP_SOURCE_QUENCH 11016L
#define IP_OPTION_TOO_BIG 11017L
#define IP_BAD_DESTINATION 11018L
#define IP_GENERAL_FAILURE 11050L

#define IP_FLAG_REVERSE 0x1
#define IP_FLAG_DF 0x2
#define MAX_OPT_SIZE 40

typedef struct ip_option_information {
    UCHAR Ttl;
    UCHAR Tos;
    UCHAR Flags;
    UCHAR OptionsSize;
    UCHAR* OptionsData;
} IP_OPTION_INFORMATION, *PIP_OPTION_INFORMATION;

/* One reply as the send-echo functions write it; the echoed data follows in the same buffer.
 * Reserved holds the number of replies in the buffer (read by IcmpParseReplies). */
typedef struct icmp_echo_reply {
    IPAddr Address;
    ULONG Status;
    ULONG RoundTripTime;
    USHORT DataSize;
    USHORT Reserved;
    PVOID Data;
    struct ip_option_information Options;
} ICMP_ECHO_REPLY, *PICMP_ECHO_REPLY;

#define MAX_ADAPTER_NAME 128

/* Name is UTF-16 text (WCHAR on Windows): "\DEVICE\TCPIP_" followed by the adapter name. */
typedef struct _IP_ADAPTER_INDEX_MAP {
    ULONG Index;
    uint16_t Name[MAX_ADAPTER_NAME];
} IP_ADAPTER_INDEX_MAP, *PIP_ADAPTER_INDEX_MAP;

typedef struct _IP_INTERFACE_INFO {
    LONG NumAdapters;
    IP_ADAPTER_INDEX_MAP Adapter[1];
} IP_INTERFACE_INFO, *PIP_INTERFACE_INFO;
