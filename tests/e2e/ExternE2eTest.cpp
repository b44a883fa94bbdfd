// The library's C entry points as another program uses them: extern_client.c, a C program
// linked against the shared library alone, runs in the workstation namespace and prints
// what it gets. Runs in the fixture lab "extern": vq0 on segment 0 (br0, 192.0.2.0/24),
// vq1 on segment 1 (br1, 198.51.100.0/24).
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FleetSupport.h"
#include "harness/Fd.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/Process.h"

namespace velqorin::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The client's lines, keyed by their leading words: "result 0" -> "ok 12345 192.0.2.31".
class ClientOutput {
public:
    void add(const std::string& line) {
        lines_.push_back(line);
        std::istringstream in(line);
        std::string word, key;
        in >> word;
        key = word;
        const int keyWords = word == "interface" ? 3 : word == "analyse" || word == "waiting" ? 1 : 2;
        for (int i = 1; i < keyWords && in >> word; ++i) key += " " + word;
        std::string rest;
        std::getline(in >> std::ws, rest);
        facts_[key] = rest;
    }
    std::string operator[](const std::string& key) const {
        const auto it = facts_.find(key);
        return it == facts_.end() ? "(missing)" : it->second;
    }
    bool has(const std::string& line) const {
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    std::string text() const {
        std::string all;
        for (const auto& l : lines_) all += l + "\n";
        return all;
    }
    void clear() {
        lines_.clear();
        facts_.clear();
    }

private:
    std::vector<std::string> lines_;
    std::map<std::string, std::string> facts_;
};

// Reads whole lines from a pipe until one equals `until` (or the pipe ends), for at most
// `timeout`. True when `until` was seen or, with `until` empty, the pipe ended.
bool readLines(int fd, std::string& pending, ClientOutput& out, const std::string& until,
               std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            out.add(line);
            if (!until.empty() && line == until) return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return until.empty();
        if (n > 0) pending.append(buffer, static_cast<std::size_t>(n));
    }
}

