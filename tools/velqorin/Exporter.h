// velqorin exporter: sweeps every interval and serves the boxes to Prometheus over HTTP.
#pragma once

#include <string>
#include <vector>

#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {

// A port of the exporters' range whose exporter on the Prometheus list runs on Windows
// only, so that it cannot be taken on the Linux machine that sweeps a site.
inline constexpr int kExporterDefaultPort = 9358;
inline constexpr int kExporterDefaultSeconds = 60;
inline constexpr int kExporterMinSeconds = 10;

struct ExporterOptions {
    std::string listen = ":" + std::to_string(kExporterDefaultPort);
    int seconds = kExporterDefaultSeconds;
    int requests = CVelqorinNetworkAnalyse::kDefaultRequests;
    bool dialUp = false;
    std::vector<std::string> interfaces;
};

// Until SIGINT or SIGTERM, which end it with 0; 2 when it cannot listen, 3 without raw
// access.
int exporter(const ExporterOptions& options);

}  // namespace velqorin::cli
