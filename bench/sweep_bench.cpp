// sweep_bench: what the discovery sweep and the box list cost.
//
//   sweep_bench [--lab NAME] [--fleet-boxes N] [--runs N] [--sweep-adapters K]
//               [Google Benchmark options]
//
// Sweep/... and Burst/... send raw frames, so they are there only with --lab and run only
// inside the workstation namespace of lab NAME (`lab/lab exec NAME ws sweep_bench --lab
// NAME ...`); anywhere else they skip themselves. --fleet-boxes says how many boxes the
// simulator on the LAN side plays (0: none, a quiet LAN); Burst/... runs only when it is
// 100 or more. Sweeps run over 1, 3 and K adapters (vq0 ...), each concurrently and one
// adapter after the other. AddBox/... and Memory/... need no lab.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "InsideLab.h"
#include "velqorin/NetworkAnalyse.h"

namespace {

using Clock = std::chrono::steady_clock;

// 100 ms pause and three one-second reads: a quiet adapter's share of a sweep.
constexpr double kNominalWindowSeconds = 3.1;

struct Options {
    std::string lab;
    int fleetBoxes = 0;
    int runs = 5;
    int sweepAdapters = 3;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

using velqorin::bench::outsideLab;

// -- Sweeps in the lab -----------------------------------------------------------------

// All adapters at once with the request sent once or three times, or one after the other.
enum class Mode { Concurrent, ConcurrentOnce, OneByOne };
constexpr Mode kModes[] = {Mode::Concurrent, Mode::ConcurrentOnce, Mode::OneByOne};

const char* modeName(Mode m) {
    switch (m) {
        case Mode::Concurrent: return "concurrent_3_requests";
        case Mode::ConcurrentOnce: return "concurrent_1_request";
        case Mode::OneByOne: break;
    }
    return "one_by_one";
}

// What the observer saw of one sweep: each adapter's turn, and its replies and losses.
struct Seen {
    std::vector<Clock::time_point> turns;
    int accepted = 0;
    unsigned dropped = 0;

