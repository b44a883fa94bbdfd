#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Frames.h"
#include "velqorin/AddressNotes.h"
#include "velqorin/NetworkAnalyse.h"

using velqorin::test::Mac;

namespace {

constexpr Mac kVq0{0x02, 0x00, 0x00, 0xAA, 0x00, 0x00};
constexpr Mac kVq1{0x02, 0x00, 0x00, 0xAA, 0x00, 0x01};

sockaddr_storage block(const char* dotted) {
    sockaddr_storage s{};
    s.ss_family = AF_INET;
    const in_addr_t a = inet_addr(dotted);
    std::memcpy(reinterpret_cast<std::uint8_t*>(&s) + 4, &a, 4);
    return s;
}

void setIp(std::uint8_t (&field)[4], const char* dotted) {
    const in_addr_t a = inet_addr(dotted);
    std::memcpy(field, &a, 4);
}

Mac boxMac(std::uint8_t n) { return {0x02, 0x00, 0x00, 0x03, 0x00, n}; }

using Pairs = std::vector<std::pair<const char*, const char*>>;  // address, mask

// A sweep's result made by hand: the boxes as AddBox takes replies, the interfaces as the
// inventory records them.
class Listed : public ::testing::Test {
protected:
    void box(const char* serial, const Mac& mac, const char* ip, const char* mask = "255.255.255.0",
             const char* adapter = "vq0", const Mac& local = kVq0) {
        TAnalyseBuffer r = velqorin::test::makeReply(serial, "", local, mac);
        setIp(r.currentIp, ip);
        setIp(r.currentMask, mask);
        analyser_.AddBox(&r, adapter);
    }
    void interface(const char* name, const Mac& mac, const Pairs& pairs) {
        unsigned char mac8[8] = {};
        std::memcpy(mac8, mac.data(), mac.size());
        CVelqorinNetworkInterface* last = analyser_.firstInterface;
        while (last != nullptr && last->next != nullptr) last = last->next;
        auto* rec = new CVelqorinNetworkInterface(last, name, mac8);
        if (analyser_.firstInterface == nullptr) analyser_.firstInterface = rec;
        ++analyser_.interfaceCount;
        for (const auto& [a, m] : pairs) rec->addIpAddress(block(a), block(m));
    }
    // The list's entry `index`, counted from 0.
    const CVelqorinBoxOnNetwork& entry(int index) const {
        const CVelqorinBoxOnNetwork* b = analyser_.firstBox;
        for (int i = 0; i < index; ++i) b = b->next;
        return *b;
    }
    std::vector<std::string> conflicts(int index) const {
        return velqorin::addressConflicts(entry(index), analyser_.firstBox);
    }
    velqorin::AddressNote note(int index) const {
        return velqorin::addressNote(entry(index), analyser_.firstBox, analyser_.firstInterface);
    }

