// The one sweep every velqorin command goes through.
#pragma once

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {

struct SweepStyle {
    bool oneByOne = false;  // one adapter's window after the other, as ExternAnalyse sweeps
    bool verbose = false;   // each adapter's requests, replies and lost frames on standard error
    int requests = CVelqorinNetworkAnalyse::kDefaultRequests;  // on each adapter, listening to all at once
    // Set from another thread: the sweep ends at its next read, with what it found.
    const std::atomic<bool>* stop = nullptr;
};

// Whether the library can send and receive raw frames; says on standard error why not.
bool haveRawAccess(CVelqorinNetworkAnalyse& analyser);

// What tells a sweep or the dial-up pass to end early: `stop`, when it is set.
CVelqorinNetworkAnalyse::SweepObserver stopObserver(const std::atomic<bool>* stop);

// Sweeps all adapters, or only the named ones, listening to all at once unless the style
// says one by one, and says on standard error which named ones could not be swept.
// `swept` gets the adapters whose window ran. Returns kOk or the failure's exit code,
// having told the user why.
int sweep(CVelqorinNetworkAnalyse& analyser, const std::vector<std::string>& only,
          std::set<std::string>& swept, const SweepStyle& style = {});

}  // namespace velqorin::cli
