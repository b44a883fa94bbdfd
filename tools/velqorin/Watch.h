// velqorin scan --watch: sweep again and again and print what changed.
#pragma once

#include "Commands.h"

namespace velqorin::cli {

inline constexpr int kWatchDefaultSeconds = 10;
inline constexpr int kWatchMaxSeconds = 86400;

// Sweeps every `seconds` (from the start of one sweep to the start of the next; at once
// when a sweep takes longer) until Ctrl+C (exit 130) or SIGTERM (exit 143), also in the
// middle of a sweep. Returns early only without raw network access.
int watch(const ScanOptions& options, int seconds);

}  // namespace velqorin::cli
