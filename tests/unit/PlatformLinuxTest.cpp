// The Linux adapter table for real: on this machine, and in a network namespace of the
// test's own (root only) where addresses, lifetimes and leases are known.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/Platform.h"
#include "velqorin/NetworkAnalyse.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Seen {
    std::string name;
    std::array<std::uint8_t, 8> mac;
    std::vector<std::string> addresses;  // "a.b.c.d/m.m.m.m"
    bool dhcp;
    bool server;
};

std::string dotted(const sockaddr_storage& block) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&block) + 4;
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

std::vector<Seen> inventory() {
    CVelqorinNetworkAnalyse a;
    a.getIps();
    std::vector<Seen> out;
    for (auto* rec = a.firstInterface; rec != nullptr; rec = rec->next) {
        Seen s{rec->name, {}, {}, rec->dhcp, rec->dhcpServer};
        std::memcpy(s.mac.data(), rec->mac, 8);
        for (int i = 0; i < rec->getCountIpAddresses(); ++i)
            s.addresses.push_back(dotted(rec->ipAddresses[i]) + "/" + dotted(rec->ipMasks[i]));
        out.push_back(std::move(s));
    }
    EXPECT_EQ(a.CountNetworkInterfaces(), static_cast<int>(out.size()));
    return out;
}

std::string readLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::array<std::uint8_t, 8> parseMac(const std::string& text) {
    std::array<std::uint8_t, 8> mac{};
    unsigned b[6] = {};
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6)
        for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(b[i]);
    return mac;
}

TEST(LinuxAdapters, MatchSysfsWithoutLoopback) {
    // sysfs describes the namespace it was mounted in; inventory() reads the process's own.
    std::map<long, std::pair<std::string, std::array<std::uint8_t, 8>>> expected;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/class/net", error)) {
        const long flags = std::stol(readLine(entry.path() / "flags"), nullptr, 16);
        if (flags & IFF_LOOPBACK) continue;
        const long index = std::stol(readLine(entry.path() / "ifindex"));
        expected[index] = {entry.path().filename(), parseMac(readLine(entry.path() / "address"))};
    }
    const std::vector<Seen> seen = inventory();
    ASSERT_EQ(seen.size(), expected.size());
    std::size_t i = 0;
    for (const auto& [index, adapter] : expected) {
        EXPECT_EQ(seen[i].name, adapter.first) << "ifindex " << index;
        EXPECT_EQ(seen[i].mac, adapter.second) << adapter.first;
        EXPECT_NE(seen[i].name, "lo");
        ++i;
    }
}

