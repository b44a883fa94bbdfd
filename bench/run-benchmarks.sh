#!/usr/bin/env bash
# Runs the benchmark programs in a lab of their own and prints what they measure. Builds
# nothing: build first (ninja -C build). Needs root, for the lab's namespaces.
#
#   bench/run-benchmarks.sh [-b BUILD_DIR] [BENCHMARK...]   # default: build/, all of them
#   bench/run-benchmarks.sh -l                              # the benchmarks there are
#
# The lab is called vqbench unless VELQORIN_BENCH_LAB names another; each benchmark brings
# it up in the shape it needs (lab_up, with --replace) and it is always taken down.
# VELQORIN_BENCH_RUNS is the runs per measured case of the sweep benchmark (default 5).
# A benchmark is a function bench_NAME listed in BENCHMARKS; it starts the simulators it
# needs with start_sim and runs its program with in_ws.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=$root/build
lab=${VELQORIN_BENCH_LAB:-vqbench}
lab_script=$root/lab/lab

runs=${VELQORIN_BENCH_RUNS:-5}
BENCHMARKS=(link_burst sweep loss helper monitor apply)

say() { printf 'run-benchmarks: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }
usage() { sed -n '4,6s/^# \{0,1\}//p' "$0" >&2; exit 2; }

work=""
sim_pids=()
program_pid=""
lab_is_up=0

cleanup() {
  local pid
  if [ -n "$program_pid" ]; then
    kill "$program_pid" 2>/dev/null || true
    wait "$program_pid" 2>/dev/null || true
  fi
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ $lab_is_up -eq 1 ]; then "$lab_script" down "$lab" >/dev/null || say "could not take lab $lab down"; fi
  [ -z "$work" ] || rm -rf "$work"
}

# Runs a program in the lab's workstation namespace. In the background, so that an
# interrupt is handled at once rather than when the program ends.
in_ws() {
  ip netns exec "$lab-ws" "$@" &
  program_pid=$!
  local status=0
  wait "$program_pid" || status=$?
  program_pid=""
  return $status
}

# lab_up OPTIONS...: the lab in the shape a benchmark needs, quiet.
lab_up() {
  stop_sims
  lab_is_up=1  # from here on, down is safe even if up fails half-way
  "$lab_script" up "$lab" --replace "$@" >/dev/null
}

# start_sim NAME BRIDGE BOXES: the simulator playing BOXES generated boxes on BRIDGE of the
# LAN side; returns once it answers. Its messages are in $work/NAME.err.
start_sim() {
  local name=$1 bridge=$2 boxes=$3 ready=$work/$1.ready i
  ip netns exec "$lab-lan" "$sim" --interface "$bridge" --generate "$boxes" \
    --log /dev/null --ready-file "$ready" 2>"$work/$name.err" &
  sim_pids+=($!)
  for ((i = 0; i < 200; i++)); do
    [ -e "$ready" ] && return 0
    kill -0 "${sim_pids[-1]}" 2>/dev/null || die "simulator $name ended: $(cat "$work/$name.err")"
    sleep 0.1
  done
  die "simulator $name was not ready within 20 s: $(cat "$work/$name.err")"
}

# stop_sims: ends every simulator started so far, so the next benchmark starts quiet.
stop_sims() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  sim_pids=()
}

# -- The benchmarks -------------------------------------------------------------------------

bench_link_burst() {
  # vq0 on br0 and vq1 on br1: each burst has a segment to itself.
  lab_up --adapters 2 --segments 2
  start_sim burst1000 br0 1000
  start_sim burst10000 br1 10000
  echo "== link_burst: replies received when reading 100 ms after one request"
  in_ws "$build/bench/link_burst" --adapter vq0 --boxes 1000 --repetitions 5
  echo
  in_ws "$build/bench/link_burst" --adapter vq1 --boxes 10000 --repetitions 3 \
    --setting ours --setting default --setting 4MiB:1514 --setting 8MiB:1514 --setting 16MiB:1514
  stop_sims
}

