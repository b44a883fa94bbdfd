// velqorin-box-sim: one process playing one or many Velqorin boxes on one network interface.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "BoxModel.h"
#include "FleetFile.h"
#include "LogRecord.h"
#include "PcapLink.h"
#include "support/Handles.h"
#include "ReadyFile.h"
#include "StopSignals.h"

namespace {

using namespace velqorin::sim;
using velqorin::UniqueFd;

constexpr const char* kProgram = "velqorin-box-sim";
// Even with nothing queued, look round once a second.
constexpr Milliseconds kLongestWait{1000};

[[noreturn]] void failSystem(const std::string& call) {
    throw std::system_error(errno, std::generic_category(), call);
}

struct Options {
    std::string interface;
    std::string fleet;
    std::size_t generate = 0;
    std::string log;
    std::string readyFile;
    std::optional<std::uint64_t> seed;
    std::optional<double> lossPercent;
};

// Stop requests as readable data (see StopSignals.h), read off once seen.
class StopSignals {
public:
    StopSignals() : fd_(velqorin::tools::stopSignals()) {}
    int fd() const { return fd_.get(); }
    void consume() const {
        signalfd_siginfo info{};
        if (::read(fd_.get(), &info, sizeof info) < 0 && errno != EAGAIN) failSystem("read signalfd");
    }

private:
    UniqueFd fd_;
};

// JSON lines, flushed one by one: tests read the log while the program runs.
class LogSink {
public:
    explicit LogSink(const std::string& path) : path_(path.empty() ? "standard error" : path) {
        if (path.empty()) {
            file_ = stderr;
            return;
        }
        file_ = std::fopen(path.c_str(), "w");
        if (!file_) failSystem("fopen log " + path);
        owned_.reset(file_);
    }

    void write(const nlohmann::ordered_json& record) {
        const std::string line = logLine(record);
        if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
            std::fflush(file_) != 0)
            failSystem("write log " + path_);
    }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::string path_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<std::FILE, Closer> owned_;
};

// The pid in a file that appears whole (written aside, then renamed) once capture runs, and
// goes away when the program ends normally.
double secondsSince(TimePoint start, TimePoint t) {
    return std::chrono::duration<double>(t - start).count();
}

