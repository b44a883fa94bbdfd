#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "Frames.h"
#include "velqorin/Frame.h"

using namespace velqorin;
using velqorin::test::makeReply;

namespace {

std::vector<std::uint8_t> bytesOf(const TAnalyseBuffer& f) {
    return {frameBytes(f), frameBytes(f) + kFrameSize};
}

TEST(DiscoveryRequest, EveryByteAsOnTheWire) {
    TAnalyseBuffer request;
    std::memset(&request, 0xAB, sizeof request);  // builder must clear what it does not set
    buildDiscoveryRequest(request, "0123456789:;<=>?@ABCDEFGHIJ");

    std::vector<std::uint8_t> expected(kFrameSize, 0);
    const std::uint8_t head[] = {0x01, 0x0E, 0x0F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0,
                                 0x0E, 0x0F, 'V', 'e', 'l', 'q', 'o', 'r', 'i', 'n', 0};
    std::memcpy(expected.data(), head, sizeof head);
    expected[44] = 1;  // protocolVersion
    expected[45] = 0;  // discovery request
    const char token[] = "0123456789:;<=>?@ABCDEFGHIJ";
    std::memcpy(expected.data() + 135, token, 27);
    EXPECT_EQ(bytesOf(request), expected);
}

TEST(DiscoveryRequest, OverlongTokenIsCutAndTerminated) {
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, std::string(40, 'x'));
    EXPECT_EQ(fieldText(request.analyserToken), std::string(29, 'x'));
    EXPECT_EQ(request.analyserToken[29], '\0');
    EXPECT_EQ(request.softwareVersion[0], 0);  // nothing spilled into the next field
}

