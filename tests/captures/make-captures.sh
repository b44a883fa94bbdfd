#!/usr/bin/env bash
# Makes the capture files of this folder again, in a lab of network namespaces: the box
# simulator plays the fleets of this folder on the LAN, velqorin sweeps and sends commands
# from the workstation, and dumpcap records only the frames of interest there. Run it as
# root after ./run build (dumpcap comes with Debian's tshark, which ./run installs).
#
#   tests/captures/make-captures.sh
#   VELQORIN_CAPTURE_LAB=NAME VELQORIN_BUILD_DIR=DIR tests/captures/make-captures.sh
#
#   sweep.pcap      a sweep: the request and the replies of six boxes of every kind
#   commands.pcap   each command kind accepted, then refused (wrong password or code),
#                   each after the sweep that finds the box
#   malformed.pcap  a sweep answered by replies the monitor ignores (315 and 317 bytes,
#                   a reserved byte set, protocol version 2, an unknown kind) and one good
#   dial-up.pcap    the info query over TCP port 5000 to two boxes behind dial-up links,
#                   one answering in one piece, one in three with a serial of 25 characters
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/../.."

readonly lab=${VELQORIN_CAPTURE_LAB:-vq-captures}
readonly build=${VELQORIN_BUILD_DIR:-build}
readonly out=tests/captures
readonly sim=$build/tools/box-sim/velqorin-box-sim
readonly cli=$build/tools/velqorin/velqorin
readonly xml_box=$build/tools/xml-box/velqorin-xml-box
readonly relay=$build/tools/tun-relay/velqorin-tun-relay
# The simulator draws its challenges from this, so a new capture differs little from the last.
readonly seed=25

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'make-captures.sh: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "the lab sends raw frames between network namespaces: run as root"
command -v dumpcap >/dev/null || die "dumpcap is missing: apt-get install tshark (./run build installs it)"
for program in "$sim" "$cli" "$xml_box" "$relay"; do
  [ -x "$program" ] || die "$program is missing: run ./run build first"
done

work=$(mktemp -d /tmp/velqorin-captures.XXXXXX)
pids=()
finish() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  lab/lab down "$lab" >/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# start_sim FLEET: the simulator on the LAN's bridge, ready to answer.
start_sim() {
  rm -f "$work/sim.ready"
  ip netns exec "$lab-lan" "$sim" --interface br0 --fleet "$1" --seed "$seed" \
    --log "$work/sim.log" --ready-file "$work/sim.ready" 2>"$work/sim.err" &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 50); do [ -s "$work/sim.ready" ] && return 0; sleep 0.1; done
  die "the box simulator did not start: $(cat "$work/sim.err")"
}

stop() {  # stop PID: ends a process of ours and waits for it
  kill -INT "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# start_capture NAMESPACE INTERFACE FILTER FILE: dumpcap, recording once it says so.
start_capture() {
  local ns=$1 interface=$2 filter=$3 file=$4
  rm -f "$work/dumpcap.err"
  ip netns exec "$ns" dumpcap -q -P -i "$interface" -f "$filter" -w "$file" 2>"$work/dumpcap.err" &
  capture_pid=$!
  pids+=("$capture_pid")
  for _ in $(seq 100); do
    grep -q '^Capturing on' "$work/dumpcap.err" 2>/dev/null && { sleep 0.3; return 0; }
    sleep 0.1
  done
  die "dumpcap did not start on $interface: $(cat "$work/dumpcap.err")"
}

stop_capture() {  # stop_capture FILE: the capture into tests/captures
  sleep 0.3  # the last frames are on the wire before the capture ends
  stop "$capture_pid"
  install -m 644 "$1" "$out/${1##*/}"
  say "$out/${1##*/}: $(stat -c %s "$1") bytes"
}

ws() { ip netns exec "$lab-ws" "$@"; }

# command_pair PASSWORD BAD ARGUMENTS...: the command with the right secret, then a wrong one.
command_pair() {
  local right=$1 wrong=$2
  shift 2
  printf '%s\n' "$right" | ws "$cli" "$@" --password-stdin >>"$work/commands.log" 2>&1 ||
    die "velqorin $* was not accepted: $(tail -n 3 "$work/commands.log")"
  local status=0
  printf '%s\n' "$wrong" | ws "$cli" "$@" --password-stdin >>"$work/commands.log" 2>&1 || status=$?
  [ "$status" -ne 0 ] || die "velqorin $* with a wrong secret was accepted"
}

say "lab $lab: a workstation with vq0 on one LAN, and two dial-up links"
lab/lab up "$lab" --adapters 1 --segments 1 --ppp 2 --relay "$relay" --replace >/dev/null
readonly ether_filter='ether proto 0x0e0f'

say "a sweep"
start_sim "$out/fleet-sweep.json"
start_capture "$lab-ws" vq0 "$ether_filter" "$work/sweep.pcap"
ws "$cli" scan >"$work/sweep.txt"
stop_capture "$work/sweep.pcap"
stop "$sim_pid"

say "every command kind, accepted and refused"
start_sim "$out/fleet-commands.json"
start_capture "$lab-ws" vq0 "$ether_filter" "$work/commands.pcap"
command_pair site-Secret wrong configure 6201 --ip 192.0.2.74 --mask 255.255.255.0 --yes
command_pair site-Secret wrong configure 6201 --dhcp --restart --yes
command_pair site-Secret wrong sync 6201 --master
command_pair site-Secret wrong sync 6201 --follow 6202 --floor 2 --now
command_pair UNLOCK-6201 UNLOCK-0000 unlock 6201
stop_capture "$work/commands.pcap"
stop "$sim_pid"

say "replies the monitor ignores"
start_sim "$out/fleet-malformed.json"
start_capture "$lab-ws" vq0 "$ether_filter" "$work/malformed.pcap"
ws "$cli" scan >"$work/malformed.txt"
stop_capture "$work/malformed.pcap"
stop "$sim_pid"

say "the info query behind two dial-up links"
far=()
start_xml_box() {  # start_xml_box LINK ARGUMENTS...: a box at the far end of link LINK
  local index=$1
  shift
  ip netns exec "$lab-far" "$xml_box" --listen "203.0.113.$((130 + 4 * index))" \
    --fleet "$out/fleet-sweep.json" --ready-file "$work/xml$index.ready" "$@" 2>"$work/xml$index.err" &
  far+=($!)
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/xml$index.ready" ] && return 0; sleep 0.1; done
  die "velqorin-xml-box did not start: $(cat "$work/xml$index.err")"
}
start_xml_box 0 --box 6105 --behaviour whole
# A serial longer than the 19 characters the monitor lists, in three pieces.
start_xml_box 1 --box 1234567890123456789 --serial 1234567890123456789012345 --behaviour split
start_capture "$lab-ws" any 'tcp port 5000' "$work/dial-up.pcap"
ws "$cli" scan --dial-up >"$work/dial-up.txt"
stop_capture "$work/dial-up.pcap"
for pid in "${far[@]}"; do stop "$pid"; done
