// The workstation adapter's DHCP state as real DHCP clients leave it: ISC dhclient and
// dhcpcd lease an address from dnsmasq on the lab's LAN, then the lease is released and
// the adapter given a fixed address, as a technician does before setting up boxes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "harness/CliRun.h"
#include "harness/LabTest.h"
#include "harness/Process.h"

namespace velqorin::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Applies the lease as Debian's dhclient-script does, address and lifetime, and touches
// nothing else of the machine (no resolv.conf).
constexpr const char* kDhclientScript = R"(#!/bin/sh
case "$reason" in
  BOUND|RENEW|REBIND|REBOOT)
    ip -4 addr add "$new_ip_address/$new_subnet_mask" dev "$interface" \
      valid_lft "$new_dhcp_lease_time" preferred_lft "$new_dhcp_lease_time" ;;
  RELEASE|EXPIRE|STOP)
    [ -n "$old_ip_address" ] && ip -4 addr del "$old_ip_address/$old_subnet_mask" dev "$interface" ;;
esac
exit 0
)";

class Dhcp : public LabTest {
protected:
    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped()) return;
        root_ = fs::temp_directory_path() / ("vq-dhcp-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "var/lib/dhcp");
        fs::create_directories(root_ / "var/lib/dhcpcd");
        std::ofstream(root_ / "dhclient-script") << kDhclientScript;
        fs::permissions(root_ / "dhclient-script", fs::perms::owner_all);
        // The lease files are looked for below root_, where the clients write them.
        ::setenv("VELQORIN_LEASE_ROOT", root_.c_str(), 1);
        server_ = Child::spawn(
            {"ip", "netns", "exec", lab().lan(), findProgram("dnsmasq"), "--keep-in-foreground",
             "--conf-file=/dev/null", "--port=0", "--interface=br0", "--bind-interfaces",
             "--dhcp-authoritative", "--dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,600",
             "--dhcp-leasefile=" + (root_ / "dnsmasq.leases").string(),
             "--pid-file=" + (root_ / "dnsmasq.pid").string()},
            {});
        inWorkstation({"ip", "addr", "flush", "dev", "vq0"});
    }

    void TearDown() override {
        if (!root_.empty()) {
            runCommand({"ip", "netns", "exec", lab().workstation(), "dhclient", "-x", "-pf",
                        (root_ / "dhclient.pid").string(), "vq0"});
            inWorkstation({"ip", "addr", "flush", "dev", "vq0"});
            inWorkstation({"ip", "addr", "add", lab().adapters[0].address, "dev", "vq0"});
            server_.terminate();
            ::unsetenv("VELQORIN_LEASE_ROOT");
            fs::remove_all(root_);
        }
    }

    std::string inWorkstation(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"ip", "netns", "exec", lab().workstation()});
        return runChecked(argv, 40s);
    }

    // vq0 as `velqorin interfaces` records it.
    json adapter() {
        const CliRun run = runCli(lab().workstation(), VELQORIN_CLI, {"interfaces", "--json"}, "", 20s);
        EXPECT_EQ(run.exitCode, 0) << run;
        for (const json& rec : json::parse(run.out))
            if (rec["name"] == "vq0") return rec;
        ADD_FAILURE() << "vq0 is not listed\n" << run;
        return {};
    }

    // Released, or simply left behind, and the adapter set by hand.
    void setFixedAddress() {
        inWorkstation({"ip", "addr", "flush", "dev", "vq0"});
        inWorkstation({"ip", "addr", "add", "192.0.2.77/24", "dev", "vq0"});
    }

    static bool leased(const json& rec) {
        for (const json& a : rec["addresses"]) {
            const std::string ip = a["ip"];
            if (ip.starts_with("192.0.2.1") && ip.size() == 11) return true;  // 192.0.2.100 to .150
        }
        return false;
    }

    fs::path root_;
    Child server_;
};

TEST_F(Dhcp, DhclientsLeaseCountsUntilReleasedAndTheAdapterSetByHand) {
    const std::vector<std::string> dhclient{
        findProgram("dhclient"), "-sf", (root_ / "dhclient-script").string(),
        "-lf", (root_ / "var/lib/dhcp/dhclient.leases").string(),
        "-pf", (root_ / "dhclient.pid").string(), "vq0"};
    std::vector<std::string> obtain = dhclient;
    obtain.insert(obtain.begin() + 1, "-1");
    inWorkstation(obtain);
    json rec = adapter();
    ASSERT_TRUE(leased(rec)) << rec;
    EXPECT_EQ(rec["dhcp"], true) << rec;
    EXPECT_EQ(rec["dhcpServer"], true) << rec;

    std::vector<std::string> release = dhclient;
    release.insert(release.begin() + 1, "-r");
    inWorkstation(release);
    setFixedAddress();
    ASSERT_TRUE(fs::file_size(root_ / "var/lib/dhcp/dhclient.leases") > 0) << "the lease file stays";
    rec = adapter();
    EXPECT_EQ(rec["dhcp"], false) << rec;
    EXPECT_EQ(rec["dhcpServer"], false) << rec;
}

TEST_F(Dhcp, DhcpcdsLeaseCountsUntilTheAdapterIsSetByHand) {
    // dhcpcd writes below /var/lib/dhcpcd and /run/dhcpcd, and runs hooks that edit
    // resolv.conf: in a mount namespace of its own, over root_, without hooks.
    const std::string script =
        "mount --bind " + (root_ / "var/lib").string() + " /var/lib && mount -t tmpfs tmpfs /run && exec " +
        findProgram("dhcpcd") + " -1 -4 -B -A -L -t 30 --noipv4ll -c /bin/true vq0";
    inWorkstation({"unshare", "-m", "sh", "-c", script});
    ASSERT_TRUE(fs::exists(root_ / "var/lib/dhcpcd/vq0.lease"));
    json rec = adapter();
    ASSERT_TRUE(leased(rec)) << rec;
    EXPECT_EQ(rec["dhcp"], true) << rec;
    EXPECT_EQ(rec["dhcpServer"], true) << rec;

    setFixedAddress();
    ASSERT_TRUE(fs::exists(root_ / "var/lib/dhcpcd/vq0.lease")) << "the lease file stays";
    rec = adapter();
    EXPECT_EQ(rec["dhcp"], false) << rec;
    EXPECT_EQ(rec["dhcpServer"], false) << rec;
}

}  // namespace
}  // namespace velqorin::e2e