    CVelqorinNetworkAnalyse analyser_;
};

using Strings = std::vector<std::string>;

TEST_F(Listed, BoxesOnOneAddressNameEachOtherInListOrder) {
    box("2555", boxMac(1), "192.0.2.50");
    box("2556", boxMac(2), "192.0.2.50");
    box("2600", boxMac(3), "192.0.2.60");
    box("2557", boxMac(4), "192.0.2.50");
    EXPECT_EQ(conflicts(0), (Strings{"2556", "2557"}));
    EXPECT_EQ(conflicts(1), (Strings{"2555", "2557"}));
    EXPECT_EQ(conflicts(2), Strings{});
    EXPECT_EQ(conflicts(3), (Strings{"2555", "2556"}));
}

TEST_F(Listed, OneBoxOnTwoAdaptersIsNoConflictWithItself) {
    box("2555", boxMac(1), "192.0.2.50", "255.255.255.0", "vq0", kVq0);
    box("2555", boxMac(1), "192.0.2.50", "255.255.255.0", "vq1", kVq1);
    box("2556", boxMac(2), "192.0.2.50", "255.255.255.0", "vq1", kVq1);
    ASSERT_EQ(analyser_.CountBox(), 3);
    EXPECT_EQ(conflicts(0), Strings{"2556"});
    EXPECT_EQ(conflicts(1), Strings{"2556"});
    // The other box is named once, though listed on two adapters.
    EXPECT_EQ(conflicts(2), Strings{"2555"});
}

TEST_F(Listed, NoAddressIsSharedByNobody) {
    box("2555", boxMac(1), "0.0.0.0");
    box("2556", boxMac(2), "0.0.0.0");
    EXPECT_EQ(conflicts(0), Strings{});
    EXPECT_EQ(conflicts(1), Strings{});
}

TEST_F(Listed, AnAddressOfAnyInterfaceIsTheWorkstations) {
    interface("vq0", kVq0, {{"192.0.2.10", "255.255.255.0"}});
    interface("vq1", kVq1, {{"198.51.100.11", "255.255.255.0"}, {"203.0.113.1", "255.255.255.0"}});
    box("1", boxMac(1), "192.0.2.10");
    box("2", boxMac(2), "203.0.113.1");  // the second address of the other interface
    box("3", boxMac(3), "192.0.2.11");
    box("4", boxMac(4), "0.0.0.0");
    EXPECT_TRUE(note(0).workstationAddress);
    EXPECT_TRUE(note(1).workstationAddress);
    EXPECT_FALSE(note(2).workstationAddress);
    EXPECT_FALSE(note(3).workstationAddress);
}

struct ReachCase {
    const char* what;
    Pairs local;  // the pairs of the interface the box answered on, vq0
    const char* ip;
    const char* mask;
    bool reachable;
};

void PrintTo(const ReachCase& c, std::ostream* os) { *os << c.what; }

class Reach : public Listed, public ::testing::WithParamInterface<ReachCase> {};

TEST_P(Reach, ByTheVerdictsSubnetRule) {
    const ReachCase& c = GetParam();
    interface("vq0", kVq0, c.local);
    // The other adapter has every subnet; only the one the box answered on counts.
    interface("vq1", kVq1, {{"192.0.2.1", "255.255.255.0"}, {"10.1.0.1", "255.255.0.0"},
                            {"198.51.100.1", "255.255.255.0"}});
    box("2555", boxMac(1), c.ip, c.mask);
    EXPECT_EQ(note(0).reachable, c.reachable) << c.what;
    // The configuration dialog, asked about the same settings, judges alike.
    std::uint8_t ip[4], mask[4];
    setIp(ip, c.ip);
    setIp(mask, c.mask);
    const velqorin::Verdict verdict =
        velqorin::compatibilityVerdict(*analyser_.firstInterface, ip, mask, false);
    if (verdict != velqorin::Verdict::WorkstationAddress) {
        EXPECT_EQ(verdict != velqorin::Verdict::Incompatible, c.reachable) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Reach,
    ::testing::Values(
        ReachCase{"in the subnet", {{"192.0.2.10", "255.255.255.0"}}, "192.0.2.50",
                  "255.255.255.0", true},
        ReachCase{"on the adapter's second address",
                  {{"192.0.2.10", "255.255.255.0"}, {"198.51.100.10", "255.255.255.0"}},
                  "198.51.100.50", "255.255.255.0", true},
        ReachCase{"a wider mask on the box that still holds both",
                  {{"192.0.2.10", "255.255.255.0"}}, "192.0.2.50", "255.255.0.0", true},
        ReachCase{"fits the interface's mask but not the box's", {{"10.0.0.1", "255.0.0.0"}},
                  "10.1.2.3", "255.255.0.0", false},
        ReachCase{"another subnet", {{"192.0.2.10", "255.255.255.0"}}, "198.51.100.50",
                  "255.255.255.0", false},
        ReachCase{"an interface without address", {}, "192.0.2.50", "255.255.255.0", false},
        ReachCase{"a box without address", {{"192.0.2.10", "255.255.255.0"}}, "0.0.0.0",
                  "0.0.0.0", false}),
    [](const ::testing::TestParamInfo<ReachCase>& tested) {
        std::string name;
        for (const char* p = tested.param.what; *p != '\0'; ++p)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

TEST_F(Listed, ABoxOnAnUnrecordedInterfaceIsNotJudged) {
    interface("vq1", kVq1, {{"198.51.100.11", "255.255.255.0"}});
    box("2555", boxMac(1), "203.0.113.9", "255.255.255.0", "vq0", kVq0);
    EXPECT_TRUE(note(0).reachable);
}

TEST_F(Listed, ADialUpBoxIsReachedByItsLink) {
    interface("vq0", kVq0, {{"192.0.2.10", "255.255.255.0"}});
    // A point-to-point link has no MAC: its record matches the box's empty local MAC.
    interface("ppp0", Mac{}, {{"10.0.0.1", "255.255.255.255"}});
    // What the dial-up pass lists: no local MAC, the far end's address of the link.
    box("4711", boxMac(9), "10.64.64.64", "255.255.255.252", velqorin::kDialUpAdapterName, Mac{});
    EXPECT_TRUE(note(0).reachable);
}

}  // namespace

namespace {

TEST_F(Listed, TheWholeListsNotesAreEachBoxsNote) {
    interface("vq0", kVq0, {{"192.0.2.10", "255.255.255.0"}});
    interface("vq1", kVq1, {{"198.51.100.10", "255.255.255.0"}});
    const char* addresses[] = {"192.0.2.50", "192.0.2.51", "198.51.100.50", "0.0.0.0",
                               "192.0.2.10"};
    unsigned state = 7;
    auto next = [&state](unsigned n) { return (state = state * 1103515245u + 12345u) / 65536u % n; };
    for (int i = 0; i < 60; ++i) {
        const bool second = next(2) == 1;
        box(std::to_string(3000 + next(12)).c_str(), boxMac(static_cast<std::uint8_t>(next(12))),
            addresses[next(5)], "255.255.255.0", second ? "vq1" : "vq0", second ? kVq1 : kVq0);
    }
    const auto notes = velqorin::addressNotes(analyser_.firstBox, analyser_.firstInterface);
    ASSERT_EQ(static_cast<int>(notes.size()), analyser_.CountBox());
    int flagged = 0;
    for (int i = 0; i < analyser_.CountBox(); ++i) {
        const velqorin::AddressNote one = note(i);
        EXPECT_EQ(notes[static_cast<std::size_t>(i)].alsoUsedBy, one.alsoUsedBy) << i;
        EXPECT_EQ(notes[static_cast<std::size_t>(i)].workstationAddress, one.workstationAddress) << i;
        EXPECT_EQ(notes[static_cast<std::size_t>(i)].reachable, one.reachable) << i;
        flagged += !one.alsoUsedBy.empty();
    }
    EXPECT_GT(flagged, 0);  // the list does hold conflicts to compare
}

}  // namespace
