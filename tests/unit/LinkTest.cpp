#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeLink.h"
#include "link/Link.h"

using namespace velqorin;
using namespace velqorin::test;

namespace {

TEST(LinkListAdapters, KeepsAtMostTenNamesInOrder) {
    FakeRawNetwork fake;
    for (int i = 0; i < 11; ++i) fake.link.add("eth" + std::to_string(i));
    const auto names = LinkListAdapters();
    ASSERT_TRUE(names);
    ASSERT_EQ(names->size(), 10u);
    EXPECT_EQ(names->front(), "eth0");
    EXPECT_EQ(names->back(), "eth9");
}

TEST(LinkListAdapters, ANameOver1022CharactersEndsTheList) {
    struct Case {
        std::size_t length;
        std::size_t kept;
    } cases[] = {{1022, 3}, {1023, 1}, {5000, 1}};
    for (const Case& c : cases) {
        FakeRawNetwork fake;
        fake.link.add("eth0");
        fake.link.add(std::string(c.length, 'n'));
        fake.link.add("eth2");
        const auto names = LinkListAdapters();
        ASSERT_TRUE(names);
        EXPECT_EQ(names->size(), c.kept) << c.length;
    }
}

TEST(LinkListAdapters, NoAdapterIsAnEmptyListAndNoListIsAFailure) {
    FakeRawNetwork fake;
    auto names = LinkListAdapters();
    ASSERT_TRUE(names);
    EXPECT_TRUE(names->empty());

    fake.link.listFails = true;
    EXPECT_FALSE(LinkListAdapters());
    EXPECT_NE(linkError().find("fake link failure"), std::string::npos);
}

TEST(AdapterSlot, OpenCloseAndReopen) {
    FakeRawNetwork fake;
    fake.link.add("eth0");
    fake.link.add("eth1");
    fake.link.add("broken").openFails = true;

    AdapterSlot slot;
    EXPECT_FALSE(LinkClose(slot));
    ASSERT_TRUE(LinkOpen(slot, "eth0"));
    ASSERT_TRUE(LinkOpen(slot, "eth1"));  // the first is closed, not leaked
    EXPECT_EQ(fake.link.openNow, 1);
    EXPECT_FALSE(LinkOpen(slot, "broken"));
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(fake.link.openNow, 0);
    EXPECT_FALSE(LinkOpen(slot, "absent"));
    EXPECT_FALSE(LinkClose(slot));
}

TEST(AdapterSlot, AFailedSendEmptiesTheSlotAndAFailedReceiveDoesNot) {
    FakeRawNetwork fake;
    FakeAdapter& eth0 = fake.link.add("eth0");
    AdapterSlot slot;
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "T");

    ASSERT_TRUE(LinkOpen(slot, "eth0"));
    eth0.receiveFails = true;
    EXPECT_FALSE(LinkReceive(slot, [](const std::uint8_t*, std::size_t) { return true; }));
    EXPECT_NE(slot, nullptr);

    eth0.sendFails = true;
    EXPECT_FALSE(LinkSend(slot, request));
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(fake.link.openNow, 0);

    // nothing to do on an empty slot
    std::uint8_t mac[6];
    EXPECT_FALSE(LinkSend(slot, request));
    EXPECT_FALSE(LinkQueryMac(slot, mac));
    EXPECT_FALSE(LinkReceive(slot, [](const std::uint8_t*, std::size_t) { return true; }));
}

TEST(AdapterSlot, SendsExactlyOneRecordOnce) {
    FakeRawNetwork fake;
    fake.link.add("eth0");
    AdapterSlot slot;
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "T");
    ASSERT_TRUE(LinkOpen(slot, "eth0"));
    ASSERT_TRUE(LinkSend(slot, request));
    ASSERT_EQ(fake.link.sent.size(), 1u);
    EXPECT_EQ(fake.link.sent[0].frame, bytesOf(request));
}

TEST(AdapterSlot, ReceiveOffersEveryFrameUntilTheStepStops) {
    FakeRawNetwork fake;
    FakeAdapter& eth0 = fake.link.add("eth0");
    eth0.batches.push_back({{}, {Bytes(60, 1), Bytes(316, 2), Bytes(1514, 3), Bytes(316, 4)}});
    AdapterSlot slot;
    ASSERT_TRUE(LinkOpen(slot, "eth0"));

    std::vector<std::size_t> lengths;
    const auto before = fake.clock.nowMs();
    ASSERT_TRUE(LinkReceive(slot, [&](const std::uint8_t* f, std::size_t n) {
        lengths.push_back(n);
        return f[0] != 3;  // stop after the third
    }));
    EXPECT_EQ(lengths, (std::vector<std::size_t>{60, 316, 1514}));
    EXPECT_EQ(fake.clock.nowMs(), before);

    // then a quiet batch: no frame, the whole read timeout
    int steps = 0;
    ASSERT_TRUE(LinkReceive(slot, [&](const std::uint8_t*, std::size_t) { return ++steps, true; }));
    EXPECT_EQ(steps, 0);
    EXPECT_EQ(fake.clock.nowMs() - before, kReadTimeout.count());
}

TEST(AdapterSlot, QueryMacReadsTheAdaptersCurrentAddress) {
    FakeRawNetwork fake;
    FakeAdapter& eth0 = fake.link.add("eth0", kAdapterMac);
    AdapterSlot slot;
    ASSERT_TRUE(LinkOpen(slot, "eth0"));
    std::uint8_t mac[6] = {};
    ASSERT_TRUE(LinkQueryMac(slot, mac));
    EXPECT_EQ(std::memcmp(mac, kAdapterMac.data(), 6), 0);
    eth0.mac[5] = 0x42;  // changed while open
    ASSERT_TRUE(LinkQueryMac(slot, mac));
    EXPECT_EQ(mac[5], 0x42);
    eth0.macFails = true;
    EXPECT_FALSE(LinkQueryMac(slot, mac));
    EXPECT_NE(slot, nullptr);
}

}  // namespace
