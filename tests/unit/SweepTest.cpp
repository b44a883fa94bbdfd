#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "FakeLink.h"
#include "FakePlatform.h"
#include "velqorin/NetworkAnalyse.h"

using namespace velqorin;
using namespace velqorin::test;
using std::chrono::milliseconds;

namespace {

constexpr Mac kEth0{0x02, 0x00, 0x00, 0xAA, 0x00, 0x00};
constexpr Mac kEth1{0x02, 0x00, 0x00, 0xAA, 0x00, 0x01};

Mac boxMac(int n) { return {0x00, 0x50, 0xC2, 0x00, 0x00, static_cast<std::uint8_t>(n)}; }

// A box's reply to a request that was just sent: to the requester, echoing its token.
Bytes replyTo(const Bytes& request, const std::string& serial, Mac from,
              const char* token = nullptr) {
    TAnalyseBuffer r;
    std::memcpy(&r, request.data(), kFrameSize);
    std::memcpy(r.destinationMac, request.data() + 6, 6);
    std::memcpy(r.sourceMac, from.data(), 6);
    r.frameKind = 1;
    setFieldText(r.serialNumber, serial);
    if (token) setFieldText(r.analyserToken, token);
    return bytesOf(r);
}

struct SweepFixture : ::testing::Test {
    FakeRawNetwork net;
    FakePlatform table;
    ScopedPlatform usingTable{table};
    CVelqorinNetworkAnalyse analyser;

