#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Csv.h"
#include "Plan.h"

using namespace velqorin;
using namespace velqorin::cli;

namespace {

// ---------------------------------------------------------------- CSV

std::vector<std::vector<std::string>> cellsOf(const CsvTable& table) {
    std::vector<std::vector<std::string>> out;
    for (const auto& r : table.records) {
        out.emplace_back();
        for (const auto& c : r.cells) out.back().push_back(c.text);
    }
    return out;
}

TEST(Csv, QuotedCellsLineEndsAndTheByteOrderMark) {
    const struct {
        const char* name;
        std::string text;
        std::vector<std::vector<std::string>> cells;
        std::vector<std::size_t> lines;
    } cases[] = {
        {"LF", "a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}, {1, 2}},
        {"CRLF, no last line end", "a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}, {1, 2}},
        {"BOM", "\xEF\xBB\xBFserial\r\n7\r\n", {{"serial"}, {"7"}}, {1, 2}},
        {"quoted separator and quote", "a,b\n\"x,y\",\"say \"\"hi\"\"\"\n",
         {{"a", "b"}, {"x,y", "say \"hi\""}}, {1, 2}},
        {"line break inside quotes counts", "a\n\"two\nlines\"\nnext\n",
         {{"a"}, {"two\nlines"}, {"next"}}, {1, 2, 4}},
        {"blank lines and empty rows left out", "a,b\n\n,\n  \n1,2\n", {{"a", "b"}, {"1", "2"}}, {1, 5}},
        {"empty cells kept", "a,b,c\n,,x\n1,\n", {{"a", "b", "c"}, {"", "", "x"}, {"1", ""}}, {1, 2, 3}},
        {"semicolons when the header has no comma", "a;b\n\"1,5\";2\n", {{"a", "b"}, {"1,5", "2"}}, {1, 2}},
        {"commas win", "a,b;c\n1,2;3\n", {{"a", "b;c"}, {"1", "2;3"}}, {1, 2}},
        {"a quoted empty cell is not blank", "a\n\"\"\n", {{"a"}, {""}}, {1, 2}},
        {"spaces after the closing quote", "a,b\n\"1\"  ,2\n", {{"a", "b"}, {"1", "2"}}, {1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CsvTable table = readCsv(c.text);
        EXPECT_FALSE(table.error) << table.error->reason;
        EXPECT_EQ(cellsOf(table), c.cells);
        std::vector<std::size_t> lines;
        for (const auto& r : table.records) lines.push_back(r.line);
        EXPECT_EQ(lines, c.lines);
    }
}

TEST(Csv, MalformedQuotingStopsAtItsLine) {
    const struct {
        std::string text;
        std::size_t line;
        const char* reason;
    } cases[] = {
        {"a\n1\n\"open\nstill open", 3, "never closed"},
        {"a,b\n1,x\"y\n", 2, "a quote inside a cell"},
        {"a,b\n\"1\"x,2\n", 2, "text after the closing quote"},
    };
    for (const auto& c : cases) {
        const CsvTable table = readCsv(c.text);
        ASSERT_TRUE(table.error) << c.text;
        EXPECT_EQ(table.error->line, c.line) << c.text;
        EXPECT_NE(table.error->reason.find(c.reason), std::string::npos) << table.error->reason;
    }
}

// ---------------------------------------------------------------- reading a plan

std::string problemsOf(const Plan& plan) {
    std::string text;
    for (const auto& p : plan.problems) text += problemText(p) + "\n";
    return text;
}

TEST(PlanReader, EveryColumnInAnyOrderAndEmptyCellsUnset) {
    const Plan plan = readPlan(
        "Password, FLOOR,master,sync,restart,neighbourhood,mask,ip,dhcp,serial\n"
        " s3cret ,2,6001,follow,yes,no,255.255.255.0,192.0.2.41,no,6002\n"
        ",,,,,,,,,6003\n"
        "\" quoted \",,,master,,,,,yes, 6004 \n");
    ASSERT_EQ(plan.problems.size(), 0u) << problemsOf(plan);
    ASSERT_EQ(plan.rows.size(), 3u);
    const PlanRow& a = plan.rows[0];
    EXPECT_EQ(a.line, 2u);
    EXPECT_EQ(a.serial, "6002");
    EXPECT_EQ(a.dhcp, false);
    EXPECT_EQ(a.ip, (Ipv4{192, 0, 2, 41}));
    EXPECT_EQ(a.mask, (Ipv4{255, 255, 255, 0}));
    EXPECT_EQ(a.neighbourhood, false);
    EXPECT_TRUE(a.restart);
    EXPECT_EQ(a.sync, SyncRole::Follower);
    EXPECT_EQ(a.master, 6001u);
    EXPECT_EQ(a.floor, 2);
    EXPECT_EQ(a.password, " s3cret ");  // passwords are taken as written

    const PlanRow& b = plan.rows[1];
    EXPECT_EQ(b.serial, "6003");
    EXPECT_FALSE(b.dhcp || b.ip || b.mask || b.neighbourhood || b.sync || b.master || b.floor ||
                 b.password);
    EXPECT_FALSE(b.restart);
    EXPECT_EQ(askedText(b), "nothing");

    EXPECT_EQ(plan.rows[2].serial, "6004");
    EXPECT_EQ(plan.rows[2].password, " quoted ");
    EXPECT_EQ(plan.rows[2].sync, SyncRole::Master);
    EXPECT_EQ(plan.rows[2].dhcp, true);
}

TEST(PlanReader, ShortRowsLeaveTheMissingCellsEmpty) {
    const Plan plan = readPlan("serial,dhcp,ip,mask\n6001,yes\n");
    ASSERT_TRUE(plan.problems.empty()) << problemsOf(plan);
    EXPECT_EQ(plan.rows.at(0).dhcp, true);
    EXPECT_FALSE(plan.rows.at(0).ip);
}

TEST(PlanReader, EveryBadRowIsNamedWithItsLineAndReason) {
    const std::string header = "serial,dhcp,ip,mask,neighbourhood,restart,sync,master,floor\n";
    const struct {
        std::string row;
        const char* reason;
    } cases[] = {
        {"6001,maybe,,,,,,,", "dhcp \"maybe\" is not yes or no"},
        {"6001,,192.0.2.300,255.255.255.0,,,,,", "ip \"192.0.2.300\" is not an IPv4 address"},
        {"6001,,192.0.2,255.255.255.0,,,,,", "ip \"192.0.2\" is not an IPv4 address"},
        {"6001,,192.0.2.41,255.0.255.0,,,,,", "mask \"255.0.255.0\" is not a subnet mask"},
        {"6001,,192.0.2.41,,,,,,", "ip and mask go together"},
        {"6001,,,255.255.255.0,,,,,", "ip and mask go together"},
        {"6001,yes,192.0.2.41,255.255.255.0,,,,,", "leave them empty with dhcp yes"},
        {"6001,,192.0.2.0,255.255.255.0,,,,,", "the network address of its subnet"},
        {"6001,,192.0.2.255,255.255.255.0,,,,,", "the broadcast address of its subnet"},
        {"6001,,127.0.0.5,255.0.0.0,,,,,", "loopback"},
        {"6001,,224.0.0.9,255.255.255.0,,,,,", "group or reserved"},
        {"6001,,0.0.0.0,255.255.255.0,,,,,", "0.0.0.0 is no address"},
        {"6001,,,,sometimes,,,,", "neighbourhood \"sometimes\" is not yes or no"},
        {"6001,,,,,1,,,", "restart \"1\" is not yes or no"},
        {"6001,,,,,,slave,,", "sync \"slave\" is not master or follow"},
        {"6001,,,,,,follow,6000,", "sync follow needs master and floor"},
        {"6001,,,,,,follow,,2", "sync follow needs master and floor"},
        {"6001,,,,,,,6000,2", "master and floor are only for sync follow"},
        {"6001,,,,,,master,6000,2", "master and floor are only for sync follow"},
        {"6001,,,,,,follow,6000,0", "floor \"0\" is not a floor a box takes"},
        {"6001,,,,,,follow,6000,6", "floor \"6\" is not a floor"},
        {"6001,,,,,,follow,6000,-6", "floor \"-6\" is not a floor"},
        {"6001,,,,,,follow,6000,1.5", "floor \"1.5\" is not a floor"},
        {"6001,,,,,,follow,abc,1", "master \"abc\" is not the serial number"},
        {"6001,,,,,,follow,4294967296,1", "master \"4294967296\" is not the serial number"},
        {"6001,,,,,,follow,6001,1", "box 6001 cannot follow itself"},
        {",yes,,,,,,,", "no serial number"},
        {"123456789012345678901,,,,,,,,", "longer than the 20 characters"},
        {"6001,,,,,,,,,,", "has 11 cells, the header 9 columns"},
    };
    for (const auto& c : cases) {
        const Plan plan = readPlan(header + "6000,,,,,,,,\n" + c.row + "\n");
        ASSERT_FALSE(plan.problems.empty()) << c.row;
        EXPECT_EQ(plan.problems[0].line, 3u) << c.row;
        EXPECT_EQ(plan.problems.size(), 1u) << problemsOf(plan);
        EXPECT_NE(plan.problems[0].reason.find(c.reason), std::string::npos)
            << c.row << "\n  gave: " << problemsOf(plan);
        ASSERT_EQ(plan.rows.size(), 1u) << "only the good row is kept: " << c.row;
        EXPECT_EQ(plan.rows[0].serial, "6000");
    }
}

TEST(PlanReader, APasswordIsTakenWholeOrNotAtAllAndAMacNamesTheStation) {
    const struct {
        std::string row;
        const char* reason;  // null: a good row
    } cases[] = {
        {std::string("6001,\"pw\0Secret\",", 17), "the password holds a NUL or a line break"},
        {"6001,\"pw\nSecret\",", "the password holds a NUL or a line break"},
        {"6001,\"pw\rSecret\",", "the password holds a NUL or a line break"},
        {"6001,,02:00:00:01:00", "mac \"02:00:00:01:00\" is not a MAC address"},
        {"6001,,02:00:00:01:00:zz", "is not a MAC address"},
        {"6001,pw,02-00-00-01-00-0A", nullptr},
    };
    for (const auto& c : cases) {
        const Plan plan = readPlan("serial,password,mac\n" + c.row + "\n");
        if (!c.reason) {
            ASSERT_EQ(plan.rows.size(), 1u) << problemsOf(plan);
            EXPECT_EQ(plan.rows[0].mac, (Mac{0x02, 0, 0, 0x01, 0, 0x0a}));
            continue;
        }
        ASSERT_EQ(plan.problems.size(), 1u) << c.row;
        EXPECT_NE(plan.problems[0].reason.find(c.reason), std::string::npos) << problemsOf(plan);
        EXPECT_EQ(problemsOf(plan).find("Secret"), std::string::npos) << "never repeat a password";
        EXPECT_TRUE(plan.rows.empty());
    }
}

TEST(PlanReader, AllBadRowsAreReportedNotOnlyTheFirst) {
    const Plan plan = readPlan(
        "serial,ip,mask\n"
        "6001,192.0.2.41,255.255.255.0\n"
        "6002,192.0.2.999,255.255.255.0\n"
        "6003,192.0.2.43,255.255.0.255\n"
        "6004,192.0.2.44,255.255.255.0\n");
    ASSERT_EQ(plan.problems.size(), 2u) << problemsOf(plan);
    EXPECT_EQ(plan.problems[0].line, 3u);
    EXPECT_EQ(plan.problems[1].line, 4u);
}

TEST(PlanReader, TheHeaderMustNameKnownColumnsOnceAndTheSerial) {
    const struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {"", "the plan is empty"},
        {"\n\n", "the plan is empty"},
        {"serial,colour\n6001,red\n", "line 1: unknown column \"colour\""},
        {"serial,ip,IP\n", "line 1: column ip twice"},
        {"dhcp,ip\nyes,\n", "line 1: no serial column"},
        {"serial\n\"6001\n", "line 2: a quoted cell is never closed"},
    };
    for (const auto& c : cases) {
        const Plan plan = readPlan(c.text);
        EXPECT_NE(problemsOf(plan).find(c.reason), std::string::npos)
            << c.text << "\n  gave: " << problemsOf(plan);
        EXPECT_TRUE(plan.rows.empty());
    }
}

TEST(PlanChecks, SerialsAndAddressesOnceTheWorkstationsAddressNeverAndMastersStayMasters) {
    Plan plan = readPlan(
        "serial,ip,mask,sync,master,floor\n"
        "6001,192.0.2.41,255.255.255.0,,,\n"
        "6002,192.0.2.41,255.255.255.0,,,\n"
        "6001,,,,,\n"
        "6004,192.0.2.10,255.255.255.0,,,\n"
        "6005,,,follow,6006,1\n"
        "6006,,,follow,6007,1\n"
        "6007,,,master,,\n");
    ASSERT_TRUE(plan.problems.empty()) << problemsOf(plan);
    checkPlan(plan, {{198, 51, 100, 10}, {192, 0, 2, 10}});
    const std::string text = problemsOf(plan);
    EXPECT_EQ(plan.problems.size(), 4u) << text;
    EXPECT_NE(text.find("line 3: ip 192.0.2.41 is also given to box 6001 on line 2"), std::string::npos) << text;
    EXPECT_NE(text.find("line 4: serial 6001 is already on line 2"), std::string::npos) << text;
    EXPECT_NE(text.find("line 5: ip 192.0.2.10 is the workstation's own address"), std::string::npos) << text;
    EXPECT_NE(text.find("line 6: master 6006 is made a follower on line 7"), std::string::npos) << text;
}

// ---------------------------------------------------------------- the difference

BoxSettings fixedMaster() {
    BoxSettings s;
    s.addressMode = 0;
    s.ip = {192, 0, 2, 41};
    s.mask = {255, 255, 255, 0};
    s.neighbourhood = true;
    return s;
}

PlanRow rowOf(const std::string& header, const std::string& cells) {
    const Plan plan = readPlan(header + "\n" + cells + "\n");
    EXPECT_TRUE(plan.problems.empty()) << problemsOf(plan);
    return plan.rows.empty() ? PlanRow{} : plan.rows.front();
}

TEST(Difference, WhatIsSentForEachKindOfRow) {
    const std::string header = "serial,dhcp,ip,mask,neighbourhood,restart,sync,master,floor";
    BoxSettings follower = fixedMaster();
    follower.follower = true;
    follower.master = 6001;
    follower.floor = 2;
    BoxSettings dhcpBox = fixedMaster();
    dhcpBox.addressMode = 1;
    BoxSettings autoIp = fixedMaster();
    autoIp.addressMode = 2;
    BoxSettings oddFixed = fixedMaster();
    oddFixed.addressMode = 9;  // any mode but 1 to 3 is a fixed address

    const struct {
        const char* name;
        std::string cells;
        BoxSettings now;
        bool sync;
        bool network;
        std::uint8_t mode;  // of the network command
        bool newAddress;
    } cases[] = {
        {"nothing asked", "6000,,,,,,,,", fixedMaster(), false, false, 0, false},
        {"as it is", "6000,no,192.0.2.41,255.255.255.0,yes,,master,,", fixedMaster(), false, false, 0, false},
        {"restart alone sends nothing", "6000,,,,,yes,,,", fixedMaster(), false, false, 0, false},
        {"new address", "6000,no,192.0.2.61,255.255.255.0,,,,,", fixedMaster(), false, true, 0, true},
        {"new mask only", "6000,,192.0.2.41,255.255.0.0,,,,,", fixedMaster(), false, true, 0, false},
        {"an address means fixed", "6000,,192.0.2.41,255.255.255.0,,,,,", dhcpBox, false, true, 0, false},
        {"to DHCP", "6000,yes,,,,,,,", fixedMaster(), false, true, 1, false},
        {"DHCP already", "6000,yes,,,,,,,", dhcpBox, false, false, 1, false},
        {"neighbourhood", "6000,,,,no,,,,", dhcpBox, false, true, 1, false},
        {"Auto IP kept", "6000,,,,no,,,,", autoIp, false, true, 2, false},
        {"Auto IP to fixed", "6000,no,,,,,,,", autoIp, false, true, 0, false},
        {"odd fixed mode is fixed", "6000,no,,,,,,,", oddFixed, false, false, 9, false},
        {"odd fixed mode kept", "6000,,,,no,,,,", oddFixed, false, true, 9, false},
        {"to follower", "6000,,,,,,follow,6001,2", fixedMaster(), true, false, 0, false},
        {"follower as it is", "6000,,,,,,follow,6001,2", follower, false, false, 0, false},
        {"other floor", "6000,,,,,,follow,6001,-2", follower, true, false, 0, false},
        {"other master", "6000,,,,,,follow,6003,2", follower, true, false, 0, false},
        {"to master", "6000,,,,,,master,,", follower, true, false, 0, false},
        {"both", "6000,yes,,,,yes,follow,6001,1", fixedMaster(), true, true, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PlanRow row = rowOf(header, c.cells);
        const Difference d = differenceOf(row, c.now);
        EXPECT_EQ(d.sync.has_value(), c.sync);
        EXPECT_EQ(d.network.has_value(), c.network);
        EXPECT_EQ(d.empty(), !c.sync && !c.network);
        EXPECT_EQ(d.fields.empty(), d.empty());
        EXPECT_EQ(d.newAddress, c.newAddress);
        if (d.network) {
            EXPECT_EQ(d.network->addressMode, c.mode);
            EXPECT_EQ(d.network->restart, row.restart);
        }
        // What was asked is what the box then reports: applied, nothing is left to send.
        BoxSettings after = plannedSettings(row, c.now);
        EXPECT_TRUE(differenceOf(row, after).empty());
    }
}

TEST(Difference, TheCommandsCarryThePlannedValuesAndKeepTheRest) {
    const std::string header = "serial,dhcp,ip,mask,neighbourhood,restart,sync,master,floor";
    BoxSettings now = fixedMaster();
    now.follower = true;
    now.master = 6001;
    now.floor = 3;
    const Difference a = differenceOf(rowOf(header, "6000,,,,no,yes,master,,"), now);
    ASSERT_TRUE(a.network && a.sync);
    EXPECT_TRUE(a.sync->masterMode);
    EXPECT_EQ(a.sync->master, 0u);  // master mode goes with master 0 and floor 0
    EXPECT_EQ(a.sync->floor, 0);
    EXPECT_EQ(a.network->ip, now.ip);  // kept
    EXPECT_EQ(a.network->mask, now.mask);
    EXPECT_FALSE(a.network->neighbourhood);
    EXPECT_TRUE(a.network->restart);
    EXPECT_EQ(a.fields, (std::vector<std::string>{"sync follows 6001 floor 3 -> master",
                                                  "neighbourhood yes -> no"}));

    const Difference b = differenceOf(rowOf(header, "6000,no,192.0.2.61,255.255.0.0,,,follow,6002,-1"), now);
    ASSERT_TRUE(b.network && b.sync);
    EXPECT_FALSE(b.sync->masterMode);
    EXPECT_EQ(b.sync->master, 6002u);
    EXPECT_EQ(b.sync->floor, -1);
    EXPECT_EQ(b.network->ip, (Ipv4{192, 0, 2, 61}));
    EXPECT_EQ(b.network->mask, (Ipv4{255, 255, 0, 0}));
    EXPECT_TRUE(b.network->neighbourhood);  // kept
    EXPECT_FALSE(b.network->restart);
    EXPECT_EQ(b.fields, (std::vector<std::string>{
                            "sync follows 6001 floor 3 -> follows 6002 floor -1",
                            "address 192.0.2.41/255.255.255.0 -> 192.0.2.61/255.255.0.0"}));
}

TEST(Difference, AFixedAddressWithoutAnIpMustBeOneABoxCanUse) {
    const PlanRow row = rowOf("serial,dhcp", "6000,no");
    BoxSettings dhcpBox = fixedMaster();
    dhcpBox.addressMode = 1;
    EXPECT_FALSE(keptAddressProblem(row, dhcpBox, {}));
    EXPECT_FALSE(keptAddressProblem(row, fixedMaster(), {{192, 0, 2, 41}}));  // nothing changes
    BoxSettings noAddress = dhcpBox;
    noAddress.ip = {0, 0, 0, 0};
    EXPECT_TRUE(keptAddressProblem(row, noAddress, {}));
    BoxSettings badMask = dhcpBox;
    badMask.mask = {255, 0, 255, 0};
    EXPECT_TRUE(keptAddressProblem(row, badMask, {}));
    const auto own = keptAddressProblem(row, dhcpBox, {{192, 0, 2, 41}});
    ASSERT_TRUE(own);
    EXPECT_NE(own->find("workstation's own address"), std::string::npos) << *own;
    EXPECT_FALSE(keptAddressProblem(rowOf("serial,dhcp,ip,mask", "6000,no,192.0.2.50,255.255.255.0"),
                                    noAddress, {}));
}

TEST(Difference, SettingsOfARecord) {
    TAnalyseBuffer r{};
    const std::uint8_t ip[4] = {198, 51, 100, 7}, mask[4] = {255, 255, 0, 0};
    std::memcpy(r.manualIp, ip, 4);
    std::memcpy(r.manualMask, mask, 4);
    r.currentIp[0] = 10;  // the current address is not what a plan sets
    r.addressMode = 3;
    r.neighbourhood = 2;
    storeLe<std::uint32_t>(r.syncSlave, 1);
    storeLe<std::uint32_t>(r.syncMaster, 4000000000u);
    storeLe<std::int32_t>(r.syncFloor, -4);
    const BoxSettings s = settingsOf(r);
    EXPECT_EQ(s.ip, (Ipv4{198, 51, 100, 7}));
    EXPECT_EQ(s.mask, (Ipv4{255, 255, 0, 0}));
    EXPECT_EQ(s.addressMode, 3);
    EXPECT_TRUE(s.neighbourhood);
    EXPECT_TRUE(s.follower);
    EXPECT_EQ(s.master, 4000000000u);
    EXPECT_EQ(s.floor, -4);
    EXPECT_EQ(settingsText(s), "rarp, manual 198.51.100.7/255.255.0.0, neighbourhood yes, follows "
                               "4000000000 floor -4");
}

// ---------------------------------------------------------------- results

TEST(Outcomes, WordsExitCodesAndJson) {
    const std::vector<std::pair<RowResult, const char*>> words = {
        {RowResult::Done, "done"},
        {RowResult::Unchanged, "unchanged"},
        {RowResult::NotFound, "not found"},
        {RowResult::Ambiguous, "ambiguous"},
        {RowResult::AddressInUse, "address in use"},
        {RowResult::Refused, "refused"},
        {RowResult::NoAnswer, "no answer"},
        {RowResult::NotConfirmed, "not confirmed"},
    };
    std::vector<RowOutcome> all;
    for (const auto& [result, word] : words) {
        EXPECT_STREQ(resultWord(result), word);
        RowOutcome o;
        o.line = all.size() + 2;
        o.serial = std::to_string(6000 + all.size());
        o.asked = "dhcp yes";
        o.result = result;
        const bool okay = result == RowResult::Done || result == RowResult::Unchanged;
        EXPECT_EQ(outcomeExitCode({o}), okay ? 0 : 1) << word;
        all.push_back(o);
    }
    all[0].sent = {"sync", "network+restart"};
    EXPECT_EQ(outcomeExitCode(all), 1);
    EXPECT_EQ(outcomeExitCode({all[0], all[1]}), 0);

    const auto json = nlohmann::json::parse(outcomeJson(all));
    ASSERT_EQ(json.size(), words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(json[i]["result"], words[i].second);
        EXPECT_EQ(json[i]["serial"], all[i].serial);
        EXPECT_EQ(json[i]["line"], all[i].line);
    }
    EXPECT_EQ(json[0]["sent"], nlohmann::json({"sync", "network+restart"}));

    const std::string table = outcomeTable(all);
    EXPECT_NE(table.find("Line  Serial  Asked     Result          Detail\n"), std::string::npos) << table;
    EXPECT_NE(table.find("4     6002    dhcp yes  not found\n"), std::string::npos) << table;
    EXPECT_NE(table.find("8 rows: 1 done, 1 unchanged, 1 not found, 1 ambiguous, 1 address in "
                         "use, 1 refused, 1 no answer, 1 not confirmed\n"),
              std::string::npos)
        << table;
}

TEST(Outcomes, DryRunShowsNowPlannedAndTheVerdict) {
    DryRunRow found;
    found.line = 2;
    found.serial = "6001";
    found.now = "fixed 192.0.2.41/255.255.255.0, neighbourhood yes, master";
    found.planned = "fixed 192.0.2.61/255.255.255.0, neighbourhood yes, master";
    found.changes = {"address 192.0.2.41/255.255.255.0 -> 192.0.2.61/255.255.255.0"};
    found.verdict = Verdict::CompatibleUseDhcp;
    DryRunRow missing;
    missing.line = 3;
    missing.serial = "6009";
    missing.missing = RowResult::NotFound;
    missing.planned = "dhcp yes";
    const auto json = nlohmann::json::parse(dryRunJson({found, missing}));
    EXPECT_EQ(json[0]["found"], true);
    EXPECT_EQ(json[0]["verdict"], "compatible, use DHCP");
    EXPECT_EQ(json[0]["changes"].size(), 1u);
    EXPECT_FALSE(json[0].contains("result"));
    EXPECT_EQ(json[1]["found"], false);
    EXPECT_EQ(json[1]["result"], "not found");
    EXPECT_TRUE(json[1]["now"].is_null());
    EXPECT_TRUE(json[1]["verdict"].is_null());
    EXPECT_EQ(dryRunTable({found, missing}),
              "line 2, box 6001: to change, compatible, use DHCP\n"
              "  now      fixed 192.0.2.41/255.255.255.0, neighbourhood yes, master\n"
              "  planned  fixed 192.0.2.61/255.255.255.0, neighbourhood yes, master\n"
              "  change   address 192.0.2.41/255.255.255.0 -> 192.0.2.61/255.255.255.0\n"
              "line 3, box 6009: not found\n"
              "  asked    dhcp yes\n"
              "Dry run: nothing was sent.\n");
    for (const Verdict v : {Verdict::Compatible, Verdict::CompatibleUseFixed, Verdict::Incompatible,
                            Verdict::WorkstationAddress})
        EXPECT_STRNE(verdictWord(v), "");
}

}  // namespace
