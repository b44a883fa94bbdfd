// velqorin apply: commission many boxes from one plan file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Commands.h"

namespace velqorin::cli {

inline constexpr std::size_t kDefaultApplyJobs = 64;

struct ApplyOptions {
    std::string plan;                     // path of the CSV plan
    std::vector<std::string> interfaces;  // sweep only these adapters
    bool dryRun = false;
    bool passwordStdin = false;
    bool json = false;
    bool force = false;  // send to a new address that answers a ping all the same
    int requests = kDefaultRequests;  // discovery requests on each adapter, both sweeps
    // Commands in flight on each adapter; 1 sends one row after the other.
    std::size_t jobs = kDefaultApplyJobs;
};

inline constexpr const char* kApplyExitCodesHelp =
    "Exit codes: 0 every row done or unchanged, and every dry run that could sweep; 1 some "
    "row not done; 9 a bad plan (each bad row is named with its line), or no password to "
    "send with: nothing was sent; 2, 3 and 4 as for the other commands.";

int apply(const ApplyOptions& options);

}  // namespace velqorin::cli