    std::vector<std::string> entries() {
        std::vector<std::string> out;
        for (auto* b = analyser.firstBox; b; b = b->next)
            out.push_back(std::string(fieldText(b->storedRecord.serialNumber)) + "@" + b->adapterName);
        return out;
    }
};

TEST_F(SweepFixture, ABoxOnTwoAdaptersIsListedOncePerAdapterInAdapterOrder) {
    table.table = {adapter("eth0", kEth0), adapter("eth1", kEth1)};
    for (auto [name, mac] : {std::pair{"eth0", kEth0}, {"eth1", kEth1}}) {
        net.link.add(name, mac).onSend = [](FakeAdapter& a, const Bytes& request) {
            a.batches.push_back({milliseconds(20), {replyTo(request, "2555", boxMac(1))}});
        };
    }
    ASSERT_TRUE(analyser.Analyse());
    EXPECT_EQ(entries(), (std::vector<std::string>{"2555@eth0", "2555@eth1"}));

    // each entry leads back to the interface it was found on
    unsigned char mac[8];
    EXPECT_STREQ(analyser.getNetworkInterface(analyser.firstBox->getMac(mac))->name, "eth0");
    EXPECT_STREQ(analyser.getNetworkInterface(analyser.lastBox->getMac(mac))->name, "eth1");
    EXPECT_EQ(analyser.CountNetworkInterfaces(), 2);
}

TEST_F(SweepFixture, EachAdapterGetsOneRequestCarryingItsOwnMac) {
    net.link.add("eth0", kEth0);
    net.link.add("eth1", kEth1);
    ASSERT_TRUE(analyser.Analyse());
    ASSERT_EQ(net.link.sent.size(), 2u);

    TAnalyseBuffer expected;
    buildDiscoveryRequest(expected, analyser.analyserToken);
    std::memcpy(expected.sourceMac, kEth0.data(), 6);
    EXPECT_EQ(net.link.sent[0].frame, bytesOf(expected));
    std::memcpy(expected.sourceMac, kEth1.data(), 6);
    EXPECT_EQ(net.link.sent[1].frame, bytesOf(expected));
    EXPECT_EQ(net.link.sent[1].adapter, "eth1");
}

TEST(SweepTiming, AQuietAdapterTakesAPauseAndThreeReads) {
    for (std::int64_t offset : {0, 1, 500, 899, 900, 950, 999}) {
        FakeRawNetwork net(offset);
        FakePlatform table;
        ScopedPlatform usingTable(table);
        net.link.add("eth0");
        CVelqorinNetworkAnalyse analyser;
        const auto start = net.clock.nowMs();
        ASSERT_TRUE(analyser.Analyse());
        EXPECT_EQ(net.link.receives, 3) << offset;
        EXPECT_EQ(net.clock.nowMs() - start, 3100) << offset;
        EXPECT_EQ(net.clock.pauses, std::vector<milliseconds>{milliseconds(100)});
        EXPECT_EQ(net.link.openNow, 0);
    }
}

TEST(SweepTiming, WithTrafficTheWindowEndsAtTheFirstReadAfterThreeSecondsTurn) {
    // Frames that are not replies arrive every 300 ms; the window ends between two and
    // four seconds after the pause, depending on where the clock's seconds fall, the
    // same in both sweeps.
    struct Case {
        std::int64_t offset;
        int receives;
        std::int64_t elapsedMs;
    } cases[] = {{0, 10, 3100}, {850, 7, 2200}, {600, 8, 2500}};
    for (const Case& c : cases) {
        for (const bool concurrently : {false, true}) {
            FakeRawNetwork net(c.offset);
            FakePlatform table;
            ScopedPlatform usingTable(table);
            net.link.add("eth0").onSend = [](FakeAdapter& a, const Bytes& request) {
                Bytes noise = replyTo(request, "1", boxMac(1));
                noise[45] = 0;  // another PC's request
                for (int i = 0; i < 20; ++i) a.batches.push_back({milliseconds(300), {noise}});
            };
            CVelqorinNetworkAnalyse analyser;
            const auto start = net.clock.nowMs();
            ASSERT_TRUE(concurrently ? analyser.AnalyseConcurrently(nullptr, 0, nullptr, 1)
                                     : analyser.Analyse());
            EXPECT_EQ(net.link.receives, c.receives) << c.offset << " " << concurrently;
            EXPECT_EQ(net.clock.nowMs() - start, c.elapsedMs) << c.offset << " " << concurrently;
            EXPECT_EQ(analyser.CountBox(), 0);
        }
    }
}

TEST_F(SweepFixture, AReplyAfterTheWindowIsNeverSeen) {
    net.link.add("eth0", kEth0).onSend = [](FakeAdapter& a, const Bytes& request) {
        for (int i = 0; i < 3; ++i) a.batches.push_back({milliseconds(1000), {}});
        a.batches.push_back({milliseconds(10), {replyTo(request, "late", boxMac(1))}});
    };
    net.link.add("eth1", kEth1);
    ASSERT_TRUE(analyser.Analyse());
    EXPECT_TRUE(entries().empty());
}

TEST_F(SweepFixture, OnlyWellFormedRepliesAreAccepted) {
    net.link.add("eth0", kEth0).onSend = [](FakeAdapter& a, const Bytes& request) {
        auto bad = [&](const std::string& serial, auto change) {
            Bytes f = replyTo(request, serial, boxMac(9));
            change(f);
            return f;
        };
        a.batches.push_back(
            {milliseconds(5),
             {bad("short", [](Bytes& f) { f.pop_back(); }),
              bad("long", [](Bytes& f) { f.push_back(0); }),
              bad("reserved", [](Bytes& f) { f[30] = 1; }),
              bad("version2", [](Bytes& f) { f[44] = 2; }),
              bad("magic", [](Bytes& f) { f[22] = ' '; }),
              bad("accepted", [](Bytes& f) { f[45] = 2; }),
              bad("request", [](Bytes& f) { f[45] = 0; }),
              replyTo(request, "good", boxMac(1)),
              bad("to-someone-else", [](Bytes& f) { f[0] ^= 0xFF; })}});
    };
    ASSERT_TRUE(analyser.Analyse());
    // the destination is the adapter's filter's business, not the sweep's
    EXPECT_EQ(entries(), (std::vector<std::string>{"good@eth0", "to-someone-else@eth0"}));
}

TEST_F(SweepFixture, TokensDecideWhetherALaterReplyReplacesTheEntry) {
    net.link.add("eth0", kEth0).onSend = [](FakeAdapter& a, const Bytes& request) {
        a.batches.push_back({milliseconds(5),
                             {replyTo(request, "A", boxMac(1), ""),
                              replyTo(request, "B", boxMac(2))}});
        a.batches.push_back({milliseconds(5),
                             {replyTo(request, "A", boxMac(1), "FOREIGN-TOKEN"),
                              replyTo(request, "B", boxMac(2)), replyTo(request, "C", boxMac(3))}});
    };
    ASSERT_TRUE(analyser.Analyse());
    // A's foreign repeat is dropped; B's repeat with our token re-enters B, before C comes.
    EXPECT_EQ(entries(), (std::vector<std::string>{"A@eth0", "B@eth0", "C@eth0"}));
    EXPECT_EQ(fieldText(analyser.firstBox->storedRecord.analyserToken), "");
    EXPECT_EQ(analyser.firstBox->prev, nullptr);
}

TEST_F(SweepFixture, AnAnswerRepeatedWithOurTokenMovesLast) {
    net.link.add("eth0", kEth0).onSend = [](FakeAdapter& a, const Bytes& request) {
        Bytes again = replyTo(request, "A", boxMac(1));
        again[46] = 198;  // the later reply's data
        a.batches.push_back({milliseconds(5), {replyTo(request, "A", boxMac(1)), replyTo(request, "B", boxMac(2))}});
        a.batches.push_back({milliseconds(5), {again}});
    };
    ASSERT_TRUE(analyser.Analyse());
    EXPECT_EQ(entries(), (std::vector<std::string>{"B@eth0", "A@eth0"}));
    EXPECT_EQ(analyser.lastBox->storedRecord.currentIp[0], 198);
    EXPECT_EQ(analyser.firstBox->prev, nullptr);
}

TEST_F(SweepFixture, AdaptersThatFailAreSkippedAndTheSweepStillSucceeds) {
    table.table = {adapter("eth0", kEth0), adapter("eth1", kEth1)};
    net.link.add("no-open").openFails = true;
    net.link.add("no-mac").macFails = true;
    net.link.add("no-send").sendFails = true;
    FakeAdapter& deaf = net.link.add("deaf");
    deaf.receiveFails = true;
    ASSERT_TRUE(analyser.Analyse());
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(analyser.CountNetworkInterfaces(), 2);
    EXPECT_EQ(net.link.openNow, 0);
    EXPECT_EQ(net.link.sent.size(), 1u);  // only the deaf adapter got its request out
    EXPECT_EQ(net.link.receives, 3);      // and its failing reads still end the window
    EXPECT_EQ(net.link.opened,
              (std::vector<std::string>{"no-open", "no-mac", "no-send", "deaf"}));
}

TEST_F(SweepFixture, NoAdapterListMeansFalseAndEmptyLists) {
    table.table = {adapter("eth0", kEth0)};
    net.link.add("eth0", kEth0).onSend = [](FakeAdapter& a, const Bytes& request) {
        a.batches.push_back({milliseconds(5), {replyTo(request, "A", boxMac(1))}});
    };
    ASSERT_TRUE(analyser.Analyse());
    ASSERT_EQ(analyser.CountBox(), 1);

    net.link.listFails = true;
    EXPECT_FALSE(analyser.Analyse());
    EXPECT_EQ(analyser.firstBox, nullptr);
    EXPECT_EQ(analyser.CountBox(), 0);
    EXPECT_EQ(analyser.firstInterface, nullptr);
    EXPECT_EQ(analyser.CountNetworkInterfaces(), 0);
}

TEST_F(SweepFixture, ASweepCanBeLimitedToNamedAdaptersAndReportsProgress) {
    for (const char* name : {"eth0", "eth1", "eth2"}) net.link.add(name);
    struct Seen {
        std::vector<std::string> calls;
    } seen;
    const char* only[] = {"eth2", "eth0", "absent"};
    ASSERT_TRUE(analyser.AnalyseAdapters(
        only, 3,
        [](void* context, const char* name, int index, int count) {
            static_cast<Seen*>(context)->calls.push_back(std::string(name) + " " +
                                                         std::to_string(index) + "/" +
                                                         std::to_string(count));
        },
        &seen));
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"eth0 0/2", "eth2 1/2"}));
    EXPECT_EQ(net.link.opened, (std::vector<std::string>{"eth0", "eth2"}));
}

