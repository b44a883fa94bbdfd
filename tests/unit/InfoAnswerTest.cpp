#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "dialup/InfoAnswer.h"

using namespace velqorin;
using namespace std::string_literals;

namespace {

std::string answer(const std::string& mac, const std::string& serial, const std::string& software) {
    return "<?xml version=\"1.0\"?><velqorin><mac-address>" + mac + "</mac-address><serial>" +
           serial + "</serial><software>" + software + "</software></velqorin>";
}

const std::string kGood = answer("02:00:00:12:34:56", "4711", "2.5 build 17");

TEST(InfoRequest, IsTheFiftyFourBytesOfTheQuery) {
    EXPECT_EQ(kInfoRequest, "<?xml version=\"1.0\"?><velqorin><read-info/></velqorin>");
    EXPECT_EQ(kInfoRequest.size(), 54u);
}

TEST(InfoAnswerParse, ReadsMacSerialAndSoftware) {
    const auto a = parseInfoAnswer(kGood);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->mac, (std::array<std::uint8_t, 6>{0x02, 0x00, 0x00, 0x12, 0x34, 0x56}));
    EXPECT_EQ(a->serial, "4711");
    EXPECT_EQ(a->software.major, 2u);
    EXPECT_EQ(a->software.minor, 5u);
    EXPECT_EQ(a->software.build, 17u);
    EXPECT_EQ(versionText(packVersion(a->software)), "2.005 build 17");
}

struct Unusable {
    const char* what;
    std::string text;
};

class InfoAnswerWithoutBox : public ::testing::TestWithParam<Unusable> {};

TEST_P(InfoAnswerWithoutBox, GivesNothing) { EXPECT_FALSE(parseInfoAnswer(GetParam().text)); }

std::string without(std::string text, const std::string& tag) {
    return text.erase(text.find(tag), tag.size());
}