// A DHCP lease that systemd-networkd would have left for one adapter, in a folder the
// library reads in place of "/" (VELQORIN_LEASE_ROOT).
class LeaseRoot {
public:
    LeaseRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velqorin-leases-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw HarnessError(systemError("mkdtemp", errno));
        path_ = pattern;
    }
    ~LeaseRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    LeaseRoot(const LeaseRoot&) = delete;
    LeaseRoot& operator=(const LeaseRoot&) = delete;

    void networkdLease(unsigned ifindex, const std::string& address, const std::string& server) {
        const auto folder = std::filesystem::path(path_) / "run/systemd/netif/leases";
        std::filesystem::create_directories(folder);
        std::ofstream(folder / std::to_string(ifindex))
            << "# This is private data. Do not parse.\nADDRESS=" << address
            << "\nSERVER_ADDRESS=" << server << "\n";
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A second address on a workstation adapter for the length of a scope.
class ExtraAddress {
public:
    ExtraAddress(std::string netns, std::string address, std::string device)
        : netns_(std::move(netns)), address_(std::move(address)), device_(std::move(device)) {
        runChecked({"ip", "-n", netns_, "addr", "add", address_, "dev", device_});
    }
    ~ExtraAddress() { runCommand({"ip", "-n", netns_, "addr", "del", address_, "dev", device_}); }
    ExtraAddress(const ExtraAddress&) = delete;
    ExtraAddress& operator=(const ExtraAddress&) = delete;

private:
    std::string netns_, address_, device_;
};

class ExternEntryPoints : public LabTest {};

TEST_F(ExternEntryPoints, TheClientIsLinkedAgainstTheSharedLibraryAlone) {
    const std::string dynamic = runChecked({"readelf", "-d", VELQORIN_EXTERN_CLIENT});
    std::vector<std::string> needed;
    std::istringstream in(dynamic);
    for (std::string line; std::getline(in, line);) {
        const auto open = line.find("Shared library: [");
        if (open != std::string::npos)
            needed.push_back(line.substr(open + 17, line.find(']', open) - open - 17));
    }
    std::sort(needed.begin(), needed.end());
    ASSERT_EQ(needed.size(), 2u) << dynamic;
    EXPECT_EQ(needed[0].rfind("libVelqorinNetworkAnalyser.so", 0), 0u) << dynamic;
    EXPECT_EQ(needed[1], "libc.so.6") << dynamic;
}

TEST_F(ExternEntryPoints, ReportEveryBoxItsInterfaceAndPings) {
    // vq1 is a DHCP adapter with a known server and two addresses; vq0 is fixed with one.
    LeaseRoot leases;
    unsigned vq1Index = 0;
    {
        NetnsGuard inside(lab().workstation());
        vq1Index = ::if_nametoindex("vq1");
    }
    ASSERT_NE(vq1Index, 0u);
    leases.networkdLease(vq1Index, "198.51.100.11", "198.51.100.254");
    ExtraAddress second(lab().workstation(), "198.51.100.111/24", "vq1");

    auto segment0 = std::make_unique<SimProcess>(
        simOn(lab().name, "br0",
              {simBox("0012345", "02:00:00:02:00:01", "192.0.2.31"),
               simBox("4242", "02:00:00:02:00:02", "192.0.2.32")}));
    auto segment1 = std::make_unique<SimProcess>(
        simOn(lab().name, "br1", {simBox("777", "02:00:00:02:00:03", "198.51.100.33")}));

    int input[2], output[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    Fd inputRead(input[0]), inputWrite(input[1]), outputRead(output[0]), outputWrite(output[1]);
    Child client = Child::spawn({"ip", "netns", "exec", lab().workstation(), "env",
                                 "VELQORIN_LEASE_ROOT=" + leases.path(), VELQORIN_EXTERN_CLIENT,
                                 "192.0.2.254", "192.0.2.99"},
                                {inputRead.get(), outputWrite.get(), outputWrite.get()});
    inputRead.reset();
    outputWrite.reset();

    ClientOutput out;
    std::string pending;
    ASSERT_TRUE(readLines(outputRead.get(), pending, out, "waiting", 40s)) << out.text();

    EXPECT_EQ(out["analyse"], "3") << out.text();
    // Position -1 is the first box; the serial's leading zeros go.
    for (const char* first : {"-1", "0"}) {
        EXPECT_EQ(out[std::string("result ") + first], "ok 12345 192.0.2.31") << out.text();
        EXPECT_EQ(out[std::string("resultex ") + first], "ok 12345 2 0 192.0.2.31 1");
    }
    EXPECT_EQ(out["result 1"], "ok 4242 192.0.2.32");
    EXPECT_EQ(out["resultex 1"], "ok 4242 2 0 192.0.2.32 1");
    EXPECT_EQ(out["result 2"], "ok 777 198.51.100.33");
    EXPECT_EQ(out["resultex 2"], "ok 777 2 0 198.51.100.33 1");
    EXPECT_EQ(out["result 3"], "fail");
    EXPECT_EQ(out["resultex 3"], "fail");

    // Boxes on vq0: fixed address, one address; the flags are written even when the
    // address index is out of range.
    for (const char* position : {"-1", "0", "1"}) {
        const std::string p = std::string("interface ") + position;
        EXPECT_EQ(out[p + " 0"], "ok 0 0 192.0.2.10 255.255.255.0") << p;
        EXPECT_EQ(out[p + " 1"], "fail 0 0") << p;
    }
    // The box on vq1: DHCP with a server, two addresses.
    EXPECT_EQ(out["interface 2 0"], "ok 1 1 198.51.100.11 255.255.255.0");
    EXPECT_EQ(out["interface 2 1"], "ok 1 1 198.51.100.111 255.255.255.0");
    EXPECT_EQ(out["interface 2 2"], "fail 1 1");
    // No box at position 3: nothing written.
    EXPECT_EQ(out["interface 3 0"], "fail 2 2");

    // The bridge of segment 0 answers; an unused address of it does not, after 500 ms.
    for (const char* kind : {"ping", "pingex"}) {
        SCOPED_TRACE(kind);
        std::istringstream answered(out[std::string(kind) + " 192.0.2.254"]);
        int ok = -1;
        long ms = -1;
        answered >> ok >> ms;
        EXPECT_EQ(ok, 1);
        EXPECT_LT(ms, 450);
        std::istringstream silent(out[std::string(kind) + " 192.0.2.99"]);
        silent >> ok >> ms;
        EXPECT_EQ(ok, 0);
        EXPECT_GE(ms, 450);
        EXPECT_LT(ms, 2000);
    }

    // With the boxes gone, the next sweep finds nothing and the old positions are gone.
    segment0->stop();
    segment1->stop();
    ASSERT_EQ(::write(inputWrite.get(), "\n", 1), 1);
    out.clear();
    EXPECT_TRUE(readLines(outputRead.get(), pending, out, "", 30s)) << out.text();
    EXPECT_EQ(out["analyse"], "0") << out.text();
    EXPECT_EQ(out["result 0"], "fail");
    EXPECT_EQ(out["resultex 0"], "fail");
    EXPECT_EQ(out["interface 0 0"], "fail 2 2");
    const auto status = client.waitFor(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(describeStatus(*status), "exited with status 0");
}

}  // namespace
}  // namespace velqorin::e2e
