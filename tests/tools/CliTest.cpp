#include <gtest/gtest.h>

#include <netinet/in.h>

#include <array>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "BoxReport.h"
#include "velqorin/NetworkAnalyse.h"
#include "velqorin/SyncOrder.h"
#include "Input.h"

using namespace velqorin;
using namespace velqorin::cli;

namespace {

TEST(CliInput, Ipv4TakesExactlyFourOctets) {
    struct {
        const char* text;
        bool ok;
    } cases[] = {
        {"192.0.2.7", true},   {"0.0.0.0", true},     {"255.255.255.255", true},
        {"192.0.2", false},    {"192.0.2.7.1", false}, {"192.0.2.256", false},
        {"192.0.2.-1", false}, {"192.0..7", false},    {" 192.0.2.7", false},
        {"192.0.2.7 ", false}, {"0x1.0.0.1", false},   {"1234.0.0.1", false},
        {"", false},           {"192.0.2.7/24", false},
    };
    for (const auto& c : cases) EXPECT_EQ(parseIpv4(c.text).has_value(), c.ok) << c.text;
    EXPECT_EQ(*parseIpv4("198.51.100.254"), (Ipv4{198, 51, 100, 254}));
}

TEST(CliInput, MasksAndAddressesABoxCanTake) {
    EXPECT_TRUE(isSubnetMask({255, 255, 255, 0}));
    EXPECT_TRUE(isSubnetMask({255, 255, 255, 255}));
    EXPECT_TRUE(isSubnetMask({128, 0, 0, 0}));
    EXPECT_FALSE(isSubnetMask({0, 0, 0, 0}));
    EXPECT_FALSE(isSubnetMask({255, 0, 255, 0}));
    EXPECT_FALSE(isSubnetMask({255, 255, 255, 1}));

    const Ipv4 slash24{255, 255, 255, 0};
    EXPECT_FALSE(addressProblem({192, 0, 2, 7}, slash24));
    EXPECT_TRUE(addressProblem({192, 0, 2, 0}, slash24));    // network
    EXPECT_TRUE(addressProblem({192, 0, 2, 255}, slash24));  // broadcast
    EXPECT_TRUE(addressProblem({0, 0, 0, 0}, slash24));
    EXPECT_TRUE(addressProblem({127, 0, 0, 1}, slash24));
    EXPECT_TRUE(addressProblem({224, 0, 0, 5}, slash24));
    EXPECT_FALSE(addressProblem({192, 0, 2, 0}, {255, 255, 255, 254}));  // point to point
}

TEST(CliInput, FloorsOfAChain) {
    for (int f : {-5, -1, 1, 5}) EXPECT_TRUE(validFloor(f)) << f;
    for (int f : {-6, 0, 6, 100}) EXPECT_FALSE(validFloor(f)) << f;
}

TAnalyseBuffer boxRecord() {
    TAnalyseBuffer r{};
    setFieldText(r.serialNumber, "0012345");
    const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0x0C, 0xB1, 0xC2};  // USB and serial bits
    std::memcpy(r.sourceMac, mac, 6);
    const std::uint8_t ip[4] = {192, 0, 2, 50}, mask[4] = {255, 255, 255, 0};
    std::memcpy(r.currentIp, ip, 4);
    std::memcpy(r.currentMask, mask, 4);
    r.addressMode = 2;
    r.neighbourhood = 1;
    storeLe<std::uint32_t>(r.softwareVersion, 0x04050007u);
    return r;
}