// -- One listening window for every adapter ------------------------------------------

// Replies on three adapters, interleaved in time: each adapter's arrive 100 ms apart, the
// adapters' turns shifted by 30 ms. eth1 repeats A with a foreign token and B with ours.
void interleavedFleet(FakeLink& link, FakeClock& clock) {
    const std::vector<std::pair<const char*, Mac>> adapters{
        {"eth0", kEth0}, {"eth1", kEth1}, {"eth2", {0x02, 0, 0, 0xAA, 0, 2}}};
    for (std::size_t k = 0; k < adapters.size(); ++k) {
        link.add(adapters[k].first, adapters[k].second).onSend = [&clock, k](FakeAdapter& a,
                                                                          const Bytes& request) {
            const std::int64_t base = clock.nowMs() + 150 + 30 * static_cast<std::int64_t>(k);
            const std::string tag = std::to_string(k);
            std::vector<std::vector<Bytes>> turns{
                {replyTo(request, "A", boxMac(1)), replyTo(request, "S" + tag, boxMac(10))},
                {replyTo(request, "B", boxMac(2))},
                {replyTo(request, "C" + tag, boxMac(3))}};
            if (k == 1) {
                turns.push_back({replyTo(request, "A", boxMac(1), "FOREIGN"),
                                 replyTo(request, "B", boxMac(2))});
            }
            for (std::size_t t = 0; t < turns.size(); ++t)
                a.batches.push_back(Batch::arrivingAt(base + 100 * static_cast<std::int64_t>(t),
                                                      std::move(turns[t])));
        };
    }
}

TEST_F(SweepFixture, RepliesInterleavedInTimeAreListedPerAdapterAsOneByOneListsThem) {
    interleavedFleet(net.link, net.clock);
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, 1));
    // eth1's A stays first: the foreign repeat is dropped; B moves after C1.
    EXPECT_EQ(entries(), (std::vector<std::string>{"A@eth0", "S0@eth0", "B@eth0", "C0@eth0",
                                                   "A@eth1", "S1@eth1", "C1@eth1", "B@eth1",
                                                   "A@eth2", "S2@eth2", "B@eth2", "C2@eth2"}));
    EXPECT_EQ(net.link.maxOpen, 3);
    EXPECT_EQ(net.link.openNow, 0);

    FakeRawNetwork again;
    interleavedFleet(again.link, again.clock);
    CVelqorinNetworkAnalyse oneByOne;
    ASSERT_TRUE(oneByOne.Analyse());
    std::vector<std::string> listed;
    for (auto* b = oneByOne.firstBox; b; b = b->next)
        listed.push_back(std::string(fieldText(b->storedRecord.serialNumber)) + "@" + b->adapterName);
    EXPECT_EQ(listed, entries());
    EXPECT_EQ(again.link.maxOpen, 1);
}

