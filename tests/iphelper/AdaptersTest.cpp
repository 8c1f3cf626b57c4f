// Adapter and route functions of the IP helper module, on loopback and in namespaces of our own.
#include "vantaproto/IpHelper.h"

#include "OwnNetwork.h"
#include "TestSupport.h"

#include <net/if.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace iphelper_test;

namespace {

std::string Narrow(const uint16_t* wide) {
    std::string text;
    for (; *wide; ++wide)
        text += static_cast<char>(*wide);
    return text;
}

std::vector<std::string> List(const IP_ADDR_STRING& first, bool withMask) {
    std::vector<std::string> items;
    for (const IP_ADDR_STRING* s = &first; s; s = s->Next)
        items.push_back(std::string(s->IpAddress.String) +
                        (withMask ? std::string("/") + s->IpMask.String : std::string()));
    return items;
}

class Adapters : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_helper.IsAvailable()); }
    const IpHelperFunctions& f() const { return m_helper.Functions(); }
    IpHelper m_helper;
};

TEST_F(Adapters, LoopbackInterfaceRow) {
    MIB_IFROW row{};
    row.dwIndex = if_nametoindex("lo");
    ASSERT_NE(row.dwIndex, 0u);
    ASSERT_EQ(f().pGetIfEntry(&row), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(row.dwIndex, if_nametoindex("lo"));
    EXPECT_EQ(row.dwType, static_cast<DWORD>(MIB_IF_TYPE_LOOPBACK));
    EXPECT_EQ(Narrow(row.wszName), "\\DEVICE\\TCPIP_lo");
    EXPECT_GT(row.dwMtu, 0u);
    EXPECT_EQ(row.dwPhysAddrLen, 0u);
    EXPECT_EQ(row.dwAdminStatus, static_cast<DWORD>(MIB_IF_ADMIN_STATUS_UP));
    EXPECT_EQ(row.dwOperStatus, static_cast<DWORD>(MIB_IF_OPER_STATUS_OPERATIONAL));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(row.bDescr)), "lo");
    EXPECT_EQ(row.dwDescrLen, 3u);  // the text and its terminator

    // The loopback interface counts what a ping sends through it.
    DWORD before = row.dwOutUcastPkts;
    ASSERT_EQ(m_helper.Ping("127.0.0.1", 2000), 0u);
    ASSERT_EQ(f().pGetIfEntry(&row), static_cast<DWORD>(NO_ERROR));
    EXPECT_GT(row.dwOutUcastPkts, before);
}

