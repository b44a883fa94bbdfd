#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "BoxModel.h"
#include "SimFrames.h"

using namespace velqorin;
using namespace velqorin::sim;
using namespace velqorin::sim::test;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// One box, asked once; the single reply it sends, with syncAge written at its due time.
Outgoing replyOf(const BoxConfig& box, TimePoint at = t0()) {
    Fleet fleet({box}, t0(), 1);
    Reaction r = fleet.receive(bytesOf(discoveryRequest()), at);
    EXPECT_EQ(r.verdict, "reply");
    EXPECT_FALSE(r.sends.empty());
    Outgoing out = r.sends.front();
    stampSyncAge(out, out.due);
    return out;
}

TEST(DiscoveryReply, EveryByteOfAKnownBox) {
    const Outgoing out = replyOf(knownBox(), t0() + seconds(10));

    std::vector<std::uint8_t> expected(kFrameSize, 0);
    auto put = [&](std::size_t offset, std::vector<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), expected.begin() + static_cast<long>(offset));
    };
    put(0, {0x02, 0x00, 0x00, 0xAA, 0x00, 0x01});                      // to the asking adapter
    put(6, {0x00, 0x50, 0xC2, 0x00, 0x25, 0x55});                      // from the box
    put(12, {0x0E, 0x0F, 'V', 'e', 'l', 'q', 'o', 'r', 'i', 'n', 0});  // as the request
    put(44, {1, 1});                                                    // version, kind 1
    put(46, {192, 0, 2, 50, 255, 255, 255, 0, 192, 0, 2, 60, 255, 255, 0, 0});
    put(62, {0, 2, 1});                                                 // mode, speed, neighbourhood
    put(65, {'2', '5', '5', '5'});
    put(135, std::vector<std::uint8_t>(kToken.begin(), kToken.end()));
    put(165, {0x05, 0x00, 0x01, 0x04});  // 1.001 build 5
    put(169, {1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
    put(185, {40, 0, 0, 0});  // 30 s at start, asked 10 s later
    put(189, {1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFA, 0x09, 0, 0});
    for (std::size_t i = 0; i < 80; ++i) expected[205 + i] = static_cast<std::uint8_t>(i);
    put(285, {'C', 'h', 'a', 'l', '1'});

    EXPECT_EQ(out.bytes, expected);
    EXPECT_EQ(out.due, t0() + seconds(10));
    EXPECT_EQ(out.verdict, "reply");
    EXPECT_TRUE(out.note.empty());
}

TEST(DiscoveryReply, SyncAgeIsTakenWhenTheFrameLeaves) {
    BoxConfig box = knownBox();
    box.replyDelay = milliseconds(2500);
    Outgoing out = replyOf(box);
    EXPECT_EQ(out.due, t0() + milliseconds(2500));
    EXPECT_EQ(loadLe<std::uint32_t>(recordOf(out).syncAge), 32u);
    stampSyncAge(out, t0() + seconds(100));
    EXPECT_EQ(loadLe<std::uint32_t>(recordOf(out).syncAge), 130u);
}

TEST(DiscoveryReply, ChallengeStaysAcrossDiscoveries) {
    BoxConfig box = knownBox();
    box.challenge.reset();
    Fleet fleet({box}, t0(), 7);
    const std::string first = fleet.state(0).challenge;
    EXPECT_EQ(first.size(), 29u);
    for (int i = 0; i < 3; ++i) {
        Reaction r = fleet.receive(bytesOf(discoveryRequest()), t0() + seconds(i));
        EXPECT_EQ(fieldText(recordOf(r.sends.at(0)).challenge), first);
    }
}

TEST(DiscoveryReply, ABoxThatRenewsItsChallengeSendsANewOneEveryReplyAndHonoursOnlyTheLast) {
    BoxConfig box = knownBox();
    box.renewsChallenge = true;
    Fleet fleet({box}, t0(), 7);
    std::set<std::string> seen;
    std::string last;
    for (int i = 0; i < 3; ++i) {
        Reaction r = fleet.receive(bytesOf(discoveryRequest()), t0() + seconds(i));
        last = std::string(fieldText(recordOf(r.sends.at(0)).challenge));
        seen.insert(last);
    }
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(fleet.state(0).challenge, last);
}

TEST(Loss, SeededLossesRepeatAndKeepToTheirShare) {
    auto pattern = [](double percent, std::uint64_t seed) {
        Loss loss(percent, seed);
        std::string drawn;
        for (int i = 0; i < 10000; ++i) drawn += loss.strikes() ? 'x' : '.';
        return drawn;
    };
    EXPECT_EQ(pattern(20, 3), pattern(20, 3));
    EXPECT_NE(pattern(20, 3), pattern(20, 4));
    const auto share = [](const std::string& d) { return static_cast<double>(std::count(d.begin(), d.end(), 'x')) / 100.0; };
    EXPECT_NEAR(share(pattern(20, 3)), 20.0, 1.5);
    EXPECT_EQ(share(pattern(0, 3)), 0.0);
    EXPECT_EQ(share(pattern(100, 3)), 100.0);
}

TEST(DiscoveryReply, WhichBoxesAnswer) {
    BoxConfig a = knownBox(), b = knownBox(), c = knownBox();
    b.serial = "2556";
    b.mac[5] = 0x56;
    c.serial = "2557";
    c.mac[5] = 0x57;
    Fleet fleet({a, b, c}, t0(), 1);

    Reaction group = fleet.receive(bytesOf(discoveryRequest()), t0());
    ASSERT_EQ(group.sends.size(), 3u);
    EXPECT_EQ(group.answering, 3u);
    EXPECT_FALSE(group.box);
    EXPECT_EQ(fieldText(recordOf(group.sends[2]).serialNumber), "2557");

    Reaction direct = fleet.receive(bytesOf(discoveryRequest(b.mac)), t0());
    ASSERT_EQ(direct.sends.size(), 1u);
    EXPECT_EQ(direct.box, 1u);
    EXPECT_EQ(fieldText(recordOf(direct.sends[0]).serialNumber), "2556");

    Mac stranger = b.mac;
    stranger[5] = 0x99;
    Reaction other = fleet.receive(bytesOf(discoveryRequest(stranger)), t0());
    EXPECT_EQ(other.verdict, "ignored: not addressed to a simulated box");
    EXPECT_TRUE(other.sends.empty());

    TAnalyseBuffer fromGroup = discoveryRequest();
    fromGroup.sourceMac[0] = 0x01;
    EXPECT_TRUE(fleet.receive(bytesOf(fromGroup), t0()).sends.empty());
}

struct FaultCase {
    const char* name;
    ReplyFault fault;
    std::size_t length;
    std::map<std::size_t, std::uint8_t> changed;  // offset -> value, against a clean reply
};

TEST(DiscoveryReply, EachMisbehaviourSpoilsOnlyWhatItSays) {
    auto fault = [](auto set) {
        ReplyFault f;
        set(f);
        return f;
    };
    const std::vector<FaultCase> cases = {
        {"cut", fault([](ReplyFault& f) { f.length = 315; }), 315, {}},
        {"padded", fault([](ReplyFault& f) { f.length = 317; }), 317, {{316, 0}}},
        {"reserved", fault([](ReplyFault& f) { f.reservedIndex = 20, f.reservedValue = 7; }), 316,
         {{43, 7}}},
        {"version", fault([](ReplyFault& f) { f.protocolVersion = 2; }), 316, {{44, 2}}},
        {"kind", fault([](ReplyFault& f) { f.kind = 9; }), 316, {{45, 9}}},
    };
    const Outgoing clean = replyOf(knownBox());
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        BoxConfig box = knownBox();
        box.reply = c.fault;
        const Outgoing spoilt = replyOf(box);
        ASSERT_EQ(spoilt.bytes.size(), c.length);
        EXPECT_NE(spoilt.note.find("malformed reply"), std::string::npos);
        for (std::size_t i = 0; i < c.length; ++i) {
            const auto it = c.changed.find(i);
            const std::uint8_t want = it != c.changed.end() ? it->second : clean.bytes.at(i);
            ASSERT_EQ(spoilt.bytes[i], want) << "offset " << i;
        }
    }
}

