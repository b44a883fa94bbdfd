// The TCP exchange against boxes on loopback addresses, each playing a script.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "dialup/InfoQuery.h"
#include "LoopbackBox.h"

using namespace velqorin;
using namespace velqorin::test;
using namespace std::chrono_literals;
using End = BoxScript::End;

namespace {

const std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};
const std::string kAnswer =
    "<?xml version=\"1.0\"?><velqorin><mac-address>02:00:00:12:34:56</mac-address>"
    "<serial>4711</serial><software>2.5 build 17</software></velqorin>";

// A long answer time, so that a fetch that ends early shows it did not wait for it.
InfoQueryLimits limitsFor(const LoopbackBox& box, std::chrono::milliseconds answer = 5s) {
    return {box.port(), 1s, answer};
}

double secondsOf(auto&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(InfoQuery, SendsTheQueryOnceAndReadsTheAnswer) {
    LoopbackBox box("127.0.0.1", {{{0ms, kAnswer}}, End::Close});
    const auto received = fetchInfoAnswer(kLoopback, limitsFor(box));
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, kAnswer);
    EXPECT_EQ(box.queries(), std::vector<std::string>{std::string(kInfoRequest)});
    EXPECT_EQ(box.connections(), 1);
}

TEST(InfoQuery, AnAnswerInPiecesIsReadWholeAndNotWaitedOnOnceComplete) {
    // The box keeps the connection open after its last piece: the analyser must stop
    // because the answer is complete, not because the box closed or the time ran out.
    BoxScript script{{{0ms, kAnswer.substr(0, 30)},
                      {60ms, kAnswer.substr(30, 50)},
                      {60ms, kAnswer.substr(80)}},
                     End::Hold};
    LoopbackBox box("127.0.0.1", script);
    std::optional<std::string> received;
    const double took = secondsOf([&] { received = fetchInfoAnswer(kLoopback, limitsFor(box)); });
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, kAnswer);
    EXPECT_TRUE(parseInfoAnswer(*received));
    EXPECT_LT(took, 2.5) << "waited for the answer time although the answer was complete";
}

TEST(InfoQuery, ABoxThatNeverAnswersCostsTheAnswerTime) {
    LoopbackBox box("127.0.0.1", {{}, End::Hold});
    std::optional<std::string> received;
    const double took =
        secondsOf([&] { received = fetchInfoAnswer(kLoopback, limitsFor(box, 300ms)); });
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, "");
    EXPECT_GE(took, 0.29);
    EXPECT_LT(took, 3.0);
}

TEST(InfoQuery, AStopEndsTheWaitAndKeepsWhatCameIn) {
    const std::string piece = kAnswer.substr(0, 30);
    LoopbackBox box("127.0.0.1", {{{0ms, piece}}, End::Hold});
    const auto stopAt = std::chrono::steady_clock::now() + 300ms;
    std::optional<std::string> received;
    const double took = secondsOf([&] {
        received = fetchInfoAnswer(kLoopback, limitsFor(box),
                                   [&] { return std::chrono::steady_clock::now() >= stopAt; });
    });
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, piece);
    EXPECT_GE(took, 0.29);
    EXPECT_LT(took, 3.0) << "waited for the answer time although a stop was asked";
}

TEST(InfoQuery, ATrickleOfBytesStopsAtTheAnswerTime) {
    // A box that keeps sending without ever completing the answer holds no one for good.
    BoxScript script;
    for (int i = 0; i < 40; ++i) script.pieces.push_back({20ms, "<velqorin>"});
    script.end = End::Hold;
    LoopbackBox box("127.0.0.1", script);
    std::optional<std::string> received;
    const double took =
        secondsOf([&] { received = fetchInfoAnswer(kLoopback, limitsFor(box, 300ms)); });
    ASSERT_TRUE(received);
    EXPECT_FALSE(parseInfoAnswer(*received));
    EXPECT_LT(took, 3.0);
}

TEST(InfoQuery, NoMoreThanSixteenThousandBytesAreRead) {
    LoopbackBox box("127.0.0.1", {{{0ms, std::string(20000, 'x') + kAnswer}}, End::Close});
    const auto received = fetchInfoAnswer(kLoopback, limitsFor(box));
    ASSERT_TRUE(received);
    EXPECT_EQ(received->size(), kInfoAnswerLimit);
    EXPECT_FALSE(parseInfoAnswer(*received));
}

TEST(InfoQuery, AnAnswerEndingAtTheLimitIsStillRead) {
    const std::string padded = std::string(kInfoAnswerLimit - kAnswer.size(), ' ') + kAnswer;
    LoopbackBox box("127.0.0.1", {{{0ms, padded}, {0ms, "ignored"}}, End::Hold});
    const auto received = fetchInfoAnswer(kLoopback, limitsFor(box));
    ASSERT_TRUE(received);
    EXPECT_TRUE(parseInfoAnswer(*received));
}

TEST(InfoQuery, BinaryBytesComeBackAsTheyCame) {
    std::string bytes(3000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    LoopbackBox box("127.0.0.1", {{{0ms, bytes}}, End::Close});
    const auto received = fetchInfoAnswer(kLoopback, limitsFor(box));
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, bytes);
    EXPECT_FALSE(parseInfoAnswer(*received));
}

TEST(InfoQuery, ABoxThatClosesOrResetsGivesWhatCameBefore) {
    for (End end : {End::Close, End::Reset}) {
        SCOPED_TRACE(end == End::Close ? "close" : "reset");
        LoopbackBox box("127.0.0.1", {{{0ms, kAnswer.substr(0, 60)}}, end});
        const auto received = fetchInfoAnswer(kLoopback, limitsFor(box));
        ASSERT_TRUE(received);
        EXPECT_FALSE(parseInfoAnswer(*received));
    }
}

TEST(InfoQuery, ABoxThatHangsUpBeforeTheQueryIsNotAnError) {
    LoopbackBox box("127.0.0.1", {{}, End::Reset, false});
    // Whether the query still goes out before the reset arrives is a race; either way no
    // answer comes and nothing hangs.
    // A plain send would raise SIGPIPE here and end the whole process.
    const auto received = fetchInfoAnswer(kLoopback, limitsFor(box, 500ms));
    EXPECT_EQ(received.value_or(""), "");
}

TEST(InfoQuery, NoListenerMeansNothing) {
    std::uint16_t freePort;
    {
        LoopbackBox probe("127.0.0.1", {});
        freePort = probe.port();
    }
    const auto received = fetchInfoAnswer(kLoopback, {freePort, 1s, 1s});
    EXPECT_FALSE(received);
}

TEST(InfoQuery, TheDefaultsArePort5000AndTimesOfAFewSeconds) {
    const InfoQueryLimits& d = infoQueryLimits();
    EXPECT_EQ(d.port, 5000);
    EXPECT_GT(d.connect.count(), 0);
    EXPECT_LE(d.connect, 5s);
    EXPECT_GT(d.answer.count(), 0);
    EXPECT_LE(d.answer, 5s);
}

}  // namespace
