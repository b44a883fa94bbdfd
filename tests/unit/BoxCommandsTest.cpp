#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "FakeLink.h"
#include "model/Response.h"
#include "velqorin/BoxOnNetwork.h"

using namespace velqorin;
using namespace velqorin::test;

namespace {

TAnalyseBuffer storedReply() {
    TAnalyseBuffer r = makeReply("2555", "ANALYSER-TOKEN");
    const std::uint8_t ip[4] = {192, 0, 2, 50}, mask[4] = {255, 255, 255, 0};
    std::memcpy(r.currentIp, ip, 4);
    std::memcpy(r.currentMask, mask, 4);
    std::memcpy(r.manualIp, ip, 4);
    std::memcpy(r.manualMask, mask, 4);
    r.addressMode = 0;
    r.linkSpeed = 4;
    r.neighbourhood = 1;
    setFieldText(r.challenge, "CHALLENGE-ONE");
    std::memset(r.credential, 'q', sizeof r.credential);  // whatever the box left there
    for (std::size_t i = 0; i < sizeof r.boxData; ++i) r.boxData[i] = static_cast<std::uint8_t>(i * 3);
    storeLe<std::uint32_t>(r.syncSlave, 1);
    storeLe<std::int32_t>(r.syncFloor, 3);
    storeLe<std::uint32_t>(r.syncReserved, 0xDEADBEEF);
    storeLe<std::uint32_t>(r.syncMaster, 2600);
    return r;
}

struct CommandFixture : ::testing::Test {
    FakeRawNetwork fake;
    FakeAdapter& eth0 = fake.link.add("eth0");
    TAnalyseBuffer reply = storedReply();
    std::unique_ptr<CVelqorinBoxOnNetwork> box =
        std::make_unique<CVelqorinBoxOnNetwork>(nullptr, &reply, "eth0");

    // The box answers every command with `kind` after `after`.
    void boxAnswers(FrameKind kind, const char* challenge = "CHALLENGE-TWO",
                    std::chrono::milliseconds after = std::chrono::milliseconds(30)) {
        eth0.onSend = [=](FakeAdapter& a, const Bytes& sent) {
            a.batches.push_back({after, {answerTo(sent, kind, challenge)}});
        };
    }
    const Bytes& lastSent() { return fake.link.sent.back().frame; }
};

// The command that a configuration operation must send: the stored record with the
// given changes, MACs swapped, and the credential.
struct CommandCase {
    const char* what;
    std::function<int(CVelqorinBoxOnNetwork&)> operation;
    std::function<void(TAnalyseBuffer&)> changes;
    std::uint8_t kind;
    const char* password;  // the password the response is computed from; null: clear code
    const char* clearCode;
};

class CommandBytes : public CommandFixture, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandBytes, EveryByteOfTheCommand) {
    const CommandCase& c = GetParam();
    boxAnswers(FrameKind::CommandAccepted);
    EXPECT_EQ(c.operation(*box), kCommandAccepted);
    ASSERT_EQ(fake.link.sent.size(), 1u);

    TAnalyseBuffer expected = storedReply();
    c.changes(expected);
    std::memcpy(expected.destinationMac, kBoxMac.data(), 6);
    std::memcpy(expected.sourceMac, kAdapterMac.data(), 6);
    expected.frameKind = c.kind;
    if (c.clearCode) {
        expected.clearPassword = 1;
        std::memset(expected.credential, 0, sizeof expected.credential);
        std::memcpy(expected.credential, c.clearCode, std::strlen(c.clearCode));
    } else {
        expected.clearPassword = 0;
        makeResponse(c.password, "CHALLENGE-ONE", expected.credential);
    }
    EXPECT_EQ(lastSent(), bytesOf(expected)) << c.what;
    EXPECT_EQ(fake.link.sent[0].adapter, "eth0");
}

