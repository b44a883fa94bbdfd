// The text of the three diagnostic reports, built from what the seams report, and the
// sink that shows them.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "host/HostNetwork.h"
#include "host/Platform.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin {

using ReportIcon = CVelqorinNetworkAnalyse::ReportIcon;

struct Report {
    std::string text;
    ReportIcon icon = CVelqorinNetworkAnalyse::ReportInformation;
};

// One adapter as the adapters report shows it.
struct AdapterFacts {
    Adapter adapter;
    AdapterDetails details;
};

// "  - Host Name: ..", "  - Domain Name: ..", "  - DNS Servers:" and one "    > .." per
// server; or the failure line with the error code.
Report hostParamsReport(const HostParams& params);
// Per adapter: name, description, "Adapter Addr" (the MAC read as one 48-bit number,
// first octet highest), first address and mask, gateway, DHCP lines, WINS (none on this
// platform), then an empty line. Missing addresses read 0.0.0.0.
Report adaptersReport(const std::optional<std::vector<AdapterFacts>>& adapters);
// Per link, numbered from 1: "Connexion n° i sur N", name, type and device on one line,
// local and remote address. Warning when there is no link, error when they could not
// be listed.
Report dialUpReport(const std::optional<std::vector<PointToPointLink>>& links);

// Hands the report to the installed sink, or prints it on standard output.
void showReport(const char* title, const Report& report);

}  // namespace velqorin
