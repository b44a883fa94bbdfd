#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "DhcpLeases.h"
#include "FileRead.h"

using velqorin::findLease;
using velqorin::Lease;

namespace {

const std::filesystem::path kLeases = std::filesystem::path(VELQORIN_FIXTURES) / "leases";

std::string fixture(const std::filesystem::path& relative) {
    const auto text = velqorin::readFileBounded(kLeases / relative, velqorin::kLeaseFileLimit);
    EXPECT_TRUE(text.has_value()) << relative;
    return text.value_or("");
}

struct FindCase {
    const char* root;
    const char* ifname;
    unsigned ifindex;
    bool named;
    const char* server;
};

class FindLease : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindLease, ReadsEveryClientsFiles) {
    const FindCase& c = GetParam();
    const Lease lease = findLease(kLeases / c.root, c.ifname, c.ifindex);
    EXPECT_EQ(lease.namesAdapter, c.named);
    EXPECT_EQ(lease.server, c.server);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FindLease,
    ::testing::Values(
        FindCase{"networkd", "eth0", 2, true, "192.0.2.1"},
        FindCase{"networkd", "eth1", 3, true, "0.0.0.0"},
        FindCase{"networkd", "eth2", 4, false, ""},
        // the last lease of eth0 counts, not the first
        FindCase{"dhclient", "eth0", 9, true, "198.51.100.1"},
        FindCase{"dhclient", "eth1", 9, true, "203.0.113.1"},
        FindCase{"dhclient", "eth2", 9, true, ""},
        // the file ends inside its last lease: the complete one before it counts
        FindCase{"dhclient", "eth3", 9, true, "192.0.2.1"},
        FindCase{"dhclient", "eth4", 9, false, ""},  // only an IPv6 lease
        FindCase{"networkmanager", "eth0", 2, true, ""},
        FindCase{"networkmanager", "eth1", 3, true, "203.0.113.1"},
        FindCase{"networkmanager", "eth0-b", 4, true, ""},
        FindCase{"networkmanager", "eth5", 5, true, "192.0.2.254"},
        FindCase{"networkmanager", "b", 6, false, ""},
        FindCase{"dhcpcd", "eth0", 2, true, "192.0.2.1"},
        FindCase{"dhcpcd", "eth1", 3, true, "198.51.100.1"},  // carried by option overload
        FindCase{"dhcpcd", "eth2", 4, false, ""},             // cut inside the header
        FindCase{"dhcpcd", "eth3", 5, true, ""},              // cut inside the options
        FindCase{"dhcpcd", "eth4", 6, true, ""},              // option longer than the file
        // networkd is asked first; a later client only fills in a missing server
        FindCase{"mixed", "eth0", 2, true, "192.0.2.1"},
        FindCase{"mixed", "eth1", 3, true, "203.0.113.1"},
        FindCase{"garbage", "eth0", 2, false, ""},
        FindCase{"dhcpcd", "../dhcpcd/eth0", 2, false, ""},
        FindCase{"missing", "eth0", 2, false, ""}),
    [](const ::testing::TestParamInfo<FindCase>& p) {
        std::string name = std::string(p.param.root) + "_" + p.param.ifname;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name + "_" + std::to_string(p.index);
    });

TEST(DhclientLeases, EveryCutOfAFileGivesNothingOrACompleteLease) {
    const std::string text = fixture("dhclient/var/lib/dhcp/dhclient.leases");
    for (std::size_t n = 0; n <= text.size(); ++n) {
        const Lease lease = velqorin::parseDhclientLeases(std::string_view(text).substr(0, n), "eth0");
        if (!lease.namesAdapter) continue;
        EXPECT_TRUE(lease.server == "192.0.2.1" || lease.server == "198.51.100.1")
            << "cut at " << n << ": " << lease.server;
    }
}

