// The harness in the lab: namespaces, raw ports and the simulator process (played by
// fake-box-sim, and by the real simulator once it is built).
#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/Error.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/Process.h"
#include "harness/RawPort.h"
#include "harness/SimProcess.h"
#include "velqorin/Frame.h"

namespace velqorin::e2e {
namespace {

// -- In the lab -----------------------------------------------------------------------

ino_t currentNetns() {
    struct stat s {};
    ::stat("/proc/self/ns/net", &s);
    return s.st_ino;
}

class Namespaces : public LabTest {};

TEST_F(Namespaces, GuardEntersTheLabAndReturns) {
    const ino_t original = currentNetns();
    ASSERT_EQ(::if_nametoindex("vq0"), 0u) << "the test process starts inside a lab";
    {
        NetnsGuard inside(lab().workstation());
        EXPECT_NE(currentNetns(), original);
        EXPECT_NE(::if_nametoindex("vq0"), 0u);
        EXPECT_EQ(::if_nametoindex("br0"), 0u);
    }
    EXPECT_EQ(currentNetns(), original);
    {
        NetnsGuard inside(lab().lan());
        EXPECT_NE(::if_nametoindex("br0"), 0u);
    }
    EXPECT_EQ(::if_nametoindex("br0"), 0u);
}

TEST_F(Namespaces, RemountedSysfsShowsTheLabUntilTheGuardEnds) {
    const auto cwd = std::filesystem::current_path();
    {
        NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
        EXPECT_TRUE(std::filesystem::exists("/sys/class/net/vq0"));
    }
    EXPECT_FALSE(std::filesystem::exists("/sys/class/net/vq0"));
    EXPECT_EQ(std::filesystem::current_path(), cwd);
}

TEST_F(Namespaces, FailingToEnterLeavesTheProcessWhereItWas) {
    const ino_t original = currentNetns();
    EXPECT_THROW(NetnsGuard(lab().name + "-nonexistent"), HarnessError);
    EXPECT_EQ(currentNetns(), original);
    EXPECT_THROW(RawPort::open(lab().workstation(), "br0"), HarnessError);
    EXPECT_EQ(currentNetns(), original);
}

TEST_F(Namespaces, RawPortStaysOnItsInterfaceAfterTheGuardEnds) {
    RawPort vq0 = RawPort::open(lab().workstation(), "vq0");
    EXPECT_EQ(vq0.mac(), lab().adapters[0].mac);
    RawPort br0 = RawPort::open(lab().lan(), "br0");
    EXPECT_EQ(br0.mac(), lab().bridges[0].mac);
}

// -- The simulator process, played by fake-box-sim --------------------------------------

class Sim : public LabTest {
protected:
    SimOptions options(std::vector<std::string> extra = {}) {
        SimOptions o;
        o.lab = lab().name;
        o.program = VELQORIN_FAKE_BOX_SIM;
        o.fleetJson = R"({"boxes":[{"serial":"2555"}]})";
        o.extraArgs = std::move(extra);
        return o;
    }
    bool noProcessInLan() {
        return runChecked({"ip", "netns", "pids", lab().lan()}).empty();
    }
};

TEST_F(Sim, RunsOnTheLanSideAndLogsWhatItReceived) {
    SimProcess sim(options());
    EXPECT_TRUE(sim.running());
    const auto log = sim.log();
    ASSERT_EQ(log.size(), 2u) << "the fake's unfinished third line was read";
    const auto rx = sim.received();
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0]["netns"], lab().lan());
    EXPECT_EQ(rx[0]["interface"], "br0");
    EXPECT_EQ(rx[0]["fleet"]["boxes"][0]["serial"], "2555");

    const int status = sim.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describeStatus(status);
    EXPECT_FALSE(sim.running());
    EXPECT_EQ(sim.log().size(), 4u);
    EXPECT_EQ(sim.received().size(), 2u);
    EXPECT_TRUE(sim.waitForLog([](const auto& l) { return l.value("verdict", "") == "stopped"; },
                               0ms));
    EXPECT_EQ(sim.stop(), status) << "a second stop reports the same end";
}

TEST_F(Sim, PassesGenerate) {
    SimOptions o = options();
    o.fleetJson.clear();
    o.generate = 7;
    SimProcess sim(o);
    const auto rx = sim.received();
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0]["fleet"]["generate"], 7);
}

TEST_F(Sim, ReportsAnEarlyExitWithItsOutput) {
    try {
        SimProcess sim(options({"--fake-mode", "fail"}));
        FAIL() << "no error";
    } catch (const HarnessError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("exited with status 3"), std::string::npos) << what;
        EXPECT_NE(what.find("cannot open br0"), std::string::npos) << what;
    }
}

TEST_F(Sim, GivesUpOnASimulatorThatNeverGetsReadyAndStopsIt) {
    SimOptions o = options({"--fake-mode", "hang"});
    o.readyTimeout = 500ms;
    const auto start = std::chrono::steady_clock::now();
    try {
        SimProcess sim(o);
        FAIL() << "no error";
    } catch (const HarnessError& e) {
        EXPECT_NE(std::string(e.what()).find("did not create its ready file"), std::string::npos)
            << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(noProcessInLan());
}

TEST_F(Sim, EndsWithItsOwnerAndCleansUp) {
    pid_t pid;
    std::string directory;
    {
        SimProcess sim(options());
        pid = sim.pid();
        directory = sim.directory();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(::kill(pid, 0), 0);
    }
    EXPECT_TRUE(noProcessInLan());
    EXPECT_FALSE(std::filesystem::exists(directory));
}

TEST_F(Sim, RefusesOptionsItCannotRun) {
    SimOptions both = options();
    both.generate = 2;
    EXPECT_THROW(SimProcess{both}, HarnessError);
    SimOptions neither = options();
    neither.fleetJson.clear();
    EXPECT_THROW(SimProcess{neither}, HarnessError);
    SimOptions missing = options();
    missing.program = "/nonexistent/velqorin-box-sim";
    EXPECT_THROW(SimProcess{missing}, HarnessError);
    EXPECT_TRUE(noProcessInLan());
}

// -- The real simulator, once it is built ------------------------------------------------

TEST_F(Sim, RealSimulatorAnswersADiscoveryRequest) {
    if (boxSimFromEnvironment().empty()) GTEST_SKIP() << "velqorin-box-sim is not built";
    SimOptions o;
    o.lab = lab().name;
    o.generate = 2;
    SimProcess sim(o);
    RawPort vq0 = RawPort::open(lab().workstation(), "vq0");
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "harness-test");
    std::memcpy(request.sourceMac, vq0.mac().data(), kMacSize);
    vq0.send({frameBytes(request), kFrameSize});

    auto reply = vq0.receiveMatching(
        [&](const CapturedFrame& f) {
            return isDiscoveryReply(request, f.bytes.data(), f.bytes.size());
        },
        3s);
    EXPECT_TRUE(reply) << "no reply; simulator output:\n" << sim.stderrText();
    EXPECT_TRUE(sim.waitForLog(
        [](const auto& l) { return l.value("dir", "") == "rx" && l.value("kind", -1) == 0; }, 2s))
        << "the simulator logged no request";
}

}  // namespace
}  // namespace velqorin::e2e