    static void turn(void* self, const char*, int, int) {
        static_cast<Seen*>(self)->turns.push_back(Clock::now());
    }
    static void done(void* self, const char*, int accepted, unsigned dropped) {
        auto* s = static_cast<Seen*>(self);
        s->accepted += accepted;
        s->dropped += dropped;
    }
    CVelqorinNetworkAnalyse::SweepObserver observer() {
        return {this, &Seen::turn, nullptr, &Seen::done, nullptr, nullptr};
    }
};

bool sweepOnce(CVelqorinNetworkAnalyse& analyser, const std::vector<const char*>& names,
               Mode mode, Seen& seen) {
    const auto observer = seen.observer();
    const int count = static_cast<int>(names.size());
    switch (mode) {
        case Mode::Concurrent: return analyser.AnalyseConcurrently(names.data(), count, &observer, 3);
        case Mode::ConcurrentOnce: return analyser.AnalyseConcurrently(names.data(), count, &observer, 1);
        case Mode::OneByOne: break;
    }
    return analyser.AnalyseAdapters(names.data(), count, &observer);
}

// One sweep over `adapters` per iteration.
void sweep(benchmark::State& state, const Options& options, std::vector<std::string> adapters,
           Mode mode) {
    if (auto why = outsideLab(options.lab)) {
        state.SkipWithError(why->c_str());
        return;
    }
    std::vector<const char*> names;
    for (const auto& n : adapters) names.push_back(n.c_str());
    CVelqorinNetworkAnalyse analyser;
    for (auto _ : state) {
        Seen seen;
        const auto start = Clock::now();
        const bool listed = sweepOnce(analyser, names, mode, seen);
        const auto end = Clock::now();
        if (!listed || seen.turns.size() != adapters.size()) {
            state.SkipWithError("an adapter of the lab was not swept; is the lab up as asked?");
            break;
        }
        state.SetIterationTime(seconds(end - start));
        const double perAdapter = seconds(end - start) / static_cast<double>(adapters.size());
        state.counters["per_adapter_s"] = perAdapter;
        state.counters["vs_one_window"] = seconds(end - start) / kNominalWindowSeconds;
        state.counters["boxes"] = analyser.CountBox();
        state.counters["dropped"] = seen.dropped;
    }
}

// The share of a burst of replies, all sent at once, that makes it into the list, and
// what the kernel says it dropped.
void burst(benchmark::State& state, const Options& options, Mode mode) {
    if (auto why = outsideLab(options.lab)) {
        state.SkipWithError(why->c_str());
        return;
    }
    const std::vector<const char*> only{"vq0"};
    CVelqorinNetworkAnalyse analyser;
    for (auto _ : state) {
        Seen seen;
        const auto start = Clock::now();
        if (!sweepOnce(analyser, only, mode, seen)) {
            state.SkipWithError("the adapters cannot be listed");
            break;
        }
        state.SetIterationTime(seconds(Clock::now() - start));
        state.counters["listed"] = analyser.CountBox();
        state.counters["share"] = analyser.CountBox() / static_cast<double>(options.fleetBoxes);
        state.counters["dropped"] = seen.dropped;
    }
}

double statusKiB(const char* field);

// A flood of more distinct serial numbers than a sweep lists: the sweep must still end on
// time, list at most kMaxBoxes, and keep the process's memory bounded.
void flood(benchmark::State& state, const Options& options) {
    if (auto why = outsideLab(options.lab)) {
        state.SkipWithError(why->c_str());
        return;
    }
    const std::vector<const char*> only{"vq0"};
    CVelqorinNetworkAnalyse analyser;
    for (auto _ : state) {
        Seen seen;
        std::ofstream("/proc/self/clear_refs") << "5";
        const auto start = Clock::now();
        if (!sweepOnce(analyser, only, Mode::Concurrent, seen)) {
            state.SkipWithError("the adapters cannot be listed");
            break;
        }
        state.SetIterationTime(seconds(Clock::now() - start));
        state.counters["listed"] = analyser.CountBox();
        state.counters["dropped_or_beyond"] = seen.dropped;
        state.counters["peak_rss_MiB"] = statusKiB("VmHWM") / 1024.0;
    }
}

// -- The box list ------------------------------------------------------------------------

TAnalyseBuffer replyOf(int serial, const char* token) {
    TAnalyseBuffer reply;
    velqorin::buildDiscoveryRequest(reply, token);
    reply.frameKind = static_cast<std::uint8_t>(velqorin::FrameKind::DiscoveryReply);
    velqorin::setFieldText(reply.serialNumber, std::to_string(100000 + serial));
    return reply;
}

void prefill(CVelqorinNetworkAnalyse& analyser, int n) {
    for (int i = 0; i < n; ++i) {
        const TAnalyseBuffer reply = replyOf(i, "");
        analyser.AddBox(&reply, "vq0");
    }
}

enum class Added { NewSerial, RepeatOwnToken, RepeatForeignToken };

// AddBox on a list of state.range(0) boxes, which stays that long: a new serial is taken
// off again (outside the timing), a repeat replaces or is dropped.
void addBox(benchmark::State& state, Added kind) {
    const int n = static_cast<int>(state.range(0));
    CVelqorinNetworkAnalyse analyser;
    prefill(analyser, n);
    const char* token = kind == Added::RepeatForeignToken ? "FFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                                          : analyser.analyserToken;
    std::vector<TAnalyseBuffer> repeats;
    for (int i = 0; i < n; ++i) repeats.push_back(replyOf(i, token));
    const TAnalyseBuffer fresh = replyOf(n, token);
    std::mt19937 pick(12345);
    std::uniform_int_distribution<int> anyBox(0, n - 1);

    for (auto _ : state) {
        const TAnalyseBuffer* reply = kind == Added::NewSerial ? &fresh : &repeats[anyBox(pick)];
        const auto start = Clock::now();
        const int count = analyser.AddBox(reply, "vq0");
        state.SetIterationTime(seconds(Clock::now() - start));
        benchmark::DoNotOptimize(count);
        if (kind == Added::NewSerial) analyser.Delete(analyser.lastBox);
    }
    if (analyser.CountBox() != n) state.SkipWithError("the list did not keep its length");
    state.counters["entries"] = n;
}

// -- Memory for 10,000 boxes -------------------------------------------------------------

// A field of /proc/self/status in KiB ("VmHWM", "VmRSS").
double statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + key.size(), nullptr);
    return 0;
}

double heapBytes() {
    const struct mallinfo2 m = ::mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd);
}

