// The frames of tests/captures, recorded in the lab from the box simulator and the command-
// line tool, through the library's acceptance tests and AddBox: what a real exchange on
// the wire makes of the box list.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CaptureFile.h"
#include "dialup/InfoAnswer.h"
#include "model/Response.h"
#include "velqorin/NetworkAnalyse.h"

using namespace velqorin;
using namespace velqorin::test;

namespace {

Capture capture(const std::string& name) { return readCapture(VELQORIN_CAPTURES "/" + name); }

TAnalyseBuffer record(const Capture& c, const CapturedFrame& frame) {
    TAnalyseBuffer r;
    std::size_t length = 0;
    EXPECT_TRUE(recordOf(c, frame, r, length)) << "frame " << frame.number << " is not one of ours";
    return r;
}

std::vector<const CVelqorinBoxOnNetwork*> listed(const CVelqorinNetworkAnalyse& analyser) {
    std::vector<const CVelqorinBoxOnNetwork*> boxes;
    for (const CVelqorinBoxOnNetwork* b = analyser.firstBox; b != nullptr; b = b->next)
        boxes.push_back(b);
    return boxes;
}

// A box as the monitor lists it, from the fleet the capture was made with.
struct Listed {
    std::string serial, mac, ip, mask;
    AddressMode mode;
    bool neighbourhood;
    LinkKind link;
    std::string version;
    bool follower;
    unsigned master;
    int floor;
};

void expectListed(const CVelqorinBoxOnNetwork& box, const Listed& e) {
    const TAnalyseBuffer& r = box.storedRecord;
    SCOPED_TRACE("box " + e.serial);
    EXPECT_EQ(fieldText(r.serialNumber), e.serial);
    EXPECT_EQ(macText(r.sourceMac), e.mac);
    EXPECT_EQ(ipText(r.currentIp), e.ip);
    EXPECT_EQ(ipText(r.currentMask), e.mask);
    EXPECT_EQ(addressMode(r.addressMode), e.mode);
    EXPECT_EQ(r.neighbourhood == 1, e.neighbourhood);
    EXPECT_EQ(linkKind(r), e.link);
    EXPECT_EQ(versionText(r), e.version);
    EXPECT_EQ(loadLe<std::uint32_t>(r.syncSlave) != 0, e.follower);
    EXPECT_EQ(loadLe<std::uint32_t>(r.syncMaster), e.master);
    EXPECT_EQ(loadLe<std::int32_t>(r.syncFloor), e.floor);
}

TEST(CaptureFiles, SweepRepliesAreAcceptedAndListedAsTheFleetSays) {
    const Capture c = capture("sweep.pcap");
    ASSERT_GE(c.frames.size(), 2u);
    const TAnalyseBuffer request = record(c, c.frames[0]);
    ASSERT_EQ(frameKind(request), FrameKind::DiscoveryRequest);

    CVelqorinNetworkAnalyse analyser;
    for (std::size_t i = 1; i < c.frames.size(); ++i) {
        const CapturedFrame& f = c.frames[i];
        SCOPED_TRACE("frame " + std::to_string(f.number));
        ASSERT_TRUE(isDiscoveryReply(request, f.bytes.data(), f.bytes.size()));
        const TAnalyseBuffer reply = record(c, f);
        EXPECT_EQ(fieldText(reply.analyserToken), fieldText(request.analyserToken));
        EXPECT_EQ(macText(reply.destinationMac), macText(request.sourceMac));
        analyser.AddBox(&reply, "vq0");
    }

    const std::vector<Listed> fleet = {
        {"6101", "02:00:00:10:61:01", "192.0.2.61", "255.255.255.0", AddressMode::Fixed, true,
         LinkKind::Network, "2.005 build 17", false, 0, 0},
        {"6102", "02:00:00:10:61:02", "192.0.2.62", "255.255.255.0", AddressMode::Dhcp, false,
         LinkKind::Network, "2.004 build 3", true, 6101, 1},
        {"6103", "02:00:00:10:61:03", "169.254.12.7", "255.255.0.0", AddressMode::AutoIp, true,
         LinkKind::Network, "1.001 build 5", true, 6101, -2},
        {"6104", "02:00:00:14:61:04", "192.0.2.64", "255.255.255.0", AddressMode::Rarp, false,
         LinkKind::Usb, "...", true, 6101, 3},
        {"6105", "02:00:00:18:61:05", "203.0.113.2", "255.255.255.252", AddressMode::Fixed, false,
         LinkKind::Serial, "3.020 build 1000", false, 0, 0},
        {"1234567890123456789", "02:00:00:10:61:06", "192.0.2.66", "255.255.255.0",
         AddressMode::Fixed, true, LinkKind::Network, "63.1023 build 65535", true, 6101, -5},
    };
    const auto boxes = listed(analyser);
    ASSERT_EQ(boxes.size(), fleet.size());
    for (std::size_t i = 0; i < fleet.size(); ++i) expectListed(*boxes[i], fleet[i]);
}

TEST(CaptureFiles, MalformedRepliesAreIgnoredAndTheGoodOneListed) {
    const Capture c = capture("malformed.pcap");
    const TAnalyseBuffer request = record(c, c.frames.at(0));
    struct Case {
        std::string serial;
        std::size_t length;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"6301", 315, false},  // one byte short
        {"6302", 317, false},  // one byte over
        {"6303", 316, false},  // a reserved byte set
        {"6304", 316, false},  // protocol version 2
        {"6305", 316, false},  // kind 6
        {"6306", 316, true},
    };
    ASSERT_EQ(c.frames.size(), cases.size() + 1);
    CVelqorinNetworkAnalyse analyser;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const CapturedFrame& f = c.frames[i + 1];
        const TAnalyseBuffer reply = record(c, f);
        SCOPED_TRACE("box " + cases[i].serial);
        EXPECT_EQ(fieldText(reply.serialNumber), cases[i].serial);
        EXPECT_EQ(f.bytes.size(), cases[i].length);
        EXPECT_EQ(isDiscoveryReply(request, f.bytes.data(), f.bytes.size()), cases[i].accepted);
        if (isDiscoveryReply(request, f.bytes.data(), f.bytes.size())) analyser.AddBox(&reply, "vq0");
    }
    const auto boxes = listed(analyser);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(fieldText(boxes[0]->storedRecord.serialNumber), "6306");
}

