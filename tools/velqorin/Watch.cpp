#include "Watch.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "BoxReport.h"
#include "Sweep.h"
#include "WatchEvents.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Ctrl+C and SIGTERM, taken by a thread of their own. A stop during a sweep ends it at its
// next read, through the sweep's stop request, as the monitor's close does; between sweeps
// the wait ends at once.
class StopRequests {
public:
    StopRequests() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        // Blocked before any other thread exists, so every thread of the process (the
        // sweep's too) inherits the mask and only the watcher takes the signals.
        if (const int e = pthread_sigmask(SIG_BLOCK, &set_, &saved_); e != 0)
            throw std::system_error(e, std::generic_category(), "pthread_sigmask");
        watcher_ = std::thread([this] { run(); });
    }
    ~StopRequests() {
        finished_ = true;
        watcher_.join();
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // Set once a stop came: the sweep under way asks it.
    const std::atomic<bool>* flag() const { return &stopped_; }
    // The exit code when a stop came meanwhile.
    std::optional<int> swept() {
        std::lock_guard lock(mutex_);
        return exitCode_;
    }
    void print(const std::string& lines) {
        std::lock_guard lock(mutex_);
        std::cout << lines << std::flush;
    }
    // Until `until` or a stop; the exit code when it was a stop.
    std::optional<int> waitUntil(SteadyClock::time_point until) {
        std::unique_lock lock(mutex_);
        woken_.wait_until(lock, until, [this] { return exitCode_.has_value(); });
        return exitCode_;
    }

private:
    void run() {
        // A short timeout lets the destructor end the thread without a signal of its own.
        const timespec tick{0, 200'000'000};
        while (!finished_) {
            siginfo_t info{};
            const int signal = sigtimedwait(&set_, &info, &tick);
            if (signal > 0) stop(signal);
        }
    }
    void stop(int signal) {
        std::lock_guard lock(mutex_);
        if (!exitCode_) exitCode_ = 128 + signal;
        stopped_ = true;
        woken_.notify_all();
    }

    sigset_t set_{};
    sigset_t saved_{};
    std::atomic<bool> finished_{false};
    std::thread watcher_;
    std::mutex mutex_;
    std::condition_variable woken_;
    std::atomic<bool> stopped_{false};
    std::optional<int> exitCode_;
};

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