const std::string kLong60(60, 'L');

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandBytes,
    ::testing::Values(
        CommandCase{"fixed address, no restart",
                    [](CVelqorinBoxOnNetwork& b) {
                        return b.ConfigNetwork("admin", false, socketAddress("198.51.100.7"),
                                               socketAddress("255.255.0.0"), false, false);
                    },
                    [](TAnalyseBuffer& e) {
                        const std::uint8_t ip[4] = {198, 51, 100, 7}, m[4] = {255, 255, 0, 0};
                        std::memcpy(e.manualIp, ip, 4);
                        std::memcpy(e.manualMask, m, 4);
                        e.addressMode = 0;
                        e.neighbourhood = 0;
                    },
                    3, "admin", nullptr},
        CommandCase{"DHCP with restart still writes the manual address",
                    [](CVelqorinBoxOnNetwork& b) {
                        // only the four address bytes count, whatever the family says
                        return b.ConfigNetwork("admin", true, socketAddress("203.0.113.9", 0),
                                               socketAddress("255.255.255.128", 99), true, true);
                    },
                    [](TAnalyseBuffer& e) {
                        const std::uint8_t ip[4] = {203, 0, 113, 9}, m[4] = {255, 255, 255, 128};
                        std::memcpy(e.manualIp, ip, 4);
                        std::memcpy(e.manualMask, m, 4);
                        e.addressMode = 1;
                        e.neighbourhood = 1;
                    },
                    4, "admin", nullptr},
        CommandCase{"link speed",
                    [](CVelqorinBoxOnNetwork& b) {
                        return b.ConfigNetworkSpeed("pw", VITESSE_RESEAU_10_HALF, false);
                    },
                    [](TAnalyseBuffer& e) { e.linkSpeed = 1; }, 3, "pw", nullptr},
        CommandCase{"synchro master",
                    [](CVelqorinBoxOnNetwork& b) { return b.ConfigSynchro("pw", true, 0, 0, false); },
                    [](TAnalyseBuffer& e) {
                        storeLe<std::uint32_t>(e.syncSlave, 0);
                        storeLe<std::int32_t>(e.syncFloor, 0);
                        storeLe<std::uint32_t>(e.syncReserved, 0);
                        storeLe<std::uint32_t>(e.syncMaster, 0);
                    },
                    7, "pw", nullptr},
        CommandCase{"synchro follower, synchronise now",
                    [](CVelqorinBoxOnNetwork& b) {
                        return b.ConfigSynchro("pw", false, 2555, -2, true);
                    },
                    [](TAnalyseBuffer& e) {
                        storeLe<std::uint32_t>(e.syncSlave, 1);
                        storeLe<std::int32_t>(e.syncFloor, -2);
                        storeLe<std::uint32_t>(e.syncReserved, 0);
                        storeLe<std::uint32_t>(e.syncMaster, 2555);
                    },
                    8, "pw", nullptr},
        CommandCase{"unlock",
                    [](CVelqorinBoxOnNetwork& b) { return b.EffacerMdp("UNLOCK-CODE-1"); },
                    [](TAnalyseBuffer&) {}, 3, nullptr, "UNLOCK-CODE-1"},
        CommandCase{"passwords cut to 48 for network commands",
                    [](CVelqorinBoxOnNetwork& b) {
                        return b.ConfigNetworkSpeed(kLong60.c_str(), VITESSE_RESEAU_AUTO, false);
                    },
                    [](TAnalyseBuffer& e) { e.linkSpeed = 0; }, 3, "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL",
                    nullptr},
        CommandCase{"and to 49 for synchro",
                    [](CVelqorinBoxOnNetwork& b) {
                        return b.ConfigSynchro(kLong60.c_str(), true, 0, 0, false);
                    },
                    [](TAnalyseBuffer& e) {
                        storeLe<std::uint32_t>(e.syncSlave, 0);
                        storeLe<std::int32_t>(e.syncFloor, 0);
                        storeLe<std::uint32_t>(e.syncReserved, 0);
                        storeLe<std::uint32_t>(e.syncMaster, 0);
                    },
                    7, "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL", nullptr},
        CommandCase{"unlock code cut to 48",
                    [](CVelqorinBoxOnNetwork& b) { return b.EffacerMdp(kLong60.c_str()); },
                    [](TAnalyseBuffer&) {}, 3, nullptr,
                    "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"},
        CommandCase{"empty password: response of the challenge alone",
                    [](CVelqorinBoxOnNetwork& b) { return b.Send(false, false); },
                    [](TAnalyseBuffer&) {}, 3, "", nullptr}));

TEST_F(CommandFixture, AcceptedAnswerReplacesTheStoredRecord) {
    boxAnswers(FrameKind::CommandAccepted, "NEXT");
    EXPECT_EQ(box->ConfigSynchro("pw", true, 0, 0, false), kCommandAccepted);
    EXPECT_EQ(bytesOf(box->storedRecord), answerTo(lastSent(), FrameKind::CommandAccepted, "NEXT"));
    // the record faces the PC again: destination is our adapter, source the box
    EXPECT_EQ(std::memcmp(box->storedRecord.sourceMac, kBoxMac.data(), 6), 0);
    EXPECT_EQ(fake.link.openNow, 0);
}

