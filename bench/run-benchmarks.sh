#!/usr/bin/env bash
# Runs the benchmarks inside a lab of network namespaces, so that no frame reaches a real
# adapter. Needs root. Builds nothing: build first (cmake --build build).
#
#   bench/run-benchmarks.sh [--build DIR] [NAME...]    NAME: sweep (default: every one)
#
# VELQORIN_BENCH_LAB names the lab (default vqbench; it is replaced if it is up and always
# taken down at the end), VELQORIN_BENCH_RUNS the runs per measured case (default 5).
# Each benchmark is a function bench_NAME below.
set -euo pipefail

root=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
build=$root/build
lab_script=$root/lab/lab
lab=${VELQORIN_BENCH_LAB:-vqbench}
runs=${VELQORIN_BENCH_RUNS:-5}
sim=""
work=""
sim_pid=""

say() { printf '\n== %s\n' "$*"; }
die() { printf 'run-benchmarks: %s\n' "$*" >&2; exit 1; }

lab_up() { "$lab_script" up "$lab" --replace "$@" >/dev/null; }
in_ws() { "$lab_script" exec "$lab" ws "$@"; }

# start_sim IF SIMULATOR-OPTIONS...: the simulator on the LAN side, once it answers.
start_sim() {
  local interface=$1
  shift
  stop_sim
  rm -f "$work/ready"
  "$lab_script" exec "$lab" lan "$sim" --interface "$interface" --log "$work/sim.log" \
    --ready-file "$work/ready" "$@" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -e "$work/ready" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || die "the simulator ended early: $(cat "$work/sim.err")"
    sleep 0.1
  done
  die "the simulator was not ready within 10 s"
}

stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

cleanup() {
  stop_sim
  "$lab_script" down "$lab" >/dev/null 2>&1 || true
  if [ -n "$work" ]; then rm -rf "$work"; fi
}

# The sweep per adapter against its listening window, with 1 and 3 adapters, on a quiet LAN
# and with five boxes; the share of a 1000-box burst that is listed; AddBox as the list
# grows and the memory of 10,000 boxes (these two need no lab).
bench_sweep() {
  local program=$build/bench/sweep_bench
  [ -x "$program" ] || die "no $program; build it first"
  lab_up --adapters 3 --segments 1

  say "sweep: quiet LAN, $runs runs"
  in_ws "$program" --lab "$lab" --runs "$runs" --benchmark_filter='^Sweep/'
  say "sweep: five boxes on the LAN, $runs runs"
  start_sim br0 --generate 5
  in_ws "$program" --lab "$lab" --runs "$runs" --fleet-boxes 5 --benchmark_filter='^Sweep/'
  say "sweep: a burst of 1000 replies on one adapter, $runs runs"
  start_sim br0 --generate 1000
  in_ws "$program" --lab "$lab" --runs "$runs" --fleet-boxes 1000 --benchmark_filter='^Burst/'
  stop_sim

  say "AddBox as the list grows, and the memory of 10,000 boxes"
  "$program" --benchmark_filter='^(AddBox|Memory)/'
}

main() {
  local names=()
  while [ $# -gt 0 ]; do
    case $1 in
      --build) [ $# -ge 2 ] || die "--build needs a folder"; build=$(readlink -f "$2"); shift 2 ;;
      -h | --help) sed -n '2,10p' "$0"; exit 0 ;;
      -*) die "unknown option $1" ;;
      *) names+=("$1"); shift ;;
    esac
  done
  [ ${#names[@]} -gt 0 ] || names=(sweep)
  for name in "${names[@]}"; do
    declare -F "bench_$name" >/dev/null || die "no benchmark called $name"
  done
  if [ "$(id -u)" -ne 0 ]; then
    echo "run-benchmarks: needs root to build the lab and send raw frames in it" >&2
    exit 77
  fi
  sim=$build/tools/box-sim/velqorin-box-sim
  [ -x "$sim" ] || die "no $sim; build it first"

  work=$(mktemp -d)
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  for name in "${names[@]}"; do "bench_$name"; done
}

main "$@"
