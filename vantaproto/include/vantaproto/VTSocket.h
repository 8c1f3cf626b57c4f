// Socket layer: Winsock start-up sharing, IPv4 addresses, blocking TCP sockets, listening sockets.
#pragma once

#include <winsock2.h>

#include <string>

// One reference on Winsock. The holder that raises the process-wide count from 0 starts
// Winsock (version 2.0); the one that lowers it to 0 cleans it up.
class WinsockUse {
public:
    WinsockUse();
    ~WinsockUse();
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;

    // WSAStartup's result as recorded by the holder that started Winsock.
    static int StartupResult();
    // References currently held in the process (diagnostic and tests).
    static int ReferenceCount();
};

// An IPv4 address and port, given as dotted text or host name.
class VTInetAddress {
public:
    explicit VTInetAddress(unsigned short port);  // any local address
    VTInetAddress(const char* host, unsigned short port);
    VTInetAddress(const VTInetAddress& other);
    VTInetAddress& operator=(const VTInetAddress& other);

    // Dotted form; "0.0.0.0" is replaced by the computer's own address.
    std::string DottedText() const;
    // The computer's own address: the host name resolved, first address, dotted. When the
    // name does not resolve, the previously found text (initially empty) is returned.
    std::string LocalAddress() const;
    std::string LocalHostName() const;
    unsigned short Port() const;  // host order

    sockaddr_in& SockAddr() { return m_sockaddr; }
    const sockaddr_in& SockAddr() const { return m_sockaddr; }

private:
    WinsockUse m_winsock;  // first: resolution needs Winsock started
    sockaddr_in m_sockaddr;
    mutable std::string m_localAddressText;
    mutable std::string m_addressText;
    mutable std::string m_localHostName;
};

// One blocking TCP socket with its select set and the lock that serialises connect and receive.
class VTTcpSocket {
public:
    static constexpr int kMaxSocketSet = FD_SETSIZE;  // 64

    VTTcpSocket();
    explicit VTTcpSocket(SOCKET handle);  // an accepted connection
    virtual ~VTTcpSocket();
    VTTcpSocket(const VTTcpSocket&) = delete;
    VTTcpSocket& operator=(const VTTcpSocket&) = delete;

    void Create();
    void Bind(VTInetAddress& address);  // reads the bound address back into `address`
    void Connect(const VTInetAddress& address);
    void Listen(int backlog);
    SOCKET Accept();  // INVALID_SOCKET on failure
    // select for reading on the socket set; -1 error, 0 time-out, otherwise ready.
    int WaitReadable(int seconds);
    bool IsReadable() const;
    // One recv; 0 without receiving when the buffer is missing or size <= 0.
    int Receive(char* buffer, int size);
    // One send; its result is not examined.
    void Send(const char* bytes, int count);
    void Close();

    SOCKET Handle() const { return m_handle; }
    int SocketSetCount() const { return static_cast<int>(m_socketSet.fd_count); }

private:
    void AddToSet();

    fd_set m_socketSet;
    SOCKET m_handle;
    CRITICAL_SECTION m_lock;
};

// A socket created, bound to an address and listening (backlog 5).
class VTListenSocket : public VTTcpSocket {
public:
    static constexpr int kListenBacklog = 5;
    explicit VTListenSocket(VTInetAddress& address);  // `address` receives the bound port
    ~VTListenSocket() override;
};
