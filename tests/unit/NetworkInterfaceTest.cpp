#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "Frames.h"
#include "velqorin/NetworkInterface.h"

using velqorin::test::socketAddress;

namespace {

static_assert(std::is_standard_layout_v<CVelqorinNetworkInterface>);
static_assert(offsetof(CVelqorinNetworkInterface, prev) == 0);
static_assert(offsetof(CVelqorinNetworkInterface, next) == 8);
static_assert(offsetof(CVelqorinNetworkInterface, name) == 16);
static_assert(offsetof(CVelqorinNetworkInterface, dhcp) == 10016);
static_assert(offsetof(CVelqorinNetworkInterface, dhcpServer) == 10017);
static_assert(offsetof(CVelqorinNetworkInterface, mac) == 10018);
static_assert(offsetof(CVelqorinNetworkInterface, ipAddresses) == 10032);
static_assert(offsetof(CVelqorinNetworkInterface, ipMasks) == 10032 + 100 * 128);
static_assert(offsetof(CVelqorinNetworkInterface, ipAddressCount) == 10032 + 200 * 128);

const unsigned char kMac[8] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x01, 0x77, 0x88};

TEST(NetworkInterface, KeepsNameMacAndStartsWithoutAddresses) {
    auto rec = std::make_unique<CVelqorinNetworkInterface>(nullptr, "eth0", kMac);
    char name[CVelqorinNetworkInterface::kNameSize];
    EXPECT_STREQ(rec->getName(name), "eth0");
    EXPECT_EQ(std::memcmp(rec->mac, kMac, 8), 0);
    unsigned char mac[8];
    rec->getMac(mac);
    const unsigned char expected[8] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x01, 0, 0};
    EXPECT_EQ(std::memcmp(mac, expected, 8), 0);
    EXPECT_EQ(rec->getCountIpAddresses(), 0);
    EXPECT_EQ(rec->prev, nullptr);
    EXPECT_EQ(rec->next, nullptr);
}

TEST(NetworkInterface, NameOf9998CharactersOrMoreKeepsTheFirst9998) {
    for (std::size_t length : {9997u, 9998u, 9999u, 10000u, 20000u}) {
        const std::string name(length, 'i');
        auto rec = std::make_unique<CVelqorinNetworkInterface>(nullptr, name.c_str(), kMac);
        char out[CVelqorinNetworkInterface::kNameSize];
        rec->getName(out);
        EXPECT_EQ(std::strlen(out), std::min<std::size_t>(length, 9998)) << length;
    }
}

TEST(NetworkInterface, HoldsAtMostOneHundredAddressPairs) {
    auto rec = std::make_unique<CVelqorinNetworkInterface>(nullptr, "eth0", kMac);
    for (int i = 0; i < 100; ++i) {
        const std::string address = "192.0.2." + std::to_string(i + 1);
        ASSERT_TRUE(rec->addIpAddress(socketAddress(address.c_str()), socketAddress("255.255.255.0")));
    }
    EXPECT_FALSE(rec->addIpAddress(socketAddress("198.51.100.1"), socketAddress("255.255.255.0")));
    EXPECT_EQ(rec->getCountIpAddresses(), 100);

    sockaddr_storage address{}, mask{};
    ASSERT_TRUE(rec->getIpAddress(99, &address, &mask));
    EXPECT_EQ(reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr, inet_addr("192.0.2.100"));
    EXPECT_EQ(reinterpret_cast<sockaddr_in*>(&mask)->sin_addr.s_addr, inet_addr("255.255.255.0"));

    rec->resetIpAddresses();
    EXPECT_EQ(rec->getCountIpAddresses(), 0);
    EXPECT_FALSE(rec->getIpAddress(0, &address, &mask));
}

TEST(NetworkInterface, OutOfRangeIndexWritesNothing) {
    auto rec = std::make_unique<CVelqorinNetworkInterface>(nullptr, "eth0", kMac);
    rec->addIpAddress(socketAddress("192.0.2.10"), socketAddress("255.255.255.0"));
    rec->addIpAddress(socketAddress("198.51.100.10"), socketAddress("255.255.0.0"));
    for (int index : {-1, 2, 100, -2147483647 - 1}) {
        sockaddr_storage address, mask;
        std::memset(&address, 0x5A, sizeof address);
        std::memset(&mask, 0x5A, sizeof mask);
        EXPECT_FALSE(rec->getIpAddress(index, &address, &mask)) << index;
        EXPECT_EQ(reinterpret_cast<unsigned char*>(&address)[0], 0x5A);
        EXPECT_EQ(reinterpret_cast<unsigned char*>(&mask)[127], 0x5A);
    }
    sockaddr_storage address, mask;
    ASSERT_TRUE(rec->getIpAddress(1, &address, &mask));
    EXPECT_EQ(std::memcmp(&address, &rec->ipAddresses[1], sizeof address), 0);
    EXPECT_EQ(std::memcmp(&mask, &rec->ipMasks[1], sizeof mask), 0);
}

TEST(NetworkInterface, DhcpFlags) {
    auto rec = std::make_unique<CVelqorinNetworkInterface>(nullptr, "eth0", kMac);
    for (const auto& [dhcp, server] : {std::pair{true, true}, {true, false}, {false, false}}) {
        rec->setDhcp(dhcp, server);
        bool d = !dhcp, s = !server;
        rec->getDhcp(&d, &s);
        EXPECT_EQ(d, dhcp);
        EXPECT_EQ(s, server);
    }
}

TEST(NetworkInterface, ChainsAfterItsPredecessorAndUnlinks) {
    auto* a = new CVelqorinNetworkInterface(nullptr, "a", kMac);
    auto* b = new CVelqorinNetworkInterface(a, "b", kMac);
    auto* c = new CVelqorinNetworkInterface(b, "c", kMac);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(c->prev, b);
    delete b;
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->prev, a);
    delete c;
    EXPECT_EQ(a->next, nullptr);
    delete a;
}

}  // namespace
