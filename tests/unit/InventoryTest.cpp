#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "velqorin/NetworkAnalyse.h"

using velqorin::Ipv4Pair;
using velqorin::ScopedPlatform;
using velqorin::test::adapter;
using velqorin::test::FakePlatform;

namespace {

constexpr std::array<std::uint8_t, 6> kMacA{0x02, 0x00, 0x00, 0x0E, 0x0F, 0x01};
constexpr std::array<std::uint8_t, 6> kMacB{0x02, 0x00, 0x00, 0x0E, 0x0F, 0x02};
constexpr std::array<std::uint8_t, 6> kMacC{0x02, 0x00, 0x00, 0x0E, 0x0F, 0x03};

Ipv4Pair pair(std::array<std::uint8_t, 4> address, std::array<std::uint8_t, 4> mask) {
    return {address, mask};
}

std::vector<CVelqorinNetworkInterface*> records(const CVelqorinNetworkAnalyse& a) {
    std::vector<CVelqorinNetworkInterface*> out;
    const CVelqorinNetworkInterface* previous = nullptr;
    for (auto* rec = a.firstInterface; rec != nullptr; rec = rec->next) {
        EXPECT_EQ(rec->prev, previous);
        out.push_back(rec);
        previous = rec;
    }
    EXPECT_EQ(a.CountNetworkInterfaces(), static_cast<int>(out.size()));
    return out;
}

std::array<std::uint8_t, 4> addressOf(const sockaddr_storage& block) {
    std::array<std::uint8_t, 4> bytes;
    std::memcpy(bytes.data(), reinterpret_cast<const std::uint8_t*>(&block) + 4, 4);
    return bytes;
}

TEST(GetIps, OneRecordPerAdapterInTableOrder) {
    FakePlatform fake;
    fake.table = {adapter("eth0", kMacA), adapter("wlan0", kMacB), adapter("eth1", kMacC)};
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    a.getIps();

    const auto list = records(a);
    ASSERT_EQ(list.size(), 3u);
    const char* names[] = {"eth0", "wlan0", "eth1"};
    const std::array<std::uint8_t, 6>* macs[] = {&kMacA, &kMacB, &kMacC};
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_STREQ(list[i]->name, names[i]);
        EXPECT_EQ(std::memcmp(list[i]->mac, macs[i]->data(), 6), 0) << names[i];
        EXPECT_EQ(list[i]->mac[6], 0);
        EXPECT_EQ(list[i]->mac[7], 0);
    }
    unsigned char wanted[8] = {};
    std::memcpy(wanted, kMacB.data(), 6);
    EXPECT_EQ(a.getNetworkInterface(wanted), list[1]);
}