TEST(ConcurrentSweep, ThreeQuietAdaptersShareOnePauseAndOneWindow) {
    for (std::int64_t offset : {0, 1, 500, 999}) {
        FakeRawNetwork net(offset);
        FakePlatform table;
        ScopedPlatform usingTable(table);
        for (const char* name : {"eth0", "eth1", "eth2"}) net.link.add(name);
        CVelqorinNetworkAnalyse analyser;
        const auto start = net.clock.nowMs();
        ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, 1));
        EXPECT_EQ(net.clock.nowMs() - start, 3100) << offset;
        EXPECT_EQ(net.clock.pauses, std::vector<milliseconds>{milliseconds(100)});
        ASSERT_EQ(net.link.reads.size(), 3u);
        EXPECT_EQ(net.link.reads[0].adapters, (std::vector<std::string>{"eth0", "eth1", "eth2"}));
        EXPECT_EQ(net.link.sent.size(), 3u);
        EXPECT_EQ(net.link.maxOpen, 3);
        EXPECT_EQ(net.link.openNow, 0);
    }
}

TEST_F(SweepFixture, AConcurrentWindowNeverSeesAReplyAfterItsEnd) {
    net.link.add("eth0", kEth0).onSend = [this](FakeAdapter& a, const Bytes& request) {
        a.batches.push_back(Batch::arrivingAt(net.clock.nowMs() + 3050, {replyTo(request, "in", boxMac(1))}));
        a.batches.push_back(Batch::arrivingAt(net.clock.nowMs() + 3200, {replyTo(request, "late", boxMac(2))}));
    };
    net.link.add("eth1", kEth1);
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, 1));
    EXPECT_EQ(entries(), std::vector<std::string>{"in@eth0"});
}

TEST_F(SweepFixture, AnAdapterFailingInTheWindowKeepsWhatItGaveAndLeavesTheOthersListening) {
    net.link.add("eth0", kEth0).onSend = [this](FakeAdapter& a, const Bytes& request) {
        const auto t = net.clock.nowMs();
        a.batches.push_back(Batch::arrivingAt(t + 400, {replyTo(request, "early", boxMac(1))}));
        a.batches.push_back(Batch::arrivingAt(t + 2000, {replyTo(request, "after-failure", boxMac(2))}));
        a.failsFromMs = t + 1200;
    };
    net.link.add("eth1", kEth1).onSend = [this](FakeAdapter& a, const Bytes& request) {
        a.batches.push_back(Batch::arrivingAt(net.clock.nowMs() + 2500, {replyTo(request, "late-but-in", boxMac(3))}));
    };
    const auto start = net.clock.nowMs();
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, 1));
    EXPECT_EQ(entries(), (std::vector<std::string>{"early@eth0", "late-but-in@eth1"}));
    // eth1 is read to the end of the window: reads at 400, 1200 (the failure), 2200, 2500,
    // then the one that returns past the third second turn, at 3500.
    EXPECT_EQ(net.clock.nowMs() - start, 3500);
    for (const auto& read : net.link.reads) {
        if (read.atMs > start + 1200) {
            EXPECT_EQ(read.adapters, std::vector<std::string>{"eth1"}) << read.atMs - start;
        }
    }
    EXPECT_EQ(net.link.openNow, 0);
}

TEST_F(SweepFixture, AdaptersThatCannotBeAskedAreLeftOutOfTheWindow) {
    net.link.add("no-open").openFails = true;
    net.link.add("no-mac").macFails = true;
    net.link.add("no-send").sendFails = true;
    net.link.add("eth0", kEth0).onSend = [](FakeAdapter& a, const Bytes& request) {
        a.batches.push_back({milliseconds(5), {replyTo(request, "A", boxMac(1))}});
    };
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, 1));
    EXPECT_EQ(entries(), std::vector<std::string>{"A@eth0"});
    ASSERT_FALSE(net.link.reads.empty());
    for (const auto& read : net.link.reads) EXPECT_EQ(read.adapters, std::vector<std::string>{"eth0"});
    EXPECT_EQ(net.link.openNow, 0);

    // nothing to listen to: no pause, no window
    FakeRawNetwork none;
    none.link.add("no-open").openFails = true;
    CVelqorinNetworkAnalyse other;
    ASSERT_TRUE(other.AnalyseConcurrently(nullptr, 0, nullptr, 1));
    EXPECT_TRUE(none.clock.pauses.empty());
    EXPECT_TRUE(none.link.reads.empty());
}

// What an observer hears, one line a call.
struct Heard {
    std::vector<std::string> lines;
    int stopAfterReads = -1;
    int reads = 0;

    static void adapter(void* self, const char* name, int index, int count) {
        static_cast<Heard*>(self)->lines.push_back("adapter " + std::string(name) + " " +
                                                   std::to_string(index) + "/" +
                                                   std::to_string(count));
    }
    static void listening(void* self, const char* const* names, int count, int elapsedMs) {
        auto* h = static_cast<Heard*>(self);
        ++h->reads;
        std::string line = "listening";
        for (int i = 0; i < count; ++i) line += std::string(" ") + names[i];
        h->lines.push_back(line + " " + std::to_string(elapsedMs));
    }
    static void done(void* self, const char* name, int accepted, unsigned dropped) {
        static_cast<Heard*>(self)->lines.push_back("done " + std::string(name) + " " +
                                                   std::to_string(accepted) + " " +
                                                   std::to_string(dropped));
    }
    static bool stop(void* self) {
        auto* h = static_cast<Heard*>(self);
        return h->stopAfterReads >= 0 && h->reads >= h->stopAfterReads;
    }
    CVelqorinNetworkAnalyse::SweepObserver observer() {
        return {this, &Heard::adapter, &Heard::listening, &Heard::done, &Heard::stop, nullptr};
    }
};