TEST(DiscoveryReply, TokenModes) {
    const struct {
        TokenMode mode;
        std::string token;
    } cases[] = {
        {TokenMode::Echo, std::string(kToken)},
        {TokenMode::Empty, std::string(30, '\0')},
        {TokenMode::Foreign, std::string(27, 'F') + std::string(3, '\0')},
    };
    for (const auto& c : cases) {
        BoxConfig box = knownBox();
        box.token = c.mode;
        const TAnalyseBuffer reply = recordOf(replyOf(box));
        std::string field(reply.analyserToken, sizeof reply.analyserToken);
        if (c.mode == TokenMode::Echo) field = std::string(fieldText(reply.analyserToken));
        EXPECT_EQ(field, c.token);
    }
}

TEST(DiscoveryReply, SecondReplyComesLaterWithItsOwnFields) {
    BoxConfig box = knownBox();
    box.replyDelay = milliseconds(50);
    box.reply = ReplyFault{};
    box.reply->reservedIndex = 0;
    box.reply->reservedValue = 1;
    SecondReply second;
    second.delay = milliseconds(200);
    second.token = TokenMode::Foreign;
    second.currentIp = Ipv4{203, 0, 113, 9};
    second.neighbourhood = false;
    second.addressMode = 1;
    box.secondReply = second;

    Fleet fleet({box}, t0(), 1);
    Reaction r = fleet.receive(bytesOf(discoveryRequest()), t0());
    ASSERT_EQ(r.sends.size(), 2u);
    EXPECT_EQ(r.sends[1].due, t0() + milliseconds(250));
    const TAnalyseBuffer first = recordOf(r.sends[0]);
    const TAnalyseBuffer later = recordOf(r.sends[1]);
    EXPECT_EQ(first.reserved[0], 1);
    EXPECT_EQ(later.reserved[0], 0);  // only the first reply misbehaves
    EXPECT_EQ(fieldText(first.analyserToken), kToken);
    EXPECT_EQ(fieldText(later.analyserToken), std::string(27, 'F'));
    EXPECT_EQ(std::vector<int>(later.currentIp, later.currentIp + 4), (std::vector<int>{203, 0, 113, 9}));
    EXPECT_EQ(std::vector<int>(first.currentIp, first.currentIp + 4), (std::vector<int>{192, 0, 2, 50}));
    EXPECT_EQ(later.currentMask[3], 0);  // not overridden
    EXPECT_EQ(later.neighbourhood, 0);
    EXPECT_EQ(later.addressMode, 1);
    EXPECT_EQ(fleet.state(0).addressMode, 0);  // the box itself did not change
}