TEST(LinuxRawAccess, RootMayCaptureAnUnprivilegedUserMayNot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    CVelqorinNetworkAnalyse a;
    EXPECT_TRUE(a.CheckService());
    EXPECT_EQ(velqorin::rawAccessProblem(), "");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Giving up root drops every capability, CAP_NET_RAW included.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        CVelqorinNetworkAnalyse unprivileged;
        const bool refused = !unprivileged.CheckService() &&
                             velqorin::rawAccessProblem().find("CAP_NET_RAW") != std::string::npos;
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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

struct NamespaceResult {
    std::string skipped;
    std::vector<Seen> seen;
    unsigned index0 = 0, index1 = 0;
    bool reg0 = false, dhcp0 = false, server0 = false;
    bool regLoopback = true;
    std::vector<Seen> seenWithLease;
};

// Runs on a thread of its own: unshare moves only that thread (and what it spawns) into a
// fresh network namespace, which disappears with the thread. Nothing is left behind even
// when a check fails.
void inNamespace(NamespaceResult& r, const fs::path& leaseRoot) {
    if (::unshare(CLONE_NEWNET) != 0) {
        r.skipped = "cannot create a network namespace";
        return;
    }
    const std::vector<std::vector<std::string>> setup = {
        {"ip", "link", "add", "vqinv0", "address", "02:00:00:0e:0f:01", "type", "veth", "peer",
         "name", "vqinv1", "address", "02:00:00:0e:0f:02"},
        // A finite lifetime is what a DHCP client gives its address.
        {"ip", "addr", "add", "192.0.2.10/24", "dev", "vqinv0", "valid_lft", "300",
         "preferred_lft", "300"},
        {"ip", "addr", "add", "198.51.100.20/25", "dev", "vqinv0", "label", "vqinv0:1"},
        {"ip", "addr", "add", "203.0.113.10/24", "dev", "vqinv1"},
    };
    for (const auto& command : setup) {
        if (run(command) != 0) {
            r.skipped = "cannot set up veth pair with iproute2";
            return;
        }
    }
    r.index0 = if_nametoindex("vqinv0");
    r.index1 = if_nametoindex("vqinv1");

    auto system = velqorin::makeSystemPlatform(leaseRoot);
    {
        const velqorin::ScopedPlatform scope(*system);
        r.seen = inventory();
        CVelqorinNetworkAnalyse a;
        r.reg0 = a.getReg("\\Device\\NPF_vqinv0", &r.dhcp0, &r.server0);
        bool d = false, s = false;
        r.regLoopback = a.getReg("lo", &d, &s);
    }
    // A networkd lease for vqinv1's index turns it into a DHCP adapter with a server;
    // this time the system platform finds the lease folder through the environment.
    fs::create_directories(leaseRoot / "run/systemd/netif/leases");
    std::ofstream(leaseRoot / "run/systemd/netif/leases" / std::to_string(r.index1))
        << "ADDRESS=203.0.113.10\nSERVER_ADDRESS=203.0.113.1\n";
    ::setenv("VELQORIN_LEASE_ROOT", leaseRoot.c_str(), 1);
    r.seenWithLease = inventory();
    ::unsetenv("VELQORIN_LEASE_ROOT");
}

TEST(LinuxAdapters, OwnNamespaceWithVethPair) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    const fs::path leaseRoot = fs::temp_directory_path() / ("vqinv-leases-" + std::to_string(::getpid()));
    fs::remove_all(leaseRoot);
    fs::create_directories(leaseRoot);
    NamespaceResult r;
    std::thread(inNamespace, std::ref(r), leaseRoot).join();
    fs::remove_all(leaseRoot);
    if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;

    // veth creates the peer first, so vqinv1 usually has the lower index; order by index.
    const bool peerFirst = r.index1 < r.index0;
    ASSERT_EQ(r.seen.size(), 2u);
    const Seen& v0 = r.seen[peerFirst ? 1 : 0];
    const Seen& v1 = r.seen[peerFirst ? 0 : 1];
    EXPECT_EQ(v0.name, "vqinv0");
    EXPECT_EQ(v1.name, "vqinv1");
    EXPECT_EQ(v0.mac, (std::array<std::uint8_t, 8>{0x02, 0, 0, 0x0E, 0x0F, 0x01, 0, 0}));
    EXPECT_EQ(v1.mac, (std::array<std::uint8_t, 8>{0x02, 0, 0, 0x0E, 0x0F, 0x02, 0, 0}));
    EXPECT_EQ(v0.addresses, (std::vector<std::string>{"192.0.2.10/255.255.255.0",
                                                       "198.51.100.20/255.255.255.128"}));
    EXPECT_EQ(v1.addresses, (std::vector<std::string>{"203.0.113.10/255.255.255.0"}));
    EXPECT_TRUE(v0.dhcp);
    EXPECT_FALSE(v0.server);
    EXPECT_FALSE(v1.dhcp);
    EXPECT_FALSE(v1.server);

    EXPECT_TRUE(r.reg0);
    EXPECT_TRUE(r.dhcp0);
    EXPECT_FALSE(r.server0);
    EXPECT_FALSE(r.regLoopback);

    ASSERT_EQ(r.seenWithLease.size(), 2u);
    const Seen& leased = r.seenWithLease[peerFirst ? 0 : 1];
    EXPECT_EQ(leased.name, "vqinv1");
    EXPECT_TRUE(leased.dhcp);
    EXPECT_TRUE(leased.server);
}

}  // namespace
