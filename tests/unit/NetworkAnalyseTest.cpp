#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/BoxIndex.h"
#include "FakeLink.h"
#include "Frames.h"
#include "velqorin/NetworkAnalyse.h"

using velqorin::fieldText;
using velqorin::test::makeReply;

namespace {

static_assert(std::is_standard_layout_v<CVelqorinNetworkAnalyse>);
static_assert(offsetof(CVelqorinNetworkAnalyse, firstBox) == 0);
static_assert(offsetof(CVelqorinNetworkAnalyse, lastBox) == 8);
static_assert(offsetof(CVelqorinNetworkAnalyse, firstInterface) == 16);
static_assert(offsetof(CVelqorinNetworkAnalyse, boxCount) == 24);
static_assert(offsetof(CVelqorinNetworkAnalyse, interfaceCount) == 28);
static_assert(offsetof(CVelqorinNetworkAnalyse, analyserToken) == 32);
static_assert(sizeof(CVelqorinNetworkAnalyse) == 64);

struct Entry {
    std::string serial;
    std::string adapter;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
    return os << e.serial << "@" << e.adapter;
}

// Walks the list as the monitor does, checking the back links and the ends on the way.
std::vector<Entry> entries(const CVelqorinNetworkAnalyse& a) {
    std::vector<Entry> out;
    const CVelqorinBoxOnNetwork* previous = nullptr;
    for (auto* b = a.firstBox; b != nullptr; b = b->next) {
        EXPECT_EQ(b->prev, previous);
        out.push_back({std::string(fieldText(b->storedRecord.serialNumber)), b->adapterName});
        previous = b;
    }
    EXPECT_EQ(a.lastBox, previous);
    EXPECT_EQ(a.CountBox(), static_cast<int>(out.size()));
    return out;
}

CVelqorinBoxOnNetwork* boxAt(const CVelqorinNetworkAnalyse& a, int index) {
    auto* b = a.firstBox;
    while (index-- > 0) b = b->next;
    return b;
}

TEST(Analyser, TokenIs27PrintableCharactersFixedForTheObject) {
    CVelqorinNetworkAnalyse a;
    const std::string token(a.analyserToken);
    ASSERT_EQ(token.size(), 27u);
    for (char c : token) {
        EXPECT_GE(c, 48);
        EXPECT_LE(c, 121);
    }
    a.reset();
    EXPECT_EQ(std::string(a.analyserToken), token);
    // Each object draws its own: two made at once do not share one.
    CVelqorinNetworkAnalyse b, c;
    EXPECT_NE(std::string(b.analyserToken), std::string(c.analyserToken));
}

TEST(Analyser, NewAndResetObjectsHaveEmptyLists) {
    CVelqorinNetworkAnalyse a;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(a.firstBox, nullptr);
        EXPECT_EQ(a.lastBox, nullptr);
        EXPECT_EQ(a.firstInterface, nullptr);
        EXPECT_EQ(a.CountBox(), 0);
        EXPECT_EQ(a.CountNetworkInterfaces(), 0);
        a.reset();
    }
}

TEST(Analyser, ResetDestroysEveryBoxAndRecord) {
    CVelqorinNetworkAnalyse a;
    for (int i = 0; i < 5; ++i) {
        const TAnalyseBuffer r = makeReply(std::to_string(i), "x");
        a.AddBox(&r, "eth0");
    }
    const unsigned char mac[8] = {};
    a.firstInterface = new CVelqorinNetworkInterface(nullptr, "eth0", mac);
    new CVelqorinNetworkInterface(a.firstInterface, "eth1", mac);
    a.interfaceCount = 2;
    a.reset();  // the sanitizer build reports any record left behind
    EXPECT_TRUE(entries(a).empty());
    EXPECT_EQ(a.firstInterface, nullptr);
    EXPECT_EQ(a.CountNetworkInterfaces(), 0);
}

struct DeleteCase {
    int count;
    int index;
    std::vector<std::string> remaining;
};

class AnalyserDelete : public ::testing::TestWithParam<DeleteCase> {};

TEST_P(AnalyserDelete, KeepsTheListWhole) {
    const DeleteCase& c = GetParam();
    CVelqorinNetworkAnalyse a;
    for (int i = 0; i < c.count; ++i) {
        const TAnalyseBuffer r = makeReply(std::to_string(i), "x");
        a.AddBox(&r, "eth0");
    }
    EXPECT_EQ(a.Delete(boxAt(a, c.index)), c.count - 1);
    std::vector<Entry> expected;
    for (const auto& s : c.remaining) expected.push_back({s, "eth0"});
    EXPECT_EQ(entries(a), expected);
}