// A fleet of the known box, found once, with the reply the analyser stored.
struct Found {
    explicit Found(BoxConfig box = knownBox()) : fleet({std::move(box)}, t0(), 3) {
        stored = recordOf(fleet.receive(bytesOf(discoveryRequest()), t0()).sends.at(0));
    }
    Reaction send(const TAnalyseBuffer& command, TimePoint at = t0() + seconds(1)) {
        Reaction r = fleet.receive(bytesOf(command), at);
        for (Outgoing o : r.sends) {
            stampSyncAge(o, o.due);
            if (o.verdict != "reply" && o.note.empty()) stored = recordOf(o);
        }
        return r;
    }
    TAnalyseBuffer rediscover(TimePoint at = t0() + seconds(2)) {
        return recordOf(fleet.receive(bytesOf(discoveryRequest()), at).sends.at(0));
    }
    Fleet fleet;
    TAnalyseBuffer stored;
};

TEST(Command, RightResponseIsAcceptedAndSpendsTheChallenge) {
    Found box;
    TAnalyseBuffer command = commandFrom(box.stored, FrameKind::ApplyNetwork, "admin");
    Reaction r = box.send(command);
    EXPECT_EQ(r.verdict, "accepted");
    ASSERT_EQ(r.sends.size(), 1u);
    const TAnalyseBuffer answer = recordOf(r.sends[0]);
    EXPECT_EQ(answer.frameKind, 2);
    EXPECT_TRUE(isCommandAnswer(command, r.sends[0].bytes.data(), r.sends[0].bytes.size()));
    EXPECT_EQ(std::memcmp(answer.destinationMac, kPcMac.data(), kMacSize), 0);
    EXPECT_EQ(fieldText(answer.analyserToken), kToken);
    EXPECT_EQ(answer.clearPassword, 0);
    EXPECT_EQ(fieldText(answer.credential), "");
    EXPECT_NE(fieldText(answer.challenge), "Chal1");
    EXPECT_EQ(fieldText(answer.challenge), box.fleet.state(0).challenge);
    EXPECT_EQ(fieldText(box.rediscover().challenge), box.fleet.state(0).challenge);
}