TEST_F(SweepFixture, BothSweepsTellTheirObserverAdaptersReadsAndDrops) {
    auto fleet = [](FakeLink& link) {
        link.add("no-open").openFails = true;
        FakeAdapter& eth0 = link.add("eth0", kEth0);
        eth0.dropped = 7;
        eth0.onSend = [](FakeAdapter& a, const Bytes& request) {
            a.batches.push_back({milliseconds(5), {replyTo(request, "A", boxMac(1)),
                                                   replyTo(request, "B", boxMac(2))}});
        };
        link.add("eth1", kEth1);
    };
    fleet(net.link);
    Heard together;
    const auto observer = together.observer();
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, &observer, 1));
    EXPECT_EQ(together.lines,
              (std::vector<std::string>{"adapter no-open 0/3", "adapter eth0 1/3",
                                        "adapter eth1 2/3", "listening eth0 eth1 105",
                                        "listening eth0 eth1 1105", "listening eth0 eth1 2105",
                                        "listening eth0 eth1 3105", "done eth0 2 7",
                                        "done eth1 0 0"}));

    FakeRawNetwork again;
    fleet(again.link);
    Heard single;
    const auto singleObserver = single.observer();
    CVelqorinNetworkAnalyse oneByOne;
    ASSERT_TRUE(oneByOne.AnalyseAdapters(nullptr, 0, &singleObserver));
    EXPECT_EQ(single.lines,
              (std::vector<std::string>{"adapter no-open 0/3", "adapter eth0 1/3",
                                        "listening eth0 105", "listening eth0 1105",
                                        "listening eth0 2105", "listening eth0 3105",
                                        "done eth0 2 7", "adapter eth1 2/3", "listening eth1 1100",
                                        "listening eth1 2100", "listening eth1 3100",
                                        "done eth1 0 0"}));
}

TEST_F(SweepFixture, AStopRequestEndsEitherSweepAtTheNextRead) {
    for (bool concurrent : {true, false}) {
        FakeRawNetwork local;
        for (const char* name : {"eth0", "eth1"}) {
            local.link.add(name).onSend = [](FakeAdapter& a, const Bytes& request) {
                a.batches.push_back({milliseconds(5), {replyTo(request, "A", boxMac(1))}});
            };
        }
        Heard heard;
        heard.stopAfterReads = 1;
        const auto observer = heard.observer();
        CVelqorinNetworkAnalyse a;
        ASSERT_TRUE(concurrent ? a.AnalyseConcurrently(nullptr, 0, &observer, 1)
                               : a.AnalyseAdapters(nullptr, 0, &observer));
        EXPECT_EQ(heard.reads, 1) << concurrent;
        EXPECT_EQ(local.link.openNow, 0);
        // what came in that read is listed
        EXPECT_EQ(a.CountBox(), concurrent ? 2 : 1);
    }
}

TEST_F(SweepFixture, TheConcurrentSweepCanBeLimitedToNamedAdapters) {
    for (const char* name : {"eth0", "eth1", "eth2"}) net.link.add(name);
    const char* only[] = {"eth2", "eth0", "absent"};
    ASSERT_TRUE(analyser.AnalyseConcurrently(only, 3, nullptr, 1));
    EXPECT_EQ(net.link.opened, (std::vector<std::string>{"eth0", "eth2"}));
}

}  // namespace

// -- The request repeated within the one window -----------------------------------------

namespace velqorin_repeats {

// A reply whose challenge tells which request it answers.
Bytes replyWithChallenge(const Bytes& request, const std::string& serial, Mac from, int answer,
                         const char* token = nullptr) {
    Bytes f = replyTo(request, serial, from, token);
    TAnalyseBuffer r;
    std::memcpy(&r, f.data(), kFrameSize);
    setFieldText(r.challenge, "challenge-" + std::to_string(answer));
    return bytesOf(r);
}

// Frames arriving at `ms`, queued among the adapter's timed batches in time order.
void arriveAt(FakeAdapter& a, std::int64_t ms, std::vector<Bytes> frames) {
    auto at = std::find_if(a.batches.begin(), a.batches.end(),
                           [&](const Batch& b) { return b.atMs && *b.atMs > ms; });
    a.batches.insert(at, Batch::arrivingAt(ms, std::move(frames)));
}

}  // namespace velqorin_repeats

