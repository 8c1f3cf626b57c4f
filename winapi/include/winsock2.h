/* Windows Sockets 2 on POSIX: Winsock types, the fd_set of a count and 64 sockets, WSA codes.
 *
 * The socket address types (sockaddr, sockaddr_in, in_addr, hostent, linger, timeval) are the
 * system's own, which have the Windows layout. Functions whose Winsock signature takes a SOCKET
 * are overloads of the POSIX ones (the SOCKET argument selects them); functions whose signature
 * equals the POSIX one are renamed by macro so calls reach the Winsock semantics. */
#pragma once

#include "windows.h"

/* Pulled in first so their fd_set, FD_* and function declarations cannot collide later. */
#include <sys/types.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netdb.h>
#include <arpa/inet.h>
#include <unistd.h>

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define SD_RECEIVE 0x00
#define SD_SEND 0x01
#define SD_BOTH 0x02

typedef struct sockaddr SOCKADDR;
typedef struct sockaddr* PSOCKADDR;
typedef struct sockaddr* LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;
typedef struct sockaddr_in* PSOCKADDR_IN;
typedef struct sockaddr_in* LPSOCKADDR_IN;
typedef struct in_addr IN_ADDR;
typedef struct hostent HOSTENT;
typedef struct hostent* LPHOSTENT;
typedef struct linger LINGER;
typedef struct timeval TIMEVAL;

/* Winsock's fd_set: a count and an array of sockets, not a bit mask. */
#undef FD_SETSIZE
#define FD_SETSIZE 64
typedef struct winsock_fd_set {
    u_int fd_count;
    SOCKET fd_array[FD_SETSIZE];
} WINSOCK_FD_SET;
#define fd_set winsock_fd_set
typedef fd_set FD_SET;
typedef fd_set* PFD_SET;
typedef fd_set* LPFD_SET;

#ifdef __cplusplus
extern "C" {
#endif
int WINAPI __WSAFDIsSet(SOCKET fd, fd_set* set);
#ifdef __cplusplus
}
#endif

#undef FD_CLR
#undef FD_SET
#undef FD_ZERO
#undef FD_ISSET
#define FD_ZERO(set) (((fd_set*)(set))->fd_count = 0)
#define FD_ISSET(fd, set) __WSAFDIsSet((SOCKET)(fd), (fd_set*)(set))
#define FD_SET(fd, set)                                            \
    do {                                                           \
        u_int i_;                                                  \
        for (i_ = 0; i_ < ((fd_set*)(set))->fd_count; ++i_)        \
            if (((fd_set*)(set))->fd_array[i_] == (SOCKET)(fd))    \
                break;                                             \
        if (i_ == ((fd_set*)(set))->fd_count && i_ < FD_SETSIZE) { \
            ((fd_set*)(set))->fd_array[i_] = (SOCKET)(fd);         \
            ((fd_set*)(set))->fd_count++;                          \
        }                                                          \
    } while (0)
#define FD_CLR(fd, set)                                                                  \
    do {                                                                                 \
        u_int i_;                                                                        \
        for (i_ = 0; i_ < ((fd_set*)(set))->fd_count; ++i_) {                            \
            if (((fd_set*)(set))->fd_array[i_] == (SOCKET)(fd)) {                        \
                for (; i_ + 1 < ((fd_set*)(set))->fd_count; ++i_)                        \
                    ((fd_set*)(set))->fd_array[i_] = ((fd_set*)(set))->fd_array[i_ + 1]; \
                ((fd_set*)(set))->fd_count--;                                            \
                break;                                                                   \
            }                                                                            \
        }                                                                                \
    } while (0)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

/* Renamed: same signature as the POSIX function, Winsock semantics. */
#define gethostbyname winsock_gethostbyname
#define gethostname winsock_gethostname
#define inet_addr winsock_inet_addr
#define inet_ntoa winsock_inet_ntoa
#define socket winsock_socket

#ifdef __cplusplus
extern "C" {
#endif
int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WINAPI WSACleanup(void);
int WINAPI WSAGetLastError(void);
void WINAPI WSASetLastError(int iError);
SOCKET WINAPI socket(int af, int type, int protocol);
int WINAPI closesocket(SOCKET s);
int WINAPI ioctlsocket(SOCKET s, long cmd, u_long* argp);
struct hostent* WINAPI gethostbyname(const char* name);
int WINAPI gethostname(char* name, int namelen);
unsigned long WINAPI inet_addr(const char* cp);
char* WINAPI inet_ntoa(struct in_addr in);
#ifdef __cplusplus
}

/* Overloads of the POSIX functions, selected by their SOCKET argument. */
int WINAPI bind(SOCKET s, const struct sockaddr* name, int namelen);
int WINAPI listen(SOCKET s, int backlog);
SOCKET WINAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen);
int WINAPI connect(SOCKET s, const struct sockaddr* name, int namelen);
int WINAPI recv(SOCKET s, char* buf, int len, int flags);
int WINAPI send(SOCKET s, const char* buf, int len, int flags);
int WINAPI shutdown(SOCKET s, int how);
int WINAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen);
int WINAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen);
int WINAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int WINAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int WINAPI select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                  const struct timeval* timeout);

/* A length of another integer type (sizeof gives size_t) still selects the Winsock call. */
template <class Length, class = decltype(static_cast<int>(Length{}))>
inline int send(SOCKET s, const char* buf, Length len, int flags) {
    return send(s, buf, static_cast<int>(len), flags);
}
template <class Length, class = decltype(static_cast<int>(Length{}))>
inline int recv(SOCKET s, char* buf, Length len, int flags) {
    return recv(s, buf, static_cast<int>(len), flags);
}
#endif

#undef FIONBIO
#undef FIONREAD
#define FIONBIO 0x8004667E
#define FIONREAD 0x4004667F