TEST(Command, WrongResponseIsRefusedAndTheRetryUsesTheRefusalsChallenge) {
    Found box;
    const TAnalyseBuffer firstRecord = box.stored;
    TAnalyseBuffer wrong = commandFrom(box.stored, FrameKind::ApplyNetwork, "Admin");
    wrong.manualIp[3] = 99;
    Reaction refused = box.send(wrong);
    EXPECT_EQ(refused.verdict, "refused");
    EXPECT_EQ(refused.why, "wrong password response");
    ASSERT_EQ(refused.sends.size(), 1u);
    EXPECT_EQ(recordOf(refused.sends[0]).frameKind, 5);
    EXPECT_EQ(recordOf(refused.sends[0]).manualIp[3], 60);  // nothing taken over
    EXPECT_NE(fieldText(box.stored.challenge), fieldText(firstRecord.challenge));

    // The right password keyed with the spent challenge is a replay.
    EXPECT_EQ(box.send(commandFrom(firstRecord, FrameKind::ApplyNetwork, "admin")).verdict,
              "refused");
    EXPECT_EQ(box.send(commandFrom(box.stored, FrameKind::ApplyNetwork, "admin")).verdict,
              "accepted");
}

TEST(Command, UnlockCode) {
    {
        Found box;
        TAnalyseBuffer unlock = commandFrom(box.stored, FrameKind::ApplyNetwork, "UNLOCK-42", true);
        unlock.manualIp[3] = 99;  // an unlock changes nothing but the password
        unlock.linkSpeed = 7;
        EXPECT_EQ(box.send(unlock).verdict, "accepted");
        EXPECT_EQ(box.fleet.state(0).password, "");
        EXPECT_EQ(box.stored.manualIp[3], 60);
        EXPECT_EQ(box.stored.linkSpeed, 2);
        EXPECT_EQ(box.send(commandFrom(box.stored, FrameKind::ApplySynchro, "")).verdict,
                  "accepted");
    }
    const struct {
        const char* name;
        std::string code;
        FrameKind kind;
        std::string configured;
        const char* why;
    } refusals[] = {
        {"wrong code", "UNLOCK-43", FrameKind::ApplyNetwork, "UNLOCK-42", "wrong unlock code"},
        {"with restart", "UNLOCK-42", FrameKind::ApplyNetworkAndRestart, "UNLOCK-42",
         "unlock code with kind 4"},
        {"box without a code", "", FrameKind::ApplyNetwork, "", "no unlock code set"},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.name);
        BoxConfig config = knownBox();
        config.unlockCode = c.configured;
        Found box(config);
        Reaction r = box.send(commandFrom(box.stored, c.kind, c.code, true));
        EXPECT_EQ(r.verdict, "refused");
        EXPECT_EQ(r.why, c.why);
        EXPECT_EQ(box.fleet.state(0).password, "admin");
    }
}

TEST(Command, SilentBoxStillAnswersDiscovery) {
    BoxConfig config = knownBox();
    config.silent = true;
    Found box(config);
    Reaction r = box.send(commandFrom(box.stored, FrameKind::ApplyNetwork, "admin"));
    EXPECT_EQ(r.verdict, "ignored: silent box");
    EXPECT_TRUE(r.sends.empty());
    EXPECT_EQ(box.fleet.state(0).challenge, "Chal1");
    EXPECT_EQ(box.rediscover().frameKind, 1);
}