TEST(LittleEndian, FieldsHoldTheirBytesLeastSignificantFirst) {
    TAnalyseBuffer f{};
    storeLe<std::uint32_t>(f.softwareVersion, 0x04010005u);
    storeLe<std::int32_t>(f.syncFloor, -2);
    storeLe<std::uint32_t>(f.syncMaster, 2555u);
    const auto* b = frameBytes(f);
    EXPECT_EQ((std::vector<int>{b[165], b[166], b[167], b[168]}),
              (std::vector<int>{0x05, 0x00, 0x01, 0x04}));
    EXPECT_EQ((std::vector<int>{b[193], b[194], b[195], b[196]}),
              (std::vector<int>{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ((std::vector<int>{b[201], b[202], b[203], b[204]}),
              (std::vector<int>{0xFB, 0x09, 0x00, 0x00}));
    EXPECT_EQ(loadLe<std::uint32_t>(f.softwareVersion), 0x04010005u);
    EXPECT_EQ(loadLe<std::int32_t>(f.syncFloor), -2);
    EXPECT_EQ(loadLe<std::uint32_t>(f.syncMaster), 2555u);
}

struct ReplyCase {
    const char* what;
    std::size_t length;
    std::size_t offset;  // byte to change, or kFrameSize for none
    std::uint8_t value;
    bool accepted;
};

class ReplyAcceptance : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyAcceptance, Rule) {
    const ReplyCase& c = GetParam();
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "TOKEN");
    const TAnalyseBuffer reply = makeReply("12345", "TOKEN");
    std::vector<std::uint8_t> frame(frameBytes(reply), frameBytes(reply) + kFrameSize);
    frame.resize(c.length + 1, 0);  // room to read one byte past what is claimed
    if (c.offset < kFrameSize) frame[c.offset] = c.value;
    EXPECT_EQ(isDiscoveryReply(request, frame.data(), c.length), c.accepted) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReplyAcceptance,
    ::testing::Values(
        ReplyCase{"valid reply", 316, kFrameSize, 0, true},
        ReplyCase{"315 bytes", 315, kFrameSize, 0, false},
        ReplyCase{"317 bytes", 317, kFrameSize, 0, false},
        ReplyCase{"60-byte runt", 60, kFrameSize, 0, false},
        ReplyCase{"etherType high byte", 316, 12, 0x08, false},
        ReplyCase{"etherType low byte", 316, 13, 0x00, false},
        ReplyCase{"magic first letter", 316, 14, 'v', false},
        ReplyCase{"magic NUL", 316, 22, '!', false},
        ReplyCase{"first reserved byte", 316, 23, 1, false},
        ReplyCase{"last reserved byte", 316, 43, 0x80, false},
        ReplyCase{"protocolVersion 2", 316, 44, 2, false},
        ReplyCase{"protocolVersion 0", 316, 44, 0, false},
        ReplyCase{"kind request", 316, 45, 0, false},
        ReplyCase{"kind accepted", 316, 45, 2, false},
        ReplyCase{"kind refused", 316, 45, 5, false},
        ReplyCase{"kind 255", 316, 45, 255, false},
        ReplyCase{"destination not looked at", 316, 0, 0x77, true},
        ReplyCase{"another single source", 316, 6, 0x76, true},
        ReplyCase{"source a group address", 316, 6, 0x01, false},
        ReplyCase{"source the broadcast address", 316, 6, 0xFF, false},
        ReplyCase{"token not looked at", 316, 135, 'Z', true},
        ReplyCase{"last byte not looked at", 316, 315, 9, true}),
    [](const ::testing::TestParamInfo<ReplyCase>& p) {
        std::string name = p.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(AnswerAcceptance, OnlyAcceptedOrRefusedFromTheAddressedBox) {
    TAnalyseBuffer command = makeReply("12345", "TOKEN", test::kBoxMac, test::kAdapterMac);
    command.frameKind = static_cast<std::uint8_t>(FrameKind::ApplyNetwork);

    TAnalyseBuffer answer = makeReply("12345", "TOKEN");
    struct Case {
        std::uint8_t kind;
        bool otherBox;
        std::size_t length;
        bool accepted;
    } cases[] = {
        {2, false, 316, true},  {5, false, 316, true},  {1, false, 316, false},
        {3, false, 316, false}, {2, true, 316, false},  {5, true, 316, false},
        {2, false, 315, false}, {2, false, 317, false},
    };
    for (const Case& c : cases) {
        TAnalyseBuffer a = answer;
        a.frameKind = c.kind;
        if (c.otherBox) a.sourceMac[5] ^= 1;
        std::vector<std::uint8_t> frame(frameBytes(a), frameBytes(a) + kFrameSize);
        frame.resize(kFrameSize + 1, 0);
        EXPECT_EQ(isCommandAnswer(command, frame.data(), c.length), c.accepted)
            << "kind " << int(c.kind) << " otherBox " << c.otherBox << " length " << c.length;
    }
    answer.frameKind = 2;
    answer.reserved[7] = 1;
    EXPECT_FALSE(isCommandAnswer(command, frameBytes(answer), kFrameSize));
}

TEST(VersionText, PackedFieldsShownAsMajorMinorBuild) {
    struct {
        std::uint32_t packed;
        const char* text;
    } cases[] = {
        {0, "..."},
        {packVersion({1, 1, 5}), "1.001 build 5"},
        {packVersion({2, 5, 17}), "2.005 build 17"},
        {packVersion({63, 1023, 65535}), "63.1023 build 65535"},
        {packVersion({0, 0, 1}), "0.000 build 1"},
        {0x04010005u, "1.001 build 5"},
    };
    for (const auto& c : cases) EXPECT_EQ(versionText(c.packed), c.text) << c.packed;

    TAnalyseBuffer f{};
    storeLe<std::uint32_t>(f.softwareVersion, packVersion({3, 20, 1000}));
    EXPECT_EQ(versionText(f), "3.020 build 1000");
}

TEST(LinkKind, FourthOctetOfTheBoxMacWithUsbTestedFirst) {
    struct {
        std::uint8_t octet;
        LinkKind kind;
    } cases[] = {
        {0x00, LinkKind::Network}, {0x04, LinkKind::Usb},     {0x08, LinkKind::Serial},
        {0x0C, LinkKind::Usb},     {0xF3, LinkKind::Network}, {0xFB, LinkKind::Serial},
    };
    for (const auto& c : cases) {
        TAnalyseBuffer f{};
        f.sourceMac[3] = c.octet;
        f.destinationMac[3] = 0x04;  // only the box's own MAC counts
        EXPECT_EQ(linkKind(f), c.kind) << int(c.octet);
    }
}

TEST(TextFields, ReadBoundedByTheirWidth) {
    TAnalyseBuffer f{};
    std::memset(f.serialNumber, '7', sizeof f.serialNumber);  // no NUL in the field
    std::memset(f.credential, 'X', sizeof f.credential);     // what follows it
    EXPECT_EQ(fieldText(f.serialNumber), std::string(20, '7'));

    setFieldText(f.serialNumber, "0012345");
    EXPECT_EQ(fieldText(f.serialNumber), "0012345");
    for (std::size_t i = 7; i < sizeof f.serialNumber; ++i) EXPECT_EQ(f.serialNumber[i], 0);
    EXPECT_EQ(f.credential[0], 'X');

    setFieldText(f.serialNumber, std::string(25, '9'));
    EXPECT_EQ(fieldText(f.serialNumber), std::string(19, '9'));
    EXPECT_EQ(f.credential[0], 'X');
}

}  // namespace

namespace {

TEST(DisplayText, MacAddressAndMode) {
    const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0x01, 0xB1, 0xC2};
    EXPECT_EQ(macText(mac), "02:00:00:01:b1:c2");
    const std::uint8_t ip[4] = {192, 0, 2, 255};
    EXPECT_EQ(ipText(ip), "192.0.2.255");
    EXPECT_EQ(addressMode(0), AddressMode::Fixed);
    EXPECT_EQ(addressMode(1), AddressMode::Dhcp);
    EXPECT_EQ(addressMode(2), AddressMode::AutoIp);
    EXPECT_EQ(addressMode(3), AddressMode::Rarp);
    EXPECT_EQ(addressMode(4), AddressMode::Fixed);
}

TEST(DisplayText, DurationLeavesOutLeadingZeroUnits) {
    struct {
        std::uint32_t seconds;
        const char* text;
    } cases[] = {
        {0, "00s"},         {59, "59s"},          {61, "01m 01s"},
        {3600, "01h 00m 00s"}, {86400, "1j 00h 00m 00s"}, {90061, "1j 01h 01m 01s"},
        {4294967295u, "49710j 06h 28m 15s"},
    };
    for (const auto& c : cases) EXPECT_EQ(durationText(c.seconds), c.text) << c.seconds;
}

}  // namespace
