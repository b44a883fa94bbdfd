// loss_bench: the share of a fleet each sweep lists when frames are lost on the way, with
// the request sent once and several times in the one listening window.
//
//   loss_bench --lab NAME [--adapter vq0] --boxes N [--sweeps S] [--requests R]...
//              [--loss TEXT]
//
// Sends raw frames, so it runs only inside the workstation namespace of lab NAME. The loss
// itself is the lab's (`lab/lab loss NAME PERCENT`); --loss only labels the lines. Sweeps
// with each number of requests take turns, so that they meet the same conditions. One
// Markdown table row per number of requests: loss, requests, mean share listed, the worst
// sweep, the sweeps that listed nothing, the mean sweep time.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "InsideLab.h"
#include "velqorin/NetworkAnalyse.h"

int main(int argc, char** argv) {
    std::string lab, adapter = "vq0", loss = "?";
    int boxes = 0, sweeps = 20;
    std::vector<int> requests;
    CLI::App app{"The share of a fleet listed per sweep under the lab's frame loss."};
    app.add_option("--lab", lab, "The lab this runs in")->required();
    app.add_option("--adapter", adapter, "The adapter to sweep");
    app.add_option("--boxes", boxes, "How many boxes the simulator plays")->required()->check(CLI::PositiveNumber);
    app.add_option("--sweeps", sweeps, "Sweeps for each number of requests")->check(CLI::PositiveNumber);
    app.add_option("--requests", requests, "Requests per sweep; may be repeated (default 1 and 3)")
        ->check(CLI::Range(1, CVelqorinNetworkAnalyse::kMaxRequests));
    app.add_option("--loss", loss, "The lab's loss, as the lines should name it");
    CLI11_PARSE(app, argc, argv);
    if (requests.empty()) requests = {1, 3};
    if (auto why = velqorin::bench::outsideLab(lab)) {
        std::fprintf(stderr, "loss_bench: %s\n", why->c_str());
        return 77;
    }

    struct Tally {
        long listed = 0;
        int worst = 1 << 30;
        int empty = 0;
        double seconds = 0;
    };
    std::vector<Tally> tallies(requests.size());
    const char* only[] = {adapter.c_str()};
    CVelqorinNetworkAnalyse analyser;
    for (int s = 0; s < sweeps; ++s) {
        for (std::size_t k = 0; k < requests.size(); ++k) {
            // Every other round the other order, so neither always follows the same.
            const std::size_t i = s % 2 == 0 ? k : requests.size() - 1 - k;
            const auto start = std::chrono::steady_clock::now();
            if (!analyser.AnalyseConcurrently(only, 1, nullptr, requests[i])) {
                std::fprintf(stderr, "loss_bench: the adapters cannot be listed\n");
                return 1;
            }
            Tally& t = tallies[i];
            t.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const int listed = std::min(analyser.CountBox(), boxes);
            t.listed += listed;
            t.worst = std::min(t.worst, listed);
            t.empty += listed == 0;
        }
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Tally& t = tallies[i];
        std::printf("| %s %% | %d | %.1f %% | %d of %d | %d | %.3f s |\n", loss.c_str(), requests[i],
                    100.0 * static_cast<double>(t.listed) / (static_cast<double>(sweeps) * boxes),
                    t.worst, boxes, t.empty, t.seconds / sweeps);
    }
    return 0;
}
