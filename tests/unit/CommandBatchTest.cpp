// Many boxes' commands in flight together, against the fake link: each box's result and
// record as its own Send would leave them, the order of a box's commands, the bound on
// what is in flight, and the pings of many addresses at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FakeLink.h"
#include "linux/HelperLink.h"
#include "linux/IcmpEcho.h"
#include "model/Response.h"
#include "support/Mac.h"
#include "velqorin/CommandBatch.h"

using namespace velqorin;
using namespace velqorin::test;

namespace {

Mac boxMac(std::size_t n) {
    return {0x02, 0xB0, 0x00, 0x00, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n & 0xFF)};
}

// How a box answers a command: with `kind` after `afterMs`, or not at all.
struct Answering {
    std::optional<FrameKind> kind = FrameKind::CommandAccepted;
    std::int64_t afterMs = 20;
};

struct Site {
    FakeRawNetwork fake;
    std::vector<TAnalyseBuffer> replies;
    std::vector<std::unique_ptr<CVelqorinBoxOnNetwork>> boxes;
    std::map<std::uint64_t, std::vector<Answering>> script;  // by box MAC, a command each
    std::map<std::string, std::size_t> mostInFlight;          // by adapter
    std::map<std::uint64_t, std::vector<Bytes>> answersSent;  // by box MAC

    FakeAdapter& adapter(const std::string& name) {
        FakeAdapter& a = fake.link.add(name);
        a.onSend = [this](FakeAdapter& on, const Bytes& sent) {
            const std::size_t sentHere = static_cast<std::size_t>(std::count_if(
                fake.link.sent.begin(), fake.link.sent.end(), [&](const auto& s) { return s.adapter == on.name; }));
            mostInFlight[on.name] = std::max(mostInFlight[on.name], sentHere - on.delivered);
            auto& planned = script[macKey(sent.data())];
            const Answering how = planned.empty() ? Answering{} : planned.front();
            if (!planned.empty()) planned.erase(planned.begin());
            if (!how.kind) return;
            Bytes answer = answerTo(sent, *how.kind, ("NEXT-" + std::to_string(fake.link.sent.size())).c_str());
            answersSent[macKey(sent.data())].push_back(answer);
            on.arriveAt(fake.clock.nowMs() + how.afterMs, {std::move(answer)});
        };
        return a;
    }

    CVelqorinBoxOnNetwork& box(std::size_t n, const char* adapterName, std::vector<Answering> planned = {{}}) {
        replies.push_back(makeReply(std::to_string(1000 + n), "TOKEN", kAdapterMac, boxMac(n)));
        setFieldText(replies.back().challenge, "FIRST");
        boxes.push_back(std::make_unique<CVelqorinBoxOnNetwork>(nullptr, &replies.back(), adapterName));
        script[macKey(boxMac(n).data())] = std::move(planned);
        return *boxes.back();
    }

    // What was sent to box n, in order.
    std::vector<FakeLink::Sent> sentTo(std::size_t n) const {
        std::vector<FakeLink::Sent> out;
        for (const auto& s : fake.link.sent)
            if (std::equal(s.frame.begin(), s.frame.begin() + kMacSize, boxMac(n).begin())) out.push_back(s);
        return out;
    }
};

const char kPassword[] = "admin";

