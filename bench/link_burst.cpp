// link_burst: how many replies of a burst reach a caller that starts reading 100 ms after
// its request, for several capture buffer settings. It sets nothing up: run it inside a
// lab's workstation namespace, with the box simulator answering on the adapter's segment
// (bench/run-benchmarks.sh does both).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "linux/PcapLink.h"
#include "velqorin/Frame.h"

namespace {

using namespace velqorin;
using Clock = std::chrono::steady_clock;

struct Setting {
    std::string label;
    PcapOptions options;
};

// "4MiB", "256KiB", "65536" or "default" (0: libpcap's own).
int parseSize(const std::string& text) {
    if (text == "default") return 0;
    std::size_t used = 0;
    const long long number = std::stoll(text, &used);
    const std::string unit = text.substr(used);
    long long scale = 1;
    if (unit == "KiB") scale = 1024;
    else if (unit == "MiB") scale = 1024 * 1024;
    else if (!unit.empty()) throw std::invalid_argument("unknown unit '" + unit + "' in " + text);
    const long long bytes = number * scale;
    if (number <= 0 || bytes > (1LL << 30)) throw std::invalid_argument("out of range: " + text);
    return static_cast<int>(bytes);
}

std::string sizeText(int bytes) {
    if (bytes == 0) return "default";
    if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes);
}

// "ours", "default" (libpcap's buffer and snap length), or BUFFER[:SNAPLEN] with our snap
// length unless given; either part may be "default".
Setting parseSetting(const std::string& text) {
    if (text == "ours") return {"ours", PcapOptions{}};
    if (text == "default") return {"libpcap default", PcapOptions{0, 0}};
    Setting s{text, PcapOptions{}};
    const std::size_t colon = text.find(':');
    s.options.bufferBytes = parseSize(text.substr(0, colon));
    if (colon != std::string::npos) s.options.snapLength = parseSize(text.substr(colon + 1));
    return s;
}

struct Run {
    std::size_t received = 0;  // distinct boxes that replied
    unsigned dropped = 0;
};

// One request, a pause, then reads until one brings nothing (a second of silence).
Run measure(const std::string& adapter, const PcapOptions& options,
            std::chrono::milliseconds pause) {
    std::string error;
    std::unique_ptr<PcapAdapter> link = PcapAdapter::open(adapter, options, error);
    if (!link) throw std::runtime_error(error);
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "link-burst");
    if (!link->queryMac(request.sourceMac) || !link->send(frameBytes(request), kFrameSize))
        throw std::runtime_error(link->error());
    std::this_thread::sleep_for(pause);

    std::set<std::string> serials;
    for (bool more = true; more;) {
        more = false;
        const bool ok = link->receive(kReadTimeout, [&](const std::uint8_t* frame,
                                                        std::size_t length) {
            more = true;
            if (isDiscoveryReply(request, frame, length)) {
                TAnalyseBuffer reply;
                std::memcpy(&reply, frame, kFrameSize);
                serials.emplace(fieldText(reply.serialNumber));
            }
            return true;
        });
        if (!ok) throw std::runtime_error(link->error());
    }
    return {serials.size(), link->dropped()};
}

template <typename T>
T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string adapter;
    std::size_t boxes = 0;
    unsigned repetitions = 5;
    unsigned pauseMs = 100;
    std::vector<std::string> settingTexts{"ours",   "default", "256KiB", "1MiB",
                                          "2MiB",   "4MiB",    "8MiB",   "4MiB:default"};
    CLI::App app{"Replies of a burst received 100 ms after the request, per capture buffer "
                 "setting. Run inside a lab's workstation namespace with the box simulator "
                 "on the adapter's segment; it needs root.",
                 "link_burst"};
    app.add_option("--adapter", adapter, "Workstation adapter to send and read on")->required();
    app.add_option("--boxes", boxes, "Boxes the simulator plays, for the table")->required();
    app.add_option("--repetitions", repetitions, "Runs per setting")
        ->check(CLI::Range(1u, 100u))
        ->capture_default_str();
    app.add_option("--pause-ms", pauseMs, "Pause between the request and the first read")
        ->capture_default_str();
    app.add_option("--setting", settingTexts,
                   "ours, default (libpcap's buffer and snap length), or BUFFER[:SNAPLEN] "
                   "such as 2MiB or 4MiB:default (our snap length unless given)")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    try {
        std::vector<Setting> settings;
        for (const auto& text : settingTexts) settings.push_back(parseSetting(text));

        std::printf("burst of %zu boxes on %s, read %u ms after the request, %u runs each\n",
                    boxes, adapter.c_str(), pauseMs, repetitions);
        std::printf("%-16s %9s %8s | %12s %12s | %11s %11s\n", "setting", "buffer", "snaplen",
                    "received min", "median", "dropped min", "median");
        for (const Setting& s : settings) {
            std::vector<std::size_t> received;
            std::vector<unsigned> dropped;
            for (unsigned i = 0; i < repetitions; ++i) {
                const Run run = measure(adapter, s.options, std::chrono::milliseconds(pauseMs));
                received.push_back(run.received);
                dropped.push_back(run.dropped);
            }
            const std::string snap =
                s.options.snapLength == 0 ? "default" : std::to_string(s.options.snapLength);
            std::printf("%-16s %9s %8s | %12zu %12zu | %11u %11u\n", s.label.c_str(),
                        sizeText(s.options.bufferBytes).c_str(), snap.c_str(),
                        *std::min_element(received.begin(), received.end()), median(received),
                        *std::min_element(dropped.begin(), dropped.end()), median(dropped));
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "link_burst: %s\n", e.what());
        return 1;
    }
    return 0;
}
