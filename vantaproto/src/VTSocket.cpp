// Socket layer over Winsock.
#include "vantaproto/VTSocket.h"

#include "vantaproto/VTException.h"

#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr WORD kWinsockVersion = 2;  // requested version word 2: version 2.0
constexpr int kHostNameBytes = 512;
constexpr u_short kLingerSeconds = 1;

// Guards the Winsock reference count, the shared socket reference and the socket count.
std::mutex& WinsockLock() {
    static std::mutex m;  // an object, not a pointer: the library may be unloaded
    return m;
}
int g_winsockReferences = 0;
int g_startupResult = 0;

// All sockets together hold one WinsockUse, made by the first and dropped by the last. A plain
// pointer, never destroyed with the module's static objects: a socket that outlives them (a
// session ended while the module unloads or the process exits) must not free it a second time.
int g_socketCount = 0;
WinsockUse* g_socketWinsock = nullptr;

void AcquireSocketShare() {
    std::unique_ptr<WinsockUse> fresh;
    {
        std::lock_guard<std::mutex> guard(WinsockLock());
        if (g_socketCount++ > 0)
            return;
    }
    fresh = std::make_unique<WinsockUse>();
    std::lock_guard<std::mutex> guard(WinsockLock());
    if (!g_socketWinsock)
        g_socketWinsock = fresh.release();
}

void ReleaseSocketShare() {
    std::unique_ptr<WinsockUse> last;
    {
        std::lock_guard<std::mutex> guard(WinsockLock());
        if (--g_socketCount > 0)
            return;
        last.reset(g_socketWinsock);
        g_socketWinsock = nullptr;
    }
    // `last` is destroyed here, outside the lock it takes itself.
}

}  // namespace

// ---- WinsockUse ------------------------------------------------------------------------------

WinsockUse::WinsockUse() {
    std::lock_guard<std::mutex> guard(WinsockLock());
    if (g_winsockReferences++ == 0) {
        WSADATA data;
        g_startupResult = WSAStartup(kWinsockVersion, &data);
    }
}

WinsockUse::~WinsockUse() {
    std::lock_guard<std::mutex> guard(WinsockLock());
    if (--g_winsockReferences == 0)
        WSACleanup();
}

int WinsockUse::StartupResult() {
    std::lock_guard<std::mutex> guard(WinsockLock());
    return g_startupResult;
}

int WinsockUse::ReferenceCount() {
    std::lock_guard<std::mutex> guard(WinsockLock());
    return g_winsockReferences;
}

// ---- VTInetAddress ---------------------------------------------------------------------------

VTInetAddress::VTInetAddress(unsigned short port) : m_sockaddr{} {
    m_sockaddr.sin_family = AF_INET;
    m_sockaddr.sin_port = htons(port);
    m_sockaddr.sin_addr.s_addr = htonl(INADDR_ANY);
}

VTInetAddress::VTInetAddress(const char* host, unsigned short port) : VTInetAddress(port) {
    if (!host)
        return;
    unsigned long address = inet_addr(host);
    if (address == INADDR_NONE && std::strcmp(host, "255.255.255.255") != 0) {
        hostent* entry = gethostbyname(host);
        address = INADDR_ANY;
        if (entry && entry->h_addr_list && entry->h_addr_list[0])
            std::memcpy(&address, entry->h_addr_list[0], sizeof(in_addr_t));
    }
    m_sockaddr.sin_addr.s_addr = static_cast<in_addr_t>(address);
}

VTInetAddress::VTInetAddress(const VTInetAddress& other)
    : m_sockaddr(other.m_sockaddr),
      m_localAddressText(other.m_localAddressText),
      m_addressText(other.m_addressText),
      m_localHostName(other.m_localHostName) {}

VTInetAddress& VTInetAddress::operator=(const VTInetAddress& other) {
    m_sockaddr = other.m_sockaddr;
    m_localAddressText = other.m_localAddressText;
    m_addressText = other.m_addressText;
    m_localHostName = other.m_localHostName;
    return *this;
}

std::string VTInetAddress::DottedText() const {
    if (m_sockaddr.sin_addr.s_addr == htonl(INADDR_ANY))
        return LocalAddress();
    const char* text = inet_ntoa(m_sockaddr.sin_addr);
    m_addressText = text ? text : "";
    return m_addressText;
}

std::string VTInetAddress::LocalHostName() const {
    char name[kHostNameBytes] = {};
    if (gethostname(name, sizeof name) == 0)
        m_localHostName = name;
    return m_localHostName;
}

std::string VTInetAddress::LocalAddress() const {
    std::string host = LocalHostName();
    hostent* entry = gethostbyname(host.c_str());
    if (entry && entry->h_addr_list && entry->h_addr_list[0]) {
        in_addr first;
        std::memcpy(&first, entry->h_addr_list[0], sizeof first);
        if (const char* text = inet_ntoa(first))
            m_localAddressText = text;
    }
    return m_localAddressText;
}

