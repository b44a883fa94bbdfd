// The real library's sweep, run inside the workstation namespace, against the box
// simulator on the LAN side. Runs in the fixture lab "sweep": vq0 and vq2 on segment 0
// (br0), vq1 on segment 1 (br1). Each sweep costs about three seconds per adapter, so every
// test names the adapters it needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "FleetSupport.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "link/Link.h"
#include "linux/HelperLink.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::e2e {
namespace {

std::string blockIp(const sockaddr_storage& block) {
    return ipText(reinterpret_cast<const std::uint8_t*>(&block) + 4);
}

class Sweep : public LabTest {
protected:
    SimProcess simulate(const std::vector<json>& boxes, const std::string& bridge = "br0") {
        return SimProcess(simOn(lab().name, bridge, boxes));
    }

    // One adapter after the other, or all at once sending `requests` on each; `adapters`
    // empty sweeps every one.
    void sweep(const std::vector<std::string>& adapters, bool concurrently = false,
               int requests = 1) {
        std::vector<const char*> names;
        for (const auto& name : adapters) names.push_back(name.c_str());
        const char* const* only = names.empty() ? nullptr : names.data();
        const int count = static_cast<int>(names.size());
        NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
        ASSERT_TRUE(concurrently ? analyser.AnalyseConcurrently(only, count, nullptr, requests)
                                 : analyser.AnalyseAdapters(only, count, nullptr));
    }

    // "serial@adapter" for each entry, in list order.
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (const auto* b = analyser.firstBox; b != nullptr; b = b->next)
            out.push_back(std::string(fieldText(b->storedRecord.serialNumber)) + "@" +
                          b->adapterName);
        return out;
    }

    // Each entry with what a box reports that does not change from one sweep to the next.
    std::vector<std::string> details() const {
        std::vector<std::string> out;
        for (const auto* b = analyser.firstBox; b != nullptr; b = b->next) {
            const TAnalyseBuffer& r = b->storedRecord;
            out.push_back(std::string(fieldText(r.serialNumber)) + "@" + b->adapterName + " " +
                          velqorin::macText(r.sourceMac) + " to " + velqorin::macText(r.destinationMac) + " " +
                          ipText(r.currentIp) + " token " +
                          (fieldText(r.analyserToken) == analyser.analyserToken
                               ? "ours"
                               : std::string(fieldText(r.analyserToken))));
        }
        return out;
    }

    const CVelqorinBoxOnNetwork* entry(const std::string& serial) const {
        for (const auto* b = analyser.firstBox; b != nullptr; b = b->next)
            if (fieldText(b->storedRecord.serialNumber) == serial) return b;
        return nullptr;
    }

    const LabAdapter& adapter(const std::string& name) const {
        for (const auto& a : lab().adapters)
            if (a.name == name) return a;
        throw HarnessError("the lab has no adapter " + name);
    }

    CVelqorinNetworkAnalyse analyser;
};

TEST_F(Sweep, TwoAdaptersOnOneSegmentListTheBoxOnceEachInAdapterOrder) {
    SimProcess sim = simulate({simBox("2555", "02:00:00:01:00:01", "192.0.2.50")});
    sweep({"vq2", "vq0"});  // the adapters' own order counts, not the order asked in
    ASSERT_EQ(entries(), (std::vector<std::string>{"2555@vq0", "2555@vq2"}));
    EXPECT_EQ(analyser.CountBox(), 2);
    EXPECT_EQ(analyser.lastBox->prev, analyser.firstBox);

    // Every adapter is recorded, swept or not.
    EXPECT_EQ(analyser.CountNetworkInterfaces(), 3);
    const CVelqorinBoxOnNetwork* box = analyser.firstBox;
    for (const char* name : {"vq0", "vq2"}) {
        SCOPED_TRACE(name);
        const LabAdapter& a = adapter(name);
        unsigned char mac[8];
        box->getMac(mac);
        EXPECT_EQ(0, std::memcmp(mac, a.mac.data(), 6));
        EXPECT_EQ(mac[6] | mac[7], 0);
        const CVelqorinNetworkInterface* rec = analyser.getNetworkInterface(mac);
        ASSERT_NE(rec, nullptr);
        EXPECT_STREQ(rec->name, name);
        ASSERT_EQ(rec->getCountIpAddresses(), 1);
        sockaddr_storage address{}, mask{};
        ASSERT_TRUE(rec->getIpAddress(0, &address, &mask));
        EXPECT_EQ(blockIp(address), addressPart(a.address));
        EXPECT_EQ(blockIp(mask), "255.255.255.0");
        EXPECT_EQ(ipText(box->storedRecord.currentIp), "192.0.2.50");
        box = box->next;
    }
}

