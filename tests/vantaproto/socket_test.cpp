// Socket layer on loopback: binding, listening, connecting, receiving, closing, failures.
#include <vantaproto/VTException.h>
#include <vantaproto/VTSocket.h>

#include "local_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(InetAddress, DottedTextsAndPorts) {
    EXPECT_EQ(VTInetAddress("127.0.0.1", 104).DottedText(), "127.0.0.1");
    EXPECT_EQ(VTInetAddress("127.0.0.1", 104).Port(), 104);
    EXPECT_EQ(VTInetAddress("localhost", 1).DottedText(), "127.0.0.1");
    // inet_addr refuses the broadcast text, but it is an address, not a name to resolve.
    VTInetAddress broadcast("255.255.255.255", 9);
    EXPECT_EQ(broadcast.SockAddr().sin_addr.s_addr, htonl(INADDR_BROADCAST));
    EXPECT_EQ(broadcast.DottedText(), "255.255.255.255");
    VTInetAddress copy(broadcast);
    EXPECT_EQ(copy.Port(), 9);
}

TEST(InetAddress, AnyAddressReadsAsTheLocalAddress) {
    if (!LocalHostNameInHostsFile())
        GTEST_SKIP() << "host name would need a name server";
    VTInetAddress any(static_cast<unsigned short>(0));
    EXPECT_EQ(any.SockAddr().sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_FALSE(any.LocalAddress().empty());
    EXPECT_EQ(any.DottedText(), any.LocalAddress());
    EXPECT_FALSE(any.LocalHostName().empty());
}

TEST(ListenSocket, PortZeroReportsTheChosenPort) {
    VTInetAddress address("127.0.0.1", 0);
    VTListenSocket listener(address);
    EXPECT_NE(address.Port(), 0);
    sockaddr_in bound{};
    int length = sizeof bound;
    ASSERT_EQ(getsockname(listener.Handle(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    EXPECT_EQ(ntohs(bound.sin_port), address.Port());
}

TEST(TcpSocket, ConnectAcceptSendReceiveOnLoopback) {
    VTInetAddress address("127.0.0.1", 0);
    VTListenSocket listener(address);
    VTTcpSocket client;
    client.Connect(address);  // creates its handle first
    ASSERT_NE(client.Handle(), INVALID_SOCKET);

    ASSERT_GT(listener.WaitReadable(5), 0);
    EXPECT_TRUE(listener.IsReadable());
    VTTcpSocket accepted(listener.Accept());
    ASSERT_NE(accepted.Handle(), INVALID_SOCKET);

    const char request[] = "CMD=STATUS\r\n";
    client.Send(request, sizeof request);
    char buffer[64] = {};
    int total = 0;
    while (total < static_cast<int>(sizeof request)) {
        int n = accepted.Receive(buffer + total, static_cast<int>(sizeof buffer) - total);
        ASSERT_GT(n, 0);
        total += n;
    }
    EXPECT_EQ(std::memcmp(buffer, request, sizeof request), 0);

    client.Close();
    EXPECT_EQ(accepted.Receive(buffer, sizeof buffer), 0);  // orderly end
}

TEST(TcpSocket, NoWaitingConnectionTimesOutAndLeavesTheSetEmpty) {
    VTInetAddress address("127.0.0.1", 0);
    VTListenSocket listener(address);
    EXPECT_EQ(listener.SocketSetCount(), 1);
    EXPECT_EQ(listener.WaitReadable(0), 0);
    EXPECT_FALSE(listener.IsReadable());
    // Waiting again puts the handle back, never twice.
    EXPECT_EQ(listener.WaitReadable(0), 0);
    listener.Listen(5);
    listener.Listen(5);
    EXPECT_LE(listener.SocketSetCount(), 1);
}

TEST(TcpSocket, MisuseIsHarmlessOrReported) {
    VTTcpSocket socket;
    VTInetAddress address("127.0.0.1", 0);
    try {
        socket.Bind(address);
        FAIL() << "no exception";
    } catch (const CVTSocketException& e) {
        EXPECT_EQ(e.message(), "Trying to use invalid socket");
        EXPECT_EQ(e.code(), 0);
    }
    EXPECT_THROW(socket.Listen(5), CVTSocketException);
    char byte;
    EXPECT_EQ(socket.Receive(&byte, 0), 0);
    EXPECT_EQ(socket.Receive(nullptr, 1), 0);
    EXPECT_THROW(socket.Send(nullptr, 1), CVTException);
    socket.Create();
    socket.Close();
    socket.Close();
    EXPECT_EQ(socket.Handle(), INVALID_SOCKET);
}

TEST(TcpSocket, RefusedConnectCarriesTheWinsockCode) {
    unsigned short freePort;
    {
        VTInetAddress probe("127.0.0.1", 0);
        VTListenSocket listener(probe);
        freePort = probe.Port();
    }
    VTTcpSocket socket;
    try {
        socket.Connect(VTInetAddress("127.0.0.1", freePort));
        FAIL() << "connected to a closed port";
    } catch (const CVTSocketException& e) {
        EXPECT_EQ(e.message(), "Failed to connect to socket");
        EXPECT_EQ(e.code(), WSAECONNREFUSED);
    }
    EXPECT_NE(socket.Handle(), INVALID_SOCKET);  // the created handle stays until close
}

TEST(TcpSocket, BindingATakenPortFails) {
    VTInetAddress first("127.0.0.1", 0);
    VTListenSocket listener(first);
    VTInetAddress second("127.0.0.1", first.Port());
    try {
        VTListenSocket clash(second);
        FAIL() << "bound twice";
    } catch (const CVTSocketException& e) {
        EXPECT_EQ(e.message(), "Error binding socket");
        EXPECT_EQ(e.code(), WSAEADDRINUSE);
    }
}

TEST(Winsock, SocketsShareOneStartup) {
    const int before = WinsockUse::ReferenceCount();
    {
        VTTcpSocket a, b, c;
        EXPECT_EQ(WinsockUse::ReferenceCount(), before + 1);
        EXPECT_EQ(WinsockUse::StartupResult(), 0);
    }
    EXPECT_EQ(WinsockUse::ReferenceCount(), before);
}

}  // namespace
