#include "Watch.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <set>

#include "BoxReport.h"
#include "StopRequests.h"
#include "Sweep.h"
#include "WatchEvents.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Local time: "2024-05-02 14:03:07" for people, "2024-05-02T14:03:07+02:00" for JSON.
std::string timeStamp(bool iso) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40];
    const std::size_t n =
        std::strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S%z" : "%Y-%m-%d %H:%M:%S", &local);
    std::string stamp(text, n);
    if (iso && stamp.size() >= 5) stamp.insert(stamp.size() - 2, ":");
    return stamp;
}

}  // namespace

int watch(const ScanOptions& options, int seconds) {
    StopRequests stop;
    if (!options.json && ::isatty(STDERR_FILENO) == 1)
        std::cerr << "Sweeping every " << seconds << " s; Ctrl+C ends.\n";
    CVelqorinNetworkAnalyse analyser;
    BoxWatch boxes(options.goneAfter);
    bool dialUpFailing = false;
    for (;;) {
        const auto started = SteadyClock::now();
        std::set<std::string> swept;
        const int code = sweep(analyser, options.interfaces, swept,
                               {options.oneByOne, options.verbose, options.requests, stop.flag()});
        const auto dialUpStop = stopObserver(stop.flag());
        const bool dialUpFailed =
            code == kOk && options.dialUp && !stop.swept() && !analyser.Analyse_Ras(&dialUpStop);
        if (const auto end = stop.swept()) return *end;
        if (code == kNoRawAccess) return code;
        if (code == kOk && options.dialUp) {
            if (dialUpFailed && !dialUpFailing)
                std::cerr << "velqorin: cannot list the point-to-point links; the boxes behind "
                             "dial-up links are left out until they can be listed again\n";
            dialUpFailing = dialUpFailed;
        }
        // After a failed sweep (it said why) the boxes are compared again after the next
        // good one, rather than all reported gone.
        if (code == kOk) {
            const std::string time = timeStamp(options.json);
            std::string lines;
            for (const WatchEvent& e : boxes.next(rowsOf(analyser)))
                lines += (options.json ? watchJson(e, time) : watchText(e, time)) + "\n";
            if (!lines.empty()) stop.print(lines);
        }
        if (const auto end = stop.waitUntil(started + std::chrono::seconds(seconds))) return *end;
    }
}

}  // namespace velqorin::cli