TEST_F(Sweep, TheRequestCarriesTheAdaptersMacAndTheAnalysersToken) {
    SimProcess sim = simulate({simBox("2556", "02:00:00:01:00:02", "192.0.2.51")});
    sweep({"vq0", "vq2"});
    const auto requests = requestsHeard(sim);
    ASSERT_EQ(requests.size(), 2u) << "one request per adapter, never repeated";

    TAnalyseBuffer expected;
    buildDiscoveryRequest(expected, analyser.analyserToken);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const LabAdapter& a = lab().adapters[i == 0 ? 0 : 2];
        SCOPED_TRACE(a.name);
        std::memcpy(expected.sourceMac, a.mac.data(), kMacSize);
        const auto bytes = loggedBytes(requests[i]);
        ASSERT_EQ(bytes.size(), kFrameSize);
        EXPECT_EQ(0, std::memcmp(bytes.data(), frameBytes(expected), kFrameSize));
        EXPECT_EQ(requests[i]["src"], macText(a.mac));
        EXPECT_EQ(requests[i]["dst"], "01:0e:0f:ff:ff:ff");
    }
    EXPECT_EQ(std::strlen(analyser.analyserToken), CVelqorinNetworkAnalyse::kTokenLength);
}

TEST_F(Sweep, ALaterReplyReplacesTheEntryOnlyWithTheAnalysersToken) {
    json echoed = simBox("3001", "02:00:00:01:00:11", "192.0.2.61");
    echoed["secondReply"] = {{"delayMs", 300}, {"token", "echo"}, {"currentIp", "192.0.2.161"}};
    json foreign = simBox("3002", "02:00:00:01:00:12", "192.0.2.62");
    foreign["token"] = "empty";
    foreign["secondReply"] = {{"delayMs", 300}, {"token", "foreign"}, {"currentIp", "192.0.2.162"}};
    SimProcess sim = simulate({echoed, foreign, simBox("3003", "02:00:00:01:00:13", "192.0.2.63")});
    sweep({"vq0"});

    // The echoed repeat moved 3001 behind 3003; the foreign one changed nothing.
    EXPECT_EQ(entries(), (std::vector<std::string>{"3002@vq0", "3003@vq0", "3001@vq0"}));
    ASSERT_EQ(analyser.CountBox(), 3);
    EXPECT_EQ(ipText(entry("3001")->storedRecord.currentIp), "192.0.2.161");
    EXPECT_EQ(fieldText(entry("3001")->storedRecord.analyserToken), analyser.analyserToken);
    EXPECT_EQ(ipText(entry("3002")->storedRecord.currentIp), "192.0.2.62");
    const auto& kept = entry("3002")->storedRecord.analyserToken;
    EXPECT_TRUE(std::all_of(std::begin(kept), std::end(kept), [](char c) { return c == 0; }));

    // Both second replies did cross the wire.
    EXPECT_EQ(sentBy(sim, "3001").size(), 2u);
    EXPECT_EQ(sentBy(sim, "3002").size(), 2u);
}

TEST_F(Sweep, MalformedRepliesAreNeverAccepted) {
    std::vector<json> boxes{simBox("4000", "02:00:00:01:00:20", "192.0.2.70")};
    const std::vector<json> faults = {
        {{"length", 315}},
        {{"length", 317}},
        {{"reservedByte", {{"index", 4}, {"value", 1}}}},
        {{"protocolVersion", 2}},
        {{"kind", 2}},
        {{"kind", 0}},
    };
    for (std::size_t i = 0; i < faults.size(); ++i) {
        json b = simBox("41" + std::to_string(i), "02:00:00:01:00:2" + std::to_string(i + 1),
                        "192.0.2.8" + std::to_string(i));
        b["reply"] = faults[i];
        boxes.push_back(b);
    }
    SimProcess sim = simulate(boxes);
    sweep({"vq0"});
    EXPECT_EQ(entries(), (std::vector<std::string>{"4000@vq0"}));

    // Not a silent simulator: every spoilt reply went out as configured.
    const std::size_t lengths[] = {315, 317, 316, 316, 316, 316};
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const auto sent = sentBy(sim, "41" + std::to_string(i));
        ASSERT_EQ(sent.size(), 1u) << faults[i].dump();
        EXPECT_EQ(sent[0]["length"], lengths[i]) << faults[i].dump();
        EXPECT_EQ(sent[0]["dst"], macText(lab().adapters[0].mac)) << faults[i].dump();
    }
}