INSTANTIATE_TEST_SUITE_P(Analyser, AnalyserDelete,
                         ::testing::Values(DeleteCase{1, 0, {}},
                                           DeleteCase{3, 0, {"1", "2"}},
                                           DeleteCase{3, 1, {"0", "2"}},
                                           DeleteCase{3, 2, {"0", "1"}}),
                         [](const ::testing::TestParamInfo<DeleteCase>& p) {
                             return "box" + std::to_string(p.param.index) + "of" +
                                    std::to_string(p.param.count);
                         });

TEST(Analyser, DeleteOfABoxNotOnTheListChangesNothing) {
    CVelqorinNetworkAnalyse a, other;
    const TAnalyseBuffer r = makeReply("1", "x");
    a.AddBox(&r, "eth0");
    other.AddBox(&r, "eth0");
    EXPECT_EQ(a.Delete(other.firstBox), 1);
    EXPECT_EQ(a.Delete(nullptr), 1);
    EXPECT_EQ(entries(a), (std::vector<Entry>{{"1", "eth0"}}));
    EXPECT_EQ(entries(other), (std::vector<Entry>{{"1", "eth0"}}));
}

TEST(AddBox, OneEntryPerAdapterInOrderOfAcceptance) {
    CVelqorinNetworkAnalyse a;
    const TAnalyseBuffer box1 = makeReply("1001", a.analyserToken);
    const TAnalyseBuffer box2 = makeReply("1002", a.analyserToken);
    EXPECT_EQ(a.AddBox(&box1, "eth0"), 1);
    EXPECT_EQ(a.AddBox(&box2, "eth0"), 2);
    EXPECT_EQ(a.AddBox(&box1, "eth1"), 3);
    EXPECT_EQ(entries(a), (std::vector<Entry>{{"1001", "eth0"}, {"1002", "eth0"}, {"1001", "eth1"}}));
}

TEST(AddBox, ASecondReplyWithOurTokenReplacesTheEntryAndMovesItLast) {
    CVelqorinNetworkAnalyse a;
    const TAnalyseBuffer first = makeReply("1001", a.analyserToken);
    const TAnalyseBuffer other = makeReply("1002", a.analyserToken);
    TAnalyseBuffer later = makeReply("1001", a.analyserToken);
    later.currentIp[3] = 99;
    a.AddBox(&first, "eth0");
    a.AddBox(&other, "eth0");
    EXPECT_EQ(a.AddBox(&later, "eth0"), 2);
    EXPECT_EQ(entries(a), (std::vector<Entry>{{"1002", "eth0"}, {"1001", "eth0"}}));
    EXPECT_EQ(a.lastBox->storedRecord.currentIp[3], 99);
}

TEST(AddBox, AForeignTokenIsTakenOnlyWhenNoEntryExists) {
    struct Case {
        const char* what;
        const char* firstToken;  // null: this analyser's token
        const char* laterToken;
        bool replaced;
    } cases[] = {
        {"empty then foreign", "", "SOMEONE-ELSE", false},
        {"foreign then foreign", "SOMEONE-ELSE", "ANOTHER", false},
        {"empty then ours", "", nullptr, true},
        {"foreign then ours", "SOMEONE-ELSE", nullptr, true},
        {"ours then empty", nullptr, "", false},
    };
    for (const Case& c : cases) {
        CVelqorinNetworkAnalyse a;
        TAnalyseBuffer first = makeReply("1001", c.firstToken ? c.firstToken : a.analyserToken);
        TAnalyseBuffer later = makeReply("1001", c.laterToken ? c.laterToken : a.analyserToken);
        first.currentIp[3] = 1;
        later.currentIp[3] = 2;
        EXPECT_EQ(a.AddBox(&first, "eth0"), 1) << c.what;
        EXPECT_EQ(a.AddBox(&later, "eth0"), 1) << c.what;
        EXPECT_EQ(a.firstBox->storedRecord.currentIp[3], c.replaced ? 2 : 1) << c.what;
    }
}

TEST(AddBox, TokenComparedOverItsFieldOnly) {
    CVelqorinNetworkAnalyse a;
    TAnalyseBuffer first = makeReply("1001", a.analyserToken);
    TAnalyseBuffer later = makeReply("1001", a.analyserToken);
    later.analyserToken[28] = 'Q';  // after the NUL: carries no meaning
    later.currentIp[3] = 2;
    a.AddBox(&first, "eth0");
    a.AddBox(&later, "eth0");
    EXPECT_EQ(a.firstBox->storedRecord.currentIp[3], 2);

    TAnalyseBuffer truncated = makeReply("1001", std::string(a.analyserToken, 26));
    truncated.currentIp[3] = 3;
    a.AddBox(&truncated, "eth0");
    EXPECT_EQ(a.firstBox->storedRecord.currentIp[3], 2);
}

