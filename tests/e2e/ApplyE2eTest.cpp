// `velqorin apply PLAN` and `velqorin scan --watch`, run as a user runs them in the
// workstation namespace, against the box simulator. Runs in the fixture lab "apply": vq0
// and vq2 on segment 0 (br0), vq1 on segment 1 (br1). The plan's boxes sit on br1, one box
// on br0 answers on two adapters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FleetSupport.h"
#include "harness/CliRun.h"
#include "harness/Error.h"
#include "harness/Fd.h"
#include "harness/LabTest.h"
#include "harness/Process.h"
#include "harness/SimProcess.h"
#include "velqorin/Frame.h"

namespace velqorin::e2e {
namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kSitePassword = "site-Secret";

// MACs 02:00:00:11:xx:yy from the serial: the fourth octet keeps them network boxes.
json planBox(const std::string& serial, const std::string& ip) {
    const int n = std::stoi(serial);
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:11:%02x:%02x", (n >> 8) & 0xff, n & 0xff);
    json b = simBox(serial, mac, ip);
    b["password"] = kSitePassword;
    return b;
}

// The site: every box of the plan but the one that answers on two adapters, on br1.
std::vector<json> siteFleet() {
    json b6002 = planBox("6002", "198.51.100.42");
    b6002["password"] = "own-Secret";
    json b6003 = planBox("6003", "198.51.100.43");
    b6003["sync"] = {{"slave", 1}, {"master", 6001}, {"floor", 1}};
    b6003["dhcpIp"] = "198.51.100.143";
    b6003["dhcpMask"] = "255.255.255.0";
    b6003["restartMs"] = 300;
    json b6006 = planBox("6006", "198.51.100.46");
    b6006["password"] = "other-Secret";
    json b6007 = planBox("6007", "198.51.100.47");
    b6007["silent"] = true;
    json b6008 = planBox("6008", "198.51.100.48");
    b6008["keepsSettings"] = true;
    return {planBox("6001", "198.51.100.41"), b6002, b6003, planBox("6004", "198.51.100.44"),
            planBox("6005", "198.51.100.45"), b6006, b6007, b6008};
}

// One row per result word; 198.51.100.254 is br1's own address, which answers pings.
const std::string kSitePlan =
    "\xEF\xBB\xBFserial,dhcp,ip,mask,neighbourhood,restart,sync,master,floor,password\r\n"
    "6001,no,198.51.100.61,255.255.255.0,,,,,,\r\n"              // done: network
    "6002,,,,,,follow,6001,2,own-Secret\r\n"                     // done: sync, own password
    "6003,yes,,,no,yes,master,,,\r\n"                            // done: sync, then network+restart
    "6004,no,198.51.100.44,255.255.255.0,yes,,master,,,\r\n"     // unchanged
    "6005,,198.51.100.254,255.255.255.0,,,,,,\r\n"               // address in use
    "6006,,,,no,,,,,\"wrong, \"\"quoted\"\"\"\r\n"               // refused
    "6007,no,198.51.100.67,255.255.255.0,,,,,,\r\n"              // no answer
    "6008,,,,,,follow,6001,3,\r\n"                               // not confirmed
    "6009,yes,,,,,,,,\r\n"                                       // not found
    "6010,,,,no,,,,,\r\n";                                       // ambiguous

// A plan file for the length of a test.
class PlanFile {
public:
    explicit PlanFile(const std::string& text) {
        char pattern[] = "/tmp/velqorin-plan-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0) throw HarnessError(systemError("mkstemp", errno));
        path_ = pattern;
        const Fd owner(fd);
        if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw HarnessError(systemError("write " + path_, errno));
    }
    ~PlanFile() { ::unlink(path_.c_str()); }
    PlanFile(const PlanFile&) = delete;
    PlanFile& operator=(const PlanFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// What the simulator heard addressed to box `serial`, as frames: commands only.
std::vector<TAnalyseBuffer> commandsTo(const SimProcess& sim, const std::string& serial) {
    std::vector<TAnalyseBuffer> out;
    for (const auto& line : sim.received()) {
        if (!line["box"].is_string() || line["box"] != serial || !line["kind"].is_number()) continue;
        const int kind = line["kind"].get<int>();
        if (kind != 3 && kind != 4 && kind != 7 && kind != 8) continue;
        const auto bytes = loggedBytes(line);
        if (bytes.size() != kFrameSize) throw HarnessError("a command of " + std::to_string(bytes.size()) + " bytes");
        TAnalyseBuffer frame;
        std::memcpy(&frame, bytes.data(), kFrameSize);
        out.push_back(frame);
    }
    return out;
}

std::vector<int> kindsOf(const std::vector<TAnalyseBuffer>& frames) {
    std::vector<int> kinds;
    for (const auto& f : frames) kinds.push_back(f.frameKind);
    return kinds;
}

std::size_t commandCount(const SimProcess& sim) {
    std::size_t n = 0;
    for (const auto& line : sim.received())
        if (line["kind"].is_number() && line["kind"].get<int>() >= 3) ++n;
    return n;
}

std::string ipOf(const std::uint8_t* field) { return ipText(field); }

class Apply : public LabTest {
protected:
    // velqorin in the workstation namespace, in a session of its own so it has no terminal:
    // secrets come from `input` with --password-stdin.
    CliRun velqorin(const std::vector<std::string>& args, const std::string& input = {}) const {
        return runCli(lab().workstation(), VELQORIN_CLI, args, input, 120s);
    }

    SimProcess site() const { return SimProcess(simOn(lab().name, "br1", siteFleet())); }
    SimProcess twoAdapters() const {
        return SimProcess(simOn(lab().name, "br0", {planBox("6010", "192.0.2.60")}));
    }
};

TEST_F(Apply, ABadPlanNamesEveryBadRowExitsWith9AndSendsNothing) {
    SimProcess sim = site();
    const PlanFile plan(
        "serial,dhcp,ip,mask,sync,master,floor\n"
        "6001,no,198.51.100.300,255.255.255.0,,,\n"  // impossible address
        "6002,no,198.51.100.62,255.0.255.0,,,\n"     // mask not contiguous
        "6004,no,198.51.100.64,255.255.255.0,,,\n"   // good
        "6004,,,,,,\n"                               // serial twice
        "6005,no,198.51.100.11,255.255.255.0,,,\n"   // the workstation's address on vq1
        "6006,,,,follow,6001,0\n");                  // no such floor
    const CliRun run = velqorin({"apply", plan.path(), "--password-stdin"}, "site-Secret\n");
    EXPECT_EQ(run.exitCode, 9) << run;
    EXPECT_EQ(run.out, "");
    for (const char* part : {"line 2: ip \"198.51.100.300\"", "line 3: mask \"255.0.255.0\"",
                             "line 5: serial 6004 is already on line 4",
                             "line 6: ip 198.51.100.11 is the workstation's own address",
                             "line 7: floor \"0\"", "nothing was sent"})
        EXPECT_NE(run.err.find(part), std::string::npos) << part << "\n" << run;
    EXPECT_EQ(run.err.find("line 4:"), std::string::npos) << run;
    // Not even a sweep: the plan is judged before anything goes on the wire.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(sim.received().empty()) << sim.received().size() << " frames heard";
}

TEST_F(Apply, ADryRunShowsNowPlannedAndTheVerdictAndSendsNoCommand) {
    SimProcess sim = site();
    SimProcess other = twoAdapters();
    const PlanFile plan(kSitePlan);
    const CliRun run = velqorin({"apply", plan.path(), "--dry-run", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run;
    const json rows = json::parse(run.out);
    ASSERT_EQ(rows.size(), 10u) << run.out;
    std::map<std::string, json> bySerial;
    for (const auto& r : rows) bySerial[r["serial"].get<std::string>()] = r;

    EXPECT_EQ(bySerial["6001"]["now"], "fixed 198.51.100.41/255.255.255.0, neighbourhood yes, master");
    EXPECT_EQ(bySerial["6001"]["planned"], "fixed 198.51.100.61/255.255.255.0, neighbourhood yes, master");
    EXPECT_EQ(bySerial["6001"]["verdict"], "compatible");
    EXPECT_EQ(bySerial["6003"]["planned"], "dhcp, manual 198.51.100.43/255.255.255.0, neighbourhood no, master");
    EXPECT_EQ(bySerial["6003"]["changes"].size(), 3u) << bySerial["6003"];
    // vq1 has a fixed address, so DHCP for a box fits but is not what the workstation does.
    EXPECT_EQ(bySerial["6003"]["verdict"], "compatible, use a fixed address");
    EXPECT_TRUE(bySerial["6004"]["changes"].empty());
    EXPECT_EQ(bySerial["6009"]["found"], false);
    EXPECT_EQ(bySerial["6009"]["result"], "not found");
    EXPECT_EQ(bySerial["6010"]["result"], "ambiguous");
    EXPECT_NE(bySerial["6010"]["detail"].get<std::string>().find("vq0, vq2"), std::string::npos);

    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(commandCount(sim), 0u);
    EXPECT_EQ(commandCount(other), 0u);
    EXPECT_FALSE(requestsHeard(sim).empty());  // it did sweep
}

TEST_F(Apply, APlanOfTenBoxesGivesEveryResultWordAndSendsEachBoxOnlyItsCommands) {
    SimProcess sim = site();
    SimProcess other = twoAdapters();
    const PlanFile plan(kSitePlan);
    const CliRun run = velqorin({"apply", plan.path(), "--json", "--password-stdin"},
                                std::string(kSitePassword) + "\n");
    std::cout << "apply of a plan of 10 rows on 3 adapters took " << run.seconds << " s\n";
    EXPECT_EQ(run.exitCode, 1) << run;
    const json rows = json::parse(run.out);
    ASSERT_EQ(rows.size(), 10u) << run;

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"6001", "done"},          {"6002", "done"},      {"6003", "done"},
        {"6004", "unchanged"},     {"6005", "address in use"}, {"6006", "refused"},
        {"6007", "no answer"},     {"6008", "not confirmed"},  {"6009", "not found"},
        {"6010", "ambiguous"},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rows[i]["serial"], expected[i].first);
        EXPECT_EQ(rows[i]["result"], expected[i].second) << rows[i].dump();
        EXPECT_EQ(rows[i]["line"], i + 2);
    }
    EXPECT_EQ(rows[2]["sent"], json({"sync", "network+restart"}));
    EXPECT_NE(rows[4]["detail"].get<std::string>().find("198.51.100.254 answers a ping"), std::string::npos);

    const auto to6001 = commandsTo(sim, "6001");
    ASSERT_EQ(kindsOf(to6001), (std::vector<int>{3}));
    EXPECT_EQ(ipOf(to6001[0].manualIp), "198.51.100.61");
    EXPECT_EQ(ipOf(to6001[0].manualMask), "255.255.255.0");
    EXPECT_EQ(to6001[0].addressMode, 0);
    EXPECT_EQ(to6001[0].neighbourhood, 1);  // kept

    const auto to6002 = commandsTo(sim, "6002");
    ASSERT_EQ(kindsOf(to6002), (std::vector<int>{7}));
    EXPECT_EQ(loadLe<std::uint32_t>(to6002[0].syncSlave), 1u);
    EXPECT_EQ(loadLe<std::uint32_t>(to6002[0].syncMaster), 6001u);
    EXPECT_EQ(loadLe<std::int32_t>(to6002[0].syncFloor), 2);

    const auto to6003 = commandsTo(sim, "6003");
    ASSERT_EQ(kindsOf(to6003), (std::vector<int>{7, 4}));
    EXPECT_EQ(loadLe<std::uint32_t>(to6003[0].syncSlave), 0u);
    EXPECT_EQ(loadLe<std::uint32_t>(to6003[0].syncMaster), 0u);
    EXPECT_EQ(loadLe<std::int32_t>(to6003[0].syncFloor), 0);
    EXPECT_EQ(to6003[1].addressMode, 1);
    EXPECT_EQ(to6003[1].neighbourhood, 0);
    EXPECT_EQ(ipOf(to6003[1].manualIp), "198.51.100.43");  // kept
    // The second command is keyed with the challenge of the first one's answer.
    EXPECT_NE(std::string(fieldText(to6003[0].challenge)), std::string(fieldText(to6003[1].challenge)));

    EXPECT_TRUE(commandsTo(sim, "6004").empty());
    EXPECT_TRUE(commandsTo(sim, "6005").empty());
    EXPECT_EQ(kindsOf(commandsTo(sim, "6006")), (std::vector<int>{3}));
    EXPECT_EQ(kindsOf(commandsTo(sim, "6007")), (std::vector<int>{3}));
    EXPECT_EQ(kindsOf(commandsTo(sim, "6008")), (std::vector<int>{7}));
    EXPECT_EQ(commandCount(other), 0u);
    // One sweep before, one to confirm, each sending its request three times.
    EXPECT_EQ(requestsHeard(sim).size(), 6u);

    // The plan again: what was done is now unchanged and gets nothing more.
    const std::size_t before = commandCount(sim);
    const CliRun again = velqorin({"apply", plan.path(), "--json", "--password-stdin", "-i", "vq1"},
                                  std::string(kSitePassword) + "\n");
    EXPECT_EQ(again.exitCode, 1) << again;
    const json second = json::parse(again.out);
    ASSERT_EQ(second.size(), 10u) << again;
    for (std::size_t i : {0u, 1u, 2u, 3u}) EXPECT_EQ(second[i]["result"], "unchanged") << second[i].dump();
    EXPECT_EQ(second[9]["result"], "not found");  // vq1 alone does not see br0
    std::this_thread::sleep_for(300ms);
    const std::size_t afterwards = commandCount(sim);
    // Only 6006, 6007 and 6008 are sent to again (6005's address still answers).
    EXPECT_EQ(afterwards - before, 3u);
}

TEST_F(Apply, ARowWhoseAnswerWasLostIsDoneWhenTheBoxReportsThePlan) {
    // 6021 takes its command but answers after the command's window: the answer is lost.
    // 6022 neither takes it nor answers.
    json late = planBox("6021", "198.51.100.21");
    late["answer"] = {{"delayMs", 4500}};
    json silent = planBox("6022", "198.51.100.22");
    silent["silent"] = true;
    SimProcess sim(simOn(lab().name, "br1", {late, silent}));
    const PlanFile plan("serial,dhcp,ip,mask\n"
                        "6021,no,198.51.100.71,255.255.255.0\n"
                        "6022,no,198.51.100.72,255.255.255.0\n");
    const CliRun run = velqorin({"apply", plan.path(), "--password-stdin", "--json"}, "site-Secret\n");
    EXPECT_EQ(run.exitCode, 1) << run;
    const json rows = json::parse(run.out);
    ASSERT_EQ(rows.size(), 2u) << run.out;
    EXPECT_EQ(rows[0]["result"], "done") << rows[0];
    EXPECT_EQ(rows[0]["answerLost"], true) << rows[0];
    EXPECT_EQ(rows[1]["result"], "no answer") << rows[1];
    EXPECT_FALSE(rows[1].contains("answerLost")) << rows[1];
}

TEST_F(Apply, TheTableNamesEachRowAndThePasswordIsAskedOnceAtTheTerminal) {
    SimProcess sim = site();
    const PlanFile plan(
        "serial;ip;mask;sync;master;floor\n"
        "6001;198.51.100.71;255.255.255.0;;;\n"
        "6004;;;follow;6001;-1\n");
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0) << std::strerror(errno);
    Fd terminal(master), terminalSide(slave);
    Fd out = memoryFile("stdout");
    // --ctty: the pty becomes the program's terminal, the one it asks on.
    Child child = Child::spawn({"setsid", "--ctty", "--wait", "ip", "netns", "exec",
                                lab().workstation(), VELQORIN_CLI, "apply", plan.path(), "-i", "vq1"},
                               {terminalSide.get(), out.get(), terminalSide.get()});
    terminalSide.reset();