// Fills an empty list with 10,000 new serials through AddBox: the time it takes, and the
// memory it holds at its peak.
void memory(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<TAnalyseBuffer> replies;
    for (int i = 0; i < n; ++i) replies.push_back(replyOf(i, ""));
    for (auto _ : state) {
        CVelqorinNetworkAnalyse analyser;
        // "5" resets the peak, so VmHWM below is this fill's own.
        std::ofstream("/proc/self/clear_refs") << "5";
        const double heapBefore = heapBytes();
        const double rssBefore = statusKiB("VmRSS");
        const auto start = Clock::now();
        for (const TAnalyseBuffer& r : replies) analyser.AddBox(&r, "vq0");
        const double fill = seconds(Clock::now() - start);
        state.SetIterationTime(fill);
        const double held = heapBytes() - heapBefore;
        state.counters["boxes"] = analyser.CountBox();
        state.counters["heap_MiB"] = held / (1024.0 * 1024.0);
        state.counters["bytes_per_box"] = held / n;
        state.counters["peak_rss_MiB"] = statusKiB("VmHWM") / 1024.0;
        state.counters["rss_growth_MiB"] = (statusKiB("VmHWM") - rssBefore) / 1024.0;
        state.counters["mean_addbox_us"] = fill / n * 1e6;
        analyser.reset();
        state.counters["heap_after_reset_MiB"] = (heapBytes() - heapBefore) / (1024.0 * 1024.0);
    }
}

// -- Registration ------------------------------------------------------------------------

double minOf(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double maxOf(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

benchmark::internal::Benchmark* runs(benchmark::internal::Benchmark* b, int count) {
    return b->Iterations(1)
        ->Repetitions(count)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", minOf)
        ->ComputeStatistics("max", maxOf)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
}

[[noreturn]] void usage(const std::string& what) {
    std::fprintf(stderr,
                 "sweep_bench: %s\nusage: sweep_bench [--lab NAME] [--fleet-boxes N] [--runs N] "
                 "[--sweep-adapters K] [benchmark options]\n",
                 what.c_str());
    std::exit(2);
}

int number(const std::string& text, const std::string& option) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 1000000)
        usage(option + " wants a number, not '" + text + "'");
    return static_cast<int>(value);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--lab")
            o.lab = value();
        else if (arg == "--fleet-boxes")
            o.fleetBoxes = number(value(), arg);
        else if (arg == "--runs")
            o.runs = std::max(1, number(value(), arg));
        else if (arg == "--sweep-adapters")
            o.sweepAdapters = std::clamp(number(value(), arg), 1, 16);
        else
            usage("unknown option " + arg);
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const Options options = parseOptions(argc, argv);

    const std::string lan =
        options.fleetBoxes == 0 ? "quiet" : "fleet:" + std::to_string(options.fleetBoxes);
    // Without a lab only the parts that send nothing are registered.
    if (!options.lab.empty()) {
        std::vector<int> counts{1, 3, options.sweepAdapters};
        std::erase_if(counts, [&](int k) { return k > options.sweepAdapters; });
        counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
        for (int count : counts) {
            std::vector<std::string> swept;
            for (int k = 0; k < count; ++k) swept.push_back("vq" + std::to_string(k));
            for (Mode mode : kModes)
                runs(benchmark::RegisterBenchmark(
                         ("Sweep/" + lan + "/" + modeName(mode) + "/adapters:" +
                          std::to_string(count))
                             .c_str(),
                         [options, swept, mode](benchmark::State& s) {
                             sweep(s, options, swept, mode);
                         }),
                     options.runs);
        }
    }
    if (!options.lab.empty() && options.fleetBoxes > CVelqorinNetworkAnalyse::kMaxBoxes) {
        runs(benchmark::RegisterBenchmark(
                 ("Flood/boxes:" + std::to_string(options.fleetBoxes)).c_str(),
                 [options](benchmark::State& s) { flood(s, options); }),
             options.runs);
    } else if (!options.lab.empty() && options.fleetBoxes >= 100) {
        for (Mode mode : kModes)
            runs(benchmark::RegisterBenchmark(
                     ("Burst/" + std::string(modeName(mode)) + "/boxes:" +
                      std::to_string(options.fleetBoxes))
                         .c_str(),
                     [options, mode](benchmark::State& s) { burst(s, options, mode); }),
                 options.runs);
    }

    const std::pair<const char*, Added> kinds[] = {{"AddBox/new_serial", Added::NewSerial},
                                                   {"AddBox/repeat_own_token", Added::RepeatOwnToken},
                                                   {"AddBox/repeat_foreign_token",
                                                    Added::RepeatForeignToken}};
    for (const auto& [name, kind] : kinds)
        benchmark::RegisterBenchmark(name, [kind = kind](benchmark::State& s) { addBox(s, kind); })
            ->ArgName("entries")
            ->Arg(100)
            ->Arg(1000)
            ->Arg(10000)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Memory/fill", memory)
        ->ArgName("boxes")
        ->Arg(10000)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
