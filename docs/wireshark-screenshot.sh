#!/usr/bin/env bash
# A picture of Wireshark decoding a command with the dissector of this tree: the first
# command of tests/captures/commands.pcap, its Velqorin subtree opened, on a virtual display,
# captured with ImageMagick into docs/wireshark-command.png. Sends nothing on any network.
# Needs Wireshark's window program (apt-get install wireshark) besides what ./run installs
# (xvfb-run, xdotool, ImageMagick).
#
#   docs/wireshark-screenshot.sh
#   VELQORIN_SHOT_DIR=FOLDER docs/wireshark-screenshot.sh
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

OUT=${VELQORIN_SHOT_DIR:-docs}
CAPTURE=tests/captures/commands.pcap
DISSECTOR=packaging/wireshark/velqorin.lua
FRAME=4  # "Apply network to 6201"

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'wireshark-screenshot.sh: %s\n' "$*" >&2; exit 1; }

# Runs on the virtual display, with a home of its own holding Wireshark's layout.
capture() {
  local work=$1 window pid
  HOME=$work wireshark -n -r "$CAPTURE" -X lua_script:"$DISSECTOR" -g "$FRAME" >"$work/wireshark.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name "${CAPTURE##*/}" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    sleep 0.2
  done
  [ -n "$window" ] || die "Wireshark's window did not appear: $(cat "$work/wireshark.log")"
  sleep 2
  # Into the details pane below its three lines, to its first line and down to the
  # Velqorin line, opened with its subtrees.
  xdotool mousemove --sync --window "$window" 300 780 click 1
  sleep 0.3
  xdotool key --window "$window" Home Down Down
  xdotool key --window "$window" shift+Right
  sleep 0.5
  import -window "$window" "$OUT/wireshark-command.png"
  say "$OUT/wireshark-command.png"
  xdotool key --window "$window" ctrl+q
  wait "$pid" 2>/dev/null || true
}

if [ "${1:-}" = --capture ]; then
  capture "$2"
  exit 0
fi

for tool in wireshark xvfb-run xdotool import; do
  command -v "$tool" >/dev/null || die "$tool is missing: apt-get install wireshark xvfb xdotool imagemagick"
done
mkdir -p "$OUT"
work=$(mktemp -d /tmp/velqorin-wireshark-shot.XXXXXX)
trap 'rm -rf "$work"' EXIT

# A fixed layout: window size and place, the packet bytes hidden, the list kept short.
mkdir -p "$work/.config/wireshark"
cat >"$work/.config/wireshark/recent_common" <<'TEXT'
gui.geometry_main_x: 0
gui.geometry_main_y: 0
gui.geometry_main_width: 1000
gui.geometry_main_height: 830
gui.geometry_main_maximized: FALSE
privs.warn_if_elevated: FALSE
TEXT
cat >"$work/.config/wireshark/recent" <<'TEXT'
gui.byte_view_show: FALSE
gui.packet_diagram_show: FALSE
gui.geometry_main_upper_pane: 190
column.width:
	%m, 40,
	%s, 150,
	%d, 150,
	%p, 70,
	%L, 50,
	%i, 500
TEXT
cat >"$work/.config/wireshark/preferences" <<'TEXT'
gui.column.format: "No.", "%m", "Source", "%s", "Destination", "%d", "Protocol", "%p", "Length", "%L", "Info", "%i"
TEXT

say "Wireshark on a virtual display, $CAPTURE frame $FRAME"
xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --capture "$work"