TEST(DhclientLeases, QuotedNamesAndNestedBlocks) {
    struct Case {
        const char* text;
        bool named;
        const char* server;
    } cases[] = {
        {R"(lease { interface "eth\"0"; option dhcp-server-identifier 192.0.2.1; })", false, ""},
        {R"(lease { interface "eth0"; option dhcp-server-identifier 192.0.2.1; })", true, "192.0.2.1"},
        {"lease{interface \"eth0\";option dhcp-server-identifier 192.0.2.2;}", true, "192.0.2.2"},
        {R"(lease { option x { interface "eth1"; } interface "eth0"; })", true, ""},
        {R"(lease { interface "eth1"; } lease { interface "eth0"; )", false, ""},
        {R"(lease "eth0"; lease { interface eth0; })", true, ""},
        {"}}}; lease {", false, ""},
        {"\"unterminated", false, ""},
    };
    for (const Case& c : cases) {
        const Lease lease = velqorin::parseDhclientLeases(c.text, "eth0");
        EXPECT_EQ(lease.namesAdapter, c.named) << c.text;
        EXPECT_EQ(lease.server, c.server) << c.text;
    }
}

TEST(DhcpMessage, EveryCutOfALeaseIsReadSafely) {
    const std::string bytes = fixture("dhcpcd/var/lib/dhcpcd/eth0.lease");
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
        const Lease lease = velqorin::parseDhcpMessage(std::string_view(bytes).substr(0, n));
        EXPECT_EQ(lease.namesAdapter, n >= 240) << n;
        EXPECT_TRUE(lease.server.empty() || lease.server == "192.0.2.1") << n;
    }
}

TEST(KeyValueLease, Lines) {
    struct Case {
        const char* text;
        bool named;
        const char* server;
    } cases[] = {
        {"ADDRESS=192.0.2.10\nSERVER_ADDRESS=192.0.2.1\n", true, "192.0.2.1"},
        {"SERVER_ADDRESS=192.0.2.1", true, "192.0.2.1"},
        {"ADDRESS=192.0.2.10\r\n", true, ""},
        {"ADDRESS=\nNEXT_SERVER_ADDRESS=192.0.2.9\n", false, ""},
        {"# SERVER_ADDRESS=192.0.2.1\n[dhcp4]\n dhcp_server_identifier = 192.0.2.3 \n", true, "192.0.2.3"},
        {"SERVER_ADDRESS", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        const Lease lease = velqorin::parseKeyValueLease(c.text);
        EXPECT_EQ(lease.namesAdapter, c.named) << c.text;
        EXPECT_EQ(lease.server, c.server) << c.text;
    }
}

TEST(NetworkManagerLeaseName, InterfaceIsWhatFollowsTheUuid) {
    const std::string prefix = "internal-3f2b8a51-0c4e-4d7a-9b61-5e0f7c2d9a14-";
    EXPECT_TRUE(velqorin::isNetworkManagerLeaseOf(prefix + "br-lan.lease", "br-lan"));
    EXPECT_FALSE(velqorin::isNetworkManagerLeaseOf(prefix + "br-lan.lease", "lan"));
    EXPECT_FALSE(velqorin::isNetworkManagerLeaseOf(prefix + "eth0.lease6", "eth0"));
    EXPECT_FALSE(velqorin::isNetworkManagerLeaseOf("internal-eth0.lease", "eth0"));
}

TEST(FindLease, AFifoInPlaceOfALeaseIsPassedOver) {
    const auto root = std::filesystem::temp_directory_path() /
                      ("vqinv-fifo-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "var/lib/dhcpcd");
    std::filesystem::create_directories(root / "run/systemd/netif/leases");
    ASSERT_EQ(::mkfifo((root / "var/lib/dhcpcd/eth0.lease").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((root / "run/systemd/netif/leases/2").c_str(), 0600), 0);
    const Lease lease = findLease(root, "eth0", 2);  // would block forever on a read
    EXPECT_FALSE(lease.namesAdapter);
    std::filesystem::remove_all(root);
}

}  // namespace