TEST_F(Adapters, LoopbackBestRouteRow) {
    // 127.0.0.1 itself has a host route of its own; another loopback address takes the /8.
    MIB_IPFORWARDROW route{};
    ASSERT_EQ(f().pGetBestRoute(Address("127.0.0.1"), 0, &route), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(Dotted(route.dwForwardNextHop), "127.0.0.1");
    EXPECT_EQ(Dotted(route.dwForwardMask), "255.255.255.255");
    ASSERT_EQ(f().pGetBestRoute(Address("127.0.0.5"), 0, &route), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(Dotted(route.dwForwardNextHop), "127.0.0.1");
    EXPECT_EQ(Dotted(route.dwForwardDest), "127.0.0.0");
    EXPECT_EQ(Dotted(route.dwForwardMask), "255.0.0.0");
    EXPECT_EQ(route.dwForwardType, static_cast<DWORD>(MIB_IPROUTE_TYPE_DIRECT));
    EXPECT_EQ(route.dwForwardIfIndex, if_nametoindex("lo"));
    EXPECT_EQ(f().pGetBestRoute(Address("127.0.0.1"), 0, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Adapters, ArgumentErrorsAndUnsupportedOperations) {
    MIB_IFROW row{};
    row.dwIndex = 0x7FFFFFF0;
    EXPECT_EQ(f().pGetIfEntry(&row), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(f().pGetIfEntry(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(f().pGetAdaptersInfo(nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(f().pGetInterfaceInfo(nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    IP_ADAPTER_INDEX_MAP map{};
    map.Index = if_nametoindex("lo");
    char name[] = "lo";
    EXPECT_EQ(f().pIpReleaseAddress(&map), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(f().pIpRenewAddress(&map), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(f().pSetAdapterIpAddress(name, FALSE, Address("127.0.0.9"), Address("255.0.0.0"), 0),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(Adapters, LoopbackAloneIsNoAdapter) {
    const IpHelperFunctions& fn = f();
    std::string refusal = RunInOwnNetwork([&] {
        ULONG size = 0;
        EXPECT_EQ(fn.pGetAdaptersInfo(nullptr, &size), static_cast<DWORD>(ERROR_NO_DATA));
        EXPECT_EQ(fn.pGetInterfaceInfo(nullptr, &size), static_cast<DWORD>(ERROR_NO_DATA));
    });
    if (!refusal.empty())
        GTEST_SKIP() << refusal;
}

// A namespace with a virtual Ethernet pair: "vt0" up with two addresses and a default gateway,
// its peer "vt1" switched off. Nothing is sent (the peer is down, so vt0 has no carrier): the
// test only reads lists and looks routes up.
TEST_F(Adapters, AdapterListsAndRoutesOfAVirtualAdapter) {
    const IpHelperFunctions& fn = f();
    IpHelper& helper = m_helper;
    std::string refusal = RunInOwnNetwork([&] {
        WriteSysctl("net/ipv6/conf/default/disable_ipv6", "1");
        if (!RunIp("link add vt0 type veth peer name vt1")) {
            GTEST_SKIP() << "virtual Ethernet pairs are not available";
            return;
        }
        ASSERT_TRUE(RunIp("link set vt0 address 02:00:00:00:77:01"));
        ASSERT_TRUE(RunIp("addr add 10.77.0.1/24 dev vt0"));
        ASSERT_TRUE(RunIp("addr add 10.77.1.1/16 dev vt0"));
        ASSERT_TRUE(RunIp("link set vt0 up"));
        ASSERT_TRUE(RunIp("route add default via 10.77.0.254 dev vt0"));
        const DWORD index = if_nametoindex("vt0");
        ASSERT_NE(index, 0u);

        ULONG size = 0;
        ASSERT_EQ(fn.pGetAdaptersInfo(nullptr, &size), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
        ULONG tooSmall = size - 1;
        std::vector<unsigned char> buffer(size);
        auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
        EXPECT_EQ(fn.pGetAdaptersInfo(info, &tooSmall), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
        EXPECT_EQ(tooSmall, size);
        ASSERT_EQ(fn.pGetAdaptersInfo(info, &size), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(info->Next, nullptr);
        EXPECT_STREQ(info->AdapterName, "vt0");
        EXPECT_EQ(info->Index, index);
        EXPECT_EQ(info->Type, static_cast<UINT>(MIB_IF_TYPE_ETHERNET));
        ASSERT_EQ(info->AddressLength, 6u);
        const BYTE mac[6] = {0x02, 0, 0, 0, 0x77, 0x01};
        EXPECT_EQ(std::memcmp(info->Address, mac, 6), 0);
        EXPECT_EQ(List(info->IpAddressList, true),
                  (std::vector<std::string>{"10.77.0.1/255.255.255.0", "10.77.1.1/255.255.0.0"}));
        EXPECT_EQ(List(info->GatewayList, false), std::vector<std::string>{"10.77.0.254"});
        // Further list entries live inside the caller's buffer.
        auto* second = reinterpret_cast<unsigned char*>(info->IpAddressList.Next);
        EXPECT_GE(second, buffer.data());
        EXPECT_LE(second + sizeof(IP_ADDR_STRING), buffer.data() + buffer.size());

        ULONG mapSize = 0;
        ASSERT_EQ(fn.pGetInterfaceInfo(nullptr, &mapSize),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<unsigned char> maps(mapSize);
        auto* table = reinterpret_cast<IP_INTERFACE_INFO*>(maps.data());
        ASSERT_EQ(fn.pGetInterfaceInfo(table, &mapSize), static_cast<DWORD>(NO_ERROR));
        ASSERT_EQ(table->NumAdapters, 1);
        EXPECT_EQ(table->Adapter[0].Index, index);
        EXPECT_EQ(Narrow(table->Adapter[0].Name), "\\DEVICE\\TCPIP_vt0");

        MIB_IFROW row{};
        row.dwIndex = index;
        // Up, but without carrier while its peer is down.
        ASSERT_EQ(fn.pGetIfEntry(&row), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(row.dwType, static_cast<DWORD>(MIB_IF_TYPE_ETHERNET));
        EXPECT_EQ(row.dwAdminStatus, static_cast<DWORD>(MIB_IF_ADMIN_STATUS_UP));
        EXPECT_EQ(row.dwOperStatus, static_cast<DWORD>(MIB_IF_OPER_STATUS_DISCONNECTED));
        EXPECT_EQ(row.dwPhysAddrLen, 6u);
        EXPECT_EQ(std::memcmp(row.bPhysAddr, mac, 6), 0);
        row.dwIndex = if_nametoindex("vt1");
        ASSERT_EQ(fn.pGetIfEntry(&row), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(row.dwAdminStatus, static_cast<DWORD>(MIB_IF_ADMIN_STATUS_DOWN));

        // On the attached network the next hop is the computer's own address there; beyond
        // it, the gateway.
        MIB_IPFORWARDROW route{};
        ASSERT_EQ(fn.pGetBestRoute(Address("10.77.0.9"), 0, &route), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(Dotted(route.dwForwardNextHop), "10.77.0.1");
        EXPECT_EQ(Dotted(route.dwForwardDest), "10.77.0.0");
        EXPECT_EQ(Dotted(route.dwForwardMask), "255.255.255.0");
        EXPECT_EQ(route.dwForwardType, static_cast<DWORD>(MIB_IPROUTE_TYPE_DIRECT));
        EXPECT_EQ(route.dwForwardIfIndex, index);
        ASSERT_EQ(fn.pGetBestRoute(Address("10.99.0.1"), 0, &route), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(Dotted(route.dwForwardNextHop), "10.77.0.254");
        EXPECT_EQ(Dotted(route.dwForwardMask), "0.0.0.0");
        EXPECT_EQ(route.dwForwardType, static_cast<DWORD>(MIB_IPROUTE_TYPE_INDIRECT));

        // The configuration tool's way: the interface towards the unit, then its address row.
        HMODULE module = LoadLibraryA("iphlpapi.dll");
        auto count = reinterpret_cast<decltype(&::GetNumberOfInterfaces)>(
            reinterpret_cast<void*>(GetProcAddress(module, "GetNumberOfInterfaces")));
        auto best = reinterpret_cast<decltype(&::GetBestInterface)>(
            reinterpret_cast<void*>(GetProcAddress(module, "GetBestInterface")));
        auto addresses = reinterpret_cast<decltype(&::GetIpAddrTable)>(
            reinterpret_cast<void*>(GetProcAddress(module, "GetIpAddrTable")));
        ASSERT_TRUE(count && best && addresses);
        DWORD interfaces = 0;
        ASSERT_EQ(count(&interfaces), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(interfaces, 3u);  // lo, vt0, vt1
        DWORD bestIndex = 0;
        ASSERT_EQ(best(Address("10.77.0.9"), &bestIndex), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(bestIndex, index);
        ULONG tableSize = 0;
        ASSERT_EQ(addresses(nullptr, &tableSize, TRUE),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<unsigned char> tableBuffer(tableSize);
        auto* rows = reinterpret_cast<MIB_IPADDRTABLE*>(tableBuffer.data());
        ASSERT_EQ(addresses(rows, &tableSize, TRUE), static_cast<DWORD>(NO_ERROR));
        std::vector<std::string> listed;
        for (DWORD i = 0; i < rows->dwNumEntries; ++i)
            listed.push_back(Dotted(rows->table[i].dwAddr) + "@" +
                             (rows->table[i].dwIndex == index ? "vt0" : "other"));
        EXPECT_EQ(listed,
                  (std::vector<std::string>{"10.77.0.1@vt0", "10.77.1.1@vt0", "127.0.0.1@other"}));
        FreeLibrary(module);

        std::string local;
        EXPECT_EQ(helper.LocalAddressTowards("10.77.0.9", local), S_OK);
        EXPECT_EQ(local, "10.77.0.1");
        EXPECT_EQ(helper.LocalAddressTowards("10.77.200.9", local), S_OK);
        EXPECT_EQ(local, "10.77.1.1");
    });
    if (!refusal.empty())
        GTEST_SKIP() << refusal;
}

}  // namespace