TEST(CliReport, EveryFieldOfABox) {
    const BoxRow row = rowOf(boxRecord(), "vq0");
    const auto json = nlohmann::json::parse(jsonText({row}));
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0]["serial"], "0012345");
    EXPECT_EQ(json[0]["mac"], "02:00:00:0c:b1:c2");
    EXPECT_EQ(json[0]["addressMode"], "autoip");
    EXPECT_EQ(json[0]["dhcp"], false);
    EXPECT_EQ(json[0]["ip"], "192.0.2.50");
    EXPECT_EQ(json[0]["mask"], "255.255.255.0");
    EXPECT_EQ(json[0]["neighbourhood"], true);
    EXPECT_EQ(json[0]["link"], "usb");
    EXPECT_EQ(json[0]["version"], "1.005 build 7");
    EXPECT_EQ(json[0]["softwareVersion"], 0x04050007u);
    EXPECT_EQ(json[0]["adapter"], "vq0");
    EXPECT_EQ(json[0]["syncMode"], "master");
    EXPECT_TRUE(json[0]["syncMaster"].is_null());
    EXPECT_TRUE(json[0]["syncFloor"].is_null());
    EXPECT_EQ(json[0]["addressConflict"], nlohmann::json::array());
    EXPECT_EQ(json[0]["workstationAddress"], false);
    EXPECT_EQ(json[0]["reachable"], true);
    EXPECT_EQ(json[0]["serialConflict"], nlohmann::json::array());

    EXPECT_EQ(csvText({row}),
              "serial,mac,addressMode,dhcp,ip,mask,neighbourhood,link,version,softwareVersion,adapter,"
              "syncMode,syncMaster,syncFloor,addressConflict,workstationAddress,reachable,"
              "serialConflict\n"
              "0012345,02:00:00:0c:b1:c2,autoip,false,192.0.2.50,255.255.255.0,true,usb,"
              "1.005 build 7,67436551,vq0,master,,,,false,true,\n");
    const std::string table = tableText({row});
    EXPECT_NE(table.find("Auto IP"), std::string::npos);
    EXPECT_NE(table.find("Serial"), std::string::npos);
}

// Any syncSlave but 0 is a follower; the floor is signed and the master a full 32 bits.
TEST(CliReport, AFollowerShowsItsMasterAndFloor) {
    TAnalyseBuffer r = boxRecord();
    storeLe<std::uint32_t>(r.syncSlave, 7);
    storeLe<std::uint32_t>(r.syncMaster, 4000000000u);
    storeLe<std::int32_t>(r.syncFloor, -2);
    const BoxRow row = rowOf(r, "vq0");
    const auto json = nlohmann::json::parse(jsonText({row}));
    EXPECT_EQ(json[0]["syncMode"], "follower");
    EXPECT_EQ(json[0]["syncMaster"], 4000000000u);
    EXPECT_EQ(json[0]["syncFloor"], -2);
    const std::string csv = csvText({row});
    EXPECT_NE(csv.find(",vq0,follower,4000000000,-2,,false,true,\n"), std::string::npos) << csv;
    EXPECT_NE(tableText({row}).find("follows 4000000000, floor -2"), std::string::npos);
}

TEST(CliReport, WireTextCannotBreakTheFormats) {
    TAnalyseBuffer r = boxRecord();
    std::memcpy(r.serialNumber, "1,\"2\"\n\xff\xfe", 9);  // comma, quotes, newline, not UTF-8
    const BoxRow row = rowOf(r, "vq0");
    const auto json = nlohmann::json::parse(jsonText({row}));  // still valid JSON
    EXPECT_EQ(json[0]["mac"], "02:00:00:0c:b1:c2");
    const std::string csv = csvText({row});
    EXPECT_NE(csv.find("\"1,\"\"2\"\"\\x0a\\xff\\xfe\""), std::string::npos) << csv;
}

// A sweep's result made by hand: five boxes on vq0 (192.0.2.10/24), three of them on one
// address, one on the workstation's, one on another subnet.
class AddressNotes : public ::testing::Test {
protected:
    void SetUp() override {
        const unsigned char local[8] = {0x02, 0x00, 0x00, 0xaa, 0x00, 0x00, 0, 0};
        analyser_.firstInterface = new CVelqorinNetworkInterface(nullptr, "vq0", local);
        analyser_.interfaceCount = 1;
        sockaddr_storage a{}, m{};
        a.ss_family = m.ss_family = AF_INET;
        const std::uint8_t ip[4] = {192, 0, 2, 10}, mask[4] = {255, 255, 255, 0};
        std::memcpy(reinterpret_cast<std::uint8_t*>(&a) + 4, ip, 4);
        std::memcpy(reinterpret_cast<std::uint8_t*>(&m) + 4, mask, 4);
        analyser_.firstInterface->addIpAddress(a, m);
        add("2555", 1, {192, 0, 2, 50});
        add("2556", 2, {192, 0, 2, 50});
        add("2557", 3, {192, 0, 2, 50});
        add("2600", 4, {192, 0, 2, 10});
        add("2700", 5, {203, 0, 113, 5});
    }
    void add(const char* serial, std::uint8_t n, std::array<std::uint8_t, 4> ip) {
        TAnalyseBuffer r = boxRecord();
        setFieldText(r.serialNumber, serial);
        const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0x03, 0x00, n};
        const std::uint8_t local[6] = {0x02, 0x00, 0x00, 0xaa, 0x00, 0x00};
        std::memcpy(r.sourceMac, mac, 6);
        std::memcpy(r.destinationMac, local, 6);
        std::memcpy(r.currentIp, ip.data(), 4);
        analyser_.AddBox(&r, "vq0");
    }
    CVelqorinNetworkAnalyse analyser_;
};

