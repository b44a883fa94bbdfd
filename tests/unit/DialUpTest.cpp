// The dial-up pass over fake point-to-point links whose far ends are boxes on loopback
// addresses (127.0.0.2, 127.0.0.3, ...), all on one port as the boxes all use 5000.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "FakeHostNetwork.h"
#include "FakeLink.h"
#include "FakePlatform.h"
#include "dialup/InfoQuery.h"
#include "LoopbackBox.h"
#include "velqorin/NetworkAnalyse.h"

using namespace velqorin;
using namespace velqorin::test;
using namespace std::chrono_literals;
using End = BoxScript::End;

namespace {

std::string answer(const std::string& serial, const std::string& mac = "02:00:00:12:34:56",
                   const std::string& software = "2.5 build 17") {
    return "<velqorin><mac-address>" + mac + "</mac-address><serial>" + serial +
           "</serial><software>" + software + "</software></velqorin>";
}

BoxScript answering(const std::string& text) { return {{{0ms, text}}, End::Close}; }

std::array<std::uint8_t, 4> loopback(std::uint8_t last) { return {127, 0, 0, last}; }

struct DialUpFixture : ::testing::Test {
    FakeRawNetwork net;  // no LAN adapters unless a test adds them
    FakePlatform table;
    ScopedPlatform usingTable{table};
    FakeHostNetwork host;
    ScopedHostNetwork usingHost{host};
    std::vector<std::unique_ptr<LoopbackBox>> boxes;
    std::unique_ptr<InfoQueryLimits> limits;
    std::unique_ptr<ScopedInfoQueryLimits> usingLimits;
    CVelqorinNetworkAnalyse analyser;

    // A link whose far end is 127.0.0.`last`, where a box plays `script`.
    LoopbackBox& farEnd(std::uint8_t last, BoxScript script) {
        const std::string address = "127.0.0." + std::to_string(last);
        boxes.push_back(std::make_unique<LoopbackBox>(address.c_str(), std::move(script),
                                                      limits ? limits->port : 0));
        if (!limits) {
            limits = std::make_unique<InfoQueryLimits>(InfoQueryLimits{boxes.back()->port(), 1s, 600ms});
            usingLimits = std::make_unique<ScopedInfoQueryLimits>(*limits);
        }
        host.links->push_back(pppLink("ppp" + std::to_string(host.links->size()),
                                      {192, 0, 2, last}, loopback(last)));
        return *boxes.back();
    }

    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (auto* b = analyser.firstBox; b; b = b->next)
            out.push_back(std::string(fieldText(b->storedRecord.serialNumber)) + "@" + b->adapterName);
        return out;
    }
};

TEST_F(DialUpFixture, NoLinkIsNotAFailure) {
    EXPECT_TRUE(analyser.Analyse_Ras());
    EXPECT_EQ(analyser.CountBox(), 0);
    EXPECT_EQ(host.linkListings, 1);
}

TEST_F(DialUpFixture, LinksThatCannotBeListedAreAFailureAndAddNothing) {
    host.links.reset();
    EXPECT_FALSE(analyser.Analyse_Ras());
    EXPECT_EQ(analyser.CountBox(), 0);
}

TEST_F(DialUpFixture, EveryLinkIsAskedAndEachBoxListedInLinkOrder) {
    LoopbackBox& first = farEnd(2, answering(answer("1001", "02:00:00:12:34:56")));
    LoopbackBox& second = farEnd(3, answering(answer("1002", "02:00:00:00:00:02", "3.20 build 1000")));
    ASSERT_TRUE(analyser.Analyse_Ras());
    EXPECT_EQ(entries(), (std::vector<std::string>{"1001@PPP/WAN Velqorin serial/gsm",
                                                    "1002@PPP/WAN Velqorin serial/gsm"}));
    EXPECT_EQ(first.queries(), std::vector<std::string>{std::string(kInfoRequest)});
    EXPECT_EQ(second.connections(), 1);

    const TAnalyseBuffer& r = analyser.lastBox->storedRecord;
    EXPECT_EQ(macText(r.sourceMac), "02:00:00:08:00:02");
    EXPECT_EQ(ipText(r.currentIp), "127.0.0.3");
    EXPECT_EQ(ipText(r.manualIp), "127.0.0.3");
    EXPECT_EQ(ipText(r.currentMask), "255.255.255.252");
    EXPECT_EQ(versionText(r), "3.020 build 1000");
    EXPECT_EQ(linkKind(r), LinkKind::Serial);
    EXPECT_EQ(addressMode(r.addressMode), AddressMode::Fixed);
    EXPECT_EQ(analyser.firstBox->prev, nullptr);
}

TEST_F(DialUpFixture, TheSameBoxBehindTwoLinksIsListedOnce) {
    farEnd(2, answering(answer("2555")));
    LoopbackBox& second = farEnd(3, answering(answer("2555")));
    ASSERT_TRUE(analyser.Analyse_Ras());
    EXPECT_EQ(second.connections(), 1);  // asked all the same
    EXPECT_EQ(entries(), std::vector<std::string>{"2555@PPP/WAN Velqorin serial/gsm"});
    EXPECT_EQ(ipText(analyser.firstBox->storedRecord.currentIp), "127.0.0.2");
}