# Sweeps of 1, 3 and 8 adapters on one LAN, concurrent and one adapter after the other, on
# a quiet LAN and with five boxes; a burst of 10,000 replies on one adapter; a flood of
# 200,000 serial numbers; AddBox as the list grows and filling a list of 10,000 boxes
# (these two need no lab).
bench_sweep() {
  local program=$build/bench/sweep_bench
  lab_up --adapters 8 --segments 1
  echo "== sweep: quiet LAN, $runs runs"
  in_ws "$program" --lab "$lab" --runs "$runs" --sweep-adapters 8 --benchmark_filter='^Sweep/'
  echo "== sweep: five boxes on the LAN, $runs runs"
  start_sim five br0 5
  in_ws "$program" --lab "$lab" --runs "$runs" --sweep-adapters 8 --fleet-boxes 5 \
    --benchmark_filter='^Sweep/'
  stop_sims
  echo "== sweep: a burst of 10,000 replies on one adapter, 3 runs"
  start_sim burst br0 10000
  in_ws "$program" --lab "$lab" --runs 3 --fleet-boxes 10000 --benchmark_filter='^Burst/'
  stop_sims
  echo "== sweep: a flood of 200,000 distinct serial numbers on one adapter, 3 runs"
  start_sim flood br0 200000
  in_ws "$program" --lab "$lab" --runs 3 --fleet-boxes 200000 --benchmark_filter='^Flood/'
  stop_sims
  echo "== AddBox as the list grows, and filling a list of 10,000 boxes"
  "$program" --benchmark_filter='^(AddBox|Memory)/'
}

# The share of 50 boxes listed when the LAN loses 0, 5, 10 and 20 % of the frames each
# way, the request sent once and three times, 20 sweeps of each, taking turns.
bench_loss() {
  local level sweeps=${VELQORIN_BENCH_LOSS_SWEEPS:-20}
  lab_up --adapters 1 --segments 1
  start_sim loss br0 50
  echo "== loss: 50 boxes, $sweeps sweeps per case"
  echo "| loss each way | requests | listed (mean) | worst sweep | sweeps listing nothing | sweep time |"
  echo "|---|---|---|---|---|---|"
  for level in 0 5 10 20; do
    "$lab_script" loss "$lab" "$level" >/dev/null
    in_ws "$build/bench/loss_bench" --lab "$lab" --boxes 50 --sweeps "$sweeps" --loss "$level"
  done
  "$lab_script" loss "$lab" 0 >/dev/null
  stop_sims
}

# The sweep through the link helper and direct, taking turns: 1 and 8 adapters with five
# boxes on the LAN, then a burst of 10,000 boxes on one adapter.
bench_helper() {
  local sweeps=${VELQORIN_BENCH_RUNS:-5}
  lab_up --adapters 8 --segments 1
  start_sim helper5 br0 5
  echo "== helper: sweeps through the link helper and direct, $sweeps of each"
  echo "| adapters | link | sweep (mean) | worst | boxes listed | frames dropped |"
  echo "|---|---|---|---|---|---|"
  in_ws "$build/bench/helper_bench" --lab "$lab" --helper "$build/analyser/velqorin-link-helper" \
    --adapters 1 --adapters 8 --sweeps "$sweeps"
  stop_sims
  start_sim helper10000 br0 10000
  in_ws "$build/bench/helper_bench" --lab "$lab" --helper "$build/analyser/velqorin-link-helper" \
    --adapters 1 --sweeps 3
  stop_sims
}

# The monitor's window thread: the longest gap of its event loop during refreshes of an
# 8-adapter lab (five boxes on each of the three segments), and the time it takes to
# rebuild both lists for 1,000 boxes (that part needs no lab).
bench_monitor() {
  lab_up --adapters 8 --segments 3
  start_sim seg0 br0 5
  start_sim seg1 br1 5
  start_sim seg2 br2 5
  echo "== monitor: the window thread during refreshes of 8 adapters, and a rebuild of 1000 boxes"
  in_ws "$build/bench/monitor_bench" --lab "$lab" --refreshes "$runs" --boxes 1000 --runs "$runs"
  stop_sims
}