TEST_F(AddressNotes, InEachFormat) {
    const auto rows = rowsOf(analyser_);
    ASSERT_EQ(rows.size(), 5u);

    const auto json = nlohmann::json::parse(jsonText(rows));
    using List = std::vector<std::string>;
    EXPECT_EQ(json[0]["addressConflict"].get<List>(), (List{"2556", "2557"}));
    EXPECT_EQ(json[1]["addressConflict"].get<List>(), (List{"2555", "2557"}));
    for (int i : {0, 1, 2}) {
        EXPECT_EQ(json[i]["workstationAddress"], false) << i;
        EXPECT_EQ(json[i]["reachable"], true) << i;
    }
    EXPECT_EQ(json[3]["addressConflict"], nlohmann::json::array());
    EXPECT_EQ(json[3]["workstationAddress"], true);
    EXPECT_EQ(json[3]["reachable"], true);
    EXPECT_EQ(json[4]["workstationAddress"], false);
    EXPECT_EQ(json[4]["reachable"], false);

    std::istringstream csv(csvText(rows));
    std::vector<std::string> csvLines;
    for (std::string line; std::getline(csv, line);) csvLines.push_back(line);
    ASSERT_EQ(csvLines.size(), 6u);
    EXPECT_TRUE(csvLines[1].ends_with(",master,,,2556;2557,false,true,")) << csvLines[1];
    EXPECT_TRUE(csvLines[4].ends_with(",master,,,,true,true,")) << csvLines[4];
    EXPECT_TRUE(csvLines[5].ends_with(",master,,,,false,false,")) << csvLines[5];

    std::istringstream table(tableText(rows));
    std::vector<std::string> tableLines;
    for (std::string line; std::getline(table, line);) tableLines.push_back(line);
    ASSERT_EQ(tableLines.size(), 6u);
    const std::size_t noteAt = tableLines[0].find("Note");
    ASSERT_NE(noteAt, std::string::npos);
    EXPECT_EQ(tableLines[0].substr(noteAt), "Note");  // the last column
    const std::vector<std::string> notes = {
        "address also used by 2556, 2557", "address also used by 2555, 2557",
        "address also used by 2555, 2556", "address of this workstation",
        "not reachable from vq0"};
    for (std::size_t i = 0; i < notes.size(); ++i)
        EXPECT_EQ(tableLines[i + 1].substr(noteAt), notes[i]) << tableLines[i + 1];

    EXPECT_EQ(addressSummary(rows),
              "3 boxes on an address another box also uses, 1 box on this workstation's "
              "address, 1 box not reachable from the adapter it answered on");
}

TEST(CliReport, NothingFlaggedNothingNoted) {
    const std::vector<BoxRow> rows = {rowOf(boxRecord(), "vq0")};
    EXPECT_EQ(noteText(rows[0]), "");
    EXPECT_EQ(addressSummary(rows), "");
    // An empty note leaves no blanks at the end of the line.
    const std::string table = tableText(rows);
    EXPECT_EQ(table.find(" \n"), std::string::npos) << table;
}