TEST(CommandBatch, EachBoxGetsTheResultAndRecordItsOwnSendWouldGive) {
    Site site;
    FakeAdapter& eth0 = site.adapter("eth0");
    site.adapter("eth1").openFails = true;
    const FrameKind accepted = FrameKind::CommandAccepted, refused = FrameKind::CommandRefused;
    struct Row {
        const char* what;
        const char* adapter;
        Answering answer;
        int result;
    };
    const std::vector<Row> rows = {
        {"answers last", "eth0", {accepted, 1500}, kCommandAccepted},
        {"answers first", "eth0", {accepted, 5}, kCommandAccepted},
        {"silent among answering boxes", "eth0", {std::nullopt, 0}, kCommandNoAnswer},
        {"refuses", "eth0", {refused, 60}, kCommandRefused},
        {"on an adapter that does not open", "eth1", {accepted, 5}, kCommandNoAnswer},
        {"answered only by another box", "eth0", {std::nullopt, 0}, kCommandNoAnswer},
    };
    std::vector<BoxCommands> batch;
    for (std::size_t i = 0; i < rows.size(); ++i)
        batch.push_back({&site.box(i, rows[i].adapter, {rows[i].answer}),
                         {networkCommand(kPassword, false, socketAddress("192.0.2.77"), socketAddress("255.255.255.0"), true, false)}});
    // The last row's box hears an answer that comes from a box not in the batch.
    eth0.onSend = [previous = eth0.onSend, &site](FakeAdapter& on, const Bytes& sent) {
        previous(on, sent);
        if (!std::equal(sent.begin(), sent.begin() + kMacSize, boxMac(5).begin())) return;
        Bytes stranger = answerTo(sent, FrameKind::CommandAccepted, "X");
        std::memcpy(stranger.data() + kMacSize, boxMac(99).data(), kMacSize);
        on.arriveAt(site.fake.clock.nowMs() + 10, {stranger});
    };

    const auto results = sendCommands(batch);
    ASSERT_EQ(results.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        EXPECT_EQ(results[i], std::vector<int>{rows[i].result});
        const CVelqorinBoxOnNetwork& box = *site.boxes[i];
        const auto sent = site.sentTo(i);
        ASSERT_EQ(sent.size(), i == 4 ? 0u : 1u) << "each command goes once";
        if (rows[i].result == kCommandNoAnswer) {
            // The record keeps what the operation wrote into it.
            EXPECT_EQ(ipText(box.storedRecord.manualIp), "192.0.2.77");
            EXPECT_EQ(box.storedRecord.frameKind, static_cast<std::uint8_t>(FrameKind::DiscoveryReply));
        } else {
            EXPECT_EQ(bytesOf(box.storedRecord), site.answersSent[macKey(boxMac(i).data())].at(0));
            EXPECT_EQ(box.storedRecord.frameKind, static_cast<std::uint8_t>(*rows[i].answer.kind));
        }
        EXPECT_EQ(std::string(box.password, sizeof box.password), std::string(sizeof box.password, '\0'))
            << "the password is wiped";
        if (!sent.empty()) {
            char response[kResponseLength + 1];
            makeResponse(kPassword, "FIRST", response);
            TAnalyseBuffer command;
            std::memcpy(&command, sent[0].frame.data(), kFrameSize);
            EXPECT_STREQ(command.credential, response);
            EXPECT_EQ(command.frameKind, static_cast<std::uint8_t>(FrameKind::ApplyNetwork));
        }
    }
    EXPECT_EQ(site.fake.link.openNow, 0) << "every capture is closed";
    EXPECT_EQ(site.mostInFlight["eth0"], 5u) << "all five went out before the first answer";
}

TEST(CommandBatch, ABoxsCommandsGoInOrderEachAfterTheAnswerBefore) {
    const Answering accepted{FrameKind::CommandAccepted, 40}, refused{FrameKind::CommandRefused, 40},
        silent{std::nullopt, 0};
    struct Row {
        const char* what;
        Answering first;
        std::vector<int> results;
    };
    for (const Row& row : std::vector<Row>{{"accepted", accepted, {0, 0}},
                                           {"refused", refused, {-1}},
                                           {"unanswered", silent, {-2}}}) {
        SCOPED_TRACE(row.what);
        Site site;
        site.adapter("eth0");
        CVelqorinBoxOnNetwork& box = site.box(0, "eth0", {row.first, accepted});
        const std::vector<BoxCommands> batch = {
            {&box,
             {synchroCommand(kPassword, false, 2600, 2, false),
              networkCommand(kPassword, true, socketAddress("0.0.0.0"), socketAddress("0.0.0.0"), false, true)}}};
        EXPECT_EQ(sendCommands(batch)[0], row.results);
        const auto sent = site.sentTo(0);
        ASSERT_EQ(sent.size(), row.results.size());
        EXPECT_EQ(sent[0].frame[offsetof(TAnalyseBuffer, frameKind)],
                  static_cast<std::uint8_t>(FrameKind::ApplySynchro));
        if (sent.size() < 2) continue;
        EXPECT_GE(sent[1].atMs, sent[0].atMs + 40) << "the second waits for the first's answer";
        TAnalyseBuffer second;
        std::memcpy(&second, sent[1].frame.data(), kFrameSize);
        EXPECT_EQ(second.frameKind, static_cast<std::uint8_t>(FrameKind::ApplyNetworkAndRestart));
        char response[kResponseLength + 1];
        makeResponse(kPassword, "NEXT-1", response);
        EXPECT_STREQ(second.credential, response) << "keyed with the first answer's challenge";
        EXPECT_EQ(loadLe<std::uint32_t>(second.syncMaster), 2600u) << "built on the first answer";
    }
}