TEST(RepeatedRequests, GoOutEvery250MsAndTheWindowEndsWhenItWouldWithOne) {
    // A box that answers every request on each adapter, alone or among frames that are
    // not replies, arriving every 300 ms.
    for (const bool traffic : {false, true}) {
        for (std::int64_t offset : {0, 600, 850, 999}) {
            std::int64_t elapsedWithOne = 0;
            for (const int requests : {1, 3, 5}) {
                FakeRawNetwork net(offset);
                FakePlatform table;
                ScopedPlatform usingTable(table);
                for (const char* name : {"eth0", "eth1"}) {
                    net.link.add(name).onSend = [&, traffic](FakeAdapter& a, const Bytes& request) {
                        using velqorin_repeats::arriveAt;
                        arriveAt(a, net.clock.nowMs() + 5, {replyTo(request, "7", boxMac(7))});
                        if (!traffic || net.link.sent.size() > 2) return;  // once, at the first send
                        Bytes noise = replyTo(request, "1", boxMac(1));
                        noise[45] = 0;
                        for (int i = 1; i <= 20; ++i) arriveAt(a, net.clock.nowMs() + 300 * i, {noise});
                    };
                }
                CVelqorinNetworkAnalyse analyser;
                const auto start = net.clock.nowMs();
                ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, requests));
                const std::int64_t elapsed = net.clock.nowMs() - start;
                if (requests == 1) elapsedWithOne = elapsed;
                EXPECT_EQ(elapsed, elapsedWithOne) << traffic << " " << offset << " " << requests;
                if (!traffic) {
                    EXPECT_EQ(elapsed, 3100) << offset;
                }
                ASSERT_EQ(net.link.sent.size(), 2u * static_cast<std::size_t>(requests));
                for (std::size_t i = 0; i < net.link.sent.size(); ++i) {
                    const auto& s = net.link.sent[i];
                    EXPECT_EQ(s.adapter, i % 2 == 0 ? "eth0" : "eth1");
                    EXPECT_EQ(s.atMs - start, 250 * static_cast<std::int64_t>(i / 2)) << i;
                    EXPECT_EQ(s.frame, net.link.sent[i % 2].frame) << "same request, same token";
                }
                EXPECT_EQ(net.clock.pauses, std::vector<milliseconds>{milliseconds(100)});
                EXPECT_EQ(net.link.openNow, 0);
            }
        }
    }
}

TEST_F(SweepFixture, RepeatsAreFoldedIntoTheFirstPlaceWithTheNewestContentCarryingOurToken) {
    using velqorin_repeats::replyWithChallenge;
    int asked = 0;
    net.link.add("eth0", kEth0).onSend = [&](FakeAdapter& a, const Bytes& request) {
        const int n = ++asked;
        std::vector<Bytes> answers;
        // A answers every request; its newest challenge is the one a command must carry.
        answers.push_back(replyWithChallenge(request, "A", boxMac(1), n));
        // B's first request was lost: it answers the second and third only.
        if (n >= 2) answers.push_back(replyWithChallenge(request, "B", boxMac(2), n));
        // C's replies from the third on carry another analyser's token: older news, left out.
        answers.push_back(replyWithChallenge(request, "C", boxMac(3), n, n >= 3 ? "FOREIGN" : nullptr));
        // D's first reply has no token; the later ones, with ours, bring their content.
        answers.push_back(replyWithChallenge(request, "D", boxMac(4), n, n == 1 ? "" : nullptr));
        velqorin_repeats::arriveAt(a, net.clock.nowMs() + 20, std::move(answers));
        // E is heard only after the window.
        if (n == 1) velqorin_repeats::arriveAt(a, net.clock.nowMs() + 4000, {replyTo(request, "E", boxMac(5))});
    };
    struct Tallies {
        std::vector<CVelqorinNetworkAnalyse::AdapterTally> seen;
        std::vector<std::string> adapters;
        static void add(void* self, const CVelqorinNetworkAnalyse::AdapterTally* t) {
            static_cast<Tallies*>(self)->seen.push_back(*t);
            static_cast<Tallies*>(self)->adapters.emplace_back(t->adapter);
        }
    } tallies;
    CVelqorinNetworkAnalyse::SweepObserver observer{};
    observer.context = &tallies;
    observer.adapterTally = &Tallies::add;
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, &observer, 3));

    EXPECT_EQ(entries(), (std::vector<std::string>{"A@eth0", "C@eth0", "D@eth0", "B@eth0"}));
    std::vector<std::string> challenges;
    for (auto* b = analyser.firstBox; b; b = b->next)
        challenges.emplace_back(fieldText(b->storedRecord.challenge));
    // B, heard first after the second request, may be a box slow to answer: it owes no
    // answer yet that it did not send, so nothing shows loss and three requests go out.
    EXPECT_EQ(challenges, (std::vector<std::string>{"challenge-3", "challenge-2", "challenge-3",
                                                    "challenge-3"}));
    EXPECT_EQ(fieldText(analyser.firstBox->next->next->storedRecord.analyserToken),
              std::string_view(analyser.analyserToken));
    ASSERT_EQ(tallies.seen.size(), 1u);
    const auto& t = tallies.seen[0];
    EXPECT_EQ(tallies.adapters, std::vector<std::string>{"eth0"});
    EXPECT_EQ(t.requests, 3);
    EXPECT_EQ(t.replies, 11);
    EXPECT_EQ(t.boxes, 4);
    EXPECT_EQ(t.boxesShort, 1);  // B
}

