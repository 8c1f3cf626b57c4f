// Winsock over POSIX sockets: a SOCKET is the descriptor; errors are reported as WSA codes.
//
// The POSIX calls are wrapped first, before <winsock2.h> renames or overloads their names.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace px {
int Socket(int af, int type, int protocol) {
    return ::socket(af, type, protocol);
}
in_addr_t InetAddr(const char* cp) {
    return ::inet_addr(cp);
}
int GetHostName(char* name, size_t len) {
    return ::gethostname(name, len);
}
int BytesAvailable(int fd, int* count) {
    return ::ioctl(fd, FIONREAD, count);
}
}  // namespace px

#include <winsock2.h>

#include "handles.h"

#include <atomic>

namespace winapi {
namespace {

constexpr int kMaxHostNameBytes = 256;
constexpr size_t kInitialHostBufferBytes = 1024;
constexpr size_t kMaxHostBufferBytes = 65536;

std::atomic<int> g_startupCount{0};

int WsaFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return WSAEINTR;
        case EBADF:
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EWOULDBLOCK:
            return WSAEWOULDBLOCK;
        case EINPROGRESS:
            return WSAEINPROGRESS;
        case EALREADY:
            return WSAEALREADY;
        case EDESTADDRREQ:
            return WSAEDESTADDRREQ;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EPROTOTYPE:
            return WSAEPROTOTYPE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
            return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EPFNOSUPPORT:
            return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;  // the peer is gone, as Winsock reports it
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETOOMANYREFS:
            return WSAETOOMANYREFS;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ELOOP:
            return WSAELOOP;
        case ENAMETOOLONG:
            return WSAENAMETOOLONG;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        default:
            return WSAEINVAL;
    }
}

int Fail(int wsaError) {
    WSASetLastError(wsaError);
    return SOCKET_ERROR;
}
int FailErrno() {
    return Fail(WsaFromErrno(errno));
}

bool Started() {
    return g_startupCount.load() > 0;
}

// A SOCKET names a descriptor; anything that cannot be one is not a socket.
bool ToFd(SOCKET s, int* fd) {
    if (s == INVALID_SOCKET || s > static_cast<SOCKET>(INT32_MAX))
        return false;
    *fd = static_cast<int>(s);
    return true;
}

// Resolves the socket or sets the WSA error for the call to return.
bool Enter(SOCKET s, int* fd) {
    if (!Started()) {
        WSASetLastError(WSANOTINITIALISED);
        return false;
    }
    if (!ToFd(s, fd)) {
        WSASetLastError(WSAENOTSOCK);
        return false;
    }
    return true;
}

struct ThreadHostEntry {
    hostent entry{};
    std::vector<char> buffer;
};
thread_local ThreadHostEntry t_host;
thread_local char t_ntoaBuffer[INET_ADDRSTRLEN];

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    if (!lpWSAData)
        return WSAEFAULT;
    if (LOBYTE(wVersionRequested) < 1)
        return WSAVERNOTSUPPORTED;
    std::memset(lpWSAData, 0, sizeof(*lpWSAData));
    // The highest version offered is 2.2; a request for less gets what it asked for.
    const bool above = LOBYTE(wVersionRequested) > 2 ||
                       (LOBYTE(wVersionRequested) == 2 && HIBYTE(wVersionRequested) > 2);
    lpWSAData->wVersion = above ? MAKEWORD(2, 2) : wVersionRequested;
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    g_startupCount.fetch_add(1);
    return 0;
}

int WINAPI WSACleanup(void) {
    int count = g_startupCount.load();
    while (count > 0 && !g_startupCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0)
        return Fail(WSANOTINITIALISED);
    return 0;
}

int WINAPI WSAGetLastError(void) {
    return static_cast<int>(GetLastError());
}
void WINAPI WSASetLastError(int iError) {
    SetLastError(static_cast<DWORD>(iError));
}

int WINAPI __WSAFDIsSet(SOCKET fd, fd_set* set) {
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == fd)
            return 1;
    }
    return 0;
}

SOCKET WINAPI socket(int af, int type, int protocol) {
    if (!Started()) {
        WSASetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    int fd = px::Socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        WSASetLastError(WsaFromErrno(errno));
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int WINAPI closesocket(SOCKET s) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    // Winsock's closesocket ends calls blocked on the socket in other threads; POSIX close
    // does not. Shutting the receive side wakes recv, accept and poll without sending anything,
    // so close still ends the connection gracefully or, with a zero linger, by a reset.
    ::shutdown(fd, SHUT_RD);
    if (::close(fd) != 0)
        return FailErrno();
    return 0;
}

int WINAPI ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (!argp)
        return Fail(WSAEFAULT);
    if (cmd == static_cast<long>(FIONREAD)) {
        int available = 0;
        if (px::BytesAvailable(fd, &available) != 0)
            return FailErrno();
        *argp = static_cast<u_long>(available);
        return 0;
    }
    return Fail(WSAEINVAL);
}