TEST(GetIps, PlaceholderAddressesAreLeftOutAndMasksKeptAsTheyAre) {
    FakePlatform fake;
    fake.table = {
        adapter("eth0", kMacA, {pair({0, 0, 0, 0}, {255, 255, 255, 0})}),
        adapter("eth1", kMacB,
                {pair({255, 255, 255, 255}, {0, 0, 0, 0}), pair({192, 0, 2, 10}, {0, 0, 0, 0}),
                 pair({0, 0, 0, 0}, {0, 0, 0, 0}), pair({198, 51, 100, 7}, {255, 255, 255, 255})}),
    };
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    a.getIps();
    const auto list = records(a);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->getCountIpAddresses(), 0);
    ASSERT_EQ(list[1]->getCountIpAddresses(), 2);
    sockaddr_storage address, mask;
    ASSERT_TRUE(list[1]->getIpAddress(0, &address, &mask));
    EXPECT_EQ(addressOf(address), (std::array<std::uint8_t, 4>{192, 0, 2, 10}));
    EXPECT_EQ(addressOf(mask), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    ASSERT_TRUE(list[1]->getIpAddress(1, &address, &mask));
    EXPECT_EQ(addressOf(address), (std::array<std::uint8_t, 4>{198, 51, 100, 7}));
    EXPECT_EQ(addressOf(mask), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
}

TEST(GetIps, AddressBlocksHoldOnlyFamilyAndAddress) {
    FakePlatform fake;
    fake.table = {adapter("eth0", kMacA, {pair({192, 0, 2, 10}, {255, 255, 254, 0})})};
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    a.getIps();
    ASSERT_NE(a.firstInterface, nullptr);
    ASSERT_EQ(a.firstInterface->getCountIpAddresses(), 1);

    std::array<std::uint8_t, 128> expectedAddress{}, expectedMask{};
    const std::uint8_t address16[16] = {2, 0, 0, 0, 192, 0, 2, 10};
    const std::uint8_t mask16[16] = {2, 0, 0, 0, 255, 255, 254, 0};
    std::memcpy(expectedAddress.data(), address16, 16);
    std::memcpy(expectedMask.data(), mask16, 16);
    EXPECT_EQ(std::memcmp(&a.firstInterface->ipAddresses[0], expectedAddress.data(), 128), 0);
    EXPECT_EQ(std::memcmp(&a.firstInterface->ipMasks[0], expectedMask.data(), 128), 0);
}

TEST(GetIps, KeepsTheFirstHundredAddresses) {
    std::vector<Ipv4Pair> many;
    for (int i = 0; i < 101; ++i)
        many.push_back(pair({10, 0, 0, static_cast<std::uint8_t>(i + 1)}, {255, 0, 0, 0}));
    FakePlatform fake;
    fake.table = {adapter("eth0", kMacA, many), adapter("eth1", kMacB, {many[0]})};
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    a.getIps();
    const auto list = records(a);
    ASSERT_EQ(list.size(), 2u);
    ASSERT_EQ(list[0]->getCountIpAddresses(), 100);
    sockaddr_storage address, mask;
    ASSERT_TRUE(list[0]->getIpAddress(99, &address, &mask));
    EXPECT_EQ(addressOf(address)[3], 100);
    EXPECT_EQ(list[1]->getCountIpAddresses(), 1);
}

struct DhcpCase {
    const char* what;
    std::optional<bool> dhcp;
    const char* server;
    bool expectDhcp;
    bool expectServer;
};

const DhcpCase kDhcpCases[] = {
    {"server known", true, "192.0.2.1", true, true},
    {"no server", true, "", true, false},
    {"server 0.0.0.0", true, "0.0.0.0", true, false},
    {"server 255.255.255.255", true, "255.255.255.255", true, false},
    {"server text unreadable", true, "192.0.2", true, false},
    {"static with a stale server", false, "192.0.2.1", false, false},
    {"state unknown", std::nullopt, "192.0.2.1", false, false},
};

TEST(GetIpsAndGetReg, DhcpFlags) {
    for (const DhcpCase& c : kDhcpCases) {
        FakePlatform fake;
        fake.table = {adapter("eth0", kMacA, {}, c.dhcp, c.server)};
        const ScopedPlatform scope(fake);
        CVelqorinNetworkAnalyse a;
        a.getIps();
        ASSERT_NE(a.firstInterface, nullptr) << c.what;
        EXPECT_EQ(a.firstInterface->dhcp, c.expectDhcp) << c.what;
        EXPECT_EQ(a.firstInterface->dhcpServer, c.expectServer) << c.what;

        bool dhcp = !c.expectDhcp, server = !c.expectServer;
        EXPECT_EQ(a.getReg("eth0", &dhcp, &server), c.dhcp.has_value()) << c.what;
        if (!c.dhcp) continue;
        EXPECT_EQ(dhcp, c.expectDhcp) << c.what;
        EXPECT_EQ(server, c.expectServer) << c.what;
    }
}

TEST(GetIps, UnreadableTablePrintsTheOneLineAndAddsNothing) {
    FakePlatform fake;
    fake.table = std::nullopt;
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    testing::internal::CaptureStdout();
    a.getIps();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Call to GetAdaptersInfo failed.\n");
    EXPECT_EQ(a.firstInterface, nullptr);
    EXPECT_EQ(a.CountNetworkInterfaces(), 0);

    fake.table = {adapter("eth0", kMacA)};
    testing::internal::CaptureStdout();
    a.getIps();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(GetIps, ASecondCallChainsAfterTheFirstRecords) {
    FakePlatform fake;
    fake.table = {adapter("eth0", kMacA), adapter("eth1", kMacB)};
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    a.getIps();
    a.getIps();  // without reset: every record must stay reachable, and be freed by reset
    const auto list = records(a);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_STREQ(list[2]->name, "eth0");
    a.reset();
    EXPECT_TRUE(records(a).empty());
}

TEST(GetReg, DeviceFormsNameTheSameAdapter) {
    FakePlatform fake;
    fake.table = {adapter("eth0", kMacA, {}, false), adapter("eth1", kMacB, {}, true, "192.0.2.1")};
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    for (const char* name : {"eth1", "NPF_eth1", "\\Device\\NPF_eth1", "C:\\a\\b\\eth1", "\\eth1"}) {
        bool dhcp = false, server = false;
        EXPECT_TRUE(a.getReg(name, &dhcp, &server)) << name;
        EXPECT_TRUE(dhcp) << name;
        EXPECT_TRUE(server) << name;
    }
    bool dhcp = true, server = true;
    EXPECT_TRUE(a.getReg("\\Device\\NPF_eth0", &dhcp, &server));
    EXPECT_FALSE(dhcp);
    EXPECT_FALSE(server);
}

TEST(GetReg, NoAnswerLeavesTheFlagsAlone) {
    FakePlatform fake;
    fake.table = {adapter("eth0", kMacA, {}, true, "192.0.2.1"),
                  adapter("eth2", kMacB, {}, std::nullopt, "192.0.2.1")};
    const ScopedPlatform scope(fake);
    CVelqorinNetworkAnalyse a;
    for (const char* name : {"eth1", "eth", "eth0 ", "NPF_", "eth0\\", "NPF_NPF_eth0", "lo", "eth2", ""}) {
        for (const bool start : {false, true}) {
            bool dhcp = start, server = start;
            EXPECT_FALSE(a.getReg(name, &dhcp, &server)) << name;
            EXPECT_EQ(dhcp, start) << name;
            EXPECT_EQ(server, start) << name;
        }
    }
    EXPECT_FALSE(a.getReg(nullptr, nullptr, nullptr));

    fake.table = std::nullopt;
    bool dhcp = false, server = false;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(a.getReg("eth0", &dhcp, &server));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(dhcp);
}

}  // namespace
