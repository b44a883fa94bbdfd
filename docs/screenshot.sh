#!/usr/bin/env bash
# Pictures of the monitor as its users see it: the demo's lab with its simulated boxes, the
# real program on a virtual display, every window in French and in English, captured with
# ImageMagick into docs/monitor-LANG-WINDOW.png. Builds nothing: run it as root after
# ./run build (which also installs xvfb-run, xdotool and ImageMagick).
#
#   docs/screenshot.sh            # lab vq-shots, pictures into docs/
#   VELQORIN_SHOT_LAB=NAME VELQORIN_SHOT_DIR=FOLDER docs/screenshot.sh
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

LAB=${VELQORIN_SHOT_LAB:-vq-shots}
OUT=${VELQORIN_SHOT_DIR:-docs}
MONITOR=build/monitor/VelqorinNetworkMonitor
SIM=build/tools/box-sim/velqorin-box-sim

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'screenshot.sh: %s\n' "$*" >&2; exit 1; }

# The first window whose title matches REGEX, waiting up to 10 s for it.
window_named() {
  local regex=$1 id i
  for i in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  die "no window titled /$regex/ appeared"
}

click() {  # click WINDOW X Y [REPEAT]: the left button at X, Y inside WINDOW
  xdotool mousemove --sync --window "$1" "$2" "$3" click --repeat "${4:-1}" --delay 80 1
  sleep 0.4
}

shoot() {  # shoot WINDOW NAME
  import -window "$1" "$OUT/$2.png"
  say "$OUT/$2.png"
}

# Runs on the virtual display: one language, every window. The places clicked are the
# forms' own: their controls do not move.
capture() {
  local lang=$1 work=$2 main dialog pid
  mkdir -p "$work/$lang/user/Quarvel" "$work/$lang/machine"
  [ "$lang" = en ] && printf '[General]\nLanguage=en\n' >"$work/$lang/user/Quarvel/Velqorin Network Monitor.conf"
  # The namespace has its own network only: the display socket stays reachable.
  ip netns exec "$LAB-ws" env XDG_CONFIG_HOME="$work/$lang/user" XDG_CONFIG_DIRS="$work/$lang/machine" \
    "$MONITOR" >"$work/$lang/monitor.log" 2>&1 &
  pid=$!
  main=$(window_named '^Velqorin Network Monitor$')
  # The first sweep: about 3 s an adapter, two adapters.
  sleep 9
  xdotool windowfocus --sync "$main" 2>/dev/null || true
  click "$main" 60 68                     # the first box of the list
  shoot "$main" "monitor-$lang-boxes"

  click "$main" 150 19                    # tab "Infos synchronisation"
  click "$main" 60 111 2                  # follower 2560, opened for editing
  shoot "$main" "monitor-$lang-sync"

  click "$main" 50 19                     # back to the box list
  click "$main" 60 68                     # the first box, on the network
  click "$main" 168 408                   # "Configurer"
  dialog=$(window_named '^Configuration')
  sleep 0.5
  shoot "$dialog" "monitor-$lang-configure"
  click "$dialog" 357 404                 # "Annuler"

  xdotool windowfocus --sync "$main" 2>/dev/null || true
  click "$main" 60 68
  xdotool key --clearmodifiers ctrl+d
  dialog=$(window_named 'Mot de Passe|Password')
  sleep 0.5
  shoot "$dialog" "monitor-$lang-unlock"
  click "$dialog" 229 157                 # "Annuler"

  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

if [ "${1:-}" = --capture ]; then
  shift
  capture "$@"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || die "the lab sends raw frames between network namespaces: run as root"
for tool in xvfb-run xdotool import; do
  command -v "$tool" >/dev/null || die "$tool is missing: ./run build installs it"
done
for program in "$MONITOR" "$SIM"; do
  [ -x "$program" ] || die "$program is missing: run ./run build first"
done
mkdir -p "$OUT"

work=$(mktemp -d /tmp/velqorin-shots.XXXXXX)
sims=()
finish() {
  local pid
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  lab/lab down "$LAB" >/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

say "lab $LAB: a workstation with adapters vq0 and vq1, each on its own LAN of simulated boxes"
lab/lab up "$LAB" --adapters 2 --segments 2 --replace >/dev/null
for pair in br0:lab/fleets/demo-office.json br1:lab/fleets/demo-plant.json; do
  bridge=${pair%%:*}
  ip netns exec "$LAB-lan" "$SIM" --interface "$bridge" --fleet "${pair#*:}" \
    --log "$work/$bridge.log" --ready-file "$work/$bridge.ready" 2>"$work/$bridge.err" &
  sims+=($!)
  for _ in $(seq 50); do [ -s "$work/$bridge.ready" ] && break; sleep 0.1; done
  [ -s "$work/$bridge.ready" ] || die "the box simulator did not start on $bridge: $(cat "$work/$bridge.err")"
done

for lang in fr en; do
  say "the monitor in $lang"
  xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --capture "$lang" "$work"
done