TEST_F(Sweep, AReplyAfterTheWindowIsNotListed) {
    json late = simBox("5001", "02:00:00:01:00:31", "192.0.2.91");
    late["replyDelayMs"] = 5000;
    SimProcess sim = simulate({simBox("5000", "02:00:00:01:00:30", "192.0.2.90"), late});
    sweep({"vq0", "vq2"});
    EXPECT_EQ(entries(), (std::vector<std::string>{"5000@vq0", "5000@vq2"}));

    // The late reply to vq0 leaves during or after vq2's window, on the same segment.
    EXPECT_TRUE(sim.waitForLog(
        [&](const json& l) {
            return l.value("dir", "") == "tx" && l["box"] == "5001" &&
                   l["dst"] == macText(lab().adapters[0].mac);
        },
        5s))
        << "the simulator never sent the late reply";
}

TEST_F(Sweep, ABoxIsListedOnlyForTheAdaptersOfItsSegment) {
    SimProcess segment0 = simulate({simBox("6000", "02:00:00:01:00:40", "192.0.2.100")}, "br0");
    SimProcess segment1 =
        simulate({simBox("6001", "02:00:00:01:00:41", "198.51.100.101")}, "br1");
    sweep({"vq0", "vq1"});
    EXPECT_EQ(entries(), (std::vector<std::string>{"6000@vq0", "6001@vq1"}));
    ASSERT_EQ(requestsHeard(segment0).size(), 1u);
    EXPECT_EQ(requestsHeard(segment0)[0]["src"], macText(lab().adapters[0].mac));
    ASSERT_EQ(requestsHeard(segment1).size(), 1u);
    EXPECT_EQ(requestsHeard(segment1)[0]["src"], macText(lab().adapters[1].mac));
}

TEST_F(Sweep, BothSweepsListTheSameEntriesInTheSameOrder) {
    // Boxes on both segments, so every adapter has replies, and repeats that test the
    // token rule inside a window that other adapters share.
    json echoed = simBox("7001", "02:00:00:01:00:51", "192.0.2.111");
    echoed["secondReply"] = {{"delayMs", 400}, {"token", "echo"}, {"currentIp", "192.0.2.211"}};
    json foreign = simBox("7002", "02:00:00:01:00:52", "192.0.2.112");
    foreign["secondReply"] = {{"delayMs", 200}, {"token", "foreign"}, {"currentIp", "192.0.2.212"}};
    json slow = simBox("7003", "02:00:00:01:00:53", "192.0.2.113");
    slow["replyDelayMs"] = 1500;
    SimProcess segment0 = simulate({echoed, foreign, slow,
                                    simBox("7004", "02:00:00:01:00:54", "192.0.2.114")}, "br0");
    json late = simBox("7102", "02:00:00:01:00:62", "198.51.100.112");
    late["replyDelayMs"] = 800;
    SimProcess segment1 = simulate(
        {simBox("7101", "02:00:00:01:00:61", "198.51.100.111"), late}, "br1");

    sweep({}, false);
    const auto oneByOne = details();
    sweep({}, true);
    const auto together = details();

    EXPECT_EQ(together, oneByOne);
    // vq0 and vq2 share br0, vq1 has br1: the adapters' order, arrival order within each.
    EXPECT_EQ(entries(), (std::vector<std::string>{"7002@vq0", "7004@vq0", "7001@vq0", "7003@vq0",
                                                   "7101@vq1", "7102@vq1", "7002@vq2", "7004@vq2",
                                                   "7001@vq2", "7003@vq2"}));
    ASSERT_NE(entry("7001"), nullptr);
    EXPECT_EQ(ipText(entry("7001")->storedRecord.currentIp), "192.0.2.211");
    EXPECT_EQ(ipText(entry("7002")->storedRecord.currentIp), "192.0.2.112");
    // each sweep asked each adapter once
    EXPECT_EQ(requestsHeard(segment0).size(), 4u);
    EXPECT_EQ(requestsHeard(segment1).size(), 2u);
}

