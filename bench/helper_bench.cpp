// helper_bench: the sweep through the link helper against the sweep that opens the
// adapters itself, taking turns, in one run.
//
//   helper_bench --lab NAME --helper PATH [--adapters K]... [--sweeps S]
//
// Sends raw frames, so it runs only inside the workstation namespace of lab NAME. Each
// sweep lists the adapters vq0 .. vq{K-1} at once, the request sent three times; one
// Markdown table row per adapter count and link: the mean and worst sweep time, the mean
// boxes listed, and the frames dropped in all.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "InsideLab.h"
#include "link/Link.h"
#include "linux/HelperLink.h"
#include "linux/PcapLink.h"
#include "velqorin/NetworkAnalyse.h"

int main(int argc, char** argv) {
    std::string lab, helperPath;
    std::vector<int> counts;
    int sweeps = 5;
    CLI::App app{"The sweep through the link helper and direct, side by side."};
    app.add_option("--lab", lab, "The lab this runs in")->required();
    app.add_option("--helper", helperPath, "The link helper to start")->required();
    app.add_option("--adapters", counts, "Adapters per sweep; may be repeated (default 1 and 8)");
    app.add_option("--sweeps", sweeps, "Sweeps of each kind")->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);
    if (counts.empty()) counts = {1, 8};
    if (auto why = velqorin::bench::outsideLab(lab)) {
        std::fprintf(stderr, "helper_bench: %s\n", why->c_str());
        return 77;
    }

    velqorin::PcapLink direct;
    velqorin::HelperLink helper(helperPath);
    if (!helper.usable()) {
        std::fprintf(stderr, "helper_bench: %s\n", helper.why().c_str());
        return 1;
    }
    struct Way {
        const char* name;
        velqorin::Link* link;
    } ways[] = {{"direct", &direct}, {"link helper", &helper}};

    for (const int count : counts) {
        std::vector<std::string> names;
        for (int k = 0; k < count; ++k) names.push_back("vq" + std::to_string(k));
        std::vector<const char*> only;
        for (const auto& n : names) only.push_back(n.c_str());
        struct Tally {
            double total = 0, worst = 0;
            long listed = 0;
            unsigned dropped = 0;
        } tallies[2];
        for (int s = 0; s < sweeps; ++s) {
            for (int w = 0; w < 2; ++w) {
                // Every other round the other order, so neither always follows the same.
                const int i = s % 2 == 0 ? w : 1 - w;
                const velqorin::ScopedLink using_(*ways[i].link);
                CVelqorinNetworkAnalyse analyser;
                struct Drops {
                    unsigned n = 0;
                    static void done(void* self, const char*, int, unsigned d) { static_cast<Drops*>(self)->n += d; }
                } drops;
                CVelqorinNetworkAnalyse::SweepObserver observer{};
                observer.context = &drops;
                observer.adapterDone = &Drops::done;
                const auto start = std::chrono::steady_clock::now();
                if (!analyser.AnalyseConcurrently(only.data(), count, &observer, 3)) {
                    std::fprintf(stderr, "helper_bench: the adapters cannot be listed\n");
                    return 1;
                }
                const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                Tally& t = tallies[i];
                t.total += took;
                t.worst = std::max(t.worst, took);
                t.listed += analyser.CountBox();
                t.dropped += drops.n;
            }
        }
        for (int i = 0; i < 2; ++i)
            std::printf("| %d | %s | %.3f s | %.3f s | %.1f | %u |\n", count, ways[i].name,
                        tallies[i].total / sweeps, tallies[i].worst,
                        static_cast<double>(tallies[i].listed) / sweeps, tallies[i].dropped);
    }
    return 0;
}
