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
#include "JsonLinesLog.h"
#include "LogRecord.h"
#include "PcapLink.h"
#include "support/Handles.h"
#include "ReadyFile.h"
#include "StopSignals.h"

namespace {

using namespace velqorin::sim;
using velqorin::UniqueFd;

constexpr const char* kProgram = "velqorin-box-sim";
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

double secondsSince(TimePoint start, TimePoint t) {
    return std::chrono::duration<double>(t - start).count();
}

// The fleet file's boxes, then the generated ones.
std::vector<BoxConfig> loadFleet(const Options& options, FleetSettings& settings) {
    std::vector<BoxConfig> boxes;
    if (!options.fleet.empty()) boxes = readFleetFile(options.fleet, &settings);
    if (options.lossPercent) settings.lossPercent = *options.lossPercent;
    if (options.generate > 0) {
        std::vector<BoxConfig> more = generateBoxes(options.generate);
        boxes.insert(boxes.end(), std::make_move_iterator(more.begin()),
                     std::make_move_iterator(more.end()));
    }
    if (boxes.empty()) throw FleetError("the fleet has no boxes");
    checkDistinctMacs(boxes);
    return boxes;
}

// The boxes on the wire: frames heard are answered through a queue of frames waiting for
// their time, and every frame in or out goes on the log.
class Simulator {
public:
    Simulator(const Options& options, TimePoint start, std::vector<BoxConfig> boxes,
              const FleetSettings& settings, std::uint64_t seed)
        : start_(start),
          log_(options.log),
          link_(options.interface,
                [](const std::string& warning) {
                    std::fprintf(stderr, "%s: %s\n", kProgram, warning.c_str());
                }),
          fleet_(std::move(boxes), start, seed),
          // Its own stream, so the challenges drawn stay those of a run without losses.
          loss_(settings.lossPercent, seed ^ 0x9e3779b97f4a7c15ULL) {}

    // Until a stop signal arrives on `stop`.
    void run(const StopSignals& stop, const std::string& readyFile) {
        const velqorin::tools::ReadyFile ready(readyFile);
        for (;;) {
            sendDue();
            pollfd fds[2] = {{link_.selectableFd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(nextWait().count())) < 0) {
                if (errno == EINTR) continue;
                failSystem("poll");
            }
            if (fds[1].revents != 0) {
                stop.consume();
                break;
            }
            if (fds[0].revents != 0)
                link_.drain([this](const std::uint8_t* bytes, std::size_t captured,
                                   std::size_t wire) { heard(bytes, captured, wire); });
        }
        if (const long long dropped = link_.dropped(); dropped > 0)
            std::fprintf(stderr, "%s: the kernel dropped %lld frames before they were read\n",
                         kProgram, dropped);
    }

private:
    void heard(const std::uint8_t* bytes, std::size_t captured, std::size_t wire) {
        const TimePoint now = Clock::now();
        if (loss_.strikes()) {
            log_.write(logRecord(secondsSince(start_, now), "rx", {}, {bytes, captured}, wire,
                                 "ignored: lost on the way"));
            return;
        }
        Reaction r = fleet_.receive({bytes, captured}, now);
        auto record = logRecord(secondsSince(start_, now), "rx",
                                r.box ? fleet_.config(*r.box).serial : std::string(),
                                {bytes, captured}, wire, r.verdict);
        if (!r.why.empty()) record["why"] = r.why;
        if (r.verdict == "reply") record["boxes"] = r.answering;
        log_.write(record);
        for (Outgoing& out : r.sends) queue_.emplace(out.due, std::move(out));
    }

    // Sends everything due before logging any of it, so a burst leaves as one.
    void sendDue() {
        batch_.clear();
        const TimePoint now = Clock::now();
        while (!queue_.empty() && queue_.begin()->first <= now)
            batch_.push_back(std::move(queue_.extract(queue_.begin()).mapped()));
        std::size_t sent = 0;
        try {
            for (; sent < batch_.size(); ++sent) {
                Outgoing& out = batch_[sent];
                out.due = Clock::now();
                stampSyncAge(out, out.due);
                out.lost = loss_.strikes();
                if (!out.lost) link_.send(out.bytes);
            }
        } catch (const LinkError&) {
            logSent(sent);  // what did leave is on record before the program stops
            throw;
        }
        logSent(sent);
    }

    void logSent(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const Outgoing& out = batch_[i];
            auto record = logRecord(secondsSince(start_, out.due), "tx",
                                    fleet_.config(out.box).serial, out.bytes, out.bytes.size(),
                                    out.verdict);
            if (!out.note.empty()) record["note"] = out.note;
            if (out.lost) record["lost"] = true;
            log_.write(record);
        }
    }

    // Until the next queued frame is due; even with nothing queued, look round once a second.
    Milliseconds nextWait() const {
        if (queue_.empty()) return kLongestWait;
        const auto until = std::chrono::ceil<Milliseconds>(queue_.begin()->first - Clock::now());
        return std::clamp(until, Milliseconds(0), kLongestWait);
    }

    TimePoint start_;
    velqorin::tools::JsonLinesLog log_;
    PcapLink link_;
    Fleet fleet_;
    Loss loss_;
    // Equal times leave in the order they were queued.
    std::multimap<TimePoint, Outgoing> queue_;
    std::vector<Outgoing> batch_;
};

int run(const Options& options) {
    const TimePoint start = Clock::now();
    FleetSettings settings;
    std::vector<BoxConfig> boxes = loadFleet(options, settings);
    // A log reader that goes away must end the program with a message, not kill it silently.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) failSystem("signal SIGPIPE");
    const StopSignals stop;
    const std::uint64_t seed = options.seed ? *options.seed : std::random_device{}();
    Simulator(options, start, std::move(boxes), settings, seed).run(stop, options.readyFile);
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
