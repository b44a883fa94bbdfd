#include "harness/SimProcess.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness/Error.h"
#include "harness/Fd.h"
#include "harness/Lab.h"

namespace velqorin::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw HarnessError("cannot write " + path);
}

std::string makeTempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velqorin-sim-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw HarnessError(systemError("cannot make a temporary directory " + pattern, errno));
    return pattern;
}

void removeDirectory(const std::string& directory) {
    if (directory.empty()) return;
    if (std::getenv("VELQORIN_E2E_KEEP")) return;  // left for a post-mortem
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

}  // namespace

std::vector<nlohmann::json> parseJsonLines(std::string_view text) {
    std::vector<nlohmann::json> lines;
    std::size_t number = 0;
    for (;;) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) break;  // no newline yet: still being written
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        try {
            lines.push_back(nlohmann::json::parse(line));
        } catch (const nlohmann::json::parse_error& e) {
            throw HarnessError("log line " + std::to_string(number) + " is not JSON (" +
                               e.what() + "): " + std::string(line.substr(0, 200)));
        }
    }
    return lines;
}

SimProcess::SimProcess(SimOptions options) {
    const std::string program =
        options.program.empty() ? boxSimFromEnvironment() : options.program;
    if (program.empty())
        throw HarnessError("no box simulator: VELQORIN_BOX_SIM is empty; build velqorin-box-sim "
                           "and run the test through ctest");
    if (options.lab.empty()) throw HarnessError("SimOptions.lab names no lab");
    if (options.fleetJson.empty() == !options.generate.has_value())
        throw HarnessError("give the simulator either a fleet (fleetJson) or generate, not " +
                           std::string(options.generate ? "both" : "neither"));

    directory_ = makeTempDirectory();
    try {
        logPath_ = directory_ + "/log.jsonl";
        readyPath_ = directory_ + "/ready";
        stderrPath_ = directory_ + "/output";

        std::vector<std::string> argv{"ip", "netns", "exec", options.lab + "-lan", program,
                                      "--interface", options.interface};
        if (options.generate) {
            argv.insert(argv.end(), {"--generate", std::to_string(*options.generate)});
        } else {
            const std::string fleetPath = directory_ + "/fleet.json";
            writeFile(fleetPath, options.fleetJson);
            argv.insert(argv.end(), {"--fleet", fleetPath});
        }
        argv.insert(argv.end(), {"--log", logPath_, "--ready-file", readyPath_});
        argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());

        Fd output(::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC,
                         0644));
        if (!output) throw HarnessError(systemError("cannot create " + stderrPath_, errno));
        child_ = Child::spawn(argv, {-1, output.get(), output.get()});

        const auto deadline = Clock::now() + options.readyTimeout;
        for (;;) {
            if (::access(readyPath_.c_str(), F_OK) == 0) return;
            if (auto status = child_.poll())
                throw HarnessError("the box simulator " + describeStatus(*status) +
                                   " before it was ready; its output:\n" + stderrText());
            if (Clock::now() >= deadline) {
                child_.terminate(1s);
                throw HarnessError("the box simulator did not create its ready file within " +
                                   std::to_string(options.readyTimeout.count()) +
                                   " ms and was stopped; its output:\n" + stderrText());
            }
            std::this_thread::sleep_for(20ms);
        }
    } catch (...) {
        child_.terminate(1s);
        removeDirectory(directory_);
        throw;
    }
}

SimProcess::~SimProcess() {
    stop();
    removeDirectory(directory_);
}

int SimProcess::stop(std::chrono::milliseconds grace) { return child_.terminate(grace); }

bool SimProcess::running() { return !child_.poll().has_value(); }

std::vector<nlohmann::json> SimProcess::log() const { return parseJsonLines(readFile(logPath_)); }

std::vector<nlohmann::json> SimProcess::received() const {
    std::vector<nlohmann::json> rx;
    for (auto& line : log())
        if (line.is_object() && line.value("dir", "") == "rx") rx.push_back(std::move(line));
    return rx;
}

std::optional<nlohmann::json> SimProcess::waitForLog(
    const std::function<bool(const nlohmann::json&)>& match,
    std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (const auto& line : log())
            if (match(line)) return line;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

std::string SimProcess::stderrText() const { return readFile(stderrPath_); }

}  // namespace velqorin::e2e
