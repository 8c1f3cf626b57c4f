// Winsock semantics over POSIX sockets: start-up, fd_set, select, error codes, closing.
#include <winsock2.h>
#include <process.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

class Winsock : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
        EXPECT_EQ(data.wVersion, MAKEWORD(2, 0));
    }
    void TearDown() override { WSACleanup(); }

    // A listening socket on a free loopback port.
    SOCKET Listen(sockaddr_in* address) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(s, INVALID_SOCKET);
        *address = sockaddr_in{};
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = inet_addr("127.0.0.1");
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(address), sizeof *address), 0);
        int length = sizeof *address;
        EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(address), &length), 0);
        EXPECT_EQ(listen(s, 5), 0);
        return s;
    }
};

TEST(WinsockStartup, CallsBeforeStartupFail) {
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    char name[64];
    EXPECT_EQ(gethostname(name, sizeof name), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}

TEST_F(Winsock, FdSetHoldsAtMost64Sockets) {
    fd_set set;
    FD_ZERO(&set);
    for (SOCKET s = 100; s < 200; ++s)
        FD_SET(s, &set);
    EXPECT_EQ(set.fd_count, 64u);
    FD_SET(100, &set);
    EXPECT_EQ(set.fd_count, 64u);
    FD_CLR(100, &set);
    EXPECT_EQ(set.fd_count, 63u);
    EXPECT_FALSE(FD_ISSET(100, &set));
    EXPECT_TRUE(FD_ISSET(101, &set));
    EXPECT_EQ(set.fd_array[0], 101u);  // the gap is closed
}

TEST_F(Winsock, SelectReportsReadySocketsOnly) {
    sockaddr_in address;
    SOCKET listener = Listen(&address);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval none{0, 0};
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &none), 0);
    EXPECT_EQ(readable.fd_count, 0u);

    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    FD_SET(listener, &readable);
    timeval wait{5, 0};
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1);
    EXPECT_TRUE(FD_ISSET(listener, &readable));

    fd_set empty;
    FD_ZERO(&empty);
    EXPECT_EQ(select(0, &empty, nullptr, nullptr, &none), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

    closesocket(client);
    closesocket(listener);
}

TEST_F(Winsock, ErrorsAreWsaCodes) {
    sockaddr_in address;
    SOCKET listener = Listen(&address);
    closesocket(listener);
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    closesocket(client);

    char byte;
    EXPECT_EQ(recv(INVALID_SOCKET, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(inet_addr("255.255.255.255"), INADDR_NONE);
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
    in_addr loop;
    loop.s_addr = inet_addr("127.0.0.1");
    EXPECT_STREQ(inet_ntoa(loop), "127.0.0.1");
    hostent* local = gethostbyname("localhost");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->h_addrtype, AF_INET);
}

TEST_F(Winsock, SendToAVanishedPeerIsAnErrorNotASignal) {
    sockaddr_in address;
    SOCKET listener = Listen(&address);
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    linger abort{1, 0};
    setsockopt(accepted, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abort), sizeof abort);
    closesocket(accepted);  // reset
    char block[4096] = {};
    int result = 0;
    for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i)
        result = send(client, block, sizeof block, 0);
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(client);
    closesocket(listener);
}

struct BlockedReceive {
    SOCKET socket;
    int result;
    int error;
};

unsigned __stdcall ReceiveOnce(void* arg) {
    auto* r = static_cast<BlockedReceive*>(arg);
    char byte;
    r->result = recv(r->socket, &byte, 1, 0);
    r->error = WSAGetLastError();
    return 0;
}

TEST_F(Winsock, ClosingASocketEndsAReceiveBlockedOnIt) {
    sockaddr_in address;
    SOCKET listener = Listen(&address);
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    BlockedReceive blocked{client, 1, 0};
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReceiveOnce, &blocked, 0, nullptr));
    shutdown(client, SD_BOTH);  // what closesocket does first; the blocked receive returns
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_LE(blocked.result, 0);
    CloseHandle(thread);
    closesocket(client);
    closesocket(listener);
}

TEST_F(Winsock, ReceiveTimeOutIsReportedAsTimedOut) {
    sockaddr_in address;
    SOCKET listener = Listen(&address);
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    DWORD timeoutMs = 50;
    ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeoutMs),
                         sizeof timeoutMs),
              0);
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    closesocket(client);
    closesocket(listener);
}

}  // namespace