TEST_F(CommandFixture, ARetryAfterARefusalIsKeyedByTheRefusalsChallenge) {
    boxAnswers(FrameKind::CommandRefused, "SECOND");
    EXPECT_EQ(box->ConfigSynchro("wrong", true, 0, 0, false), kCommandRefused);
    EXPECT_EQ(fieldText(box->storedRecord.challenge), "SECOND");
    EXPECT_EQ(box->storedRecord.frameKind, 5);

    boxAnswers(FrameKind::CommandAccepted, "THIRD");
    EXPECT_EQ(box->ConfigSynchro("right", true, 0, 0, false), kCommandAccepted);
    char expected[41];
    makeResponse("right", "SECOND", expected);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(lastSent().data()) + 85, 40), expected);
    EXPECT_EQ(lastSent()[45], 7);  // built from the refusal, still a command
}

TEST_F(CommandFixture, FramesThatAreNotTheAnswerAreSkipped) {
    eth0.onSend = [](FakeAdapter& a, const Bytes& sent) {
        Bytes otherBox = answerTo(sent, FrameKind::CommandAccepted, "X");
        otherBox[11] ^= 1;  // another box's MAC
        Bytes discovery = answerTo(sent, FrameKind::DiscoveryReply, "X");
        Bytes runt = answerTo(sent, FrameKind::CommandAccepted, "X");
        runt.pop_back();
        Bytes wrongVersion = answerTo(sent, FrameKind::CommandAccepted, "X");
        wrongVersion[44] = 2;
        a.batches.push_back({std::chrono::milliseconds(10), {otherBox, discovery}});
        a.batches.push_back({std::chrono::milliseconds(10), {runt, wrongVersion}});
        a.batches.push_back({std::chrono::milliseconds(10),
                             {answerTo(sent, FrameKind::CommandRefused, "REAL"),
                              answerTo(sent, FrameKind::CommandAccepted, "LATER")}});
    };
    EXPECT_EQ(box->EffacerMdp("code"), kCommandRefused);
    EXPECT_EQ(fieldText(box->storedRecord.challenge), "REAL");  // the first answer counts
    EXPECT_EQ(fake.link.receives, 3);
}

TEST_F(CommandFixture, NoAnswerEndsAfterThreeSecondsOfQuietReads) {
    const auto start = fake.clock.nowMs();
    EXPECT_EQ(box->ConfigNetwork("pw", true, socketAddress("192.0.2.9"), socketAddress("255.255.255.0"), true, false),
              kCommandNoAnswer);
    EXPECT_EQ(fake.clock.pauses, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(100)}));
    EXPECT_EQ(fake.link.receives, 3);
    EXPECT_EQ(fake.clock.nowMs() - start, 3100);
    EXPECT_EQ(fake.link.openNow, 0);
    // what the operation wrote stays in the record
    EXPECT_EQ(box->storedRecord.addressMode, 1);
    EXPECT_EQ(box->storedRecord.manualIp[3], 9);
    EXPECT_EQ(fake.link.sent.size(), 1u);  // never repeated
}

TEST_F(CommandFixture, WindowCountsWholeSecondsCheckedAfterEachRead) {
    // Frames that are not the answer keep coming every 300 ms: the wait ends at the first
    // check after the whole-second clock has moved on by three.
    struct Case {
        std::int64_t clockOffsetMs;
        int receives;
    } cases[] = {{0, 10}, {850, 7}};
    for (const Case& c : cases) {
        FakeRawNetwork local(c.clockOffsetMs);
        FakeAdapter& a = local.link.add("eth0");
        a.onSend = [](FakeAdapter& ad, const Bytes& sent) {
            for (int i = 0; i < 20; ++i)
                ad.batches.push_back({std::chrono::milliseconds(300),
                                      {answerTo(sent, FrameKind::DiscoveryReply, "X")}});
        };
        TAnalyseBuffer r = storedReply();
        CVelqorinBoxOnNetwork b(nullptr, &r, "eth0");
        EXPECT_EQ(b.Send(false, false), kCommandNoAnswer);
        EXPECT_EQ(local.link.receives, c.receives) << c.clockOffsetMs;
    }
}

TEST_F(CommandFixture, AdapterThatCannotOpenOrSendGivesNoAnswer) {
    eth0.sendFails = true;
    EXPECT_EQ(box->Send(false, false), kCommandNoAnswer);
    EXPECT_EQ(fake.link.openNow, 0);
    EXPECT_EQ(fake.link.receives, 0);

    eth0.openFails = true;
    EXPECT_EQ(box->EffacerMdp("x"), kCommandNoAnswer);
    // The code is wiped from the box, sent or not.
    EXPECT_TRUE(std::all_of(std::begin(box->password), std::end(box->password), [](char c) { return c == 0; }));

    TAnalyseBuffer r = storedReply();
    CVelqorinBoxOnNetwork elsewhere(nullptr, &r, "eth9");
    EXPECT_EQ(elsewhere.Send(false, false), kCommandNoAnswer);
    EXPECT_TRUE(fake.link.sent.empty());
}

}  // namespace
