// Boxes behind dial-up links, in the lab "dialup": one LAN adapter vq0 with the box
// simulator on br0, and two point-to-point links ppp0 and ppp1 (TUN devices joined by the
// lab's relay) whose far ends, 203.0.113.130 and .134 in LAB-far, are played by
// velqorin-xml-box.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/Error.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/Process.h"
#include "harness/SimProcess.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::e2e {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr const char* kDialUp = "PPP/WAN Velqorin serial/gsm";

std::string fleetOf(const std::string& serial, const std::string& mac, const std::string& software) {
    return json{{"boxes",
                 {{{"serial", serial},
                   {"mac", mac},
                   {"currentIp", "192.0.2.99"},
                   {"currentMask", "255.255.255.0"},
                   {"softwareVersion", software}}}}}
        .dump();
}

const std::string kLanFleet = fleetOf("100", "00:50:c2:10:01:00", "1.001 build 5");
const std::string kBoxA = fleetOf("4711", "02:00:00:12:34:56", "2.005 build 17");
const std::string kBoxB = fleetOf("4712", "02:00:00:00:47:12", "3.020 build 1000");

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// velqorin-xml-box at the far end of a link, in LAB-far.
class XmlBoxProcess {
public:
    XmlBoxProcess(const LabInfo& lab, const std::string& address, const std::string& fleet,
                  const std::string& behaviour = "whole") {
        char pattern[] = "/tmp/vqdl-xml-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw HarnessError("mkdtemp failed");
        dir_ = pattern;
        std::ofstream(dir_ / "fleet.json") << fleet;
        const Fd err(::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        child_ = Child::spawn({"ip", "netns", "exec", lab.far(), VELQORIN_XML_BOX, "--listen", address,
                               "--fleet", (dir_ / "fleet.json").string(), "--behaviour", behaviour,
                               "--log", (dir_ / "log").string(), "--ready-file",
                               (dir_ / "ready").string()},
                              {-1, err.get(), err.get()});
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (!fs::exists(dir_ / "ready")) {
            if (child_.poll() || std::chrono::steady_clock::now() > until)
                throw HarnessError("velqorin-xml-box did not start on " + address + ": " +
                                   readAll(dir_ / "stderr"));
            std::this_thread::sleep_for(20ms);
        }
    }
    ~XmlBoxProcess() {
        child_.terminate();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    XmlBoxProcess(const XmlBoxProcess&) = delete;
    XmlBoxProcess& operator=(const XmlBoxProcess&) = delete;

    std::vector<json> events(const std::string& kind) const {
        std::vector<json> out;
        for (const json& line : parseJsonLines(readAll(dir_ / "log")))
            if (line.value("event", "") == kind) out.push_back(line);
        return out;
    }

private:
    fs::path dir_;
    Child child_;
};

class DialUpLab : public LabTest {
protected:
    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(lab().links.size(), 2u) << "the lab has no point-to-point links";
    }
    const std::string& far(unsigned i) const { return lab().links.at(i).remote; }

    SimProcess lanBoxes() {
        if (boxSimFromEnvironment().empty()) throw HarnessError("velqorin-box-sim is not built");
        SimOptions o;
        o.lab = lab().name;
        o.fleetJson = kLanFleet;
        return SimProcess(std::move(o));
    }

    // serial@adapter, in list order, of the analyser's boxes
    static std::vector<std::string> entries(const CVelqorinNetworkAnalyse& a) {
        std::vector<std::string> out;
        for (auto* b = a.firstBox; b; b = b->next)
            out.push_back(std::string(fieldText(b->storedRecord.serialNumber)) + "@" + b->adapterName);
        return out;
    }
};

TEST_F(DialUpLab, BoxesBehindTheLinksComeAfterTheLanBoxes) {
    SimProcess sim = lanBoxes();
    XmlBoxProcess a(lab(), far(0), kBoxA);
    XmlBoxProcess b(lab(), far(1), kBoxB, "split");

    CVelqorinNetworkAnalyse analyser;
    bool found = false;
    {
        NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
        found = analyser.Analyse(true);
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(entries(analyser), (std::vector<std::string>{"100@vq0", std::string("4711@") + kDialUp,
                                                            std::string("4712@") + kDialUp}));
    ASSERT_EQ(analyser.CountBox(), 3);

    const TAnalyseBuffer& r = analyser.firstBox->next->storedRecord;
    EXPECT_EQ(velqorin::macText(r.sourceMac), "02:00:00:1a:34:56");
    EXPECT_EQ(linkKind(r), LinkKind::Serial);
    EXPECT_EQ(ipText(r.currentIp), far(0));
    EXPECT_EQ(ipText(r.manualIp), far(0));
    EXPECT_EQ(ipText(r.currentMask), "255.255.255.252");
    EXPECT_EQ(ipText(r.manualMask), "255.255.255.252");
    EXPECT_EQ(versionText(r), "2.005 build 17");
    EXPECT_EQ(ipText(analyser.lastBox->storedRecord.currentIp), far(1));
    EXPECT_EQ(versionText(analyser.lastBox->storedRecord), "3.020 build 1000");

    // Each far end got the query once, byte for byte as a box expects it.
    for (const XmlBoxProcess* box : {&a, &b}) {
        const auto queries = box->events("query");
        ASSERT_EQ(queries.size(), 1u);
        EXPECT_TRUE(queries[0].value("ok", false)) << queries[0].dump();
    }
}

TEST_F(DialUpLab, TheSameBoxBehindTwoLinksIsListedOnce) {
    XmlBoxProcess a(lab(), far(0), kBoxA);
    XmlBoxProcess b(lab(), far(1), kBoxA);
    CVelqorinNetworkAnalyse analyser;
    {
        NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
        ASSERT_TRUE(analyser.Analyse_Ras());
    }
    EXPECT_EQ(entries(analyser), std::vector<std::string>{std::string("4711@") + kDialUp});
    EXPECT_EQ(ipText(analyser.firstBox->storedRecord.currentIp), far(0));
    EXPECT_EQ(b.events("query").size(), 1u) << "the second link is asked all the same";
}

class MisbehavingFarEnd : public DialUpLab, public ::testing::WithParamInterface<const char*> {};

// A far end that never answers, or answers nonsense, costs bounded time and hides no other
// box; the sweep never hangs on it.
TEST_P(MisbehavingFarEnd, CostsSecondsAtMostAndHidesNoOtherBox) {
    XmlBoxProcess bad(lab(), far(0), kBoxA, GetParam());
    XmlBoxProcess good(lab(), far(1), kBoxB);
    CVelqorinNetworkAnalyse analyser;
    const auto start = std::chrono::steady_clock::now();
    {
        NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
        ASSERT_TRUE(analyser.Analyse_Ras());
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(entries(analyser), std::vector<std::string>{std::string("4712@") + kDialUp});
    EXPECT_LT(took, 15s) << "a link held the dial-up pass far beyond its connect and answer times";
    EXPECT_EQ(bad.events("accept").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Behaviours, MisbehavingFarEnd,
                         ::testing::Values("silent", "garbage", "oversize", "close"));

TEST_F(DialUpLab, VelqorinScanWithDialUpListsThemAsSerialBoxes) {
    SimProcess sim = lanBoxes();
    XmlBoxProcess a(lab(), far(0), kBoxA, "split");
    XmlBoxProcess b(lab(), far(1), kBoxB);
    const CommandResult plain = runCommand(
        {"ip", "netns", "exec", lab().workstation(), VELQORIN_CLI, "scan", "--json"}, 60s);
    const CommandResult dialUp = runCommand(
        {"ip", "netns", "exec", lab().workstation(), VELQORIN_CLI, "scan", "--dial-up", "--json"}, 60s);
    ASSERT_TRUE(plain.succeeded()) << plain.output;
    ASSERT_TRUE(dialUp.succeeded()) << dialUp.output;

    EXPECT_EQ(json::parse(plain.output).size(), 1u) << "without --dial-up the links are not asked";
    const json rows = json::parse(dialUp.output);
    ASSERT_EQ(rows.size(), 3u) << dialUp.output;
    EXPECT_EQ(rows[0]["serial"], "100");
    EXPECT_EQ(rows[0]["link"], "network");
    const char* serials[] = {"4711", "4712"};
    const char* versions[] = {"2.005 build 17", "3.020 build 1000"};
    for (unsigned i = 0; i < 2; ++i) {
        const json& row = rows[1 + i];
        SCOPED_TRACE(row.dump());
        EXPECT_EQ(row["serial"], serials[i]);
        EXPECT_EQ(row["link"], "serial");
        EXPECT_EQ(row["ip"], far(i));
        EXPECT_EQ(row["mask"], "255.255.255.252");
        EXPECT_EQ(row["addressMode"], "fixed");
        EXPECT_EQ(row["version"], versions[i]);
        EXPECT_EQ(row["adapter"], kDialUp);
    }
}

TEST_F(DialUpLab, VelqorinDiagPrintsTheThreeReportsFromTheLab) {
    const CommandResult diag =
        runCommand({"ip", "netns", "exec", lab().workstation(), VELQORIN_CLI, "diag"}, 30s);
    ASSERT_TRUE(diag.succeeded()) << diag.output;
    const std::string& out = diag.output;
    const auto at = [&](const std::string& text) { return out.find(text); };
    ASSERT_NE(at("__NetworkTest1()__\n  - Host Name: "), std::string::npos) << out;
    EXPECT_NE(at("  - DNS Servers:\n    > "), std::string::npos) << out;
    ASSERT_NE(at("__NetworkTest2()__\nAdapter Name: "), std::string::npos) << out;
    EXPECT_NE(at("Adapter Name: vq0__\nAdapter Desc: veth__\n"), std::string::npos) << out;
    EXPECT_NE(at("IP Address: 192.0.2.10__\nIP Mask: 255.255.255.0__\n"), std::string::npos) << out;
    ASSERT_NE(at("__NetworkTest3()__\n"), std::string::npos) << out;
    EXPECT_LT(at("__NetworkTest1()__"), at("__NetworkTest2()__"));
    EXPECT_LT(at("__NetworkTest2()__"), at("__NetworkTest3()__"));
    for (unsigned i = 0; i < 2; ++i) {
        const LabLink& link = lab().links[i];
        const std::string block = "Connexion n\u00b0 " + std::to_string(i + 1) + " sur 2\n\n" +
                                  "  - Nom : " + link.name + "\n" +
                                  "  - Type : ppp  - Device : tun\n" +
                                  "  - IP Locale : " + link.local + "\n" +
                                  "  - IP Distante : " + link.remote + "\n\n";
        EXPECT_NE(at(block), std::string::npos) << "missing:\n" << block << "in:\n" << out;
    }
}

}  // namespace
}  // namespace velqorin::e2e
