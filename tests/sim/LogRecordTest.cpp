#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "LogRecord.h"
#include "SimFrames.h"

using namespace velqorin;
using namespace velqorin::sim;
using namespace velqorin::sim::test;

namespace {

TEST(LogRecord, WholeFrame) {
    TAnalyseBuffer command = discoveryRequest(kBoxMac);
    command.frameKind = 3;
    setFieldText(command.credential, "abc123");
    command.clearPassword = 1;
    const auto r = logRecord(1.5, "rx", "2555", bytesOf(command), kFrameSize, "accepted");
    EXPECT_EQ(r["t"], 1.5);
    EXPECT_EQ(r["dir"], "rx");
    EXPECT_EQ(r["box"], "2555");
    EXPECT_EQ(r["kind"], 3);
    EXPECT_EQ(r["length"], 316);
    EXPECT_EQ(r["src"], "02:00:00:aa:00:01");
    EXPECT_EQ(r["dst"], "00:50:c2:00:25:55");
    EXPECT_EQ(r["verdict"], "accepted");
    EXPECT_EQ(r["credential"], "abc123");
    EXPECT_EQ(r["clearPassword"], 1);
    const std::string hex = r["hex"];
    ASSERT_EQ(hex.size(), 632u);
    EXPECT_EQ(hex.substr(0, 12), "0050c2002555");
    EXPECT_EQ(hex.substr(24, 4), "0e0f");
    EXPECT_EQ(hex.substr(630), "01");
}

TEST(LogRecord, ShortFrameLeavesMissingFieldsNull) {
    const std::vector<std::uint8_t> frame = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto r = logRecord(0, "rx", "", frame, 60, "ignored: length 8, not 316");
    EXPECT_TRUE(r["box"].is_null());
    EXPECT_TRUE(r["kind"].is_null());
    EXPECT_TRUE(r["src"].is_null());
    EXPECT_EQ(r["dst"], "01:02:03:04:05:06");
    EXPECT_TRUE(r["credential"].is_null());
    EXPECT_TRUE(r["clearPassword"].is_null());
    EXPECT_EQ(r["length"], 60);  // as on the wire, even when less was captured
    EXPECT_EQ(r["hex"], "0102030405060708");
}

TEST(LogRecord, CredentialIsBoundedAndAnyBytesMakeOneValidLine) {
    TAnalyseBuffer command = discoveryRequest(kBoxMac);
    std::memset(command.credential, 0xE9, sizeof command.credential);  // no NUL, not UTF-8
    command.analyserToken[0] = 'X';  // right after the field: must not be read
    const std::string line =
        logLine(logRecord(2, "rx", "\xff", bytesOf(command), kFrameSize, "refused"));
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    const auto back = nlohmann::json::parse(line);
    const std::string credential = back["credential"];
    EXPECT_EQ(credential, [] {
        std::string s;
        for (int i = 0; i < 50; ++i) s += "\xEF\xBF\xBD";  // U+FFFD per bad byte
        return s;
    }());
}

}  // namespace