TEST(AddBox, SerialsWithoutNulAreComparedOverTheirTwentyBytes) {
    CVelqorinNetworkAnalyse a;
    TAnalyseBuffer x = makeReply("", a.analyserToken);
    TAnalyseBuffer y = makeReply("", a.analyserToken);
    std::memset(x.serialNumber, '1', 20);
    std::memset(y.serialNumber, '1', 20);
    y.serialNumber[19] = '2';
    a.AddBox(&x, "eth0");
    a.AddBox(&y, "eth0");
    EXPECT_EQ(a.CountBox(), 2);
    a.AddBox(&x, "eth0");
    EXPECT_EQ(a.CountBox(), 2);
    EXPECT_EQ(fieldText(a.lastBox->storedRecord.serialNumber), std::string(20, '1'));
}

TEST(AddBox, KeepsAnEntryForEachOfManyBoxes) {
    CVelqorinNetworkAnalyse a;
    for (int i = 0; i < 500; ++i) {
        const TAnalyseBuffer r = makeReply(std::to_string(100000 + i), a.analyserToken);
        a.AddBox(&r, i % 2 ? "eth1" : "eth0");
    }
    for (int i = 0; i < 500; i += 7) {  // a burst of repeats changes nothing but the order
        const TAnalyseBuffer r = makeReply(std::to_string(100000 + i), a.analyserToken);
        a.AddBox(&r, i % 2 ? "eth1" : "eth0");
    }
    EXPECT_EQ(entries(a).size(), 500u);
    EXPECT_EQ(fieldText(a.lastBox->storedRecord.serialNumber), "100497");
}

// The box list as the walk over the list builds it, for comparing with the analyser's.
struct WalkModel {
    struct Box {
        std::string adapter, serial, token;
        int data;
    };
    std::vector<Box> boxes;

    static std::string bounded(const char* text, std::size_t n) { return {text, strnlen(text, n)}; }

    void add(const TAnalyseBuffer& reply, const char* adapterName, const char* ourToken) {
        const std::string adapter = bounded(adapterName, 10000);
        const std::string serial = bounded(reply.serialNumber, 20);
        const std::string token = bounded(reply.analyserToken, 30);
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].adapter != adapter || boxes[i].serial != serial) continue;
            if (token != bounded(ourToken, 30)) return;
            boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
        // a listed name holds at most 9999 characters
        boxes.push_back({adapter.substr(0, 9999), serial, token, reply.currentIp[3]});
    }
};

std::vector<std::string> described(const WalkModel& m) {
    std::vector<std::string> out;
    for (const auto& b : m.boxes)
        out.push_back(b.serial + "@" + b.adapter.substr(0, 6) + std::to_string(b.adapter.size()) + "#" + std::to_string(b.data));
    return out;
}

std::vector<std::string> described(const CVelqorinNetworkAnalyse& a) {
    std::vector<std::string> out;
    for (const Entry& e : entries(a)) out.push_back(e.serial + "@" + e.adapter.substr(0, 6) + std::to_string(e.adapter.size()));
    int i = 0;
    for (auto* b = a.firstBox; b != nullptr; b = b->next, ++i)
        out[static_cast<std::size_t>(i)] += "#" + std::to_string(b->storedRecord.currentIp[3]);
    return out;
}

TEST(AddBox, GivesTheWalksListUnderAnyMixOfRepliesDeletesAndHandEdits) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
        CVelqorinNetworkAnalyse a;
        WalkModel model;
        const std::string longName(10000, 'x');  // never matches a listed name
        const std::string cutName(9999, 'x');    // matches what a longer name was listed as
        const char* adapters[] = {"eth0", "eth1", longName.c_str(), cutName.c_str()};
        const std::string tokens[] = {a.analyserToken, "", "FOREIGN"};
        for (int step = 0; step < 400; ++step) {
            const int what = pick(20);
            if (what < 16) {
                TAnalyseBuffer r = makeReply(std::to_string(pick(6)), tokens[pick(3)]);
                r.currentIp[3] = static_cast<std::uint8_t>(step);
                const char* adapter = adapters[pick(4)];
                a.AddBox(&r, adapter);
                model.add(r, adapter, a.analyserToken);
            } else if (what < 18 && a.CountBox() > 0) {
                const int at = pick(a.CountBox());
                a.Delete(boxAt(a, at));
                model.boxes.erase(model.boxes.begin() + at);
            } else if (what == 18 && a.CountBox() > 0) {
                // a caller unlinking the first box by hand, as the list's layout allows
                CVelqorinBoxOnNetwork* first = a.firstBox;
                a.firstBox = first->next;
                if (a.lastBox == first) a.lastBox = nullptr;
                --a.boxCount;
                delete first;
                model.boxes.erase(model.boxes.begin());
            } else if (a.CountBox() > 0) {
                // a command's answer that names the box differently
                const int at = pick(a.CountBox());
                const std::string serial = std::to_string(pick(6));
                velqorin::setFieldText(boxAt(a, at)->storedRecord.serialNumber, serial);
                velqorin::noteRecordRewritten(*boxAt(a, at));
                model.boxes[static_cast<std::size_t>(at)].serial = serial;
            }
            ASSERT_EQ(described(a), described(model)) << "seed " << seed << " step " << step;
        }
    }
}