TEST_F(SweepFixture, ABoxWhoseFirstRequestOrReplyWasLostIsStillListed) {
    // On both adapters the first request, or the box's answer to it, is lost.
    for (const auto& [name, mac] : {std::pair{"eth0", kEth0}, {"eth1", kEth1}}) {
        int asked = 0;
        net.link.add(name, mac).onSend = [asked](FakeAdapter& a, const Bytes& request) mutable {
            if (++asked == 1) return;
            a.batches.push_back({milliseconds(5), {replyTo(request, "2555", boxMac(1))}});
        };
    }
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr));
    EXPECT_EQ(entries(), (std::vector<std::string>{"2555@eth0", "2555@eth1"}));

    FakeRawNetwork once;
    int asked = 0;
    once.link.add("eth0", kEth0).onSend = [&asked](FakeAdapter& a, const Bytes& request) {
        if (++asked > 1) a.batches.push_back({milliseconds(5), {replyTo(request, "2555", boxMac(1))}});
    };
    CVelqorinNetworkAnalyse single;
    ASSERT_TRUE(single.AnalyseConcurrently(nullptr, 0, nullptr, 1));
    EXPECT_EQ(single.CountBox(), 0);
}

TEST_F(SweepFixture, ARepeatThatCannotBeSentClosesItsAdapterAndKeepsWhatItGave) {
    int asked = 0;
    FakeAdapter& eth0 = net.link.add("eth0", kEth0);
    eth0.onSend = [&](FakeAdapter& a, const Bytes& request) {
        a.batches.push_back({milliseconds(5), {replyTo(request, "A", boxMac(1))}});
        if (++asked == 1) a.sendFails = true;
    };
    net.link.add("eth1", kEth1).onSend = [](FakeAdapter& a, const Bytes& request) {
        a.batches.push_back({milliseconds(5), {replyTo(request, "B", boxMac(2))}});
    };
    ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, 3));
    EXPECT_EQ(entries(), (std::vector<std::string>{"A@eth0", "B@eth1"}));
    EXPECT_EQ(net.link.sent.size(), 4u);  // eth0 once, eth1 three times
    EXPECT_EQ(net.link.openNow, 0);
    EXPECT_EQ(net.link.reads.back().adapters, std::vector<std::string>{"eth1"});
}

TEST(RepeatedRequests, AnAdapterIsAskedAgainUpToFiveTimesOnlyWhileItsRepliesShowLoss) {
    const struct {
        int requests;
        std::vector<int> answered;  // the requests (from 1) the box's answer to gets through
        int sent;
        int delayMs = 5;            // how long the box takes to answer
    } cases[] = {
        {3, {1, 2, 3, 4, 5}, 3},  // no sign of loss
        {4, {1, 2, 3, 4, 5}, 4},
        {3, {}, 5},               // nothing heard: perhaps every request was lost
        {3, {1, 3, 4, 5}, 5},     // one answer missing
        {3, {1, 2, 4, 5}, 5},     // the fifth because the box is still one answer short
        {2, {2, 3, 4, 5}, 5},     // nothing heard before the second request went out
        {5, {}, 5},
        {1, {}, 1},               // one request is one request
        {3, {1, 2, 3, 4, 5}, 3, 200},  // slow, not lost: its answers come as late each time
        {3, {1, 3, 4, 5}, 5, 200},     // slow and one answer missing
        // Alone and slower than the spacing, it cannot be told from a box whose first
        // answer was lost: asked again, which costs nothing but frames.
        {3, {1, 2, 3, 4, 5}, 5, 700},
    };
    for (const auto& c : cases) {
        FakeRawNetwork net;
        FakePlatform table;
        ScopedPlatform usingTable(table);
        int asked = 0;
        net.link.add("eth0", kEth0).onSend = [&](FakeAdapter& a, const Bytes& request) {
            if (std::count(c.answered.begin(), c.answered.end(), ++asked) > 0)
                velqorin_repeats::arriveAt(a, net.clock.nowMs() + c.delayMs, {replyTo(request, "A", boxMac(1))});
        };
        CVelqorinNetworkAnalyse analyser;
        ASSERT_TRUE(analyser.AnalyseConcurrently(nullptr, 0, nullptr, c.requests));
        EXPECT_EQ(static_cast<int>(net.link.sent.size()), c.sent) << c.requests << " " << testing::PrintToString(c.answered);
        EXPECT_EQ(analyser.CountBox(), c.answered.empty() ? 0 : 1);
    }
}

// -- Replies no box should be trusted with ----------------------------------------------

