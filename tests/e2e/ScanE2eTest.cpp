// `velqorin scan` as a user runs it, in the workstation namespace, against simulated boxes.
// Runs in the fixture lab "scan": vq0 on segment 0 (br0), vq1 on segment 1 (br1).
#include <poll.h>
#include <pty.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FleetSupport.h"
#include "harness/Fd.h"
#include "harness/LabTest.h"
#include "harness/Process.h"

namespace velqorin::e2e {
namespace {

// Everything the table, the JSON and the CSV show of a box, as the fleet below sets it.
struct Shown {
    const char* serial;
    const char* mac;
    const char* addressMode;
    const char* dhcpColumn;  // the table's DHCP column
    const char* ip;
    const char* mask;
    bool neighbourhood;
    const char* link;
    const char* version;
    std::uint32_t softwareVersion;
    const char* adapter;
};

// In list order: the boxes of segment 0 as the simulator sends them, then segment 1's.
const std::vector<Shown> kFleetShown = {
    {"7001", "02:00:00:03:00:01", "dhcp", "yes", "192.0.2.71", "255.255.255.0", true, "network",
     "1.001 build 5", (1u << 26) | (1u << 16) | 5u, "vq0"},
    {"7002", "02:00:00:07:00:02", "fixed", "no", "192.0.2.72", "255.255.0.0", false, "usb",
     "2.015 build 300", (2u << 26) | (15u << 16) | 300u, "vq0"},
    {"7003", "02:00:00:0b:00:03", "autoip", "Auto IP", "192.0.2.73", "255.255.255.128", false,
     "serial", "...", 0u, "vq0"},
    {"0012345", "02:00:00:10:00:04", "rarp", "RARP", "192.0.2.74", "255.255.255.0", true,
     "network", "1.002 build 10", (1u << 26) | (2u << 16) | 10u, "vq0"},
    // The fourth octet 0x0c has both link bits: USB wins.
    {"7005", "02:00:00:0c:00:05", "fixed", "no", "192.0.2.75", "255.255.255.0", true, "usb",
     "...", 0u, "vq0"},
    {"8001", "02:00:00:03:00:06", "fixed", "no", "198.51.100.81", "255.255.255.0", false,
     "network", "...", 0u, "vq1"},
};

std::vector<json> segment0Fleet() {
    json b1 = simBox("7001", "02:00:00:03:00:01", "192.0.2.71");
    b1["addressMode"] = 1;
    b1["neighbourhood"] = true;
    b1["softwareVersion"] = "1.001 build 5";
    json b2 = simBox("7002", "02:00:00:03:00:02", "192.0.2.72");
    b2["linkKind"] = "usb";
    b2["currentMask"] = "255.255.0.0";
    b2["softwareVersion"] = {{"major", 2}, {"minor", 15}, {"build", 300}};
    b2["neighbourhood"] = false;
    json b3 = simBox("7003", "02:00:00:03:00:03", "192.0.2.73");
    b3["linkKind"] = "serial";
    b3["addressMode"] = 2;
    b3["currentMask"] = "255.255.255.128";
    b3["neighbourhood"] = false;
    b3["softwareVersion"] = 0;
    json b4 = simBox("0012345", "02:00:00:10:00:04", "192.0.2.74");
    b4["addressMode"] = 3;
    b4["neighbourhood"] = true;
    b4["softwareVersion"] = (1 << 26) | (2 << 16) | 10;
    json b5 = simBox("7005", "02:00:00:0c:00:05", "192.0.2.75");
    b5["addressMode"] = 9;
    b5["neighbourhood"] = true;
    b5["softwareVersion"] = 0;
    return {b1, b2, b3, b4, b5};
}

json expectedJson(const Shown& s) {
    return {{"serial", s.serial},
            {"mac", s.mac},
            {"addressMode", s.addressMode},
            {"dhcp", std::string(s.addressMode) == "dhcp"},
            {"ip", s.ip},
            {"mask", s.mask},
            {"neighbourhood", s.neighbourhood},
            {"link", s.link},
            {"version", s.version},
            {"softwareVersion", s.softwareVersion},
            {"adapter", s.adapter},
            // the fleet's boxes are all masters
            {"syncMode", "master"},
            {"syncMaster", nullptr},
            {"syncFloor", nullptr},
            // each on an address of its own, in its adapter's subnet
            {"addressConflict", json::array()},
            {"workstationAddress", false},
            {"reachable", true},
            // each the only station answering with its serial number
            {"serialConflict", json::array()}};
}

std::vector<std::string> expectedTableRow(const Shown& s) {
    return {s.serial, s.mac, s.dhcpColumn, s.ip, s.mask, s.neighbourhood ? "yes" : "no",
            s.link,   s.version, s.adapter, "master"};
}

std::string expectedCsvRow(const Shown& s) {
    std::ostringstream row;
    row << s.serial << ',' << s.mac << ',' << s.addressMode << ','
        << (std::string(s.addressMode) == "dhcp" ? "true" : "false") << ',' << s.ip << ','
        << s.mask << ',' << (s.neighbourhood ? "true" : "false") << ',' << s.link << ','
        << s.version << ',' << s.softwareVersion << ',' << s.adapter << ",master,,,,false,true,";
    return row.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Table cells are set apart by two spaces or more; a cell holds single spaces at most.
std::vector<std::string> cells(const std::string& row) {
    static const std::regex gap(" {2,}");
    std::vector<std::string> out;
    std::sregex_token_iterator it(row.begin(), row.end(), gap, -1), end;
    for (; it != end; ++it) out.push_back(*it);
    return out;
}

std::string readFrom(int fd) {
    std::string text;
    if (::lseek(fd, 0, SEEK_SET) < 0) throw HarnessError(systemError("lseek", errno));
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

class Scan : public LabTest {
protected:
    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped()) return;
        segment0_ = std::make_unique<SimProcess>(simOn(lab().name, "br0", segment0Fleet()));
        json b6 = simBox("8001", "02:00:00:03:00:06", "198.51.100.81");
        b6["neighbourhood"] = false;
        b6["softwareVersion"] = 0;
        segment1_ = std::make_unique<SimProcess>(simOn(lab().name, "br1", {b6}));
    }

    std::vector<std::string> inWorkstation(std::vector<std::string> command) const {
        std::vector<std::string> argv{"ip", "netns", "exec", lab().workstation()};
        argv.insert(argv.end(), command.begin(), command.end());
        return argv;
    }

    SplitResult scan(std::vector<std::string> options) const {
        options.insert(options.begin(), {VELQORIN_CLI, "scan"});
        return runCommandSplit(inWorkstation(std::move(options)), 60s);
    }

    std::size_t requestsOnSegment(unsigned segment) const {
        return requestsHeard(segment == 0 ? *segment0_ : *segment1_).size();
    }

    std::unique_ptr<SimProcess> segment0_, segment1_;
};

TEST_F(Scan, JsonListsEveryFieldOfEveryBoxOnEveryAdapter) {
    const SplitResult r = scan({"--json"});
    ASSERT_TRUE(r.exitedWith(0)) << describeStatus(r.waitStatus) << "\n" << r.err;
    const json listed = json::parse(r.out);
    ASSERT_TRUE(listed.is_array()) << r.out;
    ASSERT_EQ(listed.size(), kFleetShown.size()) << r.out;
    for (std::size_t i = 0; i < kFleetShown.size(); ++i)
        EXPECT_EQ(listed[i], expectedJson(kFleetShown[i])) << "record " << i;
    // The request goes out three times on each adapter, so a lost one costs no box.
    EXPECT_EQ(requestsOnSegment(0), 3u);
    EXPECT_EQ(requestsOnSegment(1), 3u);
}

TEST_F(Scan, OneByOneListsWhatTheConcurrentSweepListsAndVerboseCountsEachAdapter) {
    const SplitResult together = scan({"--json", "--verbose"});
    ASSERT_TRUE(together.exitedWith(0)) << describeStatus(together.waitStatus) << together.err;
    const SplitResult oneByOne = scan({"--json", "--one-by-one", "--verbose"});
    ASSERT_TRUE(oneByOne.exitedWith(0)) << describeStatus(oneByOne.waitStatus) << oneByOne.err;
    EXPECT_EQ(json::parse(together.out), json::parse(oneByOne.out));
    EXPECT_EQ(json::parse(together.out).size(), kFleetShown.size());
    for (const char* line :
         {"vq0: 3 requests sent, 15 replies accepted from 5 boxes, 0 answered fewer than 3 times, "
          "0 frames dropped for want of capture buffer",
          "vq1: 3 requests sent, 3 replies accepted from 1 box, 0 answered fewer than 3 times, "
          "0 frames dropped for want of capture buffer"})
        EXPECT_NE(together.err.find(line), std::string::npos) << together.err;
    for (const char* line :
         {"vq0: 1 request sent, 5 replies accepted from 5 boxes, 0 answered fewer than 1 time, "
          "0 frames dropped for want of capture buffer",
          "vq1: 1 request sent, 1 reply accepted from 1 box, 0 answered fewer than 1 time, "
          "0 frames dropped for want of capture buffer"})
        EXPECT_NE(oneByOne.err.find(line), std::string::npos) << oneByOne.err;
    // Without --verbose standard error stays quiet for scripts.
    const SplitResult plain = scan({"--json"});
    ASSERT_TRUE(plain.exitedWith(0));
    EXPECT_EQ(plain.err, "");
}

TEST_F(Scan, CsvAndTableShowTheSameFields) {
    const std::vector<Shown> segment0(kFleetShown.begin(), kFleetShown.end() - 1);

    const SplitResult csv = scan({"--csv", "-i", "vq0"});
    ASSERT_TRUE(csv.exitedWith(0)) << describeStatus(csv.waitStatus) << "\n" << csv.err;
    const auto csvLines = lines(csv.out);
    ASSERT_EQ(csvLines.size(), segment0.size() + 1) << csv.out;
    EXPECT_EQ(csvLines[0],
              "serial,mac,addressMode,dhcp,ip,mask,neighbourhood,link,version,softwareVersion,"
              "adapter,syncMode,syncMaster,syncFloor,addressConflict,workstationAddress,reachable,"
              "serialConflict");
    for (std::size_t i = 0; i < segment0.size(); ++i)
        EXPECT_EQ(csvLines[i + 1], expectedCsvRow(segment0[i]));

    const SplitResult table = scan({"-i", "vq0"});
    ASSERT_TRUE(table.exitedWith(0)) << describeStatus(table.waitStatus) << "\n" << table.err;
    const auto rows = lines(table.out);
    ASSERT_EQ(rows.size(), segment0.size() + 1) << table.out;
    EXPECT_EQ(cells(rows[0]), (std::vector<std::string>{"Serial", "MAC", "DHCP", "IP address",
                                                        "Mask", "Neighbourhood", "Link",
                                                        "Version", "Adapter", "Synchronisation",
                                                        "Note"}));
    for (std::size_t i = 0; i < segment0.size(); ++i) {
        EXPECT_EQ(cells(rows[i + 1]), expectedTableRow(segment0[i])) << rows[i + 1];
        // Columns line up: every row is as wide as the header up to the last column.
        EXPECT_EQ(rows[i + 1].find(segment0[i].adapter), rows[0].find("Adapter")) << rows[i + 1];
    }
}

TEST_F(Scan, OnlyTheNamedAdapterIsSwept) {
    const SplitResult r = scan({"--json", "-i", "vq1", "--requests", "2"});
    ASSERT_TRUE(r.exitedWith(0)) << describeStatus(r.waitStatus) << "\n" << r.err;
    EXPECT_EQ(json::parse(r.out), json::array({expectedJson(kFleetShown.back())}));
    EXPECT_EQ(requestsOnSegment(0), 0u) << "vq0 was swept too";
    EXPECT_EQ(requestsOnSegment(1), 2u);
    EXPECT_EQ(r.err, "");
}

TEST_F(Scan, SyncListsTheChainsInTheMonitorsOrder) {
    // Segment 1 gets followers: of a master on segment 0, of each other, of one nobody has.
    segment1_.reset();
    json b6 = simBox("8001", "02:00:00:03:00:06", "198.51.100.81");
    json f2 = simBox("8002", "02:00:00:03:00:07", "198.51.100.82");
    f2["sync"] = {{"slave", 1}, {"master", 7001}, {"floor", -1}};
    json f3 = simBox("8003", "02:00:00:03:00:08", "198.51.100.83");
    f3["sync"] = {{"slave", 1}, {"master", 12345}, {"floor", 2}, {"done", 1}, {"age", 61}};
    json f4 = simBox("8004", "02:00:00:03:00:09", "198.51.100.84");
    f4["sync"] = {{"slave", 1}, {"master", 9999}, {"floor", 1}};
    segment1_ = std::make_unique<SimProcess>(simOn(lab().name, "br1", {b6, f2, f3, f4}));

    const SplitResult r = scan({"--sync", "--json", "-i", "vq0", "-i", "vq1"});
    ASSERT_TRUE(r.exitedWith(0)) << r.err;
    std::vector<std::string> rows;
    for (const json& row : json::parse(r.out))
        rows.push_back((row["row"] == "separator" ? "-" : "") + row["serial"].get<std::string>());
    // USB and serial boxes take no part; 8004's master is missing and it stands alone at
    // 9999, before master 0012345.
    EXPECT_EQ(rows, (std::vector<std::string>{"-7001", "7001", "8002", "-8001", "8001", "8004",
                                              "-0012345", "0012345", "8003"}))
        << r.out;
    const json chains = json::parse(r.out);
    EXPECT_EQ(chains[8]["lastSync"].get<std::string>().substr(0, 3), "01m") << chains[8];
    EXPECT_EQ(chains[2]["syncFloor"], -1);

    const SplitResult table = scan({"--sync", "-i", "vq0", "-i", "vq1"});
    ASSERT_TRUE(table.exitedWith(0)) << table.err;
    const auto shownLines = lines(table.out);
    ASSERT_EQ(shownLines.size(), 10u) << table.out;
    EXPECT_EQ(cells(shownLines[0]), (std::vector<std::string>{"Serial", "Mode", "Master", "Floor", "Last sync"}));
    EXPECT_EQ(cells(shownLines[2]), (std::vector<std::string>{"7001", "M", "...", "...", "..."}));
    EXPECT_EQ(cells(shownLines[3]), (std::vector<std::string>{"8002", "E", "7001", "-1", "..."}));
    EXPECT_EQ(shownLines[1].find_first_not_of('-'), std::string::npos) << "a separator line";
}

TEST_F(Scan, FlagsSharedAddressesAndBoxesTheWorkstationCannotReach) {
    // vq0 is 192.0.2.10/24, vq1 198.51.100.11/24.
    segment0_.reset();
    segment1_.reset();
    json twin = simBox("9002", "02:00:00:03:00:12", "192.0.2.60");
    twin["addressMode"] = 1;
    json narrow = simBox("9005", "02:00:00:03:00:15", "192.0.2.62");
    narrow["currentMask"] = "255.255.255.252";  // in vq0's subnet, but vq0 is not in its own
    segment0_ = std::make_unique<SimProcess>(simOn(
        lab().name, "br0",
        {simBox("9001", "02:00:00:03:00:11", "192.0.2.60"), twin,
         simBox("9003", "02:00:00:03:00:13", "192.0.2.10"),
         simBox("9004", "02:00:00:03:00:14", "203.0.113.9"), narrow,
         simBox("9006", "02:00:00:03:00:16", "192.0.2.66")}));
    segment1_ = std::make_unique<SimProcess>(simOn(
        lab().name, "br1", {simBox("9101", "02:00:00:03:00:21", "192.0.2.60"),
                            simBox("9102", "02:00:00:03:00:22", "198.51.100.82")}));

    struct Flags {
        const char* serial;
        std::vector<std::string> conflict;
        bool workstation;
        bool reachable;
        const char* note;
    };
    const std::vector<Flags> expected = {
        {"9001", {"9002", "9101"}, false, true, "address also used by 9002, 9101"},
        {"9002", {"9001", "9101"}, false, true, "address also used by 9001, 9101"},
        {"9003", {}, true, true, "address of this workstation"},
        {"9004", {}, false, false, "not reachable from vq0"},
        {"9005", {}, false, false, "not reachable from vq0"},
        {"9006", {}, false, true, ""},
        {"9101", {"9001", "9002"}, false, false,
         "address also used by 9001, 9002; not reachable from vq1"},
        {"9102", {}, false, true, ""},
    };

    // Looked up by serial, and conflicts compared as sets: the rules do not depend on the
    // order in which the adapters were swept.
    const auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    const SplitResult r = scan({"--json"});
    ASSERT_TRUE(r.exitedWith(0)) << describeStatus(r.waitStatus) << "\n" << r.err;
    std::map<std::string, json> bySerial;
    for (const json& entry : json::parse(r.out)) bySerial[entry["serial"]] = entry;
    ASSERT_EQ(bySerial.size(), expected.size()) << r.out;
    for (const Flags& e : expected) {
        ASSERT_TRUE(bySerial.count(e.serial)) << e.serial << " missing from " << r.out;
        const json& entry = bySerial[e.serial];
        EXPECT_EQ(sorted(entry["addressConflict"].get<std::vector<std::string>>()), e.conflict)
            << e.serial;
        EXPECT_EQ(entry["workstationAddress"], e.workstation) << e.serial;
        EXPECT_EQ(entry["reachable"], e.reachable) << e.serial;
    }
    EXPECT_EQ(r.err,
              "velqorin: 3 boxes on an address another box also uses, 1 box on this "
              "workstation's address, 3 boxes not reachable from the adapter they answered on\n");

    const SplitResult table = scan({});
    ASSERT_TRUE(table.exitedWith(0)) << describeStatus(table.waitStatus) << "\n" << table.err;
    const auto rows = lines(table.out);
    ASSERT_EQ(rows.size(), expected.size() + 1) << table.out;
    const std::size_t noteAt = rows[0].find("Note");
    ASSERT_NE(noteAt, std::string::npos) << rows[0];
    std::map<std::string, std::string> notes;
    for (std::size_t i = 1; i < rows.size(); ++i)
        notes[cells(rows[i]).front()] = rows[i].size() > noteAt ? rows[i].substr(noteAt) : "";
    for (const Flags& e : expected) {
        // The note names the other boxes in list order; either order of the two is right.
        std::string note = notes[e.serial];
        if (e.conflict.size() == 2) {
            const std::string swapped = e.conflict[1] + ", " + e.conflict[0];
            if (const auto at = note.find(swapped); at != std::string::npos)
                note.replace(at, swapped.size(), e.conflict[0] + ", " + e.conflict[1]);
        }
        EXPECT_EQ(note, e.note) << e.serial;
    }
    EXPECT_EQ(table.err, r.err);
}

TEST_F(Scan, ANameThatIsNotAnAdapterIsWarnedAboutAndNotSwept) {
    const SplitResult r = scan({"-i", "vq7", "-i", "lo"});
    ASSERT_TRUE(r.exitedWith(0)) << describeStatus(r.waitStatus) << "\n" << r.err;
    EXPECT_EQ(r.out, "No box answered on 0 adapters.\n");
    for (const char* name : {"vq7", "lo"})
        EXPECT_NE(r.err.find(std::string("velqorin: ") + name +
                             " is not a usable Ethernet adapter"),
                  std::string::npos)
            << r.err;
    EXPECT_EQ(requestsOnSegment(0) + requestsOnSegment(1), 0u);
}

TEST_F(Scan, WithoutRawAccessItSaysSoAndExitsWith3) {
    const SplitResult r = runCommandSplit(inWorkstation(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", VELQORIN_CLI, "scan"}));
    EXPECT_TRUE(r.exitedWith(3)) << describeStatus(r.waitStatus) << "\n" << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no raw network access"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("link helper"), std::string::npos) << r.err;
    EXPECT_EQ(requestsOnSegment(0) + requestsOnSegment(1), 0u);
}

TEST_F(Scan, ProgressGoesToTheTerminalNeverToStandardOutput) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0) << std::strerror(errno);
    Fd terminal(master), terminalSide(slave);
    Fd out(::memfd_create("stdout", MFD_CLOEXEC));
    ASSERT_TRUE(out);
    Child child = Child::spawn(inWorkstation({VELQORIN_CLI, "scan", "--json", "-i", "vq0"}),
                               {-1, out.get(), terminalSide.get()});
    terminalSide.reset();

    // The terminal must be read while the sweep runs, or the progress line would block.
    std::string shown;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        pollfd p{terminal.get(), POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char buffer[1024];
            const ssize_t n = ::read(terminal.get(), buffer, sizeof buffer);
            if (n > 0) {
                shown.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno != EIO) FAIL() << std::strerror(errno);
            break;  // EIO: every writer has gone
        }
        if (std::chrono::steady_clock::now() > deadline) FAIL() << "no end after 30 s";
    }
    const auto status = child.waitFor(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(describeStatus(*status), "exited with status 0");

    EXPECT_NE(shown.find("sweeping vq0 (1 of 1)"), std::string::npos) << shown;
    const std::string printed = readFrom(out.get());
    EXPECT_EQ(printed.find("sweeping"), std::string::npos) << printed;
    EXPECT_EQ(printed.find_first_of("\r\033"), std::string::npos) << printed;
    const json listed = json::parse(printed);
    EXPECT_EQ(listed.size(), kFleetShown.size() - 1) << printed;
}

}  // namespace
}  // namespace velqorin::e2e
