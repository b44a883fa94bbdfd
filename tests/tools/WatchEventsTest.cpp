#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "WatchEvents.h"

using namespace velqorin::cli;

namespace {

BoxRow box(const std::string& serial, const std::string& adapter = "vq0") {
    BoxRow r;
    r.serial = serial;
    r.adapter = adapter;
    r.mac = "02:00:00:01:00:01";
    r.addressMode = "fixed";
    r.ip = "192.0.2.41";
    r.mask = "255.255.255.0";
    r.neighbourhood = true;
    r.link = "network";
    r.version = "1.001 build 5";
    return r;
}

std::vector<std::string> kindsOf(const std::vector<WatchEvent>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        const char* kind = e.kind == WatchEvent::Kind::Appeared ? "appeared"
                           : e.kind == WatchEvent::Kind::Went   ? "went"
                                                                : "changed";
        out.push_back(std::string(kind) + " " + e.box.serial + "@" + e.box.adapter);
    }
    return out;
}

TEST(WatchEvents, AppearedChangedAndWentByBoxAndAdapter) {
    const std::vector<BoxRow> before = {box("1"), box("2"), box("3"), box("3", "vq1")};
    BoxRow changed = box("2");
    changed.ip = "192.0.2.61";
    std::vector<BoxRow> after = {box("4"), changed, box("3", "vq1"), box("1"), box("3", "vq2")};
    EXPECT_EQ(kindsOf(watchEvents(before, after)),
              (std::vector<std::string>{"appeared 4@vq0", "changed 2@vq0", "appeared 3@vq2",
                                        "went 3@vq0"}));
    EXPECT_TRUE(watchEvents(after, after).empty());
    EXPECT_EQ(kindsOf(watchEvents({}, {box("1")})), (std::vector<std::string>{"appeared 1@vq0"}));
    EXPECT_EQ(kindsOf(watchEvents({box("1")}, {})), (std::vector<std::string>{"went 1@vq0"}));
}

TEST(WatchEvents, EachWatchedFieldAndOnlyThose) {
    using Edit = void (*)(BoxRow&);
    const struct {
        const char* field;
        Edit edit;
        const char* from;
        const char* to;
    } cases[] = {
        {"address", [](BoxRow& r) { r.ip = "192.0.2.61"; }, "192.0.2.41/255.255.255.0",
         "192.0.2.61/255.255.255.0"},
        {"address", [](BoxRow& r) { r.mask = "255.255.0.0"; }, "192.0.2.41/255.255.255.0",
         "192.0.2.41/255.255.0.0"},
        {"mode", [](BoxRow& r) { r.addressMode = "dhcp"; }, "fixed", "dhcp"},
        {"neighbourhood", [](BoxRow& r) { r.neighbourhood = false; }, "yes", "no"},
        {"version", [](BoxRow& r) { r.version = "1.002 build 1"; }, "1.001 build 5", "1.002 build 1"},
        {"sync",
         [](BoxRow& r) {
             r.syncFollower = true;
             r.syncMaster = 6001;
             r.syncFloor = -2;
         },
         "master", "follows 6001 floor -2"},
    };
    for (const auto& c : cases) {
        BoxRow after = box("1");
        c.edit(after);
        const auto events = watchEvents({box("1")}, {after});
        ASSERT_EQ(events.size(), 1u) << c.field;
        ASSERT_EQ(events[0].changes.size(), 1u) << c.field;
        EXPECT_EQ(events[0].changes[0].field, c.field);
        EXPECT_EQ(events[0].changes[0].from, c.from);
        EXPECT_EQ(events[0].changes[0].to, c.to);
    }
    // A follower's floor changing is a change; the MAC or the link kind are not watched.
    BoxRow follower = box("1");
    follower.syncFollower = true;
    follower.syncMaster = 6001;
    follower.syncFloor = 1;
    BoxRow otherFloor = follower;
    otherFloor.syncFloor = 2;
    EXPECT_EQ(watchEvents({follower}, {otherFloor}).size(), 1u);
    BoxRow other = box("1");
    other.mac = "02:00:00:01:00:02";
    other.link = "usb";
    EXPECT_TRUE(watchEvents({box("1")}, {other}).empty());
}

