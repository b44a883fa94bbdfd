// The box simulator, run on the LAN side of a lab.
//
// Command line it is given:
//   ip netns exec LAB-lan SIM --interface IF (--fleet FILE | --generate N)
//                              --log FILE --ready-file FILE [extra...]
// It is expected to create the ready file once it answers on IF, to write one JSON object
// a line to the log ({"t":..,"dir":"rx"|"tx","box":..,"kind":..,"verdict":..,"hex":..}),
// and to exit on SIGTERM.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness/Process.h"

namespace velqorin::e2e {

struct SimOptions {
    std::string lab;                  // the lab's name; the sim runs in LAB-lan
    std::string interface = "br0";
    std::string fleetJson;            // written to a file and passed as --fleet, or
    std::optional<unsigned> generate;  // --generate N
    std::vector<std::string> extraArgs;
    std::string program;              // empty: VELQORIN_BOX_SIM
    std::chrono::milliseconds readyTimeout = 10s;
};

// Parses JSON lines. A last line without its newline is still being written and is left
// out; any complete line that is not JSON throws HarnessError naming it.
std::vector<nlohmann::json> parseJsonLines(std::string_view text);

class SimProcess {
public:
    // Starts the simulator and waits until it is ready. Throws HarnessError when it
    // cannot start, ends early, or is not ready in time; the message carries its stderr.
    explicit SimProcess(SimOptions options);
    // Stops it (SIGTERM) and removes its temporary files.
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // SIGTERM, then SIGKILL after `grace`; returns the wait status. Idempotent.
    int stop(std::chrono::milliseconds grace = 5s);
    bool running();
    pid_t pid() const { return child_.pid(); }

    // Every complete line of the log so far.
    std::vector<nlohmann::json> log() const;
    // The "dir":"rx" lines: what the simulator received.
    std::vector<nlohmann::json> received() const;
    // Polls the log until a line satisfies `match`, or `timeout` has passed.
    std::optional<nlohmann::json> waitForLog(const std::function<bool(const nlohmann::json&)>& match,
                                             std::chrono::milliseconds timeout) const;
    std::string stderrText() const;

    const std::string& logPath() const { return logPath_; }
    const std::string& directory() const { return directory_; }

private:
    std::string directory_;
    std::string logPath_;
    std::string readyPath_;
    std::string stderrPath_;
    Child child_;
};

}  // namespace velqorin::e2e
