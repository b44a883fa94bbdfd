// The exporter's page: label escaping, the families a scrape finds, what a sweep that
// misses a box or an adapter leaves, and promtool's verdict on real output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Metrics.h"

using namespace velqorin::cli;

namespace {

BoxRow box(std::string serial, std::string adapter = "vq0") {
    BoxRow r;
    r.serial = std::move(serial);
    r.adapter = std::move(adapter);
    r.mac = "02:00:00:01:00:01";
    r.addressMode = "dhcp";
    r.ip = "192.0.2.10";
    r.mask = "255.255.255.0";
    r.link = "network";
    r.version = "2.5.17";
    return r;
}

SweepResult sweepOf(std::vector<BoxRow> rows, std::vector<AdapterSweep> adapters) {
    SweepResult s;
    s.rows = std::move(rows);
    s.adapters = std::move(adapters);
    s.durationSeconds = 3.25;
    s.endedAt = 1765350000.5;
    return s;
}

bool has(const std::string& page, const std::string& line) {
    return page.find("\n" + line + "\n") != std::string::npos || page.rfind(line + "\n", 0) == 0;
}

}  // namespace

TEST(Metrics, LabelValuesAreEscapedAndMadeUtf8) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"2555", "2555"},
        {"25\"55", "25\\\"55"},
        {"25\\55", "25\\\\55"},
        {"25\n55", "25\\n55"},
        {"\\n", "\\\\n"},  // a backslash then n, not a line break
        {"25\xff" "55", "25\xEF\xBF\xBD" "55"},
        {"Étage", "Étage"},
    };
    for (const auto& c : cases) EXPECT_EQ(labelValue(c.in), c.out) << c.in;
}

TEST(Metrics, ASweepGivesEveryFamilyAndABoxItMissesTurnsToZero) {
    FleetMetrics metrics("1.2.3");
    const std::string before = metrics.text();
    EXPECT_TRUE(has(before, "velqorin_build_info{version=\"1.2.3\"} 1"));
    EXPECT_EQ(before.find("velqorin_box_up"), std::string::npos) << "no half list before a sweep";

    BoxRow follower = box("2556");
    follower.syncFollower = true;
    follower.syncMaster = 2555;
    follower.syncFloor = -2;
    follower.syncDone = true;
    follower.syncAge = 3725;
    follower.addressConflict = {"2557"};
    BoxRow usb = box("9001");
    usb.link = "usb";
    metrics.record(sweepOf({box("2555"), follower, usb}, {{"vq0", 3, 3, 2}, {"vq1", 3, 0, 0}}));
    metrics.record(sweepOf({box("2555"), follower}, {{"vq0", 3, 2, 1}, {"vq1", 4, 0, 0}}));
    const std::string page = metrics.text();
    for (const char* line : {
             "velqorin_box_up{serial=\"2555\",adapter=\"vq0\"} 1",
             "velqorin_box_up{serial=\"9001\",adapter=\"vq0\"} 0",
             "velqorin_box_info{serial=\"2556\",adapter=\"vq0\",mac=\"02:00:00:01:00:01\",ip=\"192.0.2.10\","
             "mask=\"255.255.255.0\",dhcp=\"yes\",neighbourhood=\"no\",link=\"network\",version=\"2.5.17\"} 1",
             "velqorin_box_sync_master{serial=\"2555\",adapter=\"vq0\"} 1",
             "velqorin_box_sync_master{serial=\"2556\",adapter=\"vq0\"} 0",
             "velqorin_box_sync_floor{serial=\"2556\",adapter=\"vq0\"} -2",
             "velqorin_box_sync_age_seconds{serial=\"2556\",adapter=\"vq0\"} 3725",
             "velqorin_box_address_conflict{serial=\"2556\",adapter=\"vq0\"} 1",
             "velqorin_box_address_conflict{serial=\"2555\",adapter=\"vq0\"} 0",
             "velqorin_boxes{adapter=\"vq0\"} 2",
             "velqorin_boxes{adapter=\"vq1\"} 0",
             "velqorin_sweep_requests_total 13",
             "velqorin_capture_dropped_total{adapter=\"vq0\"} 3",
             "velqorin_sweep_duration_seconds 3.25",
             "velqorin_sweep_timestamp_seconds 1765350000.5",
             "# TYPE velqorin_sweep_requests_total counter",
         })
        EXPECT_TRUE(has(page, line)) << line << "\nin:\n" << page;
    EXPECT_EQ(page.find("velqorin_box_sync_age_seconds{serial=\"2555\""), std::string::npos)
        << "a master has no age";
    EXPECT_EQ(page.find("velqorin_box_sync_master{serial=\"9001\""), std::string::npos)
        << "a box off the LAN has no synchronisation state";
}

TEST(Metrics, AnAdapterThatIsGoneLeavesWithItsBoxes) {
    FleetMetrics metrics("1");
    metrics.record(sweepOf({box("2555", "vq0"), box("2570", "vq1")}, {{"vq0", 3, 1, 0}, {"vq1", 3, 1, 5}}));
    metrics.record(sweepOf({box("2555", "vq0")}, {{"vq0", 3, 1, 0}}));
    const std::string page = metrics.text();
    EXPECT_EQ(page.find("vq1"), std::string::npos) << page;
    EXPECT_TRUE(has(page, "velqorin_box_up{serial=\"2555\",adapter=\"vq0\"} 1"));
}

// promtool, from Debian's prometheus package, lints the page as a scraper would read it.
TEST(Metrics, PromtoolFindsNothingToSayOfARealPage) {
    FleetMetrics metrics("0.1.0");
    BoxRow odd = box("25\"5\\5\n");
    odd.serialConflict = {"02:00:00:01:00:02"};
    metrics.record(sweepOf({box("2555"), odd}, {{"vq0", 3, 2, 0}}));
    metrics.record(sweepOf({box("2555")}, {{"vq0", 3, 1, 0}}));
    const auto file = std::filesystem::temp_directory_path() / "velqorin-metrics-test.prom";
    std::ofstream(file) << metrics.text();
    const std::string command = "promtool check metrics < '" + file.string() + "' 2>&1";
    std::FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string said;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) said += buffer;
    const int status = ::pclose(out);
    std::filesystem::remove(file);
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(said, "");
}
