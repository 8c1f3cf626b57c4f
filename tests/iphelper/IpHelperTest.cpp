// IpHelper: how it binds and hides the modules, ping, best route and the local address on loopback.
#include "vantaproto/IpHelper.h"

#include "OwnNetwork.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace iphelper_test;

namespace {

constexpr DWORD kLoopbackPingTimeoutMs = 2000;
constexpr DWORD kUnitPingTimeoutMs = 40;  // what the COM helper waits for a unit

constexpr char kModuleDir[] = IPHELPER_MODULE_DIR;
constexpr char kNoIcmpModuleDir[] = IPHELPER_NOICMP_MODULE_DIR;
constexpr char kIpHelperFile[] = "libiphlpapi.so";
constexpr char kIcmpFile[] = "libicmp.so";

FARPROC Export(HMODULE module, const char* name) {
    return GetProcAddress(module, name);
}

template <class F>
FARPROC AsProc(F f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

TEST(IpHelperBinding, TakesTheIcmpFunctionsFromTheIpHelperLibraryFirst) {
    IpHelper helper;
    ASSERT_TRUE(helper.IsAvailable());
    HMODULE ipHelper = LoadLibraryA("iphlpapi.dll");
    HMODULE icmp = LoadLibraryA("icmp.dll");
    ASSERT_NE(ipHelper, nullptr);
    ASSERT_NE(icmp, nullptr);
    const IpHelperFunctions& f = helper.Functions();
    EXPECT_EQ(AsProc(f.pIcmpSendEcho2), Export(ipHelper, "IcmpSendEcho2"));
    EXPECT_EQ(AsProc(f.pIcmpCreateFile), Export(ipHelper, "IcmpCreateFile"));
    EXPECT_EQ(AsProc(f.pIcmpSendEcho), Export(ipHelper, "IcmpSendEcho"));
    EXPECT_EQ(AsProc(f.pIcmpCloseHandle), Export(ipHelper, "IcmpCloseHandle"));
    EXPECT_NE(AsProc(f.pIcmpSendEcho), Export(icmp, "IcmpSendEcho"));
    EXPECT_EQ(AsProc(f.pGetBestRoute), Export(ipHelper, "GetBestRoute"));
    FreeLibrary(icmp);
    FreeLibrary(ipHelper);
}

TEST(IpHelperBinding, TakesTheIcmpFunctionsFromTheIcmpLibraryWhenTheIpHelperLacksThem) {
    ModulePath path(std::string(kNoIcmpModuleDir) + ":" + kModuleDir);
    IpHelper helper;
    ASSERT_TRUE(helper.IsAvailable());
    HMODULE ipHelper = LoadLibraryA("iphlpapi.dll");
    HMODULE icmp = LoadLibraryA("icmp.dll");
    ASSERT_EQ(Export(ipHelper, "IcmpSendEcho2"), nullptr);  // the reduced module was found
    const IpHelperFunctions& f = helper.Functions();
    EXPECT_EQ(AsProc(f.pIcmpCreateFile), Export(icmp, "IcmpCreateFile"));
    EXPECT_EQ(AsProc(f.pIcmpSendEcho), Export(icmp, "IcmpSendEcho"));
    EXPECT_EQ(AsProc(f.pIcmpSendEcho2), Export(icmp, "IcmpSendEcho2"));
    EXPECT_EQ(AsProc(f.pIcmpCloseHandle), Export(icmp, "IcmpCloseHandle"));
    EXPECT_EQ(AsProc(f.pGetBestRoute), Export(ipHelper, "GetBestRoute"));
    FreeLibrary(icmp);
    FreeLibrary(ipHelper);
    // The icmp library stays loaded for the helper after the test's own reference is gone.
    EXPECT_EQ(helper.Ping("127.0.0.1", kLoopbackPingTimeoutMs), 0u);
}

struct Presence {
    const char* what;
    bool ipHelper;       // the full IP helper module
    bool reducedHelper;  // the IP helper module without ICMP functions
    bool icmp;
    bool available;
};

void PrintTo(const Presence& p, std::ostream* os) {
    *os << p.what;
}

class IpHelperPresence : public ::testing::TestWithParam<Presence> {};

TEST_P(IpHelperPresence, IsAvailableOnlyWithAllElevenFunctions) {
    const Presence& p = GetParam();
    TempDirectory dir;
    ASSERT_FALSE(dir.Path().empty());
    if (p.ipHelper)
        dir.Link(kModuleDir, kIpHelperFile);
    if (p.reducedHelper)
        dir.Link(kNoIcmpModuleDir, kIpHelperFile);
    if (p.icmp)
        dir.Link(kModuleDir, kIcmpFile);
    ModulePath path(dir.Path());
    IpHelper helper;
    EXPECT_EQ(helper.IsAvailable(), p.available);
    EXPECT_EQ(helper.Ping("127.0.0.1", kLoopbackPingTimeoutMs),
              p.available ? 0u : static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
}

INSTANTIATE_TEST_SUITE_P(Modules, IpHelperPresence,
                         ::testing::Values(Presence{"neither", false, false, false, false},
                                           Presence{"icmpOnly", false, false, true, false},
                                           Presence{"ipHelperOnly", true, false, false, true},
                                           Presence{"reducedHelperOnly", false, true, false, false},
                                           Presence{"reducedHelperAndIcmp", false, true, true,
                                                    true},
                                           Presence{"both", true, false, true, true}),
                         [](const auto& test) { return std::string(test.param.what); });

TEST(IpHelperBinding, HiddenModulesGiveDllInitFailedFromEveryOperation) {
    TempDirectory empty;
    ModulePath path(empty.Path());
    IpHelper helper;
    ASSERT_FALSE(helper.IsAvailable());
    EXPECT_EQ(helper.Ping("127.0.0.1", kUnitPingTimeoutMs), 1114u);
    EXPECT_EQ(helper.Ping(Address("127.0.0.1"), kUnitPingTimeoutMs), 1114u);
    IPAddr hop = 0;
    EXPECT_EQ(helper.BestRoute(Address("127.0.0.1"), hop), 1114u);
    EXPECT_EQ(hop, INADDR_NONE);
    // The local-address lookup reports any route failure as E_FAIL, with no text.
    std::string local = "stale";
    EXPECT_EQ(helper.LocalAddressTowards("127.0.0.1", local), E_FAIL);
    EXPECT_EQ(local, "");
    // Argument checks still come first.
    EXPECT_EQ(helper.LocalAddressTowards("no address", local), ERROR_BAD_ARGUMENTS);
}

TEST(IpHelperBinding, SubstitutesSetDllInitFailedAndReturnTheirFailureValues) {
    TempDirectory empty;
    ModulePath path(empty.Path());
    IpHelper helper;
    const IpHelperFunctions& f = helper.Functions();
    struct Call {
        const char* name;
        uintptr_t (*invoke)(const IpHelperFunctions&);
        uintptr_t expected;
    };
    const Call calls[] = {
        {"IcmpCreateFile",
         [](const IpHelperFunctions& t) { return uintptr_t(t.pIcmpCreateFile()); },
         uintptr_t(INVALID_HANDLE_VALUE)},
        {"IcmpSendEcho",
         [](const IpHelperFunctions& t) {
             return uintptr_t(t.pIcmpSendEcho(nullptr, 0, nullptr, 0, nullptr, nullptr, 0, 0));
         },
         0},
        {"IcmpSendEcho2",
         [](const IpHelperFunctions& t) {
             return uintptr_t(t.pIcmpSendEcho2(nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0,
                                               nullptr, nullptr, 0, 0));
         },
         0},
        {"IcmpCloseHandle",
         [](const IpHelperFunctions& t) { return uintptr_t(t.pIcmpCloseHandle(nullptr)); }, 0},
        {"GetInterfaceInfo",
         [](const IpHelperFunctions& t) {
             return uintptr_t(t.pGetInterfaceInfo(nullptr, nullptr));
         },
         1114},
        {"GetAdaptersInfo",
         [](const IpHelperFunctions& t) { return uintptr_t(t.pGetAdaptersInfo(nullptr, nullptr)); },
         1114},
        {"GetIfEntry", [](const IpHelperFunctions& t) { return uintptr_t(t.pGetIfEntry(nullptr)); },
         1114},
        {"IpReleaseAddress",
         [](const IpHelperFunctions& t) { return uintptr_t(t.pIpReleaseAddress(nullptr)); }, 1114},
        {"IpRenewAddress",
         [](const IpHelperFunctions& t) { return uintptr_t(t.pIpRenewAddress(nullptr)); }, 1114},
        {"GetBestRoute",
         [](const IpHelperFunctions& t) { return uintptr_t(t.pGetBestRoute(0, 0, nullptr)); },
         1114},
        {"SetAdapterIpAddress",
         [](const IpHelperFunctions& t) {
             return uintptr_t(t.pSetAdapterIpAddress(nullptr, FALSE, 0, 0, 0));
         },
         1114},
    };
    static_assert(std::size(calls) == IpHelper::kFunctionCount);
    for (const Call& c : calls) {
        SetLastError(0);
        EXPECT_EQ(c.invoke(f), c.expected) << c.name;
        EXPECT_EQ(GetLastError(), 1114u) << c.name;
    }
}

TEST(IpHelperPing, LoopbackAnswersByTextAndByAddress) {
    IpHelper helper;
    EXPECT_EQ(helper.Ping("127.0.0.1", kLoopbackPingTimeoutMs), 0u);
    EXPECT_EQ(helper.Ping(Address("127.0.0.1"), kLoopbackPingTimeoutMs), 0u);
}

TEST(IpHelperPing, TextsThatAreNoAddressAreBadArguments) {
    IpHelper helper;
    // inet_addr gives INADDR_NONE for the broadcast text too.
    for (const char* text :
         {"255.255.255.255", "not.an.address", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(helper.Ping(text, kUnitPingTimeoutMs), 160u) << (text ? text : "(none)");
}

TEST(IpHelperPing, HostThatDoesNotAnswerTimesOut) {
    std::string refusal = RunInOwnNetwork([] {
        ASSERT_TRUE(WriteSysctl("net/ipv4/icmp_echo_ignore_all", "1"));
        IpHelper helper;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(helper.Ping("127.0.0.1", kUnitPingTimeoutMs),
                  static_cast<DWORD>(IP_REQ_TIMED_OUT));
        EXPECT_GE(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(kUnitPingTimeoutMs));
    });
    if (!refusal.empty())
        GTEST_SKIP() << refusal;
}

TEST(IpHelperPing, UnreachableDestinationIsAnErrorNotSuccess) {
    std::string refusal = RunInOwnNetwork([] {
        // Only 127.0.0.1 (its own host route) stays local; 127.0.0.2 gets an unreachable route.
        ASSERT_TRUE(RunIp("route del local 127.0.0.0/8 dev lo table local"));
        ASSERT_TRUE(RunIp("route add unreachable 127.0.0.2"));
        IpHelper helper;
        EXPECT_EQ(helper.Ping("127.0.0.2", kUnitPingTimeoutMs),
                  static_cast<DWORD>(IP_DEST_HOST_UNREACHABLE));
        IPAddr hop = 0;
        EXPECT_EQ(helper.BestRoute(Address("127.0.0.2"), hop),
                  static_cast<DWORD>(ERROR_HOST_UNREACHABLE));
        EXPECT_EQ(hop, INADDR_NONE);
        std::string local = "stale";
        EXPECT_EQ(helper.LocalAddressTowards("127.0.0.2", local), E_FAIL);
        EXPECT_EQ(local, "");
        EXPECT_EQ(helper.Ping("127.0.0.1", kLoopbackPingTimeoutMs), 0u);
    });
    if (!refusal.empty())
        GTEST_SKIP() << refusal;
}

TEST(IpHelperRoute, LoopbackRoutesToTheComputerItself) {
    IpHelper helper;
    IPAddr hop = 0;
    ASSERT_EQ(helper.BestRoute(Address("127.0.0.1"), hop), 0u);
    EXPECT_EQ(Dotted(hop), "127.0.0.1");
    std::string local;
    EXPECT_EQ(helper.LocalAddressTowards("127.0.0.1", local), S_OK);
    EXPECT_EQ(local, "127.0.0.1");
    // Another loopback address is reached from the loopback interface's own address.
    EXPECT_EQ(helper.LocalAddressTowards("127.0.0.5", local), S_OK);
    EXPECT_EQ(local, "127.0.0.1");
}

TEST(IpHelperRoute, NoAddressTextGivesBadArgumentsAndEmptyOutput) {
    IpHelper helper;
    for (const char* text :
         {"999.1.1.1", "unit", "255.255.255.255", static_cast<const char*>(nullptr)}) {
        std::string local = "stale";
        EXPECT_EQ(helper.LocalAddressTowards(text, local), ERROR_BAD_ARGUMENTS)
            << (text ? text : "(none)");
        EXPECT_EQ(local, "");
    }
    IPAddr hop = 0;
    EXPECT_EQ(helper.BestRoute(INADDR_NONE, hop), 160u);
    EXPECT_EQ(hop, INADDR_NONE);
}

}  // namespace