int run(const Options& options) {
    const TimePoint start = Clock::now();

    std::vector<BoxConfig> boxes;
    FleetSettings settings;
    if (!options.fleet.empty()) boxes = readFleetFile(options.fleet, &settings);
    if (options.lossPercent) settings.lossPercent = *options.lossPercent;
    if (options.generate > 0) {
        std::vector<BoxConfig> more = generateBoxes(options.generate);
        boxes.insert(boxes.end(), std::make_move_iterator(more.begin()),
                     std::make_move_iterator(more.end()));
    }
    if (boxes.empty()) throw FleetError("the fleet has no boxes");
    checkDistinctMacs(boxes);

    // A log reader that goes away must end the program with a message, not kill it silently.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) failSystem("signal SIGPIPE");
    const StopSignals stop;
    LogSink log(options.log);
    PcapLink link(options.interface, [](const std::string& warning) {
        std::fprintf(stderr, "%s: %s\n", kProgram, warning.c_str());
    });
    const std::uint64_t seed = options.seed ? *options.seed : std::random_device{}();
    Fleet fleet(std::move(boxes), start, seed);
    // Its own stream, so the challenges drawn stay those of a run without losses.
    Loss loss(settings.lossPercent, seed ^ 0x9e3779b97f4a7c15ULL);

    // Frames waiting for their time; equal times leave in the order they were queued.
    std::multimap<TimePoint, Outgoing> queue;
    auto onFrame = [&](const std::uint8_t* bytes, std::size_t captured, std::size_t wire) {
        const TimePoint now = Clock::now();
        if (loss.strikes()) {
            log.write(logRecord(secondsSince(start, now), "rx", {}, {bytes, captured}, wire,
                                "ignored: lost on the way"));
            return;
        }
        Reaction r = fleet.receive({bytes, captured}, now);
        auto record = logRecord(secondsSince(start, now), "rx",
                                r.box ? fleet.config(*r.box).serial : std::string(),
                                {bytes, captured}, wire, r.verdict);
        if (!r.why.empty()) record["why"] = r.why;
        if (r.verdict == "reply") record["boxes"] = r.answering;
        log.write(record);
        for (Outgoing& out : r.sends) queue.emplace(out.due, std::move(out));
    };

    const velqorin::tools::ReadyFile ready(options.readyFile);
    std::vector<Outgoing> batch;
    for (;;) {
        // Send everything due before logging any of it, so a burst leaves as one.
        batch.clear();
        TimePoint now = Clock::now();
        while (!queue.empty() && queue.begin()->first <= now)
            batch.push_back(std::move(queue.extract(queue.begin()).mapped()));
        auto logSent = [&](std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                const Outgoing& out = batch[i];
                auto record = logRecord(secondsSince(start, out.due), "tx",
                                        fleet.config(out.box).serial, out.bytes,
                                        out.bytes.size(), out.verdict);
                if (!out.note.empty()) record["note"] = out.note;
                if (out.lost) record["lost"] = true;
                log.write(record);
            }
        };
        std::size_t sent = 0;
        try {
            for (; sent < batch.size(); ++sent) {
                Outgoing& out = batch[sent];
                out.due = Clock::now();
                stampSyncAge(out, out.due);
                out.lost = loss.strikes();
                if (!out.lost) link.send(out.bytes);
            }
        } catch (const LinkError&) {
            logSent(sent);  // what did leave is on record before the program stops
            throw;
        }
        logSent(sent);

        now = Clock::now();
        Milliseconds wait = kLongestWait;
        if (!queue.empty()) {
            const auto until = std::chrono::ceil<Milliseconds>(queue.begin()->first - now);
            wait = std::clamp(until, Milliseconds(0), kLongestWait);
        }
        pollfd fds[2] = {{link.selectableFd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(wait.count())) < 0) {
            if (errno == EINTR) continue;
            failSystem("poll");
        }
        if (fds[1].revents != 0) {
            stop.consume();
            break;
        }
        if (fds[0].revents != 0) link.drain(onFrame);
    }

    if (const long long dropped = link.dropped(); dropped > 0)
        std::fprintf(stderr, "%s: the kernel dropped %lld frames before they were read\n",
                     kProgram, dropped);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Plays one or many Velqorin boxes on one network interface: answers discovery requests "
        "and commands as the boxes of the fleet would. Needs raw network access (root or "
        "CAP_NET_RAW); run it only on interfaces of a test network namespace.",
        kProgram};
    app.add_option("-i,--interface", options.interface, "Network interface to listen and send on")
        ->required()
        ->type_name("IF");
    app.add_option("-f,--fleet", options.fleet, "JSON file describing the boxes")->type_name("FILE");
    app.add_option("-g,--generate", options.generate,
                   "Add N plain network boxes (serials 100000.., MACs 02:b0:0x:00:xx:xx)")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, kGenerateMax));
    app.add_option("--log", options.log,
                   "Write JSON lines, one per frame received or sent, to FILE (default: standard "
                   "error)")
        ->type_name("FILE");
    app.add_option("--ready-file", options.readyFile,
                   "Write the process id to FILE once capture is running; removed on exit")
        ->type_name("FILE");
    app.add_option("--seed", options.seed,
                   "Seed for the boxes' challenges and the frames lost (default: random)")
        ->type_name("N");
    app.add_option("--loss-percent", options.lossPercent,
                   "Lose this share of the frames heard and of those sent, as a lossy network "
                   "would (overrides the fleet's lossPercent)")
        ->type_name("P")
        ->check(CLI::Range(0.0, 100.0));
    CLI11_PARSE(app, argc, argv);

    if (options.fleet.empty() && options.generate == 0) {
        std::fprintf(stderr, "%s: give --fleet FILE, --generate N or both\nRun with --help for more information.\n",
                     kProgram);
        return 2;
    }
    try {
        return run(options);
    } catch (const FleetError& e) {
        std::fprintf(stderr, "%s: bad fleet: %s\n", kProgram, e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    }
    return 1;
}
