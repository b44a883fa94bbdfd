// The Linux host facts: the file parsers on fixture text, the system source on fixture
// files, and the point-to-point links for real in a network namespace of the test's own
// (root only), with a TUN device as the dial-up link.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/HostNetwork.h"

extern char** environ;

using namespace velqorin;
namespace fs = std::filesystem;

namespace {

TEST(ResolvConf, NameserversInOrderAndTheLastDomainOrSearchWins) {
    const auto r = parseResolvConf(
        "# written by hand\n"
        "; also a comment\n"
        "nameserver 192.0.2.53\n"
        "domain first.example\r\n"
        "  nameserver\t198.51.100.53  # trailing words are ignored\n"
        "search lab.example other.example\n"
        "options ndots:2\n"
        "nameserver\n"
        "nameserver 203.0.113.53");
    EXPECT_EQ(r.nameservers, (std::vector<std::string>{"192.0.2.53", "198.51.100.53", "203.0.113.53"}));
    EXPECT_EQ(r.domain, "lab.example");
    EXPECT_EQ(parseResolvConf("search a.example\ndomain b.example\n").domain, "b.example");
    EXPECT_TRUE(parseResolvConf("").nameservers.empty());
    EXPECT_TRUE(parseResolvConf(std::string("\0\xff\n\n", 4)).domain.empty());
}

constexpr const char* kRoutes =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "eth0\t00000000\t0102000A\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
    "eth0\t0002000A\t00000000\t0001\t0\t0\t600\t00FFFFFF\t0\t0\t0\n"
    "eth0\t00000000\t0202000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
    "wlan0\t00000000\t0164A8C0\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"  // no gateway flag
    "eth1\t00000000\tZZ\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"         // garbled
    "eth2\t00000000\t017100CB\t0003\t0\t0\t0\t00000000\n";

TEST(RouteTable, DefaultRoutesThroughAGatewayInTableOrder) {
    const auto routes = parseDefaultRoutes(kRoutes);
    ASSERT_EQ(routes.size(), 3u);
    EXPECT_EQ(routes[0].interface, "eth0");
    // The table prints the host's integer of the network-order address.
    std::uint32_t raw = 0x0102000A;
    std::array<std::uint8_t, 4> expected;
    std::memcpy(expected.data(), &raw, 4);
    EXPECT_EQ(routes[0].gateway, expected);
    EXPECT_EQ(routes[0].metric, 600u);
    EXPECT_EQ(routes[1].metric, 100u);
    EXPECT_EQ(routes[2].interface, "eth2");
    EXPECT_TRUE(parseDefaultRoutes("").empty());
    EXPECT_TRUE(parseDefaultRoutes("header only\n").empty());
}

struct FixtureRoot : ::testing::Test {
    fs::path root = fs::temp_directory_path() / ("vqhost-" + std::to_string(::getpid()));
    void SetUp() override {
        fs::remove_all(root);
        fs::create_directories(root / "etc");
        fs::create_directories(root / "proc/net");
        fs::create_directories(root / "var/lib/dhcp");
    }
    void TearDown() override { fs::remove_all(root); }
};

TEST_F(FixtureRoot, HostParamsFromTheFilesBelowTheRoot) {
    std::ofstream(root / "etc/resolv.conf") << "search lab.example\nnameserver 192.0.2.53\n"
                                               "nameserver 198.51.100.53\n";
    const auto host = makeSystemHostNetwork(root);
    const HostParams p = host->hostParams();
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(p.error, 0);
    EXPECT_EQ(p.hostName, name);
    EXPECT_EQ(p.domainName, "lab.example");
    EXPECT_EQ(p.dnsServers, (std::vector<std::string>{"192.0.2.53", "198.51.100.53"}));
}

TEST_F(FixtureRoot, AdapterDetailsFromTheRouteTableNotFromAStaleLeaseFile) {
    // Names no interface of this machine has, so only the files speak.
    std::ofstream(root / "proc/net/route")
        << "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n"
           "vqnone0\t00000000\t0102000A\t0003\t0\t0\t600\t00000000\n"
           "vqnone0\t00000000\t0202000A\t0003\t0\t0\t100\t00000000\n";
    const fs::path lease = root / "var/lib/dhcp/dhclient.leases";
    std::ofstream(lease) << "lease {\n  interface \"vqnone0\";\n  fixed-address 10.0.2.15;\n"
                            "  option dhcp-server-identifier 10.0.2.2;\n}\n";
    const utimbuf when{1700000000, 1700000000};
    ASSERT_EQ(::utime(lease.c_str(), &when), 0);

    const auto host = makeSystemHostNetwork(root);
    const AdapterDetails d = host->adapterDetails("vqnone0");
    std::uint32_t raw = 0x0202000A;  // the lower metric wins
    std::array<std::uint8_t, 4> expected;
    std::memcpy(expected.data(), &raw, 4);
    ASSERT_TRUE(d.gateway);
    EXPECT_EQ(*d.gateway, expected);
    // The lease names 10.0.2.15, which no adapter called vqnone0 holds: a file left behind.
    EXPECT_FALSE(d.leaseObtained);
    EXPECT_EQ(d.description, "");

    const AdapterDetails none = host->adapterDetails("vqnone1");
    EXPECT_FALSE(none.gateway);
    EXPECT_FALSE(none.leaseObtained);
}

int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Attaches to a persistent TUN device, which gives it a carrier, as a relay would.
int attachTun(const char* name, bool asPpp) {
    const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    ifreq request{};
    std::strncpy(request.ifr_name, name, sizeof request.ifr_name - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (::ioctl(fd, TUNSETIFF, &request) != 0 ||
        (asPpp && ::ioctl(fd, TUNSETLINK, static_cast<unsigned long>(ARPHRD_PPP)) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct NamespaceResult {
    std::string skipped;
    std::optional<std::vector<PointToPointLink>> links;
    AdapterDetails veth;
};

// On a thread of its own: unshare moves only that thread (and what it spawns) into a
// fresh network namespace, which disappears with the thread.
void inNamespace(NamespaceResult& r) {
    if (::unshare(CLONE_NEWNET) != 0) {
        r.skipped = "cannot create a network namespace";
        return;
    }
    const std::vector<std::vector<std::string>> devices = {
        {"ip", "tuntap", "add", "dev", "vqppp0", "mode", "tun"},
        {"ip", "tuntap", "add", "dev", "vqppp1", "mode", "tun"},
        {"ip", "tuntap", "add", "dev", "vqnopeer", "mode", "tun"},
        {"ip", "tuntap", "add", "dev", "vqnocarrier", "mode", "tun"},
        {"ip", "link", "add", "vqeth0", "type", "veth", "peer", "name", "vqeth1"},
    };
    for (const auto& c : devices)
        if (run(c) != 0) {
            r.skipped = "cannot make TUN and veth devices with iproute2";
            return;
        }
    // ppp1 is left the link type of a TUN device, to show the type is reported as it is.
    const int fds[] = {attachTun("vqppp0", true), attachTun("vqppp1", false),
                       attachTun("vqnopeer", false)};
    const std::vector<std::vector<std::string>> setup = {
        {"ip", "addr", "add", "203.0.113.129", "peer", "203.0.113.130", "dev", "vqppp0"},
        {"ip", "addr", "add", "203.0.113.133", "peer", "203.0.113.134", "dev", "vqppp1"},
        {"ip", "addr", "add", "203.0.113.137/30", "dev", "vqnopeer"},
        {"ip", "addr", "add", "203.0.113.141", "peer", "203.0.113.142", "dev", "vqnocarrier"},
        {"ip", "addr", "add", "192.0.2.10/24", "dev", "vqeth0"},
        {"ip", "link", "set", "vqppp0", "up"},
        {"ip", "link", "set", "vqppp1", "up"},
        {"ip", "link", "set", "vqnopeer", "up"},
        {"ip", "link", "set", "vqnocarrier", "up"},
        {"ip", "link", "set", "vqeth1", "up"},
        {"ip", "link", "set", "vqeth0", "up"},
        {"ip", "route", "add", "default", "via", "192.0.2.1", "dev", "vqeth0"},
    };
    bool ok = fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0;
    for (const auto& c : setup) ok = ok && run(c) == 0;
    if (ok) {
        r.links = systemHostNetwork().pointToPointLinks();
        r.veth = systemHostNetwork().adapterDetails("vqeth0");
    } else {
        r.skipped = "cannot set up the TUN devices";
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
}

TEST(LinuxPointToPointLinks, OwnNamespaceWithTunLinks) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
    NamespaceResult r;
    std::thread(inNamespace, std::ref(r)).join();
    if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;

    ASSERT_TRUE(r.links);
    ASSERT_EQ(r.links->size(), 2u) << "only the running links with a peer count";
    const PointToPointLink& p0 = (*r.links)[0];
    EXPECT_EQ(p0.name, "vqppp0");
    EXPECT_EQ(p0.deviceType, "ppp");
    EXPECT_EQ(p0.device, "tun");
    EXPECT_EQ(p0.local, (std::array<std::uint8_t, 4>{203, 0, 113, 129}));
    EXPECT_EQ(p0.remote, (std::array<std::uint8_t, 4>{203, 0, 113, 130}));
    const PointToPointLink& p1 = (*r.links)[1];
    EXPECT_EQ(p1.name, "vqppp1");
    EXPECT_EQ(p1.deviceType, "none");
    EXPECT_EQ(p1.remote, (std::array<std::uint8_t, 4>{203, 0, 113, 134}));

    EXPECT_EQ(r.veth.description, "veth");
    ASSERT_TRUE(r.veth.gateway);
    EXPECT_EQ(*r.veth.gateway, (std::array<std::uint8_t, 4>{192, 0, 2, 1}));
}

}  // namespace
