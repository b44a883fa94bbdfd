#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "velqorin/Compatibility.h"

using velqorin::Verdict;

namespace {

sockaddr_storage block(const char* dotted) {
    sockaddr_storage s{};
    s.ss_family = AF_INET;
    const in_addr_t a = inet_addr(dotted);
    std::memcpy(reinterpret_cast<std::uint8_t*>(&s) + 4, &a, 4);
    return s;
}

std::vector<std::uint8_t> bytes(const char* dotted) {
    std::vector<std::uint8_t> b(4);
    const in_addr_t a = inet_addr(dotted);
    std::memcpy(b.data(), &a, 4);
    return b;
}

struct Case {
    const char* what;
    std::vector<std::pair<const char*, const char*>> local;  // address, mask
    bool localDhcp;
    const char* address;
    const char* mask;
    bool dhcp;
    Verdict verdict;
};

class CompatibilityVerdict : public ::testing::TestWithParam<Case> {};

TEST_P(CompatibilityVerdict, Rule) {
    const Case& c = GetParam();
    const unsigned char mac[8] = {};
    auto rec = std::make_unique<CVelqorinNetworkInterface>(nullptr, "eth0", mac);
    for (const auto& [a, m] : c.local) rec->addIpAddress(block(a), block(m));
    rec->setDhcp(c.localDhcp, c.localDhcp);
    EXPECT_EQ(velqorin::compatibilityVerdict(*rec, bytes(c.address).data(), bytes(c.mask).data(), c.dhcp),
              c.verdict)
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, CompatibilityVerdict,
    ::testing::Values(
        Case{"fixed box on a DHCP workstation", {{"192.0.2.5", "255.255.255.0"}}, true,
             "192.0.2.20", "255.255.255.0", false, Verdict::CompatibleUseDhcp},
        Case{"then DHCP chosen", {{"192.0.2.5", "255.255.255.0"}}, true, "192.0.2.20",
             "255.255.255.0", true, Verdict::Compatible},
        Case{"DHCP box on a fixed workstation", {{"192.0.2.5", "255.255.255.0"}}, false,
             "192.0.2.20", "255.255.255.0", true, Verdict::CompatibleUseFixed},
        Case{"fits the interface's mask but not the new one", {{"10.0.0.1", "255.0.0.0"}}, false,
             "10.1.2.3", "255.255.0.0", false, Verdict::Incompatible},
        Case{"another subnet", {{"192.0.2.5", "255.255.255.0"}}, false, "198.51.100.7",
             "255.255.255.0", false, Verdict::Incompatible},
        Case{"the workstation's own address", {{"192.0.2.5", "255.255.255.0"}}, false,
             "192.0.2.5", "255.255.255.0", false, Verdict::WorkstationAddress},
        Case{"own second address, even outside the first subnet",
             {{"192.0.2.5", "255.255.255.0"}, {"198.51.100.1", "255.255.255.0"}}, false,
             "198.51.100.1", "255.255.0.0", true, Verdict::WorkstationAddress},
        Case{"found under the second address", {{"192.0.2.5", "255.255.255.0"}, {"198.51.100.1", "255.255.255.0"}},
             false, "198.51.100.9", "255.255.255.0", false, Verdict::Compatible},
        Case{"no address on the interface", {}, false, "192.0.2.9", "255.255.255.0", false,
             Verdict::Incompatible}));

}  // namespace
