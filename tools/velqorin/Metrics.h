// What `velqorin exporter` serves: the boxes of the last complete sweep in the Prometheus
// text exposition format, with what this process remembers of the sweeps before it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BoxReport.h"

namespace velqorin::cli {

// One adapter's figures in one sweep.
struct AdapterSweep {
    std::string name;
    int requests = 0;       // discovery requests sent on it
    int boxes = 0;          // boxes listed from it
    unsigned dropped = 0;   // frames its capture lost
};

// One complete sweep: its boxes (LAN and dial-up), the adapters it listened to.
struct SweepResult {
    std::vector<BoxRow> rows;
    std::vector<AdapterSweep> adapters;
    double durationSeconds = 0;
    double endedAt = 0;  // Unix time, seconds
};

// A label value as the exposition format writes it between quotes: valid UTF-8, with
// backslash, double quote and line feed escaped.
std::string labelValue(std::string_view text);

class FleetMetrics {
public:
    explicit FleetMetrics(std::string version);

    // After each complete sweep. A box seen before, on an adapter this sweep listened to,
    // that it did not list stays with velqorin_box_up 0; the boxes and counters of an
    // adapter that is gone leave the metrics.
    void record(const SweepResult& sweep);

    // The page for /metrics: the last recorded sweep, or before the first one the build
    // and the counters only.
    std::string text() const;

private:
    using BoxKey = std::pair<std::string, std::string>;  // serial, adapter

    std::string version_;
    bool swept_ = false;
    SweepResult last_;
    std::map<BoxKey, bool> seen_;  // every box this process has seen: listed by the last sweep?
    std::uint64_t requestsTotal_ = 0;
    std::map<std::string, std::uint64_t> droppedTotal_;
};

}  // namespace velqorin::cli
