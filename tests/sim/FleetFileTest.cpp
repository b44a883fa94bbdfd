#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "FleetFile.h"

using namespace velqorin;
using namespace velqorin::sim;

namespace {

std::string oneBox(const std::string& fields) {
    return R"({"boxes":[{"serial":"2555","mac":"00:50:c2:00:25:55")" +
           (fields.empty() ? "" : "," + fields) + "}]}";
}

std::string errorOf(const std::string& json) {
    try {
        parseFleet(json);
    } catch (const FleetError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(FleetFile, EveryFieldLands) {
    const std::string json = oneBox(std::string(R"(
        "password":"pw", "unlockCode":"U-1", "currentIp":"192.0.2.50",
        "currentMask":"255.255.255.0", "manualIp":"192.0.2.60", "manualMask":"255.255.0.0",
        "dhcpIp":"192.0.2.70", "dhcpMask":"255.255.255.128", "addressMode":1, "linkSpeed":3,
        "neighbourhood":false, "softwareVersion":"1.001 build 5", "linkKind":"usb",
        "sync":{"stateIconShown":1,"stateIconAlt":2,"fault":3,"done":1,"age":30,"slave":1,
                "floor":-2,"master":2554},
        "boxData":")") + std::string(158, '0') + R"(aB", "challenge":"Chal1", "replyDelayMs":5,
        "silent":true, "keepsSettings":true, "renewsChallenge":true, "restartMs":700, "token":"foreign",
        "reply":{"length":315,"reservedByte":{"index":20,"value":9},"protocolVersion":2,"kind":7},
        "secondReply":{"delayMs":250,"token":"empty","currentIp":"203.0.113.1",
                       "currentMask":"255.0.0.0","neighbourhood":true,"addressMode":2},
        "answer":{"fromOtherMacFirst":true,"discoveryReplyFirst":true,"delayMs":40})");
    const auto boxes = parseFleet(json);
    ASSERT_EQ(boxes.size(), 1u);
    const BoxConfig& b = boxes[0];
    EXPECT_EQ(b.serial, "2555");
    EXPECT_EQ(b.mac, (Mac{0x00, 0x50, 0xC2, 0x04, 0x25, 0x55}));  // USB bit set
    EXPECT_EQ(b.password, "pw");
    EXPECT_EQ(b.unlockCode, "U-1");
    EXPECT_EQ(b.currentIp, (Ipv4{192, 0, 2, 50}));
    EXPECT_EQ(b.manualMask, (Ipv4{255, 255, 0, 0}));
    EXPECT_EQ(b.dhcpMask, (Ipv4{255, 255, 255, 128}));
    EXPECT_EQ(b.addressMode, 1);
    EXPECT_EQ(b.linkSpeed, 3);
    EXPECT_FALSE(b.neighbourhood);
    EXPECT_EQ(b.softwareVersion, 0x04010005u);
    EXPECT_EQ(b.sync.floor, -2);
    EXPECT_EQ(b.sync.master, 2554u);
    EXPECT_EQ(b.boxData[79], 0xAB);
    EXPECT_EQ(b.boxData[0], 0);
    EXPECT_EQ(b.challenge, "Chal1");
    EXPECT_EQ(b.replyDelay.count(), 5);
    EXPECT_TRUE(b.silent);
    EXPECT_TRUE(b.keepsSettings);
    EXPECT_TRUE(b.renewsChallenge);
    EXPECT_EQ(b.restart.count(), 700);
    EXPECT_EQ(b.token, TokenMode::Foreign);
    ASSERT_TRUE(b.reply);
    EXPECT_EQ(b.reply->length, 315u);
    EXPECT_EQ(b.reply->reservedIndex, 20u);
    EXPECT_EQ(b.reply->reservedValue, 9);
    EXPECT_EQ(b.reply->kind, 7);
    ASSERT_TRUE(b.secondReply);
    EXPECT_EQ(b.secondReply->delay.count(), 250);
    EXPECT_EQ(b.secondReply->token, TokenMode::Empty);
    EXPECT_EQ(b.secondReply->currentMask, (Ipv4{255, 0, 0, 0}));
    EXPECT_EQ(b.secondReply->addressMode, 2);
    EXPECT_TRUE(b.answer.fromOtherMacFirst);
    EXPECT_TRUE(b.answer.discoveryReplyFirst);
    EXPECT_EQ(b.answer.delay.count(), 40);
}

TEST(FleetFile, TheLossIsTheWholeFleets) {
    FleetSettings settings;
    EXPECT_EQ(parseFleet(R"({"boxes":[],"lossPercent":12.5})", &settings).size(), 0u);
    EXPECT_EQ(settings.lossPercent, 12.5);
    FleetSettings none;
    parseFleet(R"({"boxes":[]})", &none);
    EXPECT_EQ(none.lossPercent, 0);
}

TEST(FleetFile, Defaults) {
    const BoxConfig b = parseFleet(oneBox(R"("currentIp":"198.51.100.7","currentMask":"255.255.255.0")")).at(0);
    EXPECT_EQ(b.manualIp, b.currentIp);  // a fixed box's manual address is its current one
    EXPECT_EQ(b.manualMask, b.currentMask);
    EXPECT_EQ(b.password, "admin");
    EXPECT_EQ(b.unlockCode, "");
    EXPECT_FALSE(b.challenge);
    EXPECT_FALSE(b.dhcpIp);
    EXPECT_FALSE(b.reply);
    EXPECT_FALSE(b.secondReply);
    EXPECT_EQ(b.token, TokenMode::Echo);
    EXPECT_TRUE(b.neighbourhood);
    EXPECT_FALSE(b.silent);
    EXPECT_FALSE(b.keepsSettings);
}

TEST(FleetFile, SoftwareVersionForms) {
    for (const char* form : {R"("1.001 build 5")", R"({"major":1,"minor":1,"build":5})",
                             "67174405"}) {
        EXPECT_EQ(parseFleet(oneBox(std::string(R"("softwareVersion":)") + form)).at(0).softwareVersion,
                  0x04010005u)
            << form;
    }
}

TEST(FleetFile, LinkKindSetsTheFourthOctet) {
    const struct {
        const char* mac;
        const char* kind;
        std::uint8_t octet;
    } cases[] = {
        {"00:50:c2:0c:00:01", "network", 0x00}, {"00:50:c2:f3:00:01", "network", 0xF3},
        {"00:50:c2:00:00:01", "usb", 0x04},     {"00:50:c2:0c:00:01", "serial", 0x08},
        {"00:50:C2:11:00:01", "serial", 0x19},
    };
    for (const auto& c : cases) {
        const std::string json = R"({"boxes":[{"serial":"1","mac":")" + std::string(c.mac) +
                                 R"(","linkKind":")" + c.kind + R"("}]})";
        const Mac mac = parseFleet(json).at(0).mac;
        EXPECT_EQ(mac[3], c.octet) << c.mac << " " << c.kind;
        EXPECT_EQ(linkKindOfMac(mac.data()) == LinkKind::Network, std::string(c.kind) == "network");
    }
}