TEST(Command, ABoxThatKeepsItsSettingsAcceptsEveryKindAndChangesNothing) {
    BoxConfig config = knownBox();
    config.keepsSettings = true;
    const FrameKind kinds[] = {FrameKind::ApplyNetwork, FrameKind::ApplyNetworkAndRestart,
                               FrameKind::ApplySynchro, FrameKind::ApplySynchroAndSynchronise};
    for (const FrameKind kind : kinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        Found box(config);
        const TAnalyseBuffer before = box.rediscover(t0());
        TAnalyseBuffer command = box.stored;
        command.addressMode = 1;
        command.manualIp[3] = 99;
        command.neighbourhood = 0;
        storeLe<std::uint32_t>(command.syncSlave, 0);
        storeLe<std::int32_t>(command.syncFloor, 4);
        storeLe<std::uint32_t>(command.syncMaster, 77);
        const Reaction r = box.send(commandFrom(command, kind, "admin"));
        EXPECT_EQ(r.verdict, "accepted");
        ASSERT_EQ(r.sends.size(), 1u);
        EXPECT_EQ(recordOf(r.sends[0]).frameKind, 2);
        // The challenge is spent as by any box; the settings the next reply shows are the old.
        EXPECT_NE(box.fleet.state(0).challenge, "Chal1");
        const TAnalyseBuffer after = box.rediscover(t0() + seconds(10));
        EXPECT_EQ(after.addressMode, before.addressMode);
        EXPECT_EQ(after.manualIp[3], before.manualIp[3]);
        EXPECT_EQ(after.neighbourhood, before.neighbourhood);
        EXPECT_EQ(loadLe<std::uint32_t>(after.syncSlave), 1u);
        EXPECT_EQ(loadLe<std::int32_t>(after.syncFloor), -2);
        EXPECT_EQ(loadLe<std::uint32_t>(after.syncMaster), 2554u);
        EXPECT_EQ(loadLe<std::uint32_t>(after.syncDone), loadLe<std::uint32_t>(before.syncDone));
    }
}

