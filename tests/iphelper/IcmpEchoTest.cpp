// ICMP echo functions of the modules: reply records, buffer checks, socket kinds, the event form.
#include "vantaproto/IpHelper.h"

#include "OwnNetwork.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

using namespace iphelper_test;

namespace {

constexpr DWORD kLoopbackPingTimeoutMs = 2000;
constexpr DWORD kSilentPingTimeoutMs = 40;
constexpr DWORD kCompletionWaitMs = 10000;  // far beyond any echo time-out used here
constexpr unsigned char kCanary = 0xA5;
constexpr size_t kCanaryBytes = 16;

using ParseReplies = DWORD(WINAPI*)(LPVOID, DWORD);

class IcmpEcho : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_helper.IsAvailable());
        m_module = LoadLibraryA("iphlpapi.dll");
        ASSERT_NE(m_module, nullptr);
        m_parse = reinterpret_cast<ParseReplies>(
            reinterpret_cast<void*>(GetProcAddress(m_module, "IcmpParseReplies")));
        ASSERT_NE(m_parse, nullptr);
        m_handle = f().pIcmpCreateFile();
        ASSERT_NE(m_handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (m_handle != INVALID_HANDLE_VALUE)
            f().pIcmpCloseHandle(m_handle);
        if (m_module)
            FreeLibrary(m_module);
    }
    const IpHelperFunctions& f() const { return m_helper.Functions(); }

    IpHelper m_helper;
    HMODULE m_module = nullptr;
    ParseReplies m_parse = nullptr;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    char m_payload[IpHelper::kEchoPayloadBytes] = {'E', 'c', 'h', 'o', ' ', 'R',
                                                   'e', 'q', 'u', 'e', 's', 't'};
};

ICMP_ECHO_REPLY RecordOf(const std::vector<unsigned char>& buffer) {
    ICMP_ECHO_REPLY record;
    std::memcpy(&record, buffer.data(), sizeof record);
    return record;
}

TEST_F(IcmpEcho, ReplyRecordCarriesTheEchoedPayloadBehindIt) {
    EXPECT_LT(reinterpret_cast<uintptr_t>(m_handle), uintptr_t(1) << 32);
    std::vector<unsigned char> buffer(IpHelper::kReplyBufferBytes);
    ASSERT_EQ(
        f().pIcmpSendEcho(m_handle, Address("127.0.0.1"), m_payload, sizeof m_payload, nullptr,
                          buffer.data(), static_cast<DWORD>(buffer.size()), kLoopbackPingTimeoutMs),
        1u);
    ICMP_ECHO_REPLY r = RecordOf(buffer);
    EXPECT_EQ(Dotted(r.Address), "127.0.0.1");
    EXPECT_EQ(r.Status, static_cast<ULONG>(IP_SUCCESS));
    EXPECT_EQ(r.DataSize, sizeof m_payload);
    EXPECT_EQ(r.Data, buffer.data() + sizeof(ICMP_ECHO_REPLY));
    EXPECT_EQ(std::memcmp(buffer.data() + sizeof(ICMP_ECHO_REPLY), "Echo Request", 12), 0);
    EXPECT_GT(r.Options.Ttl, 0);
    EXPECT_EQ(m_parse(buffer.data(), static_cast<DWORD>(buffer.size())), 1u);
}

TEST_F(IcmpEcho, BufferTooSmallForRecordAndPayloadIsRefusedUntouched) {
    struct Case {
        WORD payloadBytes;
        DWORD replyBytes;
    };
    // The record plus the payload, and never less than the record plus 8 bytes.
    const Case cases[] = {
        {12, sizeof(ICMP_ECHO_REPLY) + 11}, {0, sizeof(ICMP_ECHO_REPLY) + 7}, {4, 8}};
    for (const Case& c : cases) {
        std::vector<unsigned char> buffer(c.replyBytes + kCanaryBytes, kCanary);
        SetLastError(0);
        EXPECT_EQ(f().pIcmpSendEcho(m_handle, Address("127.0.0.1"), m_payload, c.payloadBytes,
                                    nullptr, buffer.data(), c.replyBytes, kLoopbackPingTimeoutMs),
                  0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(IP_BUF_TOO_SMALL));
        for (unsigned char b : buffer)
            ASSERT_EQ(b, kCanary);
    }
}