INSTANTIATE_TEST_SUITE_P(
    TagsMissingOrOutOfOrder, InfoAnswerWithoutBox,
    ::testing::Values(
        Unusable{"empty", ""},
        Unusable{"no root", without(kGood, "<velqorin>")},
        Unusable{"no mac open", without(kGood, "<mac-address>")},
        Unusable{"no mac close", without(kGood, "</mac-address>")},
        Unusable{"no serial open", without(kGood, "<serial>")},
        Unusable{"no serial close", without(kGood, "</serial>")},
        Unusable{"no software open", without(kGood, "<software>")},
        Unusable{"no software close", without(kGood, "</software>")},
        Unusable{"serial before mac",
                 "<velqorin><serial>1</serial><mac-address>02:00:00:00:00:01</mac-address>"
                 "<software>1.1 build 1</software>"},
        Unusable{"software before serial",
                 "<velqorin><mac-address>02:00:00:00:00:01</mac-address><software>1.1 build 1"
                 "</software><serial>1</serial>"},
        Unusable{"root after the values",
                 "<mac-address>02:00:00:00:00:01</mac-address><serial>1</serial><software>1.1 "
                 "build 1</software><velqorin>"},
        Unusable{"cut in the last tag", kGood.substr(0, kGood.find("</software>") + 5)},
        // The answer is text: what follows a NUL is not read.
        Unusable{"NUL before the tags", "\0"s + kGood},
        Unusable{"NUL inside", kGood.substr(0, 40) + "\0"s + kGood.substr(40)}),
    [](const auto& param) {
        std::string name = param.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

struct Values {
    const char* what;
    std::string mac;
    std::string software;
    std::array<std::uint8_t, 6> expectedMac;
    SoftwareVersion expectedSoftware;
};

class InfoAnswerValues : public ::testing::TestWithParam<Values> {};

TEST_P(InfoAnswerValues, ReadAsTheBoxWritesThem) {
    const Values& v = GetParam();
    const auto a = parseInfoAnswer(answer(v.mac, "1", v.software));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->mac, v.expectedMac);
    EXPECT_EQ(a->software.major, v.expectedSoftware.major);
    EXPECT_EQ(a->software.minor, v.expectedSoftware.minor);
    EXPECT_EQ(a->software.build, v.expectedSoftware.build);
}

INSTANTIATE_TEST_SUITE_P(
    MissingNumbersCountAsZero, InfoAnswerValues,
    ::testing::Values(
        Values{"upper-case hex, spaces", " 0A:bB: c:0D:e:F", "1.001 build 5",
               {0x0A, 0xBB, 0x0C, 0x0D, 0x0E, 0x0F}, {1, 1, 5}},
        Values{"short mac", "02:00", "1.1 build 1", {0x02, 0, 0, 0, 0, 0}, {1, 1, 1}},
        Values{"mac that is no mac", "zz", "1.1 build 1", {0, 0, 0, 0, 0, 0}, {1, 1, 1}},
        Values{"three hex digits", "123:45:67:89:ab:cd", "1.1 build 1", {0x12, 0, 0, 0, 0, 0},
               {1, 1, 1}},
        Values{"major only", "02:00:00:00:00:01", "3", {2, 0, 0, 0, 0, 1}, {3, 0, 0}},
        Values{"no build", "02:00:00:00:00:01", "3.7", {2, 0, 0, 0, 0, 1}, {3, 7, 0}},
        Values{"no blanks round build", "02:00:00:00:00:01", "3.7build9", {2, 0, 0, 0, 0, 1},
               {3, 7, 9}},
        Values{"minor of three digits at most", "02:00:00:00:00:01", "1.0123 build 4",
               {2, 0, 0, 0, 0, 1}, {1, 12, 0}},
        Values{"text", "02:00:00:00:00:01", "unknown", {2, 0, 0, 0, 0, 1}, {0, 0, 0}},
        // Each part keeps to its bits: the build cannot spill into the minor version.
        Values{"build over 16 bits", "02:00:00:00:00:01", "1.002 build 70000",
               {2, 0, 0, 0, 0, 1}, {1, 2, 70000 & 0xFFFF}},
        Values{"digits beyond any int", "02:00:00:00:00:01",
               "99999999999999999999.1 build 99999999999999999999", {2, 0, 0, 0, 0, 1},
               {63, 1, 0xFFFF}}),
    [](const auto& param) {
        std::string name = param.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(InfoAnswerParse, SkipsWhatSurroundsTheTags) {
    const std::string text = "\x01\xff garbage <velqorin> <other/> <mac-address>02:00:00:00:00:09"
                             "</mac-address> junk <serial>77</serial>\n<software>1.010 build 3"
                             "</software> trailing \x80";
    const auto a = parseInfoAnswer(text);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->serial, "77");
    EXPECT_EQ(a->mac[5], 0x09);
    EXPECT_EQ(a->software.minor, 10u);
}

TEST(InfoAnswerParse, ReadsOnlyWhatItIsGiven) {
    // The view ends before the closing tag although the bytes after it hold one.
    const std::string whole = kGood;
    const std::string_view cut(whole.data(), whole.find("</software>"));
    EXPECT_FALSE(parseInfoAnswer(cut));
    EXPECT_TRUE(parseInfoAnswer(whole));
}

// The record's bytes, offset by offset, from the wire layout of a box record.
TEST(DialUpRecord, HoldsTheAnswerAndTheLinkAndZeroElsewhere) {
    const auto a = parseInfoAnswer(answer("02:00:00:12:34:56", "1234567890123456789012345",
                                          "2.5 build 17"));
    ASSERT_TRUE(a);
    const TAnalyseBuffer record = dialUpRecord(*a, {203, 0, 113, 130});

    std::array<std::uint8_t, kFrameSize> expected{};
    const std::uint8_t mac[] = {0x02, 0x00, 0x00, 0x1A, 0x34, 0x56};  // 0x12 | 0x08
    std::memcpy(&expected[6], mac, 6);
    const std::uint8_t ip[] = {203, 0, 113, 130}, mask[] = {255, 255, 255, 252};
    std::memcpy(&expected[46], ip, 4);
    std::memcpy(&expected[50], mask, 4);
    std::memcpy(&expected[54], ip, 4);
    std::memcpy(&expected[58], mask, 4);
    std::memcpy(&expected[65], "1234567890123456789", 19);  // byte 84 stays NUL
    const std::uint32_t version = (2u << 26) | (5u << 16) | 17u;
    for (int i = 0; i < 4; ++i) expected[165 + i] = static_cast<std::uint8_t>(version >> (8 * i));

    const std::uint8_t* bytes = frameBytes(record);
    for (std::size_t i = 0; i < kFrameSize; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
    EXPECT_EQ(linkKind(record), LinkKind::Serial);
    EXPECT_EQ(versionText(record), "2.005 build 17");
}

TEST(DialUpRecord, AUsbBitFromTheBoxStaysAsSent) {
    // The analyser only adds the serial bit; it does not clear what the box reports.
    InfoAnswer a;
    a.mac = {0x02, 0, 0, 0x04, 0, 1};
    const TAnalyseBuffer record = dialUpRecord(a, {192, 0, 2, 1});
    EXPECT_EQ(record.sourceMac[3], 0x0C);
}

}  // namespace
