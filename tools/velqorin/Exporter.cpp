#include "Exporter.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "Commands.h"
#include "Input.h"
#include "Metrics.h"
#include "SafeText.h"
#include "StopRequests.h"
#include "Sweep.h"
#include "velqorin/BoxOnNetwork.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>velqorin exporter</title></head>\n"
    "<body><h1>velqorin exporter</h1><p>The Velqorin boxes of this machine's networks, for "
    "Prometheus: <a href=\"metrics\">metrics</a>.</p></body></html>\n";

// The page /metrics serves: replaced whole after each sweep, read by any number of scrapes.
class Published {
public:
    void set(std::string text) {
        auto page = std::make_shared<const std::string>(std::move(text));
        std::lock_guard lock(mutex_);
        page_ = std::move(page);
    }
    std::shared_ptr<const std::string> get() const {
        std::lock_guard lock(mutex_);
        return page_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> page_ = std::make_shared<const std::string>();
};

// Each adapter's figures as the sweep tells them, and its stop request.
struct SweepWatch {
    const std::atomic<bool>* stop;
    std::vector<AdapterSweep> adapters;

    CVelqorinNetworkAnalyse::SweepObserver observer() {
        CVelqorinNetworkAnalyse::SweepObserver o{};
        o.context = this;
        o.adapterTally = [](void* self, const CVelqorinNetworkAnalyse::AdapterTally* t) {
            static_cast<SweepWatch*>(self)->adapters.push_back(
                {t->adapter, t->requests, t->boxes, t->dropped});
        };
        o.stopRequested = [](void* self) { return static_cast<SweepWatch*>(self)->stop->load(); };
        return o;
    }
};

// A sweep's outcome: its result, or nothing when it could not run or was stopped.
std::optional<SweepResult> sweepOnce(CVelqorinNetworkAnalyse& analyser, const ExporterOptions& options,
                                     const std::atomic<bool>* stop) {
    std::vector<const char*> names;
    for (const auto& name : options.interfaces) names.push_back(name.c_str());
    SweepWatch watch{stop, {}};
    const auto observer = watch.observer();
    const auto started = SteadyClock::now();
    if (!analyser.AnalyseConcurrently(options.interfaces.empty() ? nullptr : names.data(),
                                      static_cast<int>(names.size()), &observer, options.requests)) {
        std::cerr << "velqorin: cannot list the network adapters for raw capture; trying again "
                     "at the next sweep\n";
        return std::nullopt;
    }
    bool dialedUp = false;
    if (options.dialUp && !stop->load()) {
        const auto dialUpStop = stopObserver(stop);
        dialedUp = analyser.Analyse_Ras(&dialUpStop);
        if (!dialedUp)
            std::cerr << "velqorin: cannot list the point-to-point links; the boxes behind "
                         "dial-up links are left out of this sweep\n";
    }
    if (stop->load()) return std::nullopt;  // cut short: not a complete sweep
    SweepResult result;
    result.rows = rowsOf(analyser);
    result.adapters = std::move(watch.adapters);
    // The dial-up links count as one adapter, so that a box behind one that stops answering
    // turns to 0 as on the LAN.
    if (dialedUp) {
        const auto boxes = std::count_if(result.rows.begin(), result.rows.end(),
                                         [](const BoxRow& r) { return r.adapter == kDialUpAdapterName; });
        result.adapters.push_back({kDialUpAdapterName, 0, static_cast<int>(boxes), 0});
    }
    result.durationSeconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    result.endedAt = std::chrono::duration<double>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return result;
}

// Says once which named adapters a sweep left out, and again whenever that changes.
class MissingAdapters {
public:
    explicit MissingAdapters(std::vector<std::string> named) : named_(std::move(named)) {}
    void check(const SweepResult& sweep) {
        std::set<std::string> missing(named_.begin(), named_.end());
        for (const AdapterSweep& a : sweep.adapters) missing.erase(a.name);
        if (missing == told_) return;
        for (const auto& name : missing)
            if (!told_.count(name))
                std::cerr << "velqorin: " << terminalText(name)
                          << " is not a usable Ethernet adapter now; left out of the metrics\n";
        told_ = std::move(missing);
    }

private:
    std::vector<std::string> named_;
    std::set<std::string> told_;
};

}  // namespace

int exporter(const ExporterOptions& options) {
    const auto at = parseListenAddress(options.listen);
    if (!at) {
        std::cerr << "velqorin: --listen " << terminalText(options.listen)
                  << " is not ADDRESS:PORT (such as :9358, 127.0.0.1:9358 or [::1]:9358)\n";
        return kUsage;
    }
    StopRequests stop;
    CVelqorinNetworkAnalyse analyser;
    if (!haveRawAccess(analyser)) return kNoRawAccess;

    FleetMetrics metrics(VELQORIN_VERSION);
    Published page;
    page.set(metrics.text());
    httplib::Server server;
    server.set_keep_alive_timeout(1);  // a scraper's idle connection must not hold up the end
    // The library's default adds SO_REUSEPORT, with which a second exporter would share the
    // port instead of being told that it is taken.
    server.set_socket_options([](int sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Get("/metrics", [&page](const httplib::Request&, httplib::Response& response) {
        response.set_content(*page.get(), kMetricsType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kIndexPage, "text/html; charset=utf-8");
    });
    errno = 0;
    if (!server.bind_to_port(at->host, at->port)) {
        const int why = errno;
        std::cerr << "velqorin: cannot listen on " << terminalText(options.listen)
                  << (why != 0 ? std::string(": ") + std::strerror(why) : std::string()) << '\n';
        return kUsage;
    }
    std::thread serving([&server] { server.listen_after_bind(); });
    std::cerr << "velqorin: serving the boxes at http://" << options.listen << "/metrics, sweeping every "
              << options.seconds << " s\n";

    MissingAdapters missing(options.interfaces);
    while (!stop.flag()->load()) {
        const auto started = SteadyClock::now();
        if (auto sweep = sweepOnce(analyser, options, stop.flag())) {
            missing.check(*sweep);
            metrics.record(*sweep);
            page.set(metrics.text());
        }
        if (stop.waitUntil(started + std::chrono::seconds(options.seconds))) break;
    }
    server.stop();
    serving.join();
    return kOk;
}

}  // namespace velqorin::cli