TEST_F(IcmpEcho, BadArgumentsAreRefused) {
    std::vector<unsigned char> buffer(IpHelper::kReplyBufferBytes);
    DWORD size = static_cast<DWORD>(buffer.size());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    IPAddr loopback = Address("127.0.0.1");
    PIO_APC_ROUTINE apc = [](PVOID, PIO_STATUS_BLOCK, ULONG) {};
    struct Case {
        const char* what;
        std::function<DWORD()> send;
        DWORD error;
    };
    const Case cases[] = {
        {"event handle as echo handle",
         [&] {
             return f().pIcmpSendEcho(event, loopback, m_payload, 12, nullptr, buffer.data(), size,
                                      kLoopbackPingTimeoutMs);
         },
         ERROR_INVALID_HANDLE},
        {"no reply buffer",
         [&] {
             return f().pIcmpSendEcho(m_handle, loopback, m_payload, 12, nullptr, nullptr, size,
                                      kLoopbackPingTimeoutMs);
         },
         ERROR_INVALID_PARAMETER},
        {"no request data",
         [&] {
             return f().pIcmpSendEcho(m_handle, loopback, nullptr, 12, nullptr, buffer.data(), size,
                                      kLoopbackPingTimeoutMs);
         },
         ERROR_INVALID_PARAMETER},
        {"destination 0.0.0.0",
         [&] {
             return f().pIcmpSendEcho(m_handle, 0, m_payload, 12, nullptr, buffer.data(), size,
                                      kLoopbackPingTimeoutMs);
         },
         static_cast<DWORD>(IP_BAD_DESTINATION)},
        {"completion routine",
         [&] {
             return f().pIcmpSendEcho2(m_handle, nullptr, apc, nullptr, loopback, m_payload, 12,
                                       nullptr, buffer.data(), size, kLoopbackPingTimeoutMs);
         },
         ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(c.send(), 0u) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    CloseHandle(event);
}

TEST_F(IcmpEcho, CloseHandleRefusesHandlesItDidNotIssue) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_FALSE(f().pIcmpCloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(SetEvent(event));  // still alive
    CloseHandle(event);
    EXPECT_TRUE(f().pIcmpCloseHandle(m_handle));
    EXPECT_FALSE(f().pIcmpCloseHandle(m_handle));
    m_handle = INVALID_HANDLE_VALUE;
}

TEST_F(IcmpEcho, EventFormSignalsWhenTheReplyIsInTheBuffer) {
    std::vector<unsigned char> buffer(IpHelper::kReplyBufferBytes);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_EQ(f().pIcmpSendEcho2(m_handle, event, nullptr, nullptr, Address("127.0.0.1"), m_payload,
                                 sizeof m_payload, nullptr, buffer.data(),
                                 static_cast<DWORD>(buffer.size()), kLoopbackPingTimeoutMs),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(event, kCompletionWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(m_parse(buffer.data(), static_cast<DWORD>(buffer.size())), 1u);
    EXPECT_EQ(RecordOf(buffer).Status, static_cast<ULONG>(IP_SUCCESS));
    CloseHandle(event);
}

TEST_F(IcmpEcho, TimeOutIsReportedByBothForms) {
    HANDLE handle = m_handle;
    const IpHelperFunctions& fn = f();
    ParseReplies parse = m_parse;
    char* payload = m_payload;
    std::string refusal = RunInOwnNetwork([&] {
        ASSERT_TRUE(WriteSysctl("net/ipv4/icmp_echo_ignore_all", "1"));
        std::vector<unsigned char> buffer(IpHelper::kReplyBufferBytes);
        DWORD size = static_cast<DWORD>(buffer.size());
        SetLastError(0);
        EXPECT_EQ(fn.pIcmpSendEcho(handle, Address("127.0.0.1"), payload, 12, nullptr,
                                   buffer.data(), size, kSilentPingTimeoutMs),
                  0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(IP_REQ_TIMED_OUT));
        EXPECT_EQ(RecordOf(buffer).Status, static_cast<ULONG>(IP_REQ_TIMED_OUT));

        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(fn.pIcmpSendEcho2(handle, event, nullptr, nullptr, Address("127.0.0.1"), payload,
                                    12, nullptr, buffer.data(), size, kSilentPingTimeoutMs),
                  0u);
        ASSERT_EQ(WaitForSingleObject(event, kCompletionWaitMs), WAIT_OBJECT_0);
        SetLastError(0);
        EXPECT_EQ(parse(buffer.data(), size), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(IP_REQ_TIMED_OUT));
        CloseHandle(event);
    });
    if (!refusal.empty())
        GTEST_SKIP() << refusal;
}

struct SocketKind {
    const char* what;
    const char* pingGroupRange;  // which groups may open ICMP datagram sockets
    bool dropRawCapability;
    bool answers;
};

void PrintTo(const SocketKind& k, std::ostream* os) {
    *os << k.what;
}

class IcmpSocketKinds : public ::testing::TestWithParam<SocketKind> {};

// Each way of sending works alone; with neither the ping fails instead of claiming success.
TEST_P(IcmpSocketKinds, PingLoopbackThroughOnlyThisKind) {
    const SocketKind& k = GetParam();
    std::string refusal = RunInOwnNetwork([&] {
        ASSERT_TRUE(WriteSysctl("net/ipv4/ping_group_range", k.pingGroupRange));
        if (k.dropRawCapability) {
            ASSERT_TRUE(DropRawSocketCapability());
        }
        IpHelper helper;
        DWORD status = helper.Ping("127.0.0.1", kLoopbackPingTimeoutMs);
        if (k.answers)
            EXPECT_EQ(status, 0u);
        else
            EXPECT_NE(status, 0u);
    });
    if (!refusal.empty())
        GTEST_SKIP() << refusal;
}

const SocketKind kDatagramSocket{"datagram", "0 2147483647", true, true};
const SocketKind kRawSocket{"raw", "1 0", false, true};
const SocketKind kNoSocket{"neither", "1 0", true, false};
std::string KindName(const ::testing::TestParamInfo<SocketKind>& info) {
    return info.param.what;
}

INSTANTIATE_TEST_SUITE_P(Sockets, IcmpSocketKinds,
                         ::testing::Values(kDatagramSocket, kRawSocket, kNoSocket), KindName);

// A router's "host unreachable" comes back as a reply whose status says so, through either
// kind of socket; the helper reports that status instead of success.
class IcmpErrorSocketKinds : public ::testing::TestWithParam<SocketKind> {};

TEST_P(IcmpErrorSocketKinds, UnreachableFromARouterIsAReplyWithThatStatus) {
    const SocketKind& k = GetParam();
    std::string refusal = RunInOwnNetwork([&] {
        ASSERT_TRUE(WriteSysctl("net/ipv4/icmp_echo_ignore_all", "1"));
        ASSERT_TRUE(WriteSysctl("net/ipv4/ping_group_range", k.pingGroupRange));
        UnreachableResponder router;
        ASSERT_TRUE(router.IsOpen());
        if (k.dropRawCapability) {
            ASSERT_TRUE(DropRawSocketCapability());
        }
        IpHelper helper;
        EXPECT_EQ(helper.Ping("127.0.0.1", kCompletionWaitMs),
                  static_cast<DWORD>(IP_DEST_HOST_UNREACHABLE));

        const IpHelperFunctions& fn = helper.Functions();
        HANDLE handle = fn.pIcmpCreateFile();
        char payload[] = "ping";
        std::vector<unsigned char> buffer(IpHelper::kReplyBufferBytes);
        ASSERT_EQ(fn.pIcmpSendEcho(handle, Address("127.0.0.1"), payload, 4, nullptr, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), kCompletionWaitMs),
                  1u);
        ICMP_ECHO_REPLY r = RecordOf(buffer);
        EXPECT_EQ(r.Status, static_cast<ULONG>(IP_DEST_HOST_UNREACHABLE));
        EXPECT_EQ(Dotted(r.Address), "127.0.0.1");
        EXPECT_EQ(r.DataSize, 0u);
        fn.pIcmpCloseHandle(handle);
    });
    if (!refusal.empty())
        GTEST_SKIP() << refusal;
}

INSTANTIATE_TEST_SUITE_P(Sockets, IcmpErrorSocketKinds,
                         ::testing::Values(kDatagramSocket, kRawSocket), KindName);

}  // namespace