    std::string shown;
    bool answered = false;
    const auto deadline = SteadyClock::now() + 60s;
    for (;;) {
        pollfd p{terminal.get(), POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char buffer[1024];
            const ssize_t n = ::read(terminal.get(), buffer, sizeof buffer);
            if (n <= 0) break;  // EIO: every writer has gone
            shown.append(buffer, static_cast<std::size_t>(n));
            if (!answered && shown.find("password") != std::string::npos &&
                shown.find(": ", shown.find("password")) != std::string::npos) {
                const std::string answer = std::string(kSitePassword) + "\n";
                ASSERT_EQ(::write(terminal.get(), answer.data(), answer.size()),
                          static_cast<ssize_t>(answer.size()));
                answered = true;
            }
            continue;
        }
        if (SteadyClock::now() > deadline) FAIL() << "no end after 60 s:\n" << shown;
    }
    const auto status = child.waitFor(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(describeStatus(*status), "exited with status 0") << shown;
    EXPECT_TRUE(answered) << shown;
    std::size_t prompts = 0;
    for (auto at = shown.find("password ("); at != std::string::npos; at = shown.find("password (", at + 1))
        ++prompts;
    EXPECT_EQ(prompts, 1u) << shown;
    EXPECT_EQ(shown.find(kSitePassword), std::string::npos) << "echoed: " << shown;

    const std::string table = readBack(out.get());
    EXPECT_NE(table.find("Line  Serial  Asked"), std::string::npos) << table;
    EXPECT_TRUE(std::regex_search(table, std::regex("\n2 +6001 +ip 198.51.100.71/255.255.255.0 +done\n")))
        << table;
    EXPECT_TRUE(std::regex_search(table, std::regex("\n3 +6004 +follow 6001 floor -1 +done\n"))) << table;
    EXPECT_NE(table.find("2 rows: 2 done\n"), std::string::npos) << table;
    EXPECT_EQ(kindsOf(commandsTo(sim, "6001")), (std::vector<int>{3}));
    EXPECT_EQ(kindsOf(commandsTo(sim, "6004")), (std::vector<int>{7}));
}

TEST_F(Apply, AllTogetherGivesTheRowsThatOneRowAfterTheOtherGives) {
    // Each run on a site of its own, as it was before the first.
    std::map<std::string, json> byJobs;
    for (const char* jobs : {"1", "64"}) {
        SimProcess sim = site();
        SimProcess other = twoAdapters();
        const PlanFile plan(kSitePlan);
        const CliRun run = velqorin({"apply", plan.path(), "--json", "--password-stdin", "--jobs", jobs},
                                    std::string(kSitePassword) + "\n");
        EXPECT_EQ(run.exitCode, 1) << run;
        std::cout << "apply --jobs " << jobs << " of the 10-row plan took " << run.seconds << " s\n";
        byJobs[jobs] = json::parse(run.out);
    }
    EXPECT_EQ(byJobs["64"], byJobs["1"]);
}

TEST_F(Apply, APlanOf200BoxesIsSentTogetherAndEachBoxGetsExactlyItsCommandsInOrder) {
    // Every box a new free address; every fourth also follows box 8000 first.
    std::vector<json> fleet;
    std::string plan = "serial,ip,mask,sync,master,floor\n";
    for (int i = 0; i < 200; ++i) {
        const std::string serial = std::to_string(8000 + i);
        fleet.push_back(planBox(serial, "10.9." + std::to_string(i / 100) + "." + std::to_string(1 + i % 100)));
        plan += serial + ",198.51.100." + std::to_string(21 + i) + ",255.255.255.0" +
                (i % 4 == 3 ? ",follow,8000,1\n" : ",,,\n");
    }
    SimProcess sim(simOn(lab().name, "br1", fleet));
    const PlanFile file(plan);
    const CliRun run = velqorin({"apply", file.path(), "--json", "--password-stdin", "-i", "vq1"},
                                std::string(kSitePassword) + "\n");
    std::cout << "apply of a plan of 200 boxes took " << run.seconds << " s\n";
    ASSERT_EQ(run.exitCode, 0) << run;
    const json rows = json::parse(run.out);
    ASSERT_EQ(rows.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(rows[i].dump());
        EXPECT_EQ(rows[i]["serial"], std::to_string(8000 + i));
        EXPECT_EQ(rows[i]["result"], "done");
        const auto heard = commandsTo(sim, std::to_string(8000 + i));
        if (i % 4 == 3) {
            ASSERT_EQ(kindsOf(heard), (std::vector<int>{7, 3}));
            EXPECT_EQ(loadLe<std::uint32_t>(heard[0].syncMaster), 8000u);
            EXPECT_NE(std::string(fieldText(heard[0].challenge)), std::string(fieldText(heard[1].challenge)))
                << "the network command is keyed with the synchronisation answer's challenge";
        } else {
            ASSERT_EQ(kindsOf(heard), (std::vector<int>{3}));
        }
        EXPECT_EQ(ipOf(heard.back().manualIp), "198.51.100." + std::to_string(21 + i));
    }
    // One sweep before and one to confirm, whatever the number of boxes.
    EXPECT_EQ(requestsHeard(sim).size(), 6u);
}

// ---------------------------------------------------------------- scan --watch

std::vector<json> jsonLines(const std::string& text, bool& allWhole) {
    std::vector<json> lines;
    allWhole = text.empty() || text.back() == '\n';
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        try {
            lines.push_back(json::parse(line));
        } catch (const json::exception&) {
            allWhole = false;
        }
    }
    return lines;
}

TEST_F(Apply, WatchPrintsEachChangeWithATimeAndCtrlCEndsItMidSweep) {
    std::optional<SimProcess> sim;
    sim.emplace(simOn(lab().name, "br1",
                      {planBox("7001", "198.51.100.71"), planBox("7002", "198.51.100.72")}));
    Fd out = memoryFile("stdout");
    Fd err = memoryFile("stderr");
    // Not through setsid: the signal goes to velqorin itself (ip netns exec execs it).
    Child watcher = Child::spawn({"ip", "netns", "exec", lab().workstation(), VELQORIN_CLI, "scan",
                                  "--watch", "1", "--json", "-i", "vq1"},
                                 {-1, out.get(), err.get()});
    auto waitForLines = [&](std::size_t count) {
        const auto deadline = SteadyClock::now() + 30s;
        bool whole = true;
        while (SteadyClock::now() < deadline) {
            if (jsonLines(readBack(out.get()), whole).size() >= count) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    };
    ASSERT_TRUE(waitForLines(2)) << readBack(out.get()) << readBack(err.get());

    const CliRun follow = velqorin({"sync", "7001", "-i", "vq1", "--follow", "7002", "--floor", "1",
                                    "--password-stdin"},
                                   std::string(kSitePassword) + "\n");
    ASSERT_EQ(follow.exitCode, 0) << follow;
    ASSERT_TRUE(waitForLines(3)) << readBack(out.get());
    sim.reset();  // both boxes go
    ASSERT_TRUE(waitForLines(5)) << readBack(out.get());

    // With a sweep of about 3 s every second, the watch is always in the middle of one.
    const auto stopped = SteadyClock::now();
    ASSERT_EQ(::kill(watcher.pid(), SIGINT), 0);
    const auto status = watcher.waitFor(10s);
    ASSERT_TRUE(status.has_value()) << "no end 10 s after Ctrl+C";
    EXPECT_EQ(describeStatus(*status), "exited with status 130") << readBack(err.get());
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - stopped).count(), 2.0)
        << "it waited for the sweep to finish";