TEST(FleetFile, ErrorsNameTheBoxAndTheField) {
    const struct {
        std::string json;
        std::string message;
    } cases[] = {
        {R"({"boxes":[{"mac":"00:50:c2:00:25:55"}]})", "boxes[0], field serial: missing"},
        {R"({"boxes":[{"serial":"12345678901234567890","mac":"00:50:c2:00:25:55"}]})",
         "boxes[0], field serial: has 20 characters, at most 19 fit"},
        {R"({"boxes":[{"serial":"1"}]})", "boxes[0] (serial 1), field mac: missing"},
        {R"({"boxes":[{"serial":"1","mac":"00:50:c2:00:25"}]})",
         "boxes[0] (serial 1), field mac: \"00:50:c2:00:25\" is not a MAC address"},
        {R"({"boxes":[{"serial":"1","mac":"00:50:c2:00:25:5g"}]})", "field mac: \"00:50:c2:00:25:5g\" is not"},
        {R"({"boxes":[{"serial":"1","mac":"01:0e:0f:ff:ff:ff"}]})", "field mac: 01:0e:0f:ff:ff:ff is a group address"},
        {oneBox(R"("currentIp":"192.0.2.300")"), "(serial 2555), field currentIp: \"192.0.2.300\" is not"},
        {oneBox(R"("dhcpMask":"255.255.255")"), "field dhcpMask:"},
        {oneBox(R"("password":")" + std::string(49, 'p') + "\""), "field password: has 49 characters, at most 48"},
        {oneBox(R"("unlockCode":")" + std::string(49, 'u') + "\""), "field unlockCode: has 49"},
        {oneBox(R"("challenge":")" + std::string(30, 'c') + "\""), "field challenge: has 30 characters, at most 29"},
        {oneBox(R"("challenge":"a\u0000b")"), "field challenge: must not contain a NUL"},
        {oneBox(R"("colour":"red")"), "field colour: unknown field"},
        {oneBox(R"("sync":{"agee":3})"), "field sync.agee: unknown field"},
        {oneBox(R"("sync":{"floor":1.5})"), "field sync.floor: must be an integer"},
        {oneBox(R"("sync":{"age":-1})"), "field sync.age: must be an integer from 0 to 4294967295"},
        {oneBox(R"("addressMode":256)"), "field addressMode: must be an integer from 0 to 255"},
        {oneBox(R"("neighbourhood":1)"), "field neighbourhood: must be true or false"},
        {oneBox(R"("keepsSettings":"yes")"), "field keepsSettings: must be true or false"},
        {oneBox(R"("replyDelayMs":-5)"), "field replyDelayMs:"},
        {oneBox(R"("token":"mine")"), "field token: must be \"echo\", \"empty\" or \"foreign\""},
        {oneBox(R"("linkKind":"wifi")"), "field linkKind:"},
        {oneBox(R"("softwareVersion":"1.1")"), "field softwareVersion:"},
        {oneBox(R"("softwareVersion":{"major":64,"minor":0,"build":0})"), "field softwareVersion.major:"},
        {oneBox(R"("softwareVersion":{"major":1})"), "field softwareVersion: needs major, minor and build"},
        {oneBox(R"("boxData":"00")"), "field boxData: must be 160 hexadecimal digits"},
        {oneBox(R"("boxData":")" + std::string(159, '0') + "x\""), "field boxData: must be 160"},
        {oneBox(R"("reply":{"length":10})"), "field reply.length: must be an integer from 14 to 1514"},
        {oneBox(R"("reply":{"reservedByte":{"index":21,"value":1}})"), "field reply.reservedByte.index:"},
        {oneBox(R"("reply":{"reservedByte":{"index":2}})"), "field reply.reservedByte: needs index and value"},
        {oneBox(R"("secondReply":{"currentIp":"a"})"), "field secondReply.currentIp:"},
        {oneBox(R"("secondReply":{"tokn":"echo"})"), "field secondReply.tokn: unknown field"},
        {oneBox(R"("answer":{"fromOtherMacFirst":"yes"})"), "field answer.fromOtherMacFirst:"},
        {oneBox(R"("answer":3)"), "field answer: must be an object"},
        {R"({"boxes":[{"serial":"1","mac":"00:50:c2:00:00:01"},{"serial":"2","mac":"00:50:c2:00:00:02","silent":0}]})",
         "boxes[1] (serial 2), field silent:"},
        {R"({"boxes":[{"serial":"1","mac":"00:50:c2:00:00:01"},{"serial":"2","mac":"00:50:C2:00:00:01"}]})",
         "boxes[1] (serial 2), field mac: 00:50:c2:00:00:01 is already the MAC of boxes[0] (serial 1)"},
        {R"({"boxes":[{"serial":"1","mac":"00:50:c2:04:00:01"},{"serial":"2","mac":"00:50:c2:00:00:01","linkKind":"usb"}]})",
         "is already the MAC of boxes[0]"},
        {R"({"boxes":[3]})", "boxes[0]: must be an object"},
        {R"({"boxes":{}})", "field boxes: missing, or not an array"},
        {R"({"boxes":[],"extra":1})", "unknown field extra"},
        {R"({"boxes":[],"lossPercent":101})", "field lossPercent: must be a number from 0 to 100"},
        {R"({"boxes":[],"lossPercent":"5"})", "field lossPercent:"},
        {R"({"boxes":[)", "not valid JSON"},
    };
    for (const auto& c : cases) {
        const std::string error = errorOf(c.json);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.json << "\n  gave: " << error;
    }
}