TEST(Command, FramesThatAreNotCommandsForABoxAreIgnored) {
    using Mutate = std::function<std::vector<std::uint8_t>(TAnalyseBuffer)>;
    auto whole = [](const TAnalyseBuffer& f) {
        return std::vector<std::uint8_t>(frameBytes(f), frameBytes(f) + kFrameSize);
    };
    const struct {
        const char* name;
        Mutate mutate;
        const char* verdict;
    } cases[] = {
        {"315 bytes", [&](TAnalyseBuffer f) { auto b = whole(f); b.pop_back(); return b; },
         "ignored: length 315, not 316"},
        {"317 bytes", [&](TAnalyseBuffer f) { auto b = whole(f); b.push_back(0); return b; },
         "ignored: length 317, not 316"},
        {"magic", [&](TAnalyseBuffer f) { f.magic[8] = '!'; return whole(f); }, "ignored: magic"},
        {"reserved", [&](TAnalyseBuffer f) { f.reserved[5] = 1; return whole(f); },
         "ignored: reserved byte 5 not zero"},
        {"version", [&](TAnalyseBuffer f) { f.protocolVersion = 2; return whole(f); },
         "ignored: protocol version 2"},
        {"box kind", [&](TAnalyseBuffer f) { f.frameKind = 2; return whole(f); },
         "ignored: kind 2 is not a request"},
        {"kind 6", [&](TAnalyseBuffer f) { f.frameKind = 6; return whole(f); },
         "ignored: kind 6 is not a request"},
        {"other MAC", [&](TAnalyseBuffer f) { f.destinationMac[5] ^= 1; return whole(f); },
         "ignored: not addressed to a simulated box"},
        {"group MAC",
         [&](TAnalyseBuffer f) {
             std::memcpy(f.destinationMac, kDiscoveryGroupMac.data(), kMacSize);
             return whole(f);
         },
         "ignored: not addressed to a simulated box"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Found box;
        const auto frame = c.mutate(commandFrom(box.stored, FrameKind::ApplyNetwork, "admin"));
        Reaction r = box.fleet.receive(frame, t0() + seconds(1));
        EXPECT_EQ(r.verdict, c.verdict);
        EXPECT_TRUE(r.sends.empty());
        EXPECT_EQ(box.fleet.state(0).challenge, "Chal1");
        EXPECT_EQ(box.fleet.state(0).currentIp[3], 50);
    }
}

TEST(Command, EffectsOfEachAcceptedKindOnTheNextReply) {
    using Edit = std::function<void(TAnalyseBuffer&)>;
    // `later`: seconds between the answer and the next reply, for the sync age.
    using Check = std::function<void(const TAnalyseBuffer&, unsigned later)>;
    auto ip = [](const std::uint8_t* field) { return std::vector<int>(field, field + 4); };
    const struct {
        const char* name;
        bool dhcpConfigured;
        FrameKind kind;
        Edit edit;
        Check check;
    } cases[] = {
        {"fixed address", true, FrameKind::ApplyNetwork,
         [](TAnalyseBuffer& c) {
             c.addressMode = 0;
             c.manualIp[3] = 99;
             c.manualMask[2] = 255;
             c.linkSpeed = 5;
             c.neighbourhood = 0;
         },
         [&](const TAnalyseBuffer& r, unsigned) {
             EXPECT_EQ(ip(r.currentIp), (std::vector<int>{192, 0, 2, 99}));
             EXPECT_EQ(ip(r.currentMask), (std::vector<int>{255, 255, 255, 0}));
             EXPECT_EQ(ip(r.manualIp), (std::vector<int>{192, 0, 2, 99}));
             EXPECT_EQ(r.addressMode, 0);
             EXPECT_EQ(r.linkSpeed, 5);
             EXPECT_EQ(r.neighbourhood, 0);
         }},
        {"DHCP with a lease", true, FrameKind::ApplyNetworkAndRestart,
         [](TAnalyseBuffer& c) {
             c.addressMode = 1;
             c.manualIp[3] = 99;
         },
         [&](const TAnalyseBuffer& r, unsigned) {
             EXPECT_EQ(ip(r.currentIp), (std::vector<int>{192, 0, 2, 70}));
             EXPECT_EQ(ip(r.currentMask), (std::vector<int>{255, 255, 255, 128}));
             EXPECT_EQ(ip(r.manualIp), (std::vector<int>{192, 0, 2, 99}));
             EXPECT_EQ(r.addressMode, 1);
         }},
        {"DHCP without a lease", false, FrameKind::ApplyNetwork,
         [](TAnalyseBuffer& c) { c.addressMode = 1; },
         [&](const TAnalyseBuffer& r, unsigned) {
             EXPECT_EQ(ip(r.currentIp), (std::vector<int>{192, 0, 2, 50}));
             EXPECT_EQ(r.addressMode, 1);
         }},
        {"synchro", true, FrameKind::ApplySynchro,
         [](TAnalyseBuffer& c) {
             storeLe<std::uint32_t>(c.syncSlave, 0);
             storeLe<std::int32_t>(c.syncFloor, -7);
             storeLe<std::uint32_t>(c.syncReserved, 77);
             storeLe<std::uint32_t>(c.syncMaster, 123456);
             c.manualIp[3] = 99;
         },
         [&](const TAnalyseBuffer& r, unsigned later) {
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncSlave), 0u);
             EXPECT_EQ(loadLe<std::int32_t>(r.syncFloor), -7);
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncReserved), 0u);
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncMaster), 123456u);
             EXPECT_EQ(r.manualIp[3], 60);
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncFault), 4u);
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncAge), 31u + later);  // not synchronised
         }},
        {"synchro now", true, FrameKind::ApplySynchroAndSynchronise,
         [](TAnalyseBuffer& c) {
             storeLe<std::uint32_t>(c.syncFault, 9);
             storeLe<std::int32_t>(c.syncFloor, 3);
         },
         [&](const TAnalyseBuffer& r, unsigned later) {
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncDone), 1u);
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncFault), 0u);
             EXPECT_EQ(loadLe<std::int32_t>(r.syncFloor), 3);
             EXPECT_EQ(loadLe<std::uint32_t>(r.syncAge), later);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoxConfig config = knownBox();
        config.sync.fault = 4;
        if (!c.dhcpConfigured) {
            config.dhcpIp.reset();
            config.dhcpMask.reset();
        }
        Found box(config);
        TAnalyseBuffer command = box.stored;
        c.edit(command);
        command = commandFrom(command, c.kind, "admin");
        ASSERT_EQ(box.send(command).verdict, "accepted");
        c.check(box.stored, 0);  // the answer carries the state after the command
        Reaction r = box.fleet.receive(bytesOf(discoveryRequest()), t0() + seconds(2));
        Outgoing next = r.sends.at(0);
        stampSyncAge(next, next.due);
        c.check(recordOf(next), 1);
    }
}

