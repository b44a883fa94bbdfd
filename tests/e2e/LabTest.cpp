// The lab itself: what `lab up` builds carries frames where it should and nowhere else,
// and `lab down` leaves nothing behind. Runs in the fixture lab "self": vq0 and vq2 on
// segment 0 (br0), vq1 on segment 1 (br1).
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "harness/Error.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/Process.h"
#include "harness/RawPort.h"
#include "velqorin/Frame.h"

namespace velqorin::e2e {
namespace {

constexpr Mac kBroadcast{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr Mac kSomeBox{0x00, 0x50, 0xc2, 0x10, 0x20, 0x30};
constexpr auto kSettle = 300ms;

// A frame of `length` bytes with a header and a counter-like payload that tells it apart.
std::vector<std::uint8_t> frame(const Mac& to, const Mac& from, std::uint16_t etherType,
                                std::size_t length, std::uint8_t tag) {
    std::vector<std::uint8_t> bytes(length);
    std::copy(to.begin(), to.end(), bytes.begin());
    std::copy(from.begin(), from.end(), bytes.begin() + 6);
    bytes[12] = static_cast<std::uint8_t>(etherType >> 8);
    bytes[13] = static_cast<std::uint8_t>(etherType & 0xff);
    for (std::size_t i = 14; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(tag + i);
    return bytes;
}

std::vector<std::uint8_t> discoveryRequest(const Mac& from) {
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "lab-test");
    std::memcpy(request.sourceMac, from.data(), from.size());
    const std::uint8_t* bytes = frameBytes(request);
    return {bytes, bytes + kFrameSize};
}

auto sameBytes(const std::vector<std::uint8_t>& sent) {
    return [sent](const CapturedFrame& f) { return f.bytes == sent; };
}

std::string readSysctl(const std::string& netns, const std::string& path) {
    NetnsGuard inside(netns);
    std::ifstream in(path);
    std::string value;
    in >> value;
    return value;
}

nlohmann::json ipJson(const std::vector<std::string>& argv) {
    return nlohmann::json::parse(runChecked(argv));
}

class Lab : public LabTest {};

TEST_F(Lab, AdaptersHaveTheRecordedMacsAddressesAndSegments) {
    ASSERT_EQ(lab().adapters.size(), 3u);
    ASSERT_EQ(lab().bridges.size(), 2u);
    const char* addresses[] = {"192.0.2.10/24", "198.51.100.11/24", "192.0.2.12/24"};
    for (unsigned i = 0; i < 3; ++i) {
        const LabAdapter& a = lab().adapters[i];
        SCOPED_TRACE(a.name);
        EXPECT_EQ(a.name, "vq" + std::to_string(i));
        EXPECT_EQ(a.bridge, "br" + std::to_string(i % 2));
        EXPECT_EQ(a.address, addresses[i]);
        EXPECT_EQ(macText(a.mac), "02:00:00:aa:00:0" + std::to_string(i));

        const nlohmann::json live =
            ipJson({"ip", "-j", "-n", lab().workstation(), "addr", "show", "dev", a.name});
        ASSERT_EQ(live.size(), 1u);
        EXPECT_EQ(live[0].value("address", ""), macText(a.mac));
        EXPECT_EQ(live[0].value("operstate", ""), "UP");
        std::vector<std::string> inet;
        for (const auto& info : live[0]["addr_info"])
            inet.push_back(info.value("family", "") + " " + info.value("local", "") + "/" +
                           std::to_string(info.value("prefixlen", 0)));
        EXPECT_EQ(inet, std::vector<std::string>{"inet " + a.address});

        const nlohmann::json port =
            ipJson({"ip", "-j", "-n", lab().lan(), "link", "show", "dev", a.port});
        ASSERT_EQ(port.size(), 1u);
        EXPECT_EQ(port[0].value("master", ""), a.bridge);
    }
}

TEST_F(Lab, BridgesForwardAtOnceWithoutStpOrLearning) {
    const char* addresses[] = {"192.0.2.254/24", "198.51.100.254/24"};
    for (unsigned s = 0; s < 2; ++s) {
        const LabBridge& b = lab().bridges[s];
        SCOPED_TRACE(b.name);
        EXPECT_EQ(b.address, addresses[s]);
        const nlohmann::json live =
            ipJson({"ip", "-j", "-d", "-n", lab().lan(), "link", "show", "dev", b.name});
        ASSERT_EQ(live.size(), 1u);
        EXPECT_EQ(live[0].value("address", ""), "02:00:00:bb:00:0" + std::to_string(s));
        const auto& data = live[0]["linkinfo"]["info_data"];
        EXPECT_EQ(data.value("stp_state", -1), 0);
        EXPECT_EQ(data.value("forward_delay", -1), 0);
        EXPECT_EQ(data.value("ageing_time", -1), 0);
    }
}

TEST_F(Lab, Ipv6IsOffOnBothSides) {
    for (const std::string& ns : {lab().workstation(), lab().lan()}) {
        for (const char* key : {"all", "default", "lo"}) {
            const std::string path = std::string("/proc/sys/net/ipv6/conf/") + key + "/disable_ipv6";
            if (!std::ifstream(path)) GTEST_SKIP() << "this kernel has no IPv6";
            EXPECT_EQ(readSysctl(ns, path), "1") << ns << " " << key;
        }
    }
}

TEST_F(Lab, IdleLabCarriesNoFrames) {
    RawPort vq0 = RawPort::open(lab().workstation(), "vq0");
    RawPort br0 = RawPort::open(lab().lan(), "br0");
    const auto onAdapter = vq0.collect(1s);
    const auto onBridge = br0.collect(0ms);
    EXPECT_TRUE(onAdapter.empty()) << onAdapter.size() << " frame(s), first EtherType 0x"
                                   << std::hex << onAdapter.front().etherType();
    EXPECT_TRUE(onBridge.empty()) << onBridge.size() << " frame(s) on br0";
}

struct Shape {
    const char* what;
    Mac destination;
    std::uint16_t etherType;
    std::size_t length;
};

class FramesReachTheLan : public Lab, public ::testing::WithParamInterface<Shape> {};

// Whatever the workstation sends, the LAN side sees byte for byte: the sweep's request,
// frames one byte short or long, small and full-size frames of other protocols.
TEST_P(FramesReachTheLan, FromVq0ToBr0AndVq2) {
    const Shape shape = GetParam();
    RawPort vq0 = RawPort::open(lab().workstation(), "vq0");
    RawPort vq2 = RawPort::open(lab().workstation(), "vq2");
    RawPort br0 = RawPort::open(lab().lan(), "br0");
    const std::vector<std::uint8_t> sent =
        shape.length == kFrameSize && shape.etherType == kEtherType
            ? discoveryRequest(vq0.mac())
            : frame(shape.destination, vq0.mac(), shape.etherType, shape.length, 0x40);
    vq0.send(sent);

    auto atBridge = br0.receiveMatching(sameBytes(sent), 1s);
    ASSERT_TRUE(atBridge) << shape.what << " did not reach br0";
    EXPECT_EQ(atBridge->wireLength, shape.length);
    EXPECT_FALSE(atBridge->outgoing());
    // The bridge floods: the other adapter on the segment sees it too.
    EXPECT_TRUE(vq2.receiveMatching(sameBytes(sent), 1s)) << shape.what << " did not reach vq2";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FramesReachTheLan,
    ::testing::Values(Shape{"discovery request", kDiscoveryGroupMac, kEtherType, kFrameSize},
                      Shape{"315 bytes", kDiscoveryGroupMac, kEtherType, kFrameSize - 1},
                      Shape{"317 bytes", kDiscoveryGroupMac, kEtherType, kFrameSize + 1},
                      Shape{"broadcast IPv4, 60 bytes", kBroadcast, 0x0800, 60},
                      Shape{"unicast to a box, 1514 bytes", kSomeBox, 0x88b5, 1514}),
    [](const auto& p) {
        std::string name = p.param.what;
        std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

TEST_F(Lab, FrameFromTheLanReachesTheAdapterItIsSentTo) {
    RawPort vq0 = RawPort::open(lab().workstation(), "vq0");
    RawPort br0 = RawPort::open(lab().lan(), "br0");
    TAnalyseBuffer reply;
    buildDiscoveryRequest(reply, "lab-test");
    reply.frameKind = static_cast<std::uint8_t>(FrameKind::DiscoveryReply);
    std::memcpy(reply.destinationMac, vq0.mac().data(), kMacSize);
    std::memcpy(reply.sourceMac, kSomeBox.data(), kMacSize);
    const std::vector<std::uint8_t> sent(frameBytes(reply), frameBytes(reply) + kFrameSize);
    br0.send(sent);

    auto arrived = vq0.receiveMatching(sameBytes(sent), 1s);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(arrived->packetType, PACKET_HOST);
    EXPECT_EQ(arrived->destination(), vq0.mac());
    EXPECT_EQ(arrived->source(), kSomeBox);
}

// Two segments are two LANs: nothing crosses from one to the other, not even frames
// addressed to an adapter of the other segment.
TEST_F(Lab, SegmentsAreIsolated) {
    RawPort vq0 = RawPort::open(lab().workstation(), "vq0");
    RawPort vq1 = RawPort::open(lab().workstation(), "vq1");
    RawPort br0 = RawPort::open(lab().lan(), "br0");
    RawPort br1 = RawPort::open(lab().lan(), "br1");

    const std::vector<std::vector<std::uint8_t>> fromSegment0{
        discoveryRequest(vq0.mac()), frame(kBroadcast, vq0.mac(), 0x0806, 60, 1),
        frame(vq1.mac(), vq0.mac(), kEtherType, kFrameSize, 2)};
    for (const auto& f : fromSegment0) vq0.send(f);
    const std::vector<std::vector<std::uint8_t>> fromSegment1{
        discoveryRequest(vq1.mac()), frame(vq0.mac(), vq1.mac(), kEtherType, kFrameSize, 3)};
    for (const auto& f : fromSegment1) vq1.send(f);
    br0.send(frame(vq1.mac(), br0.mac(), kEtherType, kFrameSize, 4));

    // Each side must see its own segment's traffic, or silence would prove nothing.
    for (const auto& f : fromSegment0) EXPECT_TRUE(br0.receiveMatching(sameBytes(f), 1s));
    for (const auto& f : fromSegment1) EXPECT_TRUE(br1.receiveMatching(sameBytes(f), 1s));

    auto sourcedOn = [](const RawPort& port) {
        return [&port](const CapturedFrame& f) { return f.source() == port.mac(); };
    };
    EXPECT_FALSE(br1.receiveMatching(sourcedOn(vq0), kSettle)) << "segment 0 leaked into br1";
    EXPECT_FALSE(vq1.receiveMatching(
        [&](const CapturedFrame& f) { return f.source() == vq0.mac() || f.source() == br0.mac(); },
        kSettle))
        << "segment 0 leaked to vq1";
    EXPECT_FALSE(br0.receiveMatching(sourcedOn(vq1), kSettle)) << "segment 1 leaked into br0";
    EXPECT_FALSE(vq0.receiveMatching(sourcedOn(vq1), kSettle)) << "segment 1 leaked to vq0";
}

TEST_F(Lab, AdapterDownCarriesNothingAndForwardsAgainOnceUp) {
    RawPort vq0 = RawPort::open(lab().workstation(), "vq0");
    RawPort br0 = RawPort::open(lab().lan(), "br0");
    const auto probe = frame(kBroadcast, br0.mac(), kEtherType, kFrameSize, 5);

    {
        AdapterDown down(lab(), 0);
        EXPECT_THROW(vq0.send(discoveryRequest(vq0.mac())), HarnessError);
        br0.send(probe);
        EXPECT_FALSE(vq0.receiveMatching(sameBytes(probe), kSettle));
    }
    const auto request = discoveryRequest(vq0.mac());
    vq0.send(request);
    EXPECT_TRUE(br0.receiveMatching(sameBytes(request), 1s));
    br0.send(probe);
    EXPECT_TRUE(vq0.receiveMatching(sameBytes(probe), 1s));
}

TEST_F(Lab, SetAdapterUpRejectsAnAdapterTheLabDoesNotHave) {
    EXPECT_THROW(setAdapterUp(lab(), 3, true), HarnessError);
}

// -- The script on a lab of its own ------------------------------------------------------

std::vector<std::string> netnsList() {
    std::vector<std::string> names;
    const std::string out = runChecked({"ip", "netns", "list"});
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        if (!line.empty()) names.push_back(line.substr(0, line.find(' ')));
        start = end + 1;
    }
    return names;
}

bool listed(const std::string& ns) {
    const auto names = netnsList();
    return std::find(names.begin(), names.end(), ns) != names.end();
}

// A second lab, named after the fixture's, taken down however the test ends.
class Script : public LabTest {
protected:
    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped()) return;
        script_ = labScriptFromEnvironment();
        ASSERT_FALSE(script_.empty()) << "VELQORIN_LAB_SCRIPT is not set";
        name_ = lab().name + "x";
        ASSERT_FALSE(listed(name_ + "-ws")) << "a lab " << name_ << " is in the way";
    }
    void TearDown() override {
        if (!name_.empty()) runCommand({script_, "down", name_});
        for (const auto& ns : {name_ + "-ws", name_ + "-lan"})
            if (!name_.empty() && listed(ns)) runCommand({"ip", "netns", "del", ns});
    }

    CommandResult run(std::vector<std::string> args, std::vector<std::string> env = {}) {
        std::vector<std::string> argv{"env"};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.push_back(script_);
        argv.insert(argv.end(), args.begin(), args.end());
        return runCommand(argv);
    }

    std::string state() const { return std::string(kLabStateDir) + "/" + name_ + ".state"; }
    static int exitCode(const CommandResult& r) {
        return WIFEXITED(r.waitStatus) ? WEXITSTATUS(r.waitStatus) : -1;
    }

    std::string script_;
    std::string name_;
};

TEST_F(Script, UpStatusDownLeaveNothingBehind) {
    auto up = run({"up", name_, "--adapters", "2", "--mac-base", "7e"});
    ASSERT_TRUE(up.succeeded()) << up.output;
    EXPECT_TRUE(listed(name_ + "-ws"));
    EXPECT_TRUE(listed(name_ + "-lan"));
    const LabInfo made = readLab(name_);
    EXPECT_EQ(macText(made.adapters.at(1).mac), "02:00:00:aa:7e:01");

    auto status = run({"status", name_});
    EXPECT_TRUE(status.succeeded()) << status.output;
    for (const char* text : {"vq0", "vq1", "02:00:00:aa:7e:01", "192.0.2.11/24", "br0",
                             "02:00:00:bb:7e:00", "lan1 (forwarding)"})
        EXPECT_NE(status.output.find(text), std::string::npos) << text << " in\n" << status.output;

    auto again = run({"up", name_});
    EXPECT_EQ(exitCode(again), 1);
    EXPECT_NE(again.output.find("already up"), std::string::npos) << again.output;
    auto replaced = run({"up", name_, "--replace", "--adapters", "3"});
    ASSERT_TRUE(replaced.succeeded()) << replaced.output;
    EXPECT_EQ(readLab(name_).adapters.size(), 3u);

    auto down = run({"down", name_});
    ASSERT_TRUE(down.succeeded()) << down.output;
    EXPECT_FALSE(listed(name_ + "-ws"));
    EXPECT_FALSE(listed(name_ + "-lan"));
    EXPECT_FALSE(std::ifstream(state()));
    EXPECT_TRUE(run({"down", name_}).succeeded()) << "down of a lab that is not up";
    EXPECT_EQ(exitCode(run({"status", name_})), 1);
}

class ScriptFailingAt : public Script, public ::testing::WithParamInterface<const char*> {};

TEST_P(ScriptFailingAt, UpRemovesWhatItHadMade) {
    auto up = run({"up", name_, "--adapters", "2", "--segments", "2"},
                  {std::string("VELQORIN_LAB_FAIL_AT=") + GetParam()});
    EXPECT_EQ(exitCode(up), 1) << up.output;
    EXPECT_NE(up.output.find(GetParam()), std::string::npos) << up.output;
    EXPECT_FALSE(listed(name_ + "-ws"));
    EXPECT_FALSE(listed(name_ + "-lan"));
    EXPECT_FALSE(std::ifstream(state()));
}

INSTANTIATE_TEST_SUITE_P(Steps, ScriptFailingAt,
                         ::testing::Values("namespaces", "bridges", "adapter0", "adapter1"));

TEST_F(Script, LeavesNamespacesItDidNotMakeAlone) {
    runChecked({"ip", "netns", "add", name_ + "-lan"});
    auto up = run({"up", name_});
    EXPECT_EQ(exitCode(up), 1);
    EXPECT_NE(up.output.find("not a lab made by"), std::string::npos) << up.output;
    EXPECT_FALSE(listed(name_ + "-ws")) << "up made half a lab";
    auto down = run({"down", name_});
    EXPECT_EQ(exitCode(down), 1);
    EXPECT_TRUE(listed(name_ + "-lan")) << "down removed a namespace it had not made";
}

TEST_F(Script, DownEndsProcessesLeftInTheLab) {
    ASSERT_TRUE(run({"up", name_}).succeeded());
    Child leftover = Child::spawn({"ip", "netns", "exec", name_ + "-lan", "sleep", "60"}, {});
    // Wait until it runs inside, else down could come before it has entered.
    for (int i = 0; i < 100 && runChecked({"ip", "netns", "pids", name_ + "-lan"}).empty(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(run({"down", name_}).succeeded());
    auto status = leftover.waitFor(5s);
    ASSERT_TRUE(status) << "the process outlived its lab";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << describeStatus(*status);
}

struct Refusal {
    std::vector<std::string> args;
    int exitCode;
    const char* says;
};

class ScriptRefuses : public Script, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ScriptRefuses, WithAClearMessage) {
    std::vector<std::string> args;
    for (const auto& a : GetParam().args) args.push_back(a == "NAME" ? name_ : a);
    auto r = run(args);
    EXPECT_EQ(exitCode(r), GetParam().exitCode) << r.output;
    EXPECT_NE(r.output.find(GetParam().says), std::string::npos) << r.output;
    EXPECT_FALSE(listed(name_ + "-ws"));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ScriptRefuses,
    ::testing::Values(Refusal{{"up"}, 2, "usage"}, Refusal{{"frobnicate", "NAME"}, 2, "usage"},
                      Refusal{{"up", "bad/name"}, 1, "bad lab name"},
                      Refusal{{"up", "NAME", "--segments", "4"}, 1, "--segments"},
                      Refusal{{"up", "NAME", "--adapters", "0"}, 1, "--adapters"},
                      Refusal{{"up", "NAME", "--adapters", "17"}, 1, "--adapters"},
                      Refusal{{"up", "NAME", "--mac-base", "1g"}, 1, "--mac-base"},
                      Refusal{{"exec", "NAME", "ws", "true"}, 1, "not up"},
                      Refusal{{"exec", "NAME", "router", "true"}, 2, "usage"}));

TEST_F(Script, RefusesToRunWithoutRoot) {
    // The script's text, not its path: the checkout may not be readable by nobody.
    std::ifstream in(script_);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    ASSERT_FALSE(text.empty());
    auto r = runCommand({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "bash",
                         "-c", text, "lab", "up", name_});
    EXPECT_EQ(exitCode(r), 77) << r.output;
    EXPECT_NE(r.output.find("needs root"), std::string::npos) << r.output;
    EXPECT_FALSE(listed(name_ + "-ws"));
}

}  // namespace
}  // namespace velqorin::e2e