TAnalyseBuffer syncRecord(const char* serial, std::uint32_t slave, std::uint32_t master,
                          std::int32_t floor, std::uint32_t done = 0, std::uint32_t age = 0) {
    TAnalyseBuffer r{};
    setFieldText(r.serialNumber, serial);
    storeLe(r.syncSlave, slave);
    storeLe(r.syncMaster, master);
    storeLe(r.syncFloor, floor);
    storeLe(r.syncDone, done);
    storeLe(r.syncAge, age);
    return r;
}

// The chains of the monitor's example, in the tab's order.
std::vector<SyncListRow> exampleChains() {
    static const TAnalyseBuffer m2555 = syncRecord("2555", 0, 0, 0);
    static const TAnalyseBuffer m2600 = syncRecord("2600", 0, 0, 0);
    static const TAnalyseBuffer f2560 = syncRecord("2560", 1, 2555, 1, 1, 61);
    static const TAnalyseBuffer f2570 = syncRecord("2570", 1, 2555, -2);
    std::vector<SyncListRow> rows;
    for (const SyncRow& row : syncRows({&f2560, &m2600, &f2570, &m2555}))
        rows.push_back(syncListRowOf(*row.record, row.separator));
    return rows;
}

TEST(CliSyncReport, TheChainsInEachFormat) {
    const auto rows = exampleChains();
    const auto json = nlohmann::json::parse(syncJsonText(rows));
    ASSERT_EQ(json.size(), 6u);
    std::vector<std::string> order;
    for (const auto& row : json)
        order.push_back(row["row"] == "separator" ? "-" : row["serial"].get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"-", "2555", "2570", "2560", "-", "2600"}));
    EXPECT_EQ(json[0]["serial"], "2555");  // the separator names its master
    EXPECT_EQ(json[1]["syncMode"], "master");
    EXPECT_TRUE(json[1]["syncMaster"].is_null());
    EXPECT_EQ(json[2]["syncFloor"], -2);
    EXPECT_TRUE(json[2]["syncAge"].is_null());
    EXPECT_EQ(json[2]["lastSync"], "...");
    EXPECT_EQ(json[3]["syncAge"], 61);
    EXPECT_EQ(json[3]["lastSync"], "01m 01s");

    EXPECT_EQ(syncCsvText(rows),
              "row,serial,syncMode,syncMaster,syncFloor,syncAge,lastSync\n"
              "separator,2555,,,,,\n"
              "box,2555,master,,,,...\n"
              "box,2570,follower,2555,-2,,...\n"
              "box,2560,follower,2555,1,61,01m 01s\n"
              "separator,2600,,,,,\n"
              "box,2600,master,,,,...\n");

    const std::string table = syncTableText(rows);
    const auto at = [&](const char* text) { return table.find(text); };
    EXPECT_LT(at("2555    M"), at("2570    E     2555    -2"));
    EXPECT_LT(at("2570    E"), at("2560    E     2555    1      01m 01s"));
    EXPECT_LT(at("2560    E"), at("2600    M"));
    EXPECT_NE(at("\n----"), std::string::npos) << table;
}

}  // namespace

TEST(ListenAddress, TakesWhatAServerCanBindAndNothingElse) {
    const struct {
        const char* text;
        const char* host;  // null: refused
        int port;
    } cases[] = {
        {":9358", "0.0.0.0", 9358},
        {"127.0.0.1:9358", "127.0.0.1", 9358},
        {"[::1]:80", "::1", 80},
        {"[::]:65535", "::", 65535},
        {"9358", nullptr, 0},
        {"127.0.0.1:", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.1:93x8", nullptr, 0},
        {"1.2.3:9358", nullptr, 0},
        {"localhost:9358", nullptr, 0},  // a name would be looked up: numbers only
        {"::1:9358", nullptr, 0},        // IPv6 goes in brackets
        {"[1.2.3.4]:9358", nullptr, 0},
    };
    for (const auto& c : cases) {
        const auto at = parseListenAddress(c.text);
        if (c.host == nullptr) {
            EXPECT_FALSE(at) << c.text;
            continue;
        }
        ASSERT_TRUE(at) << c.text;
        EXPECT_EQ(at->host, c.host) << c.text;
        EXPECT_EQ(at->port, c.port) << c.text;
    }
}
