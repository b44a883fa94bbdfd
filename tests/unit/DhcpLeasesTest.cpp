#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/DhcpLeases.h"
#include "support/FileRead.h"

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

// A lease file counts only while it is the adapter's: for one of its current addresses,
// and not run out. Each case writes one client's file, aged as given, into a root of its own.
TEST(FindCurrentLease, OnlyALeaseForACurrentAddressThatHasNotRunOutCounts) {
    namespace fs = std::filesystem;
    const std::int64_t now = 1800000000;
    const auto dhcpcdLease = [](std::uint32_t seconds) {
        std::string m(240, '\0');
        const std::uint8_t yiaddr[] = {192, 0, 2, 144};
        std::memcpy(&m[16], yiaddr, 4);
        const std::uint8_t cookie[] = {99, 130, 83, 99};
        std::memcpy(&m[236], cookie, 4);
        m += std::string("\x36\x04\xc0\x00\x02\xfe", 6);  // server 192.0.2.254
        m += std::string("\x33\x04", 2);
        for (int shift = 24; shift >= 0; shift -= 8) m += static_cast<char>((seconds >> shift) & 0xFF);
        return m + "\xff";
    };
    const std::string dhclientFor144 =
        "lease {\n  interface \"eth0\";\n  fixed-address 192.0.2.144;\n"
        "  option dhcp-server-identifier 192.0.2.254;\n";
    const struct {
        const char* name;
        const char* file;     // below the root
        std::string text;
        std::int64_t ageSeconds;  // how long ago the file was written
        const char* address;      // the adapter's current one
        bool counts;
    } cases[] = {
        {"networkd, current", "run/systemd/netif/leases/2",
         "ADDRESS=192.0.2.144\nSERVER_ADDRESS=192.0.2.254\nLIFETIME=600\n", 100, "192.0.2.144", true},
        {"networkd, run out", "run/systemd/netif/leases/2",
         "ADDRESS=192.0.2.144\nSERVER_ADDRESS=192.0.2.254\nLIFETIME=600\n", 700, "192.0.2.144", false},
        {"networkd, another address now", "run/systemd/netif/leases/2",
         "ADDRESS=192.0.2.144\nSERVER_ADDRESS=192.0.2.254\nLIFETIME=600\n", 100, "192.0.2.77", false},
        {"NetworkManager's device, current", "run/NetworkManager/devices/2",
         "[dhcp4]\nip_address=192.0.2.144\ndhcp_server_identifier=192.0.2.254\nexpiry=1800000300\n", 0,
         "192.0.2.144", true},
        {"NetworkManager's device, run out", "run/NetworkManager/devices/2",
         "[dhcp4]\nip_address=192.0.2.144\ndhcp_server_identifier=192.0.2.254\nexpiry=1799999999\n", 0,
         "192.0.2.144", false},
        {"dhclient, current", "var/lib/dhcp/dhclient.leases",
         dhclientFor144 + "  expire 5 2027/01/15 09:00:00;\n}\n", 0, "192.0.2.144", true},
        {"dhclient, run out", "var/lib/dhcp/dhclient.leases",
         dhclientFor144 + "  expire 3 2026/12/09 23:39:40;\n}\n", 0, "192.0.2.144", false},
        {"dhclient, released and set by hand", "var/lib/dhcp/dhclient.leases",
         dhclientFor144 + "  expire 5 2027/01/15 09:00:00;\n}\n", 0, "192.0.2.77", false},
        {"dhclient, never runs out", "var/lib/dhcp/dhclient.leases",
         dhclientFor144 + "  expire never;\n}\n", 0, "192.0.2.144", true},
        {"dhclient, epoch times", "var/lib/dhcp/dhclient.leases",
         dhclientFor144 + "  expire epoch 1800000060; # local time\n}\n", 0, "192.0.2.144", true},
        {"dhclient, a time that does not read", "var/lib/dhcp/dhclient.leases",
         dhclientFor144 + "  expire soon;\n}\n", 0, "192.0.2.144", false},
        {"dhcpcd, current", "var/lib/dhcpcd/eth0.lease", dhcpcdLease(600), 100, "192.0.2.144", true},
        {"dhcpcd, run out", "var/lib/dhcpcd/eth0.lease", dhcpcdLease(600), 700, "192.0.2.144", false},
        {"dhcpcd, infinite", "var/lib/dhcpcd/eth0.lease", dhcpcdLease(0xFFFFFFFF), 99999,
         "192.0.2.144", true},
        {"dhcpcd, another address now", "var/lib/dhcpcd/eth0.lease", dhcpcdLease(600), 100,
         "192.0.2.77", false},
    };
    const fs::path base = fs::temp_directory_path() / ("vqlease-" + std::to_string(::getpid()));
    int n = 0;
    for (const auto& c : cases) {
        const fs::path root = base / std::to_string(n++);
        fs::create_directories((root / c.file).parent_path());
        std::ofstream(root / c.file, std::ios::binary) << c.text;
        const auto written = static_cast<std::time_t>(now - c.ageSeconds);
        const utimbuf when{written, written};
        ASSERT_EQ(::utime((root / c.file).c_str(), &when), 0) << c.name;

        const Lease lease = velqorin::findCurrentLease(root, "eth0", 2, {"198.51.100.9", c.address}, now);
        EXPECT_EQ(lease.namesAdapter, c.counts) << c.name;
        EXPECT_EQ(lease.server, c.counts ? "192.0.2.254" : "") << c.name;
        EXPECT_TRUE(findLease(root, "eth0", 2).namesAdapter) << c.name << ": still read as a lease";
    }
    fs::remove_all(base);
}