TEST(Spoofing, AReplyFromAGroupAddressIsNeverAccepted) {
    for (const int requests : {0, 1, 3}) {  // 0: one adapter after the other
        FakeRawNetwork net;
        FakePlatform table;
        ScopedPlatform usingTable(table);
        net.link.add("eth0", kEth0).onSend = [](FakeAdapter& a, const Bytes& request) {
            a.batches.push_back({milliseconds(5),
                                 {replyTo(request, "group", {0x01, 0x0E, 0x0F, 0xFF, 0xFF, 0xFF}),
                                  replyTo(request, "broadcast", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
                                  replyTo(request, "single", boxMac(1))}});
        };
        CVelqorinNetworkAnalyse analyser;
        ASSERT_TRUE(requests == 0 ? analyser.Analyse()
                                  : analyser.AnalyseConcurrently(nullptr, 0, nullptr, requests));
        ASSERT_EQ(analyser.CountBox(), 1) << requests;
        EXPECT_EQ(fieldText(analyser.firstBox->storedRecord.serialNumber), "single");
    }
}

TEST(Spoofing, AnotherStationAnsweringWithAListedSerialIsKeptAsideAndCounted) {
    // The real box answers first; another station answers with its serial afterwards, with
    // our token, so the entry carries the later station as AddBox has it; a third station
    // answers with another analyser's token.
    const Mac real = boxMac(1), impostor = boxMac(66), third = boxMac(77);
    for (const int requests : {0, 1, 3}) {
        FakeRawNetwork net;
        FakePlatform table;
        ScopedPlatform usingTable(table);
        net.link.add("eth0", kEth0).onSend = [&](FakeAdapter& a, const Bytes& request) {
            a.batches.push_back({milliseconds(5), {replyTo(request, "2555", real), replyTo(request, "2600", boxMac(2))}});
            a.batches.push_back({milliseconds(5), {replyTo(request, "2555", impostor)}});
            a.batches.push_back({milliseconds(5), {replyTo(request, "2555", third, "FOREIGN")}});
        };
        net.link.add("eth1", kEth1).onSend = [&](FakeAdapter& a, const Bytes& request) {
            a.batches.push_back({milliseconds(5), {replyTo(request, "2555", real)}});
        };
        CVelqorinNetworkAnalyse analyser;
        ASSERT_TRUE(requests == 0 ? analyser.Analyse()
                                  : analyser.AnalyseConcurrently(nullptr, 0, nullptr, requests));
        std::map<std::string, const CVelqorinBoxOnNetwork*> byEntry;
        for (auto* b = analyser.firstBox; b; b = b->next)
            byEntry[std::string(fieldText(b->storedRecord.serialNumber)) + "@" + b->adapterName] = b;
        ASSERT_EQ(byEntry.size(), 3u) << requests;
        const CVelqorinBoxOnNetwork* spoofed = byEntry["2555@eth0"];
        EXPECT_EQ(0, std::memcmp(spoofed->storedRecord.sourceMac, impostor.data(), 6)) << requests;

        TAnalyseBuffer stations[4];
        ASSERT_EQ(analyser.SerialAnswers(spoofed, stations, 4), 3) << requests;
        EXPECT_EQ(0, std::memcmp(stations[0].sourceMac, impostor.data(), 6));  // the listed one first
        EXPECT_EQ(0, std::memcmp(stations[1].sourceMac, real.data(), 6));
        EXPECT_EQ(0, std::memcmp(stations[2].sourceMac, third.data(), 6));
        EXPECT_EQ(analyser.SerialAnswers(byEntry["2555@eth1"], stations, 4), 1);
        EXPECT_EQ(analyser.SerialAnswers(byEntry["2600@eth0"], nullptr, 0), 1);
        CVelqorinBoxOnNetwork stranger(nullptr, &stations[0], "eth0");
        EXPECT_EQ(analyser.SerialAnswers(&stranger, stations, 4), 0) << "not on the list";
    }
}

TEST(BoxLimit, ASweepListsAtMost65536BoxesAndCountsTheRest) {
    constexpr int kFlood = CVelqorinNetworkAnalyse::kMaxBoxes + 1000;
    for (const int requests : {0, 3}) {
        FakeRawNetwork net;
        FakePlatform table;
        ScopedPlatform usingTable(table);
        net.link.add("eth0", kEth0).onSend = [&](FakeAdapter& a, const Bytes& request) {
            if (net.link.sent.size() > 1) return;
            std::vector<Bytes> flood;
            flood.reserve(kFlood);
            for (int i = 0; i < kFlood; ++i)
                flood.push_back(replyTo(request, std::to_string(1000000 + i), boxMac(i % 250 + 1)));
            a.batches.push_back({milliseconds(5), std::move(flood)});
        };
        struct Tallies {
            int beyond = 0;
            unsigned dropped = 0;
            static void tally(void* self, const CVelqorinNetworkAnalyse::AdapterTally* t) {
                static_cast<Tallies*>(self)->beyond += t->beyondLimit;
            }
            static void done(void* self, const char*, int, unsigned dropped) {
                static_cast<Tallies*>(self)->dropped += dropped;
            }
        } seen;
        CVelqorinNetworkAnalyse::SweepObserver observer{};
        observer.context = &seen;
        observer.adapterTally = &Tallies::tally;
        observer.adapterDone = &Tallies::done;
        CVelqorinNetworkAnalyse analyser;
        ASSERT_TRUE(requests == 0 ? analyser.AnalyseAdapters(nullptr, 0, &observer)
                                  : analyser.AnalyseConcurrently(nullptr, 0, &observer, requests));
        EXPECT_EQ(analyser.CountBox(), CVelqorinNetworkAnalyse::kMaxBoxes) << requests;
        EXPECT_EQ(seen.beyond, 1000) << requests;
        EXPECT_EQ(seen.dropped, 1000u) << "told as dropped too";
        EXPECT_EQ(fieldText(analyser.lastBox->storedRecord.serialNumber),
                  std::to_string(1000000 + CVelqorinNetworkAnalyse::kMaxBoxes - 1));
    }
}