TEST(WatchEvents, TextAndJsonLines) {
    BoxRow after = box("6001", "vq1");
    after.ip = "192.0.2.61";
    after.addressMode = "dhcp";
    const auto changed = watchEvents({box("6001", "vq1")}, {after}).at(0);
    EXPECT_EQ(watchText(changed, "2024-05-02 14:03:07"),
              "2024-05-02 14:03:07  changed   6001 on vq1: address 192.0.2.41/255.255.255.0 -> "
              "192.0.2.61/255.255.255.0; mode fixed -> dhcp");
    const auto json = nlohmann::json::parse(watchJson(changed, "T"));
    EXPECT_EQ(json["event"], "changed");
    EXPECT_EQ(json["time"], "T");
    EXPECT_EQ(json["serial"], "6001");
    EXPECT_EQ(json["adapter"], "vq1");
    ASSERT_EQ(json["changes"].size(), 2u);
    EXPECT_EQ(json["changes"][1], (nlohmann::json{{"field", "mode"}, {"from", "fixed"}, {"to", "dhcp"}}));

    const auto appeared = watchEvents({}, {box("7")}).at(0);
    EXPECT_EQ(watchText(appeared, "t"),
              "t  appeared  7 on vq0: 192.0.2.41/255.255.255.0, fixed, neighbourhood yes, version "
              "1.001 build 5, master");
    const auto a = nlohmann::json::parse(watchJson(appeared, "t"));
    EXPECT_EQ(a["event"], "appeared");
    EXPECT_EQ(a["ip"], "192.0.2.41");
    EXPECT_EQ(a["syncMode"], "master");
    EXPECT_TRUE(a["syncMaster"].is_null());
    EXPECT_FALSE(a.contains("changes"));

    const auto went = watchEvents({box("7")}, {}).at(0);
    EXPECT_EQ(watchText(went, "t"), "t  went      7 on vq0");
    const std::string line = watchJson(went, "t");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(line)["event"], "went");
}

}  // namespace

TEST(BoxWatch, ABoxIsGoneOnlyAfterMissingKSweepsInARow) {
    // Each string is one sweep: the boxes listed, by serial. Each line the events it gives.
    const struct {
        int goneAfter;
        std::vector<std::string> sweeps;
        std::vector<std::vector<std::string>> events;
    } cases[] = {
        // One sweep missed, then back: no line at all.
        {2, {"12", "2", "12"}, {{"appeared 1@vq0", "appeared 2@vq0"}, {}, {}}},
        // Missed twice in a row: gone at the second, once.
        {2, {"12", "2", "2", "2"}, {{"appeared 1@vq0", "appeared 2@vq0"}, {}, {"went 1@vq0 after 2"}, {}}},
        // Gaps that never reach K in a row never report it gone.
        {3, {"1", "", "", "1", "", "1"}, {{"appeared 1@vq0"}, {}, {}, {}, {}, {}}},
        {3, {"1", "", "", ""}, {{"appeared 1@vq0"}, {}, {}, {"went 1@vq0 after 3"}}},
        // K = 1 is the watch without patience.
        {1, {"12", "2", "12"}, {{"appeared 1@vq0", "appeared 2@vq0"}, {"went 1@vq0 after 1"}, {"appeared 1@vq0"}}},
    };
    for (const auto& c : cases) {
        BoxWatch watch(c.goneAfter);
        for (std::size_t i = 0; i < c.sweeps.size(); ++i) {
            std::vector<BoxRow> rows;
            for (char serial : c.sweeps[i]) rows.push_back(box(std::string(1, serial)));
            std::vector<std::string> seen;
            for (const WatchEvent& e : watch.next(rows)) {
                std::string line = kindsOf({e}).front();
                if (e.kind == WatchEvent::Kind::Went) line += " after " + std::to_string(e.missingSweeps);
                seen.push_back(line);
            }
            EXPECT_EQ(seen, c.events[i]) << "K " << c.goneAfter << ", sweep " << i;
        }
    }
}

TEST(BoxWatch, ABoxBackAfterAMissedSweepIsComparedWithWhatItWasAndGoneLinesSayHowLong) {
    BoxWatch watch(2);
    watch.next({box("1"), box("2")});
    watch.next({box("2")});
    BoxRow moved = box("1");
    moved.ip = "192.0.2.99";
    EXPECT_EQ(kindsOf(watch.next({moved, box("2")})), (std::vector<std::string>{"changed 1@vq0"}));
    watch.next({box("2")});
    const auto gone = watch.next({box("2")});
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(watchJson(gone[0], "T"))["missingSweeps"], 2);
    EXPECT_EQ(watchText(gone[0], "T"), "T  went      1 on vq0: missing from 2 sweeps in a row");
}