TEST(AddBox, FollowsASerialNumberThatACommandsAnswerChanged) {
    velqorin::test::FakeRawNetwork net;
    velqorin::test::FakeAdapter& eth0 = net.link.add("eth0");
    CVelqorinNetworkAnalyse a;
    TAnalyseBuffer reply = makeReply("1001", a.analyserToken);
    a.AddBox(&reply, "eth0");
    const TAnalyseBuffer other = makeReply("1002", a.analyserToken);
    a.AddBox(&other, "eth0");
    // The box answers its command under another serial number.
    eth0.onSend = [](velqorin::test::FakeAdapter& ad, const velqorin::test::Bytes& sent) {
        TAnalyseBuffer answer;
        std::memcpy(&answer, sent.data(), velqorin::kFrameSize);
        std::swap_ranges(answer.destinationMac, answer.destinationMac + 6, answer.sourceMac);
        answer.frameKind = static_cast<std::uint8_t>(velqorin::FrameKind::CommandAccepted);
        velqorin::setFieldText(answer.serialNumber, "2002");
        ad.batches.push_back({std::chrono::milliseconds(10), {velqorin::test::bytesOf(answer)}});
    };
    ASSERT_EQ(a.firstBox->EffacerMdp("code"), kCommandAccepted);
    ASSERT_EQ(fieldText(a.firstBox->storedRecord.serialNumber), "2002");

    TAnalyseBuffer again = makeReply("2002", a.analyserToken);
    again.currentIp[3] = 7;
    EXPECT_EQ(a.AddBox(&again, "eth0"), 2);  // the renamed box is replaced, not joined
    EXPECT_EQ(entries(a), (std::vector<Entry>{{"1002", "eth0"}, {"2002", "eth0"}}));
    EXPECT_EQ(a.lastBox->storedRecord.currentIp[3], 7);
    const TAnalyseBuffer old = makeReply("1001", a.analyserToken);
    EXPECT_EQ(a.AddBox(&old, "eth0"), 3);  // nothing is listed as 1001 any more
}

TEST(InterfaceList, LookupByMacFindsTheEarliestMatch) {
    CVelqorinNetworkAnalyse a;
    const unsigned char key[8] = {0x02, 0, 0, 0xAA, 0, 0x01, 0, 0};
    EXPECT_EQ(a.getNetworkInterface(key), nullptr);

    const unsigned char other[8] = {0x02, 0, 0, 0xAA, 0, 0x02, 0, 0};
    // the platform's trailing two bytes are not part of the key
    const unsigned char same[8] = {0x02, 0, 0, 0xAA, 0, 0x01, 0xFF, 0xFF};
    a.firstInterface = new CVelqorinNetworkInterface(nullptr, "eth0", other);
    auto* eth1 = new CVelqorinNetworkInterface(a.firstInterface, "eth1", same);
    new CVelqorinNetworkInterface(eth1, "eth2", key);
    a.interfaceCount = 3;
    EXPECT_EQ(a.getNetworkInterface(key), eth1);

    const unsigned char keyWithTail[8] = {0x02, 0, 0, 0xAA, 0, 0x01, 0, 1};
    EXPECT_EQ(a.getNetworkInterface(keyWithTail), nullptr);
}

TEST(InterfaceList, DeleteFirstAndMiddleAndForeign) {
    CVelqorinNetworkAnalyse a;
    const unsigned char mac[8] = {};
    a.firstInterface = new CVelqorinNetworkInterface(nullptr, "eth0", mac);
    auto* eth1 = new CVelqorinNetworkInterface(a.firstInterface, "eth1", mac);
    auto* eth2 = new CVelqorinNetworkInterface(eth1, "eth2", mac);
    a.interfaceCount = 3;

    CVelqorinNetworkInterface stray(nullptr, "stray", mac);
    EXPECT_EQ(a.deleteNetworkInterface(&stray), 3);
    EXPECT_EQ(a.deleteNetworkInterface(a.firstInterface), 2);
    EXPECT_EQ(a.firstInterface, eth1);
    EXPECT_EQ(eth1->prev, nullptr);
    EXPECT_EQ(a.deleteNetworkInterface(eth2), 1);
    EXPECT_EQ(eth1->next, nullptr);
}

}  // namespace
