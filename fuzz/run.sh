#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs each for a while (seconds, default 30) from its seeds. A crash fails the run and
# leaves the input that caused it in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELQORIN_FUZZ=ON -DVELQORIN_SANITIZE=ON -DVELQORIN_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --target frame_fuzz lease_fuzz info_answer_fuzz plan_fuzz text_fuzz helper_fuzz
for target in frame_fuzz:frames lease_fuzz:leases info_answer_fuzz:info plan_fuzz:plans text_fuzz:texts helper_fuzz:helper; do
  name=${target%%:*} seeds=fuzz/seeds/${target##*:}
  corpus=build-fuzz/corpus-$name
  mkdir -p "$corpus"
  echo "==> $name for ${seconds}s"
  (cd build-fuzz && ./fuzz/$name -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$PWD/$name-" "$PWD/corpus-$name" "../$seeds" 2>&1 | tail -4)
done
