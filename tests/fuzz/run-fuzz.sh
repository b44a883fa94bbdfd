#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan, and runs each one
# briefly from its seeds. Exit status 1 when a target finds a crash (the input is kept in
# build-fuzz/artifacts/), 2 on bad usage.
#
#   tests/fuzz/run-fuzz.sh [SECONDS]     seconds per target, 20 by default
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/../.."

seconds=${1:-20}
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
command -v clang++ >/dev/null || { echo "run-fuzz: needs clang++ (apt-get install clang)" >&2; exit 1; }

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVELQORIN_FUZZ=ON \
  -DVELQORIN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target velqorin_fuzz -- -j2

mkdir -p "$build/artifacts"
status=0
for fuzzer in "$build"/tests/fuzz/velqorin_fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
  work=$(mktemp -d)
  cp -r "tests/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  echo "==> $name for ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$name-" "$work" 2>"$build/artifacts/$name.log"; then
    echo "run-fuzz: $name failed; see $build/artifacts/$name.log and the input beside it" >&2
    tail -n 40 "$build/artifacts/$name.log" >&2
    status=1
  else
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$build/artifacts/$name.log" || true
  fi
  rm -rf "$work"
done
exit $status