TEST_F(DialUpFixture, ASilentOrBrokenFarEndDoesNotKeepTheOthersFromBeingFound) {
    farEnd(2, {{}, End::Hold});                       // accepts, never answers
    farEnd(3, answering("<velqorin><serial>1</serial>"));  // tags missing
    farEnd(4, {{{0ms, "\x00\x01\x02garbage"}}, End::Reset});
    farEnd(5, {{{0ms, answer("4711").substr(0, 40)}, {100ms, answer("4711").substr(40)}}, End::Hold});
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(analyser.Analyse_Ras());
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(entries(), std::vector<std::string>{"4711@PPP/WAN Velqorin serial/gsm"});
    EXPECT_LT(took, 4 * 1.6) << "a link took longer than its connect and answer times";
}

TEST_F(DialUpFixture, AStopEndsTheWaitOnASilentFarEndAndAsksNoFurtherLink) {
    farEnd(2, {{}, End::Hold});
    LoopbackBox& second = farEnd(3, answering(answer("1002")));
    limits->answer = 5s;  // far longer than the stop below comes
    struct Stop {
        std::chrono::steady_clock::time_point at;
    } stop{std::chrono::steady_clock::now() + 300ms};
    CVelqorinNetworkAnalyse::SweepObserver observer{};
    observer.context = &stop;
    observer.stopRequested = [](void* context) {
        return std::chrono::steady_clock::now() >= static_cast<Stop*>(context)->at;
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(analyser.Analyse_Ras(&observer));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(took, 2.5) << "the stop did not end the wait for the silent far end";
    EXPECT_EQ(second.connections(), 0);
    EXPECT_EQ(analyser.CountBox(), 0);
}

TEST_F(DialUpFixture, DialUpBoxesComeAfterTheLanBoxes) {
    net.link.add("eth0").onSend = [](FakeAdapter& a, const Bytes& request) {
        TAnalyseBuffer reply;
        std::memcpy(&reply, request.data(), kFrameSize);
        std::memcpy(reply.destinationMac, request.data() + 6, 6);
        reply.frameKind = 1;
        setFieldText(reply.serialNumber, "900");
        a.batches.push_back({10ms, {bytesOf(reply)}});
    };
    farEnd(2, answering(answer("901")));
    ASSERT_TRUE(analyser.Analyse(true));
    EXPECT_EQ(entries(), (std::vector<std::string>{"900@eth0", "901@PPP/WAN Velqorin serial/gsm"}));

    // The next sweep starts from an empty list and finds the dial-up box again.
    ASSERT_TRUE(analyser.Analyse(true));
    EXPECT_EQ(entries(), (std::vector<std::string>{"900@eth0", "901@PPP/WAN Velqorin serial/gsm"}));
}

TEST_F(DialUpFixture, WithoutDialUpNoLinkIsListedOrAsked) {
    LoopbackBox& box = farEnd(2, answering(answer("1")));
    ASSERT_TRUE(analyser.Analyse(false));
    EXPECT_EQ(host.linkListings, 0);
    EXPECT_EQ(box.connections(), 0);
    EXPECT_EQ(analyser.CountBox(), 0);
}

TEST_F(DialUpFixture, TheResultIsTrueOnlyWhenBothPassesAre) {
    farEnd(2, answering(answer("1")));
    net.link.listFails = true;
    EXPECT_FALSE(analyser.Analyse(true));
    EXPECT_EQ(entries(), std::vector<std::string>{"1@PPP/WAN Velqorin serial/gsm"})
        << "the dial-up pass runs even after the sweep failed";

    net.link.listFails = false;
    host.links.reset();
    EXPECT_FALSE(analyser.Analyse(true));
    EXPECT_EQ(analyser.CountBox(), 0);
}

TEST_F(DialUpFixture, AnAddressThatIsNoAddressAsksNoOne) {
    LoopbackBox& box = farEnd(2, answering(answer("1")));
    const std::string longText(100, '1');
    for (const char* text : {"", "127.0.0", "127.0.0.2x", "localhost", longText.c_str()}) {
        EXPECT_TRUE(CVelqorinNetworkAnalyse::RecupVelqorinInfo(&analyser, text)) << text;
    }
    EXPECT_TRUE(CVelqorinNetworkAnalyse::RecupVelqorinInfo(&analyser, nullptr));
    EXPECT_TRUE(CVelqorinNetworkAnalyse::RecupVelqorinInfo(nullptr, "127.0.0.2"));
    EXPECT_EQ(box.connections(), 0);
    EXPECT_EQ(analyser.CountBox(), 0);

    EXPECT_TRUE(CVelqorinNetworkAnalyse::RecupVelqorinInfo(&analyser, "127.0.0.2"));
    EXPECT_EQ(analyser.CountBox(), 1);
}

}  // namespace
