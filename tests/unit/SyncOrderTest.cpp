// The order of the synchronisation chains that the monitor and `velqorin scan --sync` share.
#include "velqorin/SyncOrder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velqorin {
namespace {

TAnalyseBuffer box(const std::string& serial, std::uint32_t slave, std::uint32_t master = 0,
                   std::int32_t floor = 0, std::uint8_t macOctet3 = 0x01) {
    TAnalyseBuffer r{};
    setFieldText(r.serialNumber, serial);
    r.sourceMac[3] = macOctet3;
    storeLe(r.syncSlave, slave);
    storeLe(r.syncMaster, master);
    storeLe(r.syncFloor, floor);
    return r;
}

// "-" for a separator row, else the serial number.
std::vector<std::string> shown(const std::vector<TAnalyseBuffer>& boxes) {
    std::vector<const TAnalyseBuffer*> records;
    for (const auto& b : boxes) records.push_back(&b);
    std::vector<std::string> out;
    for (const SyncRow& row : syncRows(records))
        out.push_back(row.separator ? "-" : std::string(fieldText(row.record->serialNumber)));
    return out;
}

TEST(SyncOrder, TwoMastersWithTheirFollowers) {
    const std::vector<TAnalyseBuffer> boxes = {box("2560", 1, 2555, 1), box("2600", 0),
                                               box("2570", 1, 2555, -2), box("2555", 0)};
    EXPECT_EQ(shown(boxes), (std::vector<std::string>{"-", "2555", "2570", "2560", "-", "2600"}));
}

TEST(SyncOrder, FollowersByFloorThenSerial) {
    const std::vector<TAnalyseBuffer> boxes = {box("30", 1, 7, 5),  box("20", 1, 7, -5),
                                               box("12", 1, 7, 1),  box("11", 1, 7, 1),
                                               box("7", 0)};
    EXPECT_EQ(shown(boxes), (std::vector<std::string>{"-", "7", "20", "11", "12", "30"}));
}

TEST(SyncOrder, FollowersOfAMissingMasterFormTheirOwnGroup) {
    const std::vector<TAnalyseBuffer> boxes = {box("9", 1, 3000, 1), box("2000", 0),
                                               box("4000", 0)};
    EXPECT_EQ(shown(boxes), (std::vector<std::string>{"-", "2000", "9", "-", "4000"}));
}

TEST(SyncOrder, OnlyLanBoxesAreListed) {
    const std::vector<TAnalyseBuffer> boxes = {box("1", 0, 0, 0, 0x04), box("2", 0, 0, 0, 0x08),
                                               box("3", 1, 1, 1, 0x0C), box("4", 0)};
    EXPECT_EQ(shown(boxes), (std::vector<std::string>{"-", "4"}));
}

TEST(SyncOrder, AnOddFloorKeepsTheFollowerInItsMastersGroup) {
    // A floor far out of the chain's range must not borrow bits of the master's number.
    const std::vector<TAnalyseBuffer> boxes = {box("5", 1, 100, -100000), box("100", 0),
                                               box("200", 0), box("6", 1, 100, 1)};
    const auto rows = shown(boxes);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], "-");
    EXPECT_EQ(rows[1], "100");
    EXPECT_EQ(rows[4], "-");
    EXPECT_EQ(rows[5], "200");
}

TEST(SyncOrder, KeysOfTheExample) {
    EXPECT_EQ(syncRowKey(box("2555", 0)), std::int64_t{2555} << 32);
    EXPECT_EQ(syncSeparatorKey(box("2555", 0)), (std::int64_t{2555} << 32) - 1);
    EXPECT_EQ(syncRowKey(box("2570", 1, 2555, -2)),
              (std::int64_t{2555} << 32) | (std::int64_t{998} << 16) | 2570);
}

TEST(SyncOrder, SerialNamesAMaster) {
    struct Case {
        const char* serial;
        std::uint32_t master;
        bool names;
    };
    for (const Case& c : {Case{"2555", 2555, true}, Case{"2555", 2556, false},
                          Case{"abc", 0, false}, Case{"", 0, false},
                          Case{"4294967295", 4294967295u, true}, Case{"4294967296", 0, false},
                          Case{"25x", 25, false}})
        EXPECT_EQ(serialNames(box(c.serial, 0), c.master), c.names) << c.serial;
}

}  // namespace
}  // namespace velqorin