unsigned short VTInetAddress::Port() const {
    return ntohs(m_sockaddr.sin_port);
}

// ---- VTTcpSocket -----------------------------------------------------------------------------

VTTcpSocket::VTTcpSocket() : m_handle(INVALID_SOCKET) {
    FD_ZERO(&m_socketSet);
    InitializeCriticalSection(&m_lock);
    AcquireSocketShare();
}

VTTcpSocket::VTTcpSocket(SOCKET handle) : VTTcpSocket() {
    m_handle = handle;
}

VTTcpSocket::~VTTcpSocket() {
    Close();
    DeleteCriticalSection(&m_lock);
    ReleaseSocketShare();
}

void VTTcpSocket::Create() {
    Close();
    m_handle = socket(AF_INET, SOCK_STREAM, 0);
    if (m_handle == INVALID_SOCKET)
        VT_THROW(CVTSocketException, "Failed to create socket", WSAGetLastError());
    // Failures of these two options are not fatal: the socket works without them.
    int reuse = 1;
    setsockopt(m_handle, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    u_short lingerOption[2] = {1, kLingerSeconds};  // Winsock's linger: on, 1 second
    setsockopt(m_handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(lingerOption),
               sizeof lingerOption);
}

void VTTcpSocket::Bind(VTInetAddress& address) {
    if (m_handle == INVALID_SOCKET)
        VT_THROW(CVTSocketException, "Trying to use invalid socket", 0);
    sockaddr* name = reinterpret_cast<sockaddr*>(&address.SockAddr());
    if (bind(m_handle, name, sizeof(sockaddr_in)) == SOCKET_ERROR)
        VT_THROW(CVTSocketException, "Error binding socket", WSAGetLastError());
    int length = sizeof(sockaddr_in);
    if (getsockname(m_handle, name, &length) == SOCKET_ERROR)
        VT_THROW(CVTSocketException, "Error getting socket name", WSAGetLastError());
}

void VTTcpSocket::Connect(const VTInetAddress& address) {
    EnterCriticalSection(&m_lock);
    try {
        if (m_handle == INVALID_SOCKET)
            Create();
        if (connect(m_handle, reinterpret_cast<const sockaddr*>(&address.SockAddr()),
                    sizeof(sockaddr_in)) == SOCKET_ERROR)
            VT_THROW(CVTSocketException, "Failed to connect to socket", WSAGetLastError());
    } catch (...) {
        LeaveCriticalSection(&m_lock);
        throw;
    }
    LeaveCriticalSection(&m_lock);
}

void VTTcpSocket::Listen(int backlog) {
    if (m_handle == INVALID_SOCKET)
        VT_THROW(CVTSocketException, "Trying to use invalid socket", 0);
    if (listen(m_handle, backlog) == SOCKET_ERROR)
        VT_THROW(CVTSocketException, "Error listening on socket", WSAGetLastError());
    AddToSet();
}

SOCKET VTTcpSocket::Accept() {
    sockaddr_in peer{};
    int length = sizeof peer;
    return accept(m_handle, reinterpret_cast<sockaddr*>(&peer), &length);
}

void VTTcpSocket::AddToSet() {
    if (m_handle == INVALID_SOCKET || FD_ISSET(m_handle, &m_socketSet))
        return;
    if (m_socketSet.fd_count < static_cast<u_int>(kMaxSocketSet))
        m_socketSet.fd_array[m_socketSet.fd_count++] = m_handle;
}

int VTTcpSocket::WaitReadable(int seconds) {
    AddToSet();
    timeval timeout{seconds, 0};
    return select(0, &m_socketSet, nullptr, nullptr, &timeout);
}

bool VTTcpSocket::IsReadable() const {
    return m_handle != INVALID_SOCKET && FD_ISSET(m_handle, const_cast<fd_set*>(&m_socketSet)) != 0;
}

int VTTcpSocket::Receive(char* buffer, int size) {
    if (!buffer || size <= 0)
        return 0;
    EnterCriticalSection(&m_lock);
    int received = recv(m_handle, buffer, size, 0);
    LeaveCriticalSection(&m_lock);
    return received;
}

void VTTcpSocket::Send(const char* bytes, int count) {
    if (!bytes)
        VT_THROW(CVTException, "Invalid pointer", 0);
    send(m_handle, bytes, count, 0);
}

void VTTcpSocket::Close() {
    if (m_handle == INVALID_SOCKET)
        return;
    FD_CLR(m_handle, &m_socketSet);
    shutdown(m_handle, SD_BOTH);
    closesocket(m_handle);
    m_handle = INVALID_SOCKET;
}

// ---- VTListenSocket --------------------------------------------------------------------------

VTListenSocket::VTListenSocket(VTInetAddress& address) {
    Create();
    Bind(address);
    Listen(kListenBacklog);
}

VTListenSocket::~VTListenSocket() {
    Close();
}