TEST(CommandBatch, AnUnansweredWindowLasts2point1To4point1SecondsFromItsOwnSend) {
    // Wherever the send falls in its second.
    for (const std::int64_t offset : {0, 450, 899, 950}) {
        SCOPED_TRACE(offset);
        Site site;
        site.fake.clock.advance(std::chrono::milliseconds(offset));
        site.adapter("eth0");
        const std::vector<BoxCommands> batch = {
            {&site.box(0, "eth0", {{std::nullopt, 0}}), {unlockCommand("CODE")}},
            {&site.box(1, "eth0", {{FrameKind::CommandAccepted, 3000}}), {unlockCommand("CODE")}}};
        const std::int64_t begin = site.fake.clock.nowMs();
        const auto results = sendCommands(batch);
        EXPECT_EQ(results[0], std::vector<int>{kCommandNoAnswer});
        EXPECT_EQ(results[1], std::vector<int>{kCommandAccepted}) << "an answer after 3 s is still in time";
        const std::int64_t took = site.fake.clock.nowMs() - begin;
        EXPECT_GE(took, 2100);
        EXPECT_LE(took, 4100);
    }
}

TEST(CommandBatch, NoMoreThanTheBoundInFlightOnEachAdapter) {
    struct Row {
        std::size_t bound;
        std::size_t boxesPerAdapter;
    };
    for (const Row row : std::vector<Row>{{1, 20}, {10, 100}, {64, 200}}) {
        SCOPED_TRACE(row.bound);
        Site site;
        site.adapter("eth0");
        site.adapter("eth1");
        std::vector<BoxCommands> batch;
        for (std::size_t i = 0; i < 2 * row.boxesPerAdapter; ++i)
            batch.push_back({&site.box(i, i % 2 ? "eth1" : "eth0", {{FrameKind::CommandAccepted, 40}}),
                             {unlockCommand("CODE")}});
        CommandBatchOptions options;
        options.inFlightPerAdapter = row.bound;
        std::size_t done = 0;
        options.progress = [&](std::size_t n) { done = n; };
        const std::int64_t begin = site.fake.clock.nowMs();
        const auto results = sendCommands(batch, options);
        EXPECT_TRUE(std::all_of(results.begin(), results.end(),
                                [](const std::vector<int>& r) { return r == std::vector<int>{0}; }));
        EXPECT_EQ(done, batch.size());
        EXPECT_EQ(site.mostInFlight["eth0"], row.bound);
        EXPECT_EQ(site.mostInFlight["eth1"], row.bound);
        // Rounds of 40 ms: as many as the bound makes.
        const std::int64_t rounds = static_cast<std::int64_t>((row.boxesPerAdapter + row.bound - 1) / row.bound);
        EXPECT_LE(site.fake.clock.nowMs() - begin, rounds * 40 + 100);
    }
}

// Loopback only: every 127/8 address answers. A broadcast address without SO_BROADCAST is
// refused by the kernel before anything is sent.
TEST(PingAll, EachAddressGetsWhatItsOwnPingGivesOnEverySocketAndThroughTheHelper) {
    std::vector<Ipv4Bytes> addresses;
    for (int i = 0; i < 300; ++i)
        addresses.push_back({127, 0, static_cast<std::uint8_t>(i / 250), static_cast<std::uint8_t>(1 + i % 250)});
    addresses.insert(addresses.begin() + 150, Ipv4Bytes{255, 255, 255, 255});
    std::vector<bool> expected(addresses.size(), true);
    expected[150] = false;

    int ways = 0;
    for (const EchoSocket kind : {EchoSocket::Datagram, EchoSocket::Raw}) {
        const auto answered = icmpEchoAll(addresses, kind);
        if (!answered) continue;  // this socket kind is not open to us
        ++ways;
        EXPECT_EQ(*answered, expected);
        const std::uint8_t one[4] = {127, 0, 0, 9}, broadcast[4] = {255, 255, 255, 255};
        EXPECT_EQ(icmpEcho(one, kind), Echo::Answered);
        EXPECT_EQ(icmpEcho(broadcast, kind), Echo::NoAnswer);
    }
    // The helper pings with a raw socket: as root, or with its file capability.
    HelperLink helper(VELQORIN_LINK_HELPER_BUILT);
    if (const auto answered = helper.pingAll(addresses)) {
        ++ways;
        EXPECT_EQ(*answered, expected);
    }
    if (ways == 0) GTEST_SKIP() << "no ICMP socket may be opened here, not even by the helper";
}

}  // namespace
