/* Windows Sockets 1.1 (wsock32): the same blocking socket calls as Winsock 2 on this platform.
 *
 * Programs of the 1.1 era include this header and ask WSAStartup for version 1.1; every call
 * they make (socket, bind, listen, accept, connect, send, recv, select, closesocket, inet_addr,
 * gethostbyname, htons) has the same Winsock semantics here as through winsock2.h. */
#pragma once

#include "winsock2.h"

/* The version a 1.1 program asks WSAStartup for. */
#define WINSOCK_VERSION_1_1 MAKEWORD(1, 1)