    bool whole = false;
    const std::vector<json> lines = jsonLines(readBack(out.get()), whole);
    EXPECT_TRUE(whole) << readBack(out.get());
    ASSERT_EQ(lines.size(), 5u) << readBack(out.get());
    const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    for (const auto& l : lines) {
        EXPECT_TRUE(std::regex_match(l["time"].get<std::string>(), stamp)) << l.dump();
        EXPECT_EQ(l["adapter"], "vq1");
    }
    std::multiset<std::string> first = {lines[0]["event"].get<std::string>() + lines[0]["serial"].get<std::string>(),
                                        lines[1]["event"].get<std::string>() + lines[1]["serial"].get<std::string>()};
    EXPECT_EQ(first, (std::multiset<std::string>{"appeared7001", "appeared7002"}));
    EXPECT_EQ(lines[0]["ip"].is_string(), true);
    EXPECT_EQ(lines[2]["event"], "changed");
    EXPECT_EQ(lines[2]["serial"], "7001");
    EXPECT_EQ(lines[2]["changes"],
              json::array({{{"field", "sync"}, {"from", "master"}, {"to", "follows 7002 floor 1"}}}));
    EXPECT_EQ(lines[3]["event"], "went");
    EXPECT_EQ(lines[4]["event"], "went");
}

}  // namespace
}  // namespace velqorin::e2e
