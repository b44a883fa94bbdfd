// The dial-up box simulator's answers, read back by the analyser's own parser.
#include <gtest/gtest.h>

#include "dialup/InfoAnswer.h"
#include "XmlBox.h"

using namespace velqorin;
using namespace velqorin::xmlbox;

namespace {

sim::BoxConfig box() {
    sim::BoxConfig b;
    b.serial = "4711";
    b.mac = {0x02, 0x00, 0x00, 0x12, 0x34, 0x56};
    b.softwareVersion = packVersion({3, 20, 1000});
    return b;
}

std::string joined(const Plan& plan) {
    std::string all;
    for (const Piece& p : plan.pieces) all += p.bytes;
    return all;
}

TEST(XmlBox, TheQueryIsTheAnalysersQuery) { EXPECT_EQ(kExpectedRequest, kInfoRequest); }

TEST(XmlBox, TheAnswerReadsBackAsTheBox) {
    const auto a = parseInfoAnswer(answerText(box(), std::nullopt));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->mac, box().mac);
    EXPECT_EQ(a->serial, "4711");
    EXPECT_EQ(packVersion(a->software), box().softwareVersion);

    const auto longer = parseInfoAnswer(answerText(box(), std::string(25, '7')));
    ASSERT_TRUE(longer);
    EXPECT_EQ(longer->serial, std::string(25, '7'));
}

TEST(XmlBox, EachBehaviourSendsWhatItsNameSays) {
    const std::string answer = answerText(box(), std::nullopt);
    for (Behaviour b : {Behaviour::Whole, Behaviour::Split, Behaviour::Silent, Behaviour::Garbage,
                        Behaviour::Oversize, Behaviour::Close}) {
        SCOPED_TRACE(behaviourName(b));
        EXPECT_EQ(behaviourNamed(behaviourName(b)), b);
        const Plan plan = planFor(b, answer, 7);
        const std::string all = joined(plan);
        switch (b) {
            case Behaviour::Whole:
                EXPECT_EQ(all, answer);
                EXPECT_TRUE(plan.closeAfter);
                break;
            case Behaviour::Split:
                ASSERT_EQ(plan.pieces.size(), 3u);
                EXPECT_EQ(all, answer);
                // Only with its last piece is the answer whole.
                EXPECT_FALSE(parseInfoAnswer(plan.pieces[0].bytes + plan.pieces[1].bytes));
                EXPECT_LT(plan.pieces[0].after, plan.pieces[2].after);
                EXPECT_FALSE(plan.closeAfter);
                break;
            case Behaviour::Silent:
                EXPECT_TRUE(plan.pieces.empty());
                EXPECT_FALSE(plan.closeAfter);
                break;
            case Behaviour::Garbage:
                EXPECT_EQ(all.size(), 4096u);
                EXPECT_NE(all.find('\0'), std::string::npos);
                EXPECT_FALSE(parseInfoAnswer(all));
                EXPECT_EQ(joined(planFor(b, answer, 7)), all) << "the seed makes the bytes";
                break;
            case Behaviour::Oversize:
                EXPECT_GT(all.size(), kInfoAnswerLimit);
                EXPECT_FALSE(parseInfoAnswer(all.substr(0, kInfoAnswerLimit)));
                EXPECT_TRUE(parseInfoAnswer(all));
                break;
            case Behaviour::Close:
                EXPECT_TRUE(plan.pieces.empty());
                break;
        }
    }
    EXPECT_FALSE(behaviourNamed("loud"));
}

}  // namespace