TEST(Command, RestartMakesTheBoxDeafForAWhile) {
    BoxConfig config = knownBox();
    config.restart = milliseconds(5000);
    Found box(config);
    ASSERT_EQ(box.send(commandFrom(box.stored, FrameKind::ApplyNetworkAndRestart, "admin"),
                       t0() + seconds(1))
                  .verdict,
              "accepted");
    const TAnalyseBuffer again = commandFrom(box.stored, FrameKind::ApplyNetwork, "admin");
    EXPECT_EQ(box.fleet.receive(bytesOf(discoveryRequest()), t0() + milliseconds(5900)).verdict,
              "ignored: every box is restarting");
    EXPECT_EQ(box.fleet.receive(bytesOf(again), t0() + milliseconds(5900)).verdict,
              "ignored: restarting");
    EXPECT_EQ(box.fleet.receive(bytesOf(discoveryRequest()), t0() + seconds(6)).verdict, "reply");
    EXPECT_EQ(box.fleet.receive(bytesOf(again), t0() + seconds(6)).verdict, "accepted");
}

TEST(Command, AnswerMisbehaviours) {
    const struct {
        const char* name;
        AnswerFault fault;
        bool rightPassword;
        std::vector<int> kinds;         // of the frames sent, in order
        std::vector<int> delaysMs;      // after the command
        std::vector<bool> fromTheBox;   // source MAC is the box's
    } cases[] = {
        {"delay", {false, false, milliseconds(300)}, true, {2}, {300}, {true}},
        {"other MAC first", {true, false, milliseconds(0)}, true, {2, 2}, {0, 100}, {false, true}},
        {"other MAC first, refused", {true, false, milliseconds(0)}, false, {2, 5}, {0, 100},
         {false, true}},
        {"discovery reply first", {false, true, milliseconds(20)}, true, {1, 2}, {20, 120},
         {true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoxConfig config = knownBox();
        config.answer = c.fault;
        Found box(config);
        const TimePoint at = t0() + seconds(1);
        const TAnalyseBuffer command =
            commandFrom(box.stored, FrameKind::ApplyNetwork, c.rightPassword ? "admin" : "x");
        Reaction r = box.fleet.receive(bytesOf(command), at);
        ASSERT_EQ(r.sends.size(), c.kinds.size());
        for (std::size_t i = 0; i < r.sends.size(); ++i) {
            const TAnalyseBuffer f = recordOf(r.sends[i]);
            EXPECT_EQ(f.frameKind, c.kinds[i]) << i;
            EXPECT_EQ(r.sends[i].due, at + milliseconds(c.delaysMs[i])) << i;
            EXPECT_EQ(std::memcmp(f.sourceMac, kBoxMac.data(), kMacSize) == 0, c.fromTheBox[i]);
            EXPECT_EQ(std::memcmp(f.sourceMac, kBoxMac.data(), kMacSize - 1), 0) << i;
            EXPECT_EQ(isCommandAnswer(command, r.sends[i].bytes.data(), r.sends[i].bytes.size()),
                      i + 1 == r.sends.size())
                << i;  // only the last one passes the analyser's test
        }
    }
}

}  // namespace