struct hostent* WINAPI gethostbyname(const char* name) {
    if (!Started()) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    char local[kMaxHostNameBytes];
    if (!name) {
        if (px::GetHostName(local, sizeof local) != 0) {
            WSASetLastError(WSAHOST_NOT_FOUND);
            return nullptr;
        }
        local[sizeof local - 1] = '\0';
        name = local;
    }
    if (t_host.buffer.empty())
        t_host.buffer.resize(kInitialHostBufferBytes);
    for (;;) {
        hostent* result = nullptr;
        int herr = 0;
        int rc = ::gethostbyname2_r(name, AF_INET, &t_host.entry, t_host.buffer.data(),
                                    t_host.buffer.size(), &result, &herr);
        if (rc == ERANGE && t_host.buffer.size() < kMaxHostBufferBytes) {
            t_host.buffer.resize(t_host.buffer.size() * 2);
            continue;
        }
        if (rc == 0 && result)
            return result;
        switch (herr) {
            case TRY_AGAIN:
                WSASetLastError(WSATRY_AGAIN);
                break;
            case NO_RECOVERY:
                WSASetLastError(WSANO_RECOVERY);
                break;
            case NO_DATA:
                WSASetLastError(WSANO_DATA);
                break;
            default:
                WSASetLastError(WSAHOST_NOT_FOUND);
                break;
        }
        return nullptr;
    }
}

int WINAPI gethostname(char* name, int namelen) {
    if (!Started())
        return Fail(WSANOTINITIALISED);
    if (!name || namelen <= 0)
        return Fail(WSAEFAULT);
    char buffer[kMaxHostNameBytes] = {};
    if (px::GetHostName(buffer, sizeof buffer - 1) != 0)
        return FailErrno();
    size_t length = std::strlen(buffer);
    if (length + 1 > static_cast<size_t>(namelen))
        return Fail(WSAEFAULT);
    std::memcpy(name, buffer, length + 1);
    return 0;
}

unsigned long WINAPI inet_addr(const char* cp) {
    if (!cp)
        return INADDR_NONE;
    return px::InetAddr(cp);
}

char* WINAPI inet_ntoa(struct in_addr in) {
    if (!::inet_ntop(AF_INET, &in, t_ntoaBuffer, sizeof t_ntoaBuffer))
        return nullptr;
    return t_ntoaBuffer;
}

}  // extern "C"

int WINAPI bind(SOCKET s, const struct sockaddr* name, int namelen) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    if (::bind(fd, name, static_cast<socklen_t>(namelen)) != 0)
        return FailErrno();
    return 0;
}

int WINAPI listen(SOCKET s, int backlog) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (::listen(fd, backlog) != 0)
        return FailErrno();
    return 0;
}

SOCKET WINAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen) {
    int fd;
    if (!Enter(s, &fd))
        return INVALID_SOCKET;
    socklen_t length = addrlen ? static_cast<socklen_t>(*addrlen) : 0;
    int client;
    do {
        client = ::accept4(fd, addr, addr ? &length : nullptr, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
    if (client < 0) {
        // A listening socket that was shut down reports EINVAL; Winsock says interrupted.
        WSASetLastError(errno == EINVAL ? WSAEINTR : WsaFromErrno(errno));
        return INVALID_SOCKET;
    }
    if (addr && addrlen)
        *addrlen = static_cast<int>(length);
    return static_cast<SOCKET>(client);
}

int WINAPI connect(SOCKET s, const struct sockaddr* name, int namelen) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    if (::connect(fd, name, static_cast<socklen_t>(namelen)) != 0) {
        if (errno != EINTR)
            return FailErrno();
        // The connection goes on in the background; wait for its outcome.
        pollfd p{fd, POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0)
            return Fail(WsaFromErrno(soError));
    }
    return 0;
}

int WINAPI recv(SOCKET s, char* buf, int len, int flags) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return Fail(WSAEFAULT);
    ssize_t n;
    do {
        n = ::recv(fd, static_cast<void*>(buf), static_cast<size_t>(len), flags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // A blocking socket only reports "would block" when its receive time-out expired.
        return Fail(errno == EAGAIN ? WSAETIMEDOUT : WsaFromErrno(errno));
    }
    return static_cast<int>(n);
}

int WINAPI send(SOCKET s, const char* buf, int len, int flags) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return Fail(WSAEFAULT);
    // A blocking Winsock send returns once everything is queued; a peer that went away is an
    // error code, never a signal.
    size_t done = 0;
    while (done < static_cast<size_t>(len)) {
        ssize_t n = ::send(fd, static_cast<const void*>(buf + done),
                           static_cast<size_t>(len) - done, flags | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (done > 0)
                break;
            return Fail(errno == EAGAIN ? WSAETIMEDOUT : WsaFromErrno(errno));
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int WINAPI shutdown(SOCKET s, int how) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH)
        return Fail(WSAEINVAL);
    if (::shutdown(fd, how) != 0)
        return FailErrno();
    return 0;
}

int WINAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    socklen_t length = static_cast<socklen_t>(*namelen);
    if (::getsockname(fd, name, &length) != 0)
        return FailErrno();
    *namelen = static_cast<int>(length);
    return 0;
}

int WINAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    socklen_t length = static_cast<socklen_t>(*namelen);
    if (::getpeername(fd, name, &length) != 0)
        return FailErrno();
    *namelen = static_cast<int>(length);
    return 0;
}

int WINAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (!optval || optlen < 0)
        return Fail(WSAEFAULT);
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        // Winsock's linger holds two 16-bit fields; accept that form and the system's.
        struct linger l {};
        if (optlen == 4) {
            unsigned short pair[2];
            std::memcpy(pair, optval, sizeof pair);
            l.l_onoff = pair[0];
            l.l_linger = pair[1];
        } else if (optlen >= static_cast<int>(sizeof l)) {
            std::memcpy(&l, optval, sizeof l);
        } else {
            return Fail(WSAEFAULT);
        }
        if (::setsockopt(fd, level, optname, &l, sizeof l) != 0)
            return FailErrno();
        return 0;
    }
    if (level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO)) {
        // Winsock takes a DWORD of milliseconds.
        if (optlen < static_cast<int>(sizeof(DWORD)))
            return Fail(WSAEFAULT);
        DWORD ms;
        std::memcpy(&ms, optval, sizeof ms);
        timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
        if (::setsockopt(fd, level, optname, &tv, sizeof tv) != 0)
            return FailErrno();
        return 0;
    }
    if (::setsockopt(fd, level, optname, static_cast<const void*>(optval),
                     static_cast<socklen_t>(optlen)) != 0)
        return FailErrno();
    return 0;
}

int WINAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    int fd;
    if (!Enter(s, &fd))
        return SOCKET_ERROR;
    if (!optval || !optlen || *optlen < 0)
        return Fail(WSAEFAULT);
    socklen_t length = static_cast<socklen_t>(*optlen);
    if (::getsockopt(fd, level, optname, static_cast<void*>(optval), &length) != 0)
        return FailErrno();
    *optlen = static_cast<int>(length);
    return 0;
}

int WINAPI select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                  const struct timeval* timeout) {
    if (!Started())
        return Fail(WSANOTINITIALISED);
    fd_set* sets[3] = {readfds, writefds, exceptfds};
    const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
    std::vector<pollfd> polls;
    std::vector<std::pair<int, u_int>> origin;  // (set, index) of each poll entry
    for (int k = 0; k < 3; ++k) {
        if (!sets[k])
            continue;
        if (sets[k]->fd_count > FD_SETSIZE)
            return Fail(WSAEINVAL);
        for (u_int i = 0; i < sets[k]->fd_count; ++i) {
            int fd;
            if (!ToFd(sets[k]->fd_array[i], &fd))
                return Fail(WSAENOTSOCK);
            polls.push_back(pollfd{fd, wanted[k], 0});
            origin.emplace_back(k, i);
        }
    }
    if (polls.empty())
        return Fail(WSAEINVAL);  // Winsock refuses a select on nothing

    int timeoutMs = -1;
    if (timeout) {
        long long ms = static_cast<long long>(timeout->tv_sec) * 1000 + timeout->tv_usec / 1000;
        timeoutMs = ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms < 0 ? 0 : ms);
    }
    int rc;
    do {
        rc = ::poll(polls.data(), polls.size(), timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return FailErrno();

    fd_set ready[3];
    for (auto& r : ready)
        r.fd_count = 0;
    int total = 0;
    for (size_t p = 0; p < polls.size(); ++p) {
        if (polls[p].revents & POLLNVAL)
            return Fail(WSAENOTSOCK);
        const int k = origin[p].first;
        bool isReady = false;
        if (k == 0)
            isReady = polls[p].revents & (POLLIN | POLLHUP | POLLERR);
        if (k == 1)
            isReady = polls[p].revents & (POLLOUT | POLLERR);
        if (k == 2)
            isReady = polls[p].revents & POLLPRI;
        if (isReady) {
            ready[k].fd_array[ready[k].fd_count++] = sets[k]->fd_array[origin[p].second];
            ++total;
        }
    }
    for (int k = 0; k < 3; ++k) {
        if (sets[k])
            *sets[k] = ready[k];
    }
    return total;
}