TEST_F(Sweep, ThreeRequestsListWhatOneByOneListsAndTheNewestChallengeIsKept) {
    // Boxes that draw a new challenge for every reply: only the one sent last authorises a
    // command, so the sweep must keep the newest.
    auto fleet = [](const std::string& prefix, const std::string& macBase, const std::string& net) {
        std::vector<json> boxes;
        for (int i = 1; i <= 5; ++i) {
            json b = simBox(prefix + std::to_string(i), macBase + std::to_string(i), net + std::to_string(20 + i));
            b["renewsChallenge"] = true;
            if (i == 3) b["replyDelayMs"] = 700;
            boxes.push_back(b);
        }
        return boxes;
    };
    SimProcess segment0 = simulate(fleet("810", "02:00:00:01:00:7", "192.0.2."), "br0");
    SimProcess segment1 = simulate(fleet("820", "02:00:00:01:00:8", "198.51.100."), "br1");

    sweep({}, false);
    const auto oneByOne = details();
    const std::size_t heardBefore = requestsHeard(segment1).size();
    sweep({}, true, 3);
    EXPECT_EQ(details(), oneByOne);
    EXPECT_EQ(oneByOne.size(), 15u);
    EXPECT_EQ(requestsHeard(segment1).size() - heardBefore, 3u);

    // vq1 is alone on its segment: each entry there holds the challenge its box sent last.
    for (const auto* b = analyser.firstBox; b != nullptr; b = b->next) {
        if (std::string(b->adapterName) != "vq1") continue;
        const auto sent = sentBy(segment1, std::string(fieldText(b->storedRecord.serialNumber)));
        ASSERT_FALSE(sent.empty());
        const auto last = loggedBytes(sent.back());
        ASSERT_EQ(last.size(), kFrameSize);
        EXPECT_EQ(0, std::memcmp(last.data() + offsetof(TAnalyseBuffer, challenge),
                                 b->storedRecord.challenge, sizeof b->storedRecord.challenge));
    }
    // ... so a command right after the sweep is accepted.
    const CVelqorinBoxOnNetwork* target = nullptr;
    for (const auto* b = analyser.firstBox; b != nullptr; b = b->next)
        if (std::string(b->adapterName) == "vq1") target = b;
    ASSERT_NE(target, nullptr);
    NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
    EXPECT_EQ(const_cast<CVelqorinBoxOnNetwork*>(target)->ConfigSynchro("admin", true, 0, 0, false), 0);
}

TEST_F(Sweep, UnderLossThreeRequestsListMoreBoxesThanOne) {
    std::vector<json> boxes;
    for (int i = 0; i < 40; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:02:00:%02x", i);
        boxes.push_back(simBox(std::to_string(9000 + i), mac, "192.0.2." + std::to_string(150 + i)));
    }
    SimOptions options = simOn(lab().name, "br0", boxes);
    options.extraArgs = {"--seed", "19", "--loss-percent", "20"};
    SimProcess sim(options);
    sweep({"vq0"}, true, 1);
    const int once = analyser.CountBox();
    sweep({"vq0"}, true, 3);
    const int thrice = analyser.CountBox();
    EXPECT_GT(thrice, once);
    EXPECT_GE(thrice, 36) << "listed with one request: " << once;
}


TEST_F(Sweep, ThroughTheLinkHelperListsAndCommandsAsDirectAndSendsOnlyTheProtocolsFrames) {
    json echoed = simBox("7301", "02:00:00:01:00:71", "192.0.2.131");
    echoed["renewsChallenge"] = true;
    SimProcess segment0 = simulate({echoed, simBox("7302", "02:00:00:01:00:72", "192.0.2.132")}, "br0");
    SimProcess segment1 = simulate({simBox("7303", "02:00:00:01:00:73", "198.51.100.133")}, "br1");
    sweep({}, true, 3);
    const auto direct = details();
    ASSERT_EQ(direct.size(), 5u);

    HelperLink helper(VELQORIN_LINK_HELPER_BUILT);
    const ScopedLink viaHelper(helper);
    sweep({}, true, 3);
    EXPECT_EQ(details(), direct);
    sweep({"vq1"}, false);
    EXPECT_EQ(entries(), std::vector<std::string>{"7303@vq1"});
    sweep({"vq0"}, true, 3);
    const CVelqorinBoxOnNetwork* box = entry("7301");
    ASSERT_NE(box, nullptr);
    NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
    EXPECT_EQ(const_cast<CVelqorinBoxOnNetwork*>(box)->ConfigSynchro("admin", true, 0, 0, false), 0);

    // What the helper refuses goes nowhere, and says why.
    AdapterSlot slot;
    ASSERT_TRUE(LinkOpen(slot, "vq0")) << linkError();
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, analyser.analyserToken);
    ASSERT_TRUE(LinkQueryMac(slot, request.sourceMac));
    const std::size_t heard = requestsHeard(segment0).size();
    TAnalyseBuffer forged = request;
    forged.sourceMac[5] ^= 1;
    EXPECT_FALSE(LinkSend(slot, forged));
    EXPECT_NE(linkError().find("source is not the adapter's own MAC"), std::string::npos) << linkError();
    ASSERT_TRUE(LinkOpen(slot, "vq0"));
    TAnalyseBuffer directed = request;
    std::memcpy(directed.destinationMac, box->storedRecord.sourceMac, kMacSize);
    EXPECT_FALSE(LinkSend(slot, directed));
    EXPECT_NE(linkError().find("01:0e:0f:ff:ff:ff only"), std::string::npos) << linkError();
    ASSERT_TRUE(LinkOpen(slot, "vq0"));
    EXPECT_TRUE(LinkSend(slot, request)) << linkError();
    LinkClose(slot);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(requestsHeard(segment0).size(), heard + 1) << "only the well-formed request went out";
}

}  // namespace
}  // namespace velqorin::e2e