# velqorin apply of plans that give 100 and 1,000 simulated boxes each a new fixed address
# that nothing answers, so that every ping waits its whole 500 ms: one row after the other
# (--jobs 1) and all together (the default), each run against a fresh simulator. The rows
# of both runs must be the same.
bench_apply() {
  local boxes jobs i plan started ended out done_rows
  lab_up --adapters 1 --segments 1
  # The new addresses are on vq0's link, and free.
  ip -n "$lab-ws" route add 10.96.0.0/16 dev vq0
  echo "== apply: every box a new free address"
  echo "| boxes | --jobs | apply | rows done | same rows as --jobs 1 |"
  echo "|---|---|---|---|---|"
  for boxes in 100 1000; do
    plan=$work/plan-$boxes.csv
    echo "serial,ip,mask,password" >"$plan"
    chmod 600 "$plan"
    for ((i = 0; i < boxes; i++)); do
      echo "$((100000 + i)),10.96.$((i / 250)).$((1 + i % 250)),255.255.0.0,admin" >>"$plan"
    done
    for jobs in 1 64; do
      stop_sims
      start_sim "apply$boxes" br0 "$boxes"
      out=$work/apply-$boxes-$jobs.json
      started=$(date +%s.%N)
      in_ws "$build/tools/velqorin/velqorin" apply "$plan" --json --jobs "$jobs" -i vq0 >"$out" ||
        say "apply of $boxes boxes with --jobs $jobs did not end with 0"
      ended=$(date +%s.%N)
      done_rows=$(grep -o '"result": *"done"' "$out" | wc -l)
      local same="-"
      [ "$jobs" = 1 ] || { cmp -s <(grep -o '"result": *"[a-z ]*"' "$out") \
                                <(grep -o '"result": *"[a-z ]*"' "$work/apply-$boxes-1.json") && same=yes || same=no; }
      printf '| %s | %s | %.1f s | %s of %s | %s |\n' "$boxes" "$jobs" \
        "$(awk -v a="$started" -v b="$ended" 'BEGIN { print b - a }')" "$done_rows" "$boxes" "$same"
    done
  done
  stop_sims
}

# -------------------------------------------------------------------------------------------

main() {
  local selected=() b
  while [ $# -gt 0 ]; do
    case $1 in
      -b) [ $# -ge 2 ] || usage; build=$(cd "$2" && pwd); shift 2 ;;
      -l) printf '%s\n' "${BENCHMARKS[@]}"; exit 0 ;;
      -h|--help) usage ;;
      -*) usage ;;
      *) selected+=("$1"); shift ;;
    esac
  done
  [ ${#selected[@]} -gt 0 ] || selected=("${BENCHMARKS[@]}")
  for b in "${selected[@]}"; do
    declare -F "bench_$b" >/dev/null || die "no benchmark $b; there are: ${BENCHMARKS[*]}"
  done

  [ "$(id -u)" -eq 0 ] || { say "needs root (network namespaces)"; exit 77; }
  sim=$build/tools/box-sim/velqorin-box-sim
  for program in "$sim" "$build/bench/link_burst" "$build/bench/sweep_bench" "$build/bench/loss_bench" \
                 "$build/bench/helper_bench" "$build/analyser/velqorin-link-helper" "$build/bench/monitor_bench" \
                 "$build/tools/velqorin/velqorin"; do
    [ -x "$program" ] || die "$program is not built; run ninja -C $build first"
  done

  work=$(mktemp -d "${TMPDIR:-/tmp}/velqorin-bench-XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT TERM

  for b in "${selected[@]}"; do "bench_$b"; done
}

main "$@"