// Each command was sent after a sweep of its own, with the right secret, then a wrong one.
TEST(CaptureFiles, EveryCommandIsAnsweredAndCarriesTheResponseToTheLastChallenge) {
    const Capture c = capture("commands.pcap");
    struct Sent {
        FrameKind kind;
        bool clear;
        std::string secret;
        FrameKind answer;
    };
    const auto accepted = FrameKind::CommandAccepted, refused = FrameKind::CommandRefused;
    const std::vector<Sent> expected = {
        {FrameKind::ApplyNetwork, false, "site-Secret", accepted},
        {FrameKind::ApplyNetwork, false, "wrong", refused},
        {FrameKind::ApplyNetworkAndRestart, false, "site-Secret", accepted},
        {FrameKind::ApplyNetworkAndRestart, false, "wrong", refused},
        {FrameKind::ApplySynchro, false, "site-Secret", accepted},
        {FrameKind::ApplySynchro, false, "wrong", refused},
        {FrameKind::ApplySynchroAndSynchronise, false, "site-Secret", accepted},
        {FrameKind::ApplySynchroAndSynchronise, false, "wrong", refused},
        {FrameKind::ApplyNetwork, true, "UNLOCK-6201", accepted},
        {FrameKind::ApplyNetwork, true, "UNLOCK-0000", refused},
    };

    std::size_t commands = 0, sweeps = 0;
    TAnalyseBuffer request{}, stored{};
    std::unique_ptr<CVelqorinNetworkAnalyse> analyser;
    for (std::size_t i = 0; i < c.frames.size(); ++i) {
        const CapturedFrame& f = c.frames[i];
        SCOPED_TRACE("frame " + std::to_string(f.number));
        const TAnalyseBuffer r = record(c, f);
        switch (frameKind(r)) {
            case FrameKind::DiscoveryRequest:
                request = r;
                analyser = std::make_unique<CVelqorinNetworkAnalyse>();
                ++sweeps;
                break;
            case FrameKind::DiscoveryReply: {
                ASSERT_TRUE(analyser);
                ASSERT_TRUE(isDiscoveryReply(request, f.bytes.data(), f.bytes.size()));
                analyser->AddBox(&r, "vq0");
                if (fieldText(r.serialNumber) == "6201") stored = r;
                break;
            }
            default: {
                ASSERT_LT(commands, expected.size()) << "more commands than were sent";
                const Sent& e = expected[commands++];
                EXPECT_EQ(frameKind(r), e.kind);
                EXPECT_EQ(r.clearPassword, e.clear ? 1 : 0);
                EXPECT_EQ(fieldText(r.serialNumber), "6201");
                EXPECT_EQ(listed(*analyser).size(), 2u) << "the sweep before it lists both boxes";
                if (e.clear) {
                    EXPECT_EQ(fieldText(r.credential), e.secret);
                } else {
                    char response[kResponseLength + 1];
                    ASSERT_NE(makeResponse(e.secret, fieldText(stored.challenge), response), nullptr);
                    EXPECT_EQ(fieldText(r.credential), response);
                }
                ASSERT_LT(i + 1, c.frames.size());
                const CapturedFrame& answer = c.frames[++i];
                EXPECT_TRUE(isCommandAnswer(r, answer.bytes.data(), answer.bytes.size()));
                EXPECT_EQ(frameKind(record(c, answer)), e.answer);
            }
        }
    }
    EXPECT_EQ(commands, expected.size());
    EXPECT_EQ(sweeps, expected.size());
}

