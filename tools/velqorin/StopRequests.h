// Ctrl+C and SIGTERM for the commands that run until stopped (scan --watch, exporter).
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace velqorin::cli {

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
    std::optional<int> waitUntil(std::chrono::steady_clock::time_point until) {
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

}  // namespace velqorin::cli
