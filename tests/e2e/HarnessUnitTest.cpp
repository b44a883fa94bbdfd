// The harness's parsers and process runner, which need no lab.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "harness/Error.h"
#include "harness/Lab.h"
#include "harness/Process.h"
#include "harness/RawPort.h"
#include "harness/SimProcess.h"

namespace velqorin::e2e {
namespace {

struct JsonLinesCase {
    const char* what;
    const char* text;
    std::size_t lines;
};

class JsonLines : public ::testing::TestWithParam<JsonLinesCase> {};

TEST_P(JsonLines, KeepsCompleteLinesOnly) {
    EXPECT_EQ(parseJsonLines(GetParam().text).size(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonLines,
    ::testing::Values(JsonLinesCase{"empty", "", 0}, JsonLinesCase{"one", "{\"dir\":\"rx\"}\n", 1},
                      JsonLinesCase{"partial last", "{\"a\":1}\n{\"b\":", 1},
                      JsonLinesCase{"complete-looking last without newline", "{}\n{}", 1},
                      JsonLinesCase{"blank lines", "\n  \n{}\r\n\n", 1}),
    [](const auto& p) {
        std::string name = p.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(JsonLines, NamesTheLineThatIsNotJson) {
    try {
        parseJsonLines("{}\nnot json\n{}\n");
        FAIL() << "no error";
    } catch (const HarnessError& e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("not json"), std::string::npos) << e.what();
    }
}

TEST(JsonLines, GivesTheFieldsTestsAssertOn) {
    const auto lines = parseJsonLines(
        R"({"t":0.12,"dir":"rx","box":"2555","kind":0,"length":316,"verdict":"ok","hex":"01"})"
        "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["box"], "2555");
    EXPECT_EQ(lines[0]["kind"], 0);
    EXPECT_EQ(lines[0]["length"], 316);
}

constexpr const char* kState = R"(name=demo
adapters=2
segments=2
mac_base=0a
netns=demo-ws
netns=demo-lan
bridge=br0 02:00:00:bb:0a:00 192.0.2.254/24
bridge=br1 02:00:00:bb:0a:01 198.51.100.254/24
adapter=vq0 02:00:00:aa:0a:00 192.0.2.10/24 br0 lan0
adapter=vq1 02:00:00:aa:0a:01 198.51.100.11/24 br1 lan1
future=whatever
)";

TEST(LabState, ReadsWhatUpRecorded) {
    const LabInfo lab = parseLabState(kState);
    EXPECT_EQ(lab.name, "demo");
    EXPECT_EQ(lab.workstation(), "demo-ws");
    EXPECT_EQ(lab.lan(), "demo-lan");
    EXPECT_EQ(lab.adapterCount, 2u);
    EXPECT_EQ(lab.segmentCount, 2u);
    EXPECT_EQ(lab.macBase, "0a");
    EXPECT_EQ(lab.namespaces, (std::vector<std::string>{"demo-ws", "demo-lan"}));
    ASSERT_EQ(lab.bridges.size(), 2u);
    EXPECT_EQ(lab.bridges[1].name, "br1");
    EXPECT_EQ(macText(lab.bridges[1].mac), "02:00:00:bb:0a:01");
    ASSERT_EQ(lab.adapters.size(), 2u);
    EXPECT_EQ(lab.adapters[1].name, "vq1");
    EXPECT_EQ(lab.adapters[1].mac, (Mac{0x02, 0, 0, 0xaa, 0x0a, 0x01}));
    EXPECT_EQ(lab.adapters[1].address, "198.51.100.11/24");
    EXPECT_EQ(lab.adapters[1].bridge, "br1");
    EXPECT_EQ(lab.adapters[1].port, "lan1");
}

class BadLabState : public ::testing::TestWithParam<const char*> {};

TEST(LabState, ReadsThePointToPointLinks) {
    const LabInfo lab = parseLabState(std::string(kState) +
                                      "ppp=2\nnetns=demo-far\nrelay=4242\n"
                                      "link=ppp0 203.0.113.129 203.0.113.130 far0\n"
                                      "link=ppp1 203.0.113.133 203.0.113.134 far1\n");
    EXPECT_EQ(lab.far(), "demo-far");
    EXPECT_EQ(lab.linkCount, 2u);
    ASSERT_EQ(lab.links.size(), 2u);
    EXPECT_EQ(lab.links[1].name, "ppp1");
    EXPECT_EQ(lab.links[1].local, "203.0.113.133");
    EXPECT_EQ(lab.links[1].remote, "203.0.113.134");
    EXPECT_EQ(lab.links[1].farDevice, "far1");
    EXPECT_THROW(parseLabState("name=x\nlink=ppp0 203.0.113.129\n"), HarnessError);
}

TEST_P(BadLabState, IsRefused) { EXPECT_THROW(parseLabState(GetParam()), HarnessError); }

INSTANTIATE_TEST_SUITE_P(Texts, BadLabState,
                         ::testing::Values("adapters=2\n", "name=x\nadapters=two\n",
                                           "name=x\nadapter=vq0 02:00:00:aa:00:00 192.0.2.10/24\n",
                                           "name=x\nbridge=br0 02:00:00:bb:00 192.0.2.254/24\n",
                                           "name=x\nno equals sign\n"));

TEST(LabState, ALabThatIsNotUpSaysHowToStartIt) {
    try {
        readLab("no-such-lab", "/nonexistent");
        FAIL() << "no error";
    } catch (const HarnessError& e) {
        EXPECT_NE(std::string(e.what()).find("lab/lab up no-such-lab"), std::string::npos);
    }
}

TEST(MacText, RoundTripsAndRefusesOtherText) {
    EXPECT_EQ(macText(parseMac("02:00:00:AA:0f:ff")), "02:00:00:aa:0f:ff");
    for (const char* bad : {"", "02:00:00:aa:00", "02:00:00:aa:00:01:02", "02-00-00-aa-00-01",
                            "02:00:00:aa:00:0g", "02:00:00:aa:00:01x"})
        EXPECT_THROW(parseMac(bad), HarnessError) << bad;
}

TEST(RunCommand, CollectsOutputAndStatus) {
    const CommandResult r = runCommand({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_FALSE(r.succeeded());
    ASSERT_TRUE(WIFEXITED(r.waitStatus));
    EXPECT_EQ(WEXITSTATUS(r.waitStatus), 3);
    EXPECT_NE(r.output.find("out\n"), std::string::npos);
    EXPECT_NE(r.output.find("err\n"), std::string::npos);
    EXPECT_EQ(describeStatus(r.waitStatus), "exited with status 3");
}

TEST(RunCommand, KillsACommandThatOverstays) {
    const auto start = std::chrono::steady_clock::now();
    const CommandResult r = runCommand({"sleep", "10"}, 200ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_TRUE(WIFSIGNALED(r.waitStatus)) << describeStatus(r.waitStatus);
    EXPECT_NE(r.output.find("did not finish"), std::string::npos);
}

TEST(RunCommand, CheckedRunNamesTheCommandAndItsOutput) {
    try {
        runChecked({"sh", "-c", "echo broken >&2; exit 1"});
        FAIL() << "no error";
    } catch (const HarnessError& e) {
        EXPECT_NE(std::string(e.what()).find("`sh -c"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("broken"), std::string::npos) << e.what();
    }
    EXPECT_THROW(runCommand({"velqorin-no-such-program"}), HarnessError);
}

}  // namespace
}  // namespace velqorin::e2e
