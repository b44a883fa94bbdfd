// The link helper's rules for what it sends, and its messages, without the helper.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "helper/FrameCheck.h"
#include "helper/HelperProtocol.h"
#include "velqorin/Frame.h"

using namespace velqorin;
using namespace velqorin::helper;

namespace {

constexpr std::uint8_t kOwnMac[6] = {0x02, 0x00, 0x00, 0xaa, 0x00, 0x01};
constexpr std::uint8_t kBoxMac[6] = {0x02, 0x00, 0x00, 0x01, 0x00, 0x05};

TAnalyseBuffer request() {
    TAnalyseBuffer r;
    buildDiscoveryRequest(r, "token");
    std::memcpy(r.sourceMac, kOwnMac, 6);
    return r;
}

TAnalyseBuffer command(FrameKind kind) {
    TAnalyseBuffer c = request();
    std::memcpy(c.destinationMac, kBoxMac, 6);
    c.frameKind = static_cast<std::uint8_t>(kind);
    return c;
}

TEST(FrameCheck, OnlyTheProtocolsRequestsAndCommandsFromTheAdapterItselfGoOut) {
    using V = FrameVerdict;
    const auto edited = [](TAnalyseBuffer f, std::size_t at, std::uint8_t value) {
        reinterpret_cast<std::uint8_t*>(&f)[at] = value;
        return f;
    };
    TAnalyseBuffer toBroadcast = request();
    std::memset(toBroadcast.destinationMac, 0xFF, 6);
    TAnalyseBuffer commandToGroup = command(FrameKind::ApplyNetwork);
    std::memcpy(commandToGroup.destinationMac, kDiscoveryGroupMac.data(), 6);
    const struct {
        const char* name;
        TAnalyseBuffer frame;
        std::size_t length;
        V verdict;
    } cases[] = {
        {"a discovery request", request(), kFrameSize, V::Allowed},
        {"apply network", command(FrameKind::ApplyNetwork), kFrameSize, V::Allowed},
        {"apply and restart", command(FrameKind::ApplyNetworkAndRestart), kFrameSize, V::Allowed},
        {"apply synchronisation", command(FrameKind::ApplySynchro), kFrameSize, V::Allowed},
        {"apply and synchronise", command(FrameKind::ApplySynchroAndSynchronise), kFrameSize, V::Allowed},
        {"315 bytes", request(), kFrameSize - 1, V::WrongLength},
        {"0 bytes", request(), 0, V::WrongLength},
        {"another EtherType", edited(request(), 13, 0x00), kFrameSize, V::WrongProtocolBytes},
        {"another magic", edited(request(), 14, 'v'), kFrameSize, V::WrongProtocolBytes},
        {"a reserved byte set", edited(request(), 30, 1), kFrameSize, V::WrongProtocolBytes},
        {"protocol version 2", edited(request(), 44, 2), kFrameSize, V::WrongProtocolBytes},
        {"another source", edited(request(), 11, 0x02), kFrameSize, V::WrongSource},
        {"a reply", edited(request(), 45, 1), kFrameSize, V::UnknownKind},
        {"an acceptance", edited(command(FrameKind::ApplyNetwork), 45, 2), kFrameSize, V::UnknownKind},
        {"kind 6", edited(command(FrameKind::ApplyNetwork), 45, 6), kFrameSize, V::UnknownKind},
        {"a request to a box", edited(request(), 0, 0x02), kFrameSize, V::RequestNotToGroup},
        {"a request to broadcast", toBroadcast, kFrameSize, V::RequestNotToGroup},
        {"a command to the group", commandToGroup, kFrameSize, V::CommandToGroup},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checkOutgoingFrame(reinterpret_cast<const std::uint8_t*>(&c.frame), c.length, kOwnMac),
                  c.verdict)
            << c.name << ": " << verdictText(checkOutgoingFrame(reinterpret_cast<const std::uint8_t*>(&c.frame),
                                                                c.length, kOwnMac));
    }
}

TEST(RateLimit, ABurstThenTheRefillRate) {
    RateLimit limit(3, 10);  // 3 at once, then one every 100 ms
    EXPECT_TRUE(limit.take(0));
    EXPECT_TRUE(limit.take(0));
    EXPECT_TRUE(limit.take(0));
    EXPECT_FALSE(limit.take(50));
    EXPECT_TRUE(limit.take(100));
    EXPECT_FALSE(limit.take(100));
    EXPECT_TRUE(limit.take(10000));
    EXPECT_TRUE(limit.take(10000));
    EXPECT_TRUE(limit.take(10000));
    EXPECT_FALSE(limit.take(10000)) << "never more than the burst saved up";
}

TEST(HelperProtocol, RequestsGoThereAndBackAndMalformedOnesAreRefused) {
    TAnalyseBuffer frame = request();
    const std::vector<Request> requests = {
        Hello{}, List{}, QueryMac{"vq0"}, Open{"enp3s0"},
        Send{7, std::vector<std::uint8_t>(reinterpret_cast<std::uint8_t*>(&frame),
                                          reinterpret_cast<std::uint8_t*>(&frame) + kFrameSize)},
        Receive{1000, {1, 2, 3}}, Dropped{4}, Close{5}, Ping{{192, 0, 2, 9}},
        PingAll{{192, 0, 2, 9, 192, 0, 2, 10}},
    };
    for (const Request& r : requests) {
        const std::string bytes = encode(r);
        const auto back = decodeRequest(bytes);
        ASSERT_TRUE(back) << r.index();
        EXPECT_EQ(encode(*back), bytes) << r.index();
        // Every cut of a request is refused, never read past its end.
        for (std::size_t n = 0; n < bytes.size(); ++n)
            EXPECT_FALSE(decodeRequest(bytes.substr(0, n))) << r.index() << " cut at " << n;
        EXPECT_FALSE(decodeRequest(bytes + '\0')) << r.index() << ": a byte too many";
    }
    std::string otherVersion = encode(Hello{});
    otherVersion[0] = 2;
    EXPECT_FALSE(decodeRequest(otherVersion));
    EXPECT_FALSE(decodeRequest(encode(Open{"../etc"})));
    EXPECT_FALSE(decodeRequest(encode(Open{""})));
    EXPECT_FALSE(decodeRequest(encode(Open{std::string(256, 'a')})));
    EXPECT_FALSE(decodeRequest(encode(Receive{0, std::vector<std::uint32_t>(17, 1)})));
    EXPECT_FALSE(decodeRequest(encode(Send{1, std::vector<std::uint8_t>(1515, 0)})));
    EXPECT_FALSE(decodeRequest(encode(PingAll{std::vector<std::uint8_t>(4 * (kMaxPings + 1), 1)})));
    EXPECT_FALSE(decodeRequest(Writer(Kind::Ok).message())) << "a reply is no request";
}

}  // namespace