TEST(FleetFile, ReadingAMissingFileNamesIt) {
    try {
        readFleetFile("/nonexistent/vqsim-fleet.json");
        FAIL() << "no error";
    } catch (const FleetError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/vqsim-fleet.json"), std::string::npos);
    }
}

TEST(GeneratedBoxes, DistinctNetworkBoxesWithWrappingAddresses) {
    const auto boxes = generateBoxes(1000);
    ASSERT_EQ(boxes.size(), 1000u);
    EXPECT_NO_THROW(checkDistinctMacs(boxes));
    std::set<std::string> serials;
    for (const BoxConfig& b : boxes) {
        serials.insert(b.serial);
        EXPECT_EQ(linkKindOfMac(b.mac.data()), LinkKind::Network);
        EXPECT_EQ(b.mac[0] & 0x01, 0);
        EXPECT_EQ(b.password, "admin");
        EXPECT_EQ(b.currentIp[0], 198);
        EXPECT_GE(b.currentIp[3], 1);
        EXPECT_LE(b.currentIp[3], 254);
    }
    EXPECT_EQ(serials.size(), 1000u);
    EXPECT_EQ(boxes[0].serial, "100000");
    EXPECT_EQ(boxes[254].currentIp, boxes[0].currentIp);
    EXPECT_NE(boxes[253].currentIp, boxes[0].currentIp);

    EXPECT_NO_THROW(checkDistinctMacs(generateBoxes(kGenerateMax)));
    EXPECT_THROW(generateBoxes(0), FleetError);
    EXPECT_THROW(generateBoxes(kGenerateMax + 1), FleetError);
}

}  // namespace