TEST(CaptureFiles, DialUpAnswersMakeTheBoxRecordsTheMonitorLists) {
    const auto exchanges = tcpExchanges(capture("dial-up.pcap"), kInfoPort);
    struct Box {
        std::string server, serial, mac, version;
    };
    const std::vector<Box> expected = {
        {"203.0.113.130", "6105", "02:00:00:18:61:05", "3.020 build 1000"},
        // 25 characters sent, 19 listed; "63.1023 build 65535" read as "%d.%03d build %d".
        {"203.0.113.134", "1234567890123456789", "02:00:00:18:61:06", "63.102 build 0"},
    };
    ASSERT_EQ(exchanges.size(), expected.size());
    CVelqorinNetworkAnalyse analyser;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TcpExchange& x = exchanges[i];
        SCOPED_TRACE("box at " + expected[i].server);
        EXPECT_EQ(ipText(x.server.data()), expected[i].server);
        EXPECT_EQ(x.toServer, kInfoRequest);
        const auto answer = parseInfoAnswer(x.toClient);
        ASSERT_TRUE(answer);
        const TAnalyseBuffer r = dialUpRecord(*answer, x.server);
        analyser.AddBox(&r, kDialUpAdapterName);
        const auto boxes = listed(analyser);
        ASSERT_EQ(boxes.size(), i + 1);
        const TAnalyseBuffer& stored = boxes.back()->storedRecord;
        EXPECT_EQ(fieldText(stored.serialNumber), expected[i].serial);
        EXPECT_EQ(macText(stored.sourceMac), expected[i].mac);
        EXPECT_EQ(linkKind(stored), LinkKind::Serial);
        EXPECT_EQ(ipText(stored.currentIp), expected[i].server);
        EXPECT_EQ(versionText(stored), expected[i].version);
    }
}

}  // namespace
