#include "Metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <tuple>

#include "SafeText.h"

namespace velqorin::cli {
namespace {

// Shortest text that reads back as the same number; Prometheus parses Go's float syntax.
std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

using Labels = std::vector<std::pair<const char*, std::string>>;

// One metric family: its HELP and TYPE lines, then its samples.
class Family {
public:
    Family(std::string& out, const char* name, const char* type, const char* help)
        : out_(out), name_(name) {
        out_ += std::string("# HELP ") + name + " " + help + "\n";
        out_ += std::string("# TYPE ") + name + " " + type + "\n";
    }
    void sample(const Labels& labels, double value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (i > 0) out_ += ',';
                out_ += labels[i].first;
                out_ += "=\"" + labelValue(labels[i].second) + "\"";
            }
            out_ += '}';
        }
        out_ += ' ' + number(value) + '\n';
    }

private:
    std::string& out_;
    const char* name_;
};

Labels boxLabels(const BoxRow& row) { return {{"serial", row.serial}, {"adapter", row.adapter}}; }

const char* dhcpWord(const std::string& mode) {
    if (mode == "dhcp") return "yes";
    if (mode == "fixed") return "no";
    return mode.c_str();  // autoip, rarp
}

// The boxes the synchronisation list shows: those on the LAN itself.
bool syncListed(const BoxRow& row) { return row.link == "network"; }

void boxFamilies(std::string& out, const std::vector<BoxRow>& rows) {
    Family info(out, "velqorin_box_info", "gauge",
                "A box the last sweep listed, 1, with its identity and address as labels.");
    for (const BoxRow& r : rows)
        info.sample({{"serial", r.serial}, {"adapter", r.adapter}, {"mac", r.mac}, {"ip", r.ip},
                     {"mask", r.mask}, {"dhcp", dhcpWord(r.addressMode)},
                     {"neighbourhood", r.neighbourhood ? "yes" : "no"}, {"link", r.link},
                     {"version", r.version}},
                    1);
    const auto flag = [&](const char* name, const char* help, auto value) {
        Family f(out, name, "gauge", help);
        for (const BoxRow& r : rows) f.sample(boxLabels(r), value(r) ? 1 : 0);
    };
    flag("velqorin_box_address_conflict", "1 when another box of the sweep has the box's address.",
         [](const BoxRow& r) { return !r.addressConflict.empty(); });
    flag("velqorin_box_workstation_address", "1 when the box has one of the workstation's own addresses.",
         [](const BoxRow& r) { return r.workstationAddress; });
    flag("velqorin_box_unreachable",
         "1 when the workstation cannot reach the box's address from the adapter it answered on.",
         [](const BoxRow& r) { return !r.reachable; });
    flag("velqorin_box_serial_conflict",
         "1 when other stations answered with the box's serial number on its adapter.",
         [](const BoxRow& r) { return !r.serialConflict.empty(); });

    const auto sync = [&](const char* name, const char* help, auto value) {
        Family f(out, name, "gauge", help);
        for (const BoxRow& r : rows)
            if (syncListed(r)) f.sample(boxLabels(r), value(r));
    };
    sync("velqorin_box_sync_master", "1 for a synchronisation master, 0 for a follower.",
         [](const BoxRow& r) { return r.syncFollower ? 0.0 : 1.0; });
    sync("velqorin_box_sync_floor", "The follower's floor in its synchronisation chain, 0 for a master.",
         [](const BoxRow& r) { return r.syncFollower ? double(r.syncFloor) : 0.0; });
    sync("velqorin_box_sync_fault", "1 when the box reports a synchronisation fault.",
         [](const BoxRow& r) { return r.syncFault ? 1.0 : 0.0; });
    sync("velqorin_box_sync_done", "1 once the box has synchronised.",
         [](const BoxRow& r) { return r.syncDone ? 1.0 : 0.0; });
    Family age(out, "velqorin_box_sync_age_seconds", "gauge",
               "Seconds since a follower last synchronised, for a follower without fault that has.");
    for (const BoxRow& r : rows)
        if (syncListed(r) && r.syncFollower && !r.syncFault && r.syncDone)
            age.sample(boxLabels(r), r.syncAge);
}

}  // namespace

std::string labelValue(std::string_view text) {
    std::string out;
    for (const char c : utf8Text(text)) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

FleetMetrics::FleetMetrics(std::string version) : version_(std::move(version)) {}

void FleetMetrics::record(const SweepResult& sweep) {
    std::set<std::string> adapters;
    for (const AdapterSweep& a : sweep.adapters) {
        adapters.insert(a.name);
        requestsTotal_ += static_cast<std::uint64_t>(std::max(a.requests, 0));
        droppedTotal_[a.name] += a.dropped;
    }
    std::erase_if(droppedTotal_, [&](const auto& d) { return !adapters.count(d.first); });
    for (auto& [key, listed] : seen_) listed = false;
    for (const BoxRow& r : sweep.rows) seen_[{r.serial, r.adapter}] = true;
    // Dial-up boxes answer on links that are no adapters of the sweep: they stay while listed.
    std::erase_if(seen_, [&](const auto& s) { return !s.second && !adapters.count(s.first.second); });
    last_ = sweep;
    // One series per box and adapter, whatever answered twice.
    std::stable_sort(last_.rows.begin(), last_.rows.end(), [](const BoxRow& a, const BoxRow& b) {
        return std::tie(a.serial, a.adapter) < std::tie(b.serial, b.adapter);
    });
    last_.rows.erase(std::unique(last_.rows.begin(), last_.rows.end(),
                                 [](const BoxRow& a, const BoxRow& b) {
                                     return a.serial == b.serial && a.adapter == b.adapter;
                                 }),
                     last_.rows.end());
    std::sort(last_.adapters.begin(), last_.adapters.end(),
              [](const AdapterSweep& a, const AdapterSweep& b) { return a.name < b.name; });
    swept_ = true;
}

std::string FleetMetrics::text() const {
    std::string out;
    Family(out, "velqorin_build_info", "gauge", "The exporter's version, as a label; always 1.")
        .sample({{"version", version_}}, 1);
    Family(out, "velqorin_sweep_requests_total", "counter",
           "Discovery requests sent on all adapters since the exporter started.")
        .sample({}, static_cast<double>(requestsTotal_));
    Family dropped(out, "velqorin_capture_dropped_total", "counter",
                           "Frames an adapter's capture lost since the exporter started.");
    for (const auto& [adapter, count] : droppedTotal_)
        dropped.sample({{"adapter", adapter}}, static_cast<double>(count));
    if (!swept_) return out;

    Family(out, "velqorin_sweep_duration_seconds", "gauge", "How long the last complete sweep took.")
        .sample({}, last_.durationSeconds);
    Family(out, "velqorin_sweep_timestamp_seconds", "gauge",
           "When the last complete sweep ended, in seconds since the Unix epoch.")
        .sample({}, last_.endedAt);
    Family boxes(out, "velqorin_boxes", "gauge", "Boxes the last sweep listed on each adapter.");
    for (const AdapterSweep& a : last_.adapters) boxes.sample({{"adapter", a.name}}, a.boxes);
    Family up(out, "velqorin_box_up", "gauge",
              "1 when the last sweep listed the box, 0 for a box seen before that it did not list.");
    for (const auto& [key, listed] : seen_)
        up.sample({{"serial", key.first}, {"adapter", key.second}}, listed ? 1 : 0);
    boxFamilies(out, last_.rows);
    return out;
}

}  // namespace velqorin::cli
