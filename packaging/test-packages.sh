#!/usr/bin/env bash
# The Debian packages as a user gets them: build them (./run package), install them with
# dpkg, check what they hold and grant (one capability, on the link helper), answer the
# installation's question both ways, scan and configure as a user of the group velqorin in
# a lab namespace against the box simulator (10,000 boxes too), refuse a user outside it,
# run the monitor, build C programs against the installed library, then remove and purge
# them and check that no file is left. It installs system-wide, so it is not
# part of `./run test`; CI runs it as its own step.
#
#   packaging/test-packages.sh [--no-build]    (as root; --no-build reuses dist/)
#
# The lab is ${VELQORIN_LAB_PREFIX:-vqp-}package. Everything is undone on the way out,
# whether the test passes or not.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
readonly root=$PWD
readonly started=$SECONDS

readonly lib_package=libvelqorinnetworkanalyser0
readonly dev_package=libvelqorinnetworkanalyser-dev
readonly programs_package=velqorin-network-monitor
readonly packages=("$lib_package" "$dev_package" "$programs_package")
readonly lab=${VELQORIN_LAB_PREFIX:-vqp-}package
readonly fleet=$root/lab/fleets/demo-office.json
readonly sim=$root/build-package/tools/box-sim/velqorin-box-sim
readonly helper=/usr/libexec/velqorin/velqorin-link-helper
readonly caps='cap_net_raw=ep'
readonly tech=vqtech
export DEBIAN_FRONTEND=noninteractive
readonly app_id=com.quarvel.VelqorinNetworkMonitor

step() { printf '\033[1m--> %s\033[0m\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "installs packages and builds a lab: run it as root"
build=true
case "${1:-}" in
  "") ;;
  --no-build) build=false ;;
  *) echo "usage: packaging/test-packages.sh [--no-build]" >&2; exit 2 ;;
esac

exec 8>/run/lock/velqorin-package-test.lock
flock -n 8 || fail "another package test is running"

# dpkg, waiting up to five minutes for another dpkg or apt to let go of its lock.
dpkg_() {
  local try output status
  for try in $(seq 100); do
    status=0
    output=$(dpkg "$@" 2>&1) || status=$?
    if [ "$status" -ne 0 ] && grep -q 'locked by another process' <<<"$output"; then
      sleep 3
      continue
    fi
    printf '%s\n' "$output"
    return "$status"
  done
  printf '%s\n' "$output"
  return "$status"
}

installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qv '^not-installed$'; }
for package in "${packages[@]}"; do
  installed "$package" &&
    fail "$package is installed already; this test would remove it. Purge it first: dpkg --purge ${packages[*]}"
done

work=$(mktemp -d /tmp/velqorin-package-test.XXXXXX)
chmod 755 "$work"  # the unprivileged user runs programs from here
we_installed=false
# A signal may stop the script in a command whose output goes to a file: the way out
# writes where the script's own output goes.
exec 5>&1 6>&2
cleanup() {
  local status=$?
  set +e
  exec 1>&5 2>&6
  lab/lab down "$lab" >/dev/null 2>&1
  getent passwd "$tech" >/dev/null && userdel "$tech" 2>/dev/null
  if [ "$we_installed" = true ]; then
    if ! dpkg_ --purge "${packages[@]}" >"$work/cleanup-purge.log" 2>&1; then
      echo "cleanup: dpkg --purge ${packages[*]} failed:" >&2
      cat "$work/cleanup-purge.log" >&2
    fi
  fi
  rm -rf "$work"
  [ "$status" -eq 0 ] && printf '\033[1mpackage test passed in %d s\033[0m\n' $((SECONDS - started))
  [ "$status" -eq 0 ] || printf '\033[1mpackage test FAILED after %d s\033[0m\n' $((SECONDS - started)) >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "$build" = true ]; then
  ./run package
fi
shopt -s nullglob
debs=(dist/*.deb)
[ ${#debs[@]} -eq 3 ] || fail "dist/ holds ${#debs[@]} packages, not 3; run ./run package"
[ -x "$sim" ] || fail "$sim is missing; run ./run package"
deb_of() { local d; for d in "${debs[@]}"; do [[ ${d##*/} == "$1"_* ]] && echo "$d"; done; }
for package in "${packages[@]}"; do
  [ -n "$(deb_of "$package")" ] || fail "dist/ has no $package package"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch

step "what the packages hold and need"
for deb in "${debs[@]}"; do
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|'
done >"$work/contents"
grep -E 'box-sim|xml-box|tun-relay' "$work/contents" && fail "a test tool is in a package"
expected=(
  /usr/bin/velqorin /usr/bin/VelqorinNetworkMonitor "$helper"
  "$libdir/libVelqorinNetworkAnalyser.so.0" "$libdir/libVelqorinNetworkAnalyser.so"
  /usr/include/velqorin/Extern.h /usr/include/velqorin/NetworkAnalyse.h
  "$libdir/pkgconfig/velqorin-network-analyser.pc"
  "$libdir/cmake/VelqorinNetworkAnalyser/VelqorinNetworkAnalyserConfig.cmake"
  "$libdir/cmake/VelqorinNetworkAnalyser/VelqorinNetworkAnalyserTargets.cmake"
  /usr/share/VelqorinNetworkMonitor/translations/VelqorinNetworkMonitor_en.qm
  "/usr/share/applications/$app_id.desktop" "/usr/share/metainfo/$app_id.metainfo.xml"
  "/usr/share/icons/hicolor/scalable/apps/$app_id.svg"
  "/usr/share/icons/hicolor/48x48/apps/$app_id.png"
  "/usr/share/icons/hicolor/256x256/apps/$app_id.png"
  /usr/share/man/man1/velqorin.1.gz /usr/share/man/man1/VelqorinNetworkMonitor.1.gz
  /usr/share/bash-completion/completions/velqorin
  "$libdir/wireshark/plugins/velqorin.lua"
)
for path in "${expected[@]}"; do
  grep -qx -- "$path" "$work/contents" || fail "no package holds $path"
done
grep -qx "$libdir/libVelqorinNetworkAnalyser.so.0" <(dpkg-deb -c "$(deb_of "$lib_package")" |
  awk '{ print $6 }' | sed 's|^\./|/|') || fail "the library is not in $lib_package"
depends() { dpkg-deb -f "$(deb_of "$1")" Depends; }
for need in "$programs_package:$lib_package (=" "$programs_package:libcap2-bin" "$programs_package:debconf" \
            "$programs_package:libqt6widgets6" "$dev_package:$lib_package (=" "$lib_package:libpcap0.8"; do
  grep -qF -- "${need#*:}" <<<"$(depends "${need%%:*}")" ||
    fail "${need%%:*} does not depend on ${need#*:}: $(depends "${need%%:*}")"
done
grep -q "^libVelqorinNetworkAnalyser 0 $lib_package" <<<"$(dpkg-deb --info "$(deb_of "$lib_package")" shlibs)" ||
  fail "$lib_package has no shlibs entry for libVelqorinNetworkAnalyser.so.0"
mkdir "$work/content"
dpkg-deb -x "$(deb_of "$programs_package")" "$work/content"
tests/packaging/check-metadata.sh "$work/content/usr/share/applications/$app_id.desktop" \
  "$work/content/usr/share/metainfo/$app_id.metainfo.xml" "$work"/content/usr/share/man/man1/*.1.gz

step "the files on the system before installing"
snapshot() {
  find /usr /etc /opt /var/lib/dpkg/info -xdev 2>/dev/null | LC_ALL=C sort
}
snapshot >"$work/before"

step "installing where setcap fails: the installation goes on and says what to do"
mkdir "$work/no-setcap"
printf '#!/bin/sh\necho "setcap: Operation not supported" >&2\nexit 1\n' >"$work/no-setcap/setcap"
chmod 755 "$work/no-setcap/setcap"
we_installed=true
PATH="$work/no-setcap:$PATH" dpkg_ -i "${debs[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "dpkg -i failed where setcap fails"; }
grep -qF "setcap cap_net_raw+ep $helper" "$work/install.log" ||
  { cat "$work/install.log"; fail "the installation does not say how to grant $helper its capability"; }
[ -z "$(getcap "$helper")" ] || fail "$helper has capabilities although setcap failed"

step "installing: dpkg -i ${debs[*]##*/}"
dpkg_ -i "${debs[@]}" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i failed"; }
grep -q 'could not grant' "$work/install.log" && { cat "$work/install.log"; fail "setcap failed"; }
for package in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Status}\n' "$package" | grep -qx installed || fail "$package is not installed"
  dpkg -L "$package" >>"$work/installed-files"
done

step "one capability, on the helper; who may run it; run paths, the loader"
# Not piped into grep: under pipefail, grep leaving early may kill the writer with SIGPIPE.
# Other packages may hold capabilities of their own: only ours are looked at.
capable=$(for path in $(dpkg -L "${packages[@]}"); do [ -f "$path" ] && getcap "$path"; done)
[ "$capable" = "$helper $caps" ] || fail "the packages' files with capabilities: '$capable', expected only '$helper $caps'"
getent group velqorin >/dev/null || fail "the installation made no group velqorin"
helper_mode() { stat -c '%U:%G %a' "$helper"; }
[ "$(helper_mode)" = "root:velqorin 750" ] || fail "$helper is $(helper_mode), expected root:velqorin 750"
answer() {  # answer true|false: the question answered so, then dpkg-reconfigure
  echo "$programs_package $programs_package/everyone-may-reach-boxes boolean $1" | debconf-set-selections
  dpkg-reconfigure -fnoninteractive "$programs_package" >"$work/reconfigure.log" 2>&1 ||
    { cat "$work/reconfigure.log"; fail "dpkg-reconfigure failed"; }
}
answer true
[ "$(helper_mode)" = "root:velqorin 755" ] || fail "every user may reach boxes, but $helper is $(helper_mode)"
[ "$(getcap "$helper")" = "$helper $caps" ] || fail "dpkg-reconfigure left $helper without $caps"
answer false
[ "$(helper_mode)" = "root:velqorin 750" ] || fail "back to the group, but $helper is $(helper_mode)"
[ "$(getcap "$helper")" = "$helper $caps" ] || fail "dpkg-reconfigure left $helper without $caps"
for binary in /usr/bin/velqorin /usr/bin/VelqorinNetworkMonitor "$helper" "$libdir/libVelqorinNetworkAnalyser.so.0"; do
  readelf -d "$binary" | grep -E 'RPATH|RUNPATH' && fail "$binary has a run path"
done
# With /lib a link to /usr/lib, the cache may name either. Not piped into grep -q: under
# pipefail, grep leaving at the first match may kill ldconfig with SIGPIPE and fail the test.
grep -qE "libVelqorinNetworkAnalyser.so.0 .*=> (/usr)?/lib/$multiarch/libVelqorinNetworkAnalyser.so.0\$" <<<"$(ldconfig -p)" ||
  fail "the loader's cache does not know libVelqorinNetworkAnalyser.so.0"

if command -v tshark >/dev/null; then
  step "tshark loads the installed dissector"
  dissector=$libdir/wireshark/plugins/velqorin.lua
  # A home of its own: no personal plugin or preference of root's takes part.
  tshark_() { HOME="$work" XDG_CONFIG_HOME="$work" tshark "$@" 2>"$work/tshark.err"; }
  tshark_ -G plugins >"$work/tshark-plugins" || { cat "$work/tshark.err"; fail "tshark -G plugins failed"; }
  grep -qF "$dissector" "$work/tshark-plugins" || fail "tshark -G plugins does not list $dissector"
  decoded=$(tshark_ -n -r tests/captures/sweep.pcap -Y 'velqorin.kind == 1' -T fields -e velqorin.serial |
    sort -n | xargs)
  [ "$decoded" = "6101 6102 6103 6104 6105 1234567890123456789" ] ||
    { cat "$work/tshark.err"; fail "the installed dissector read the serials '$decoded' from sweep.pcap"; }
  warned=$(tshark_ -n -r tests/captures/malformed.pcap -Y velqorin.expert.length -T fields -e frame.len | xargs)
  [ "$warned" = "315 317" ] || fail "the installed dissector warned of the lengths '$warned', not '315 317'"
else
  echo "tshark is not installed: the dissector is not tried"
fi

step "the lab $lab and the box simulator"
lab/lab up "$lab" --adapters 1 --segments 1 --replace >/dev/null
lab/lab exec "$lab" lan "$sim" --interface br0 --fleet "$fleet" --log "$work/sim.log" \
  --ready-file "$work/sim.ready" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do
  [ -s "$work/sim.ready" ] && break
  sleep 0.1
done
[ -s "$work/sim.ready" ] || { cat "$work/sim.err"; fail "the box simulator did not start"; }
# The fleet's serial numbers as numbers, sorted.
fleet_serials=$(grep -o '"serial": *"[0-9]*"' "$fleet" | grep -o '[0-9][0-9]*' | sed 's/^0*//' | sort -n)

as_nobody() {
  lab/lab exec "$lab" ws setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env "$@"
}
useradd --no-create-home --shell /usr/sbin/nologin --groups velqorin "$tech"
as_tech() {
  lab/lab exec "$lab" ws setpriv --reuid="$tech" --regid="$tech" --init-groups --reset-env "$@"
}
serials_in() { grep -o '"serial": *"[0-9]*"' "$1" | grep -o '[0-9][0-9]*' | sed 's/^0*//' | sort -n; }

step "velqorin scan and configure as $tech, in the group velqorin, through the helper"
as_tech /usr/bin/velqorin scan --json >"$work/scan.json" 2>"$work/scan.err" ||
  { cat "$work/scan.err"; fail "velqorin scan as $tech failed with status $?"; }
scanned=$(serials_in "$work/scan.json")
[ "$scanned" = "$fleet_serials" ] ||
  fail "velqorin scan as $tech found serials '$(xargs <<<"$scanned")', expected '$(xargs <<<"$fleet_serials")'"
echo "found $(wc -l <<<"$scanned") boxes"
# The ping before a new address goes through the helper too: the lab refuses ICMP
# datagram sockets to everybody.
echo admin | as_tech /usr/bin/velqorin configure 2555 --ip 192.0.2.56 --mask 255.255.255.0 \
  --interface vq0 --password-stdin --yes >"$work/configure.out" 2>&1 ||
  { cat "$work/configure.out"; fail "velqorin configure as $tech failed"; }
as_tech /usr/bin/velqorin scan --json >"$work/scan2.json" 2>"$work/scan2.err" ||
  { cat "$work/scan2.err"; fail "the second scan as $tech failed"; }
grep -q '"ip": *"192.0.2.56"' "$work/scan2.json" || fail "box 2555 did not take its new address: $(cat "$work/scan2.json")"
ps -eo user,comm | grep -q "^$tech .*velqorin-link" &&
  fail "a link helper of $tech outlived its velqorin: $(ps -eo user,pid,comm | grep velqorin-link)"

step "a user outside the group is told which group to join"
status=0
as_nobody /usr/bin/velqorin scan >"$work/outside.out" 2>&1 || status=$?
[ "$status" -eq 3 ] || { cat "$work/outside.out"; fail "outside the group: status $status, expected 3"; }
grep -q 'no raw network access' "$work/outside.out" && grep -qF 'sudo adduser nobody velqorin' "$work/outside.out" ||
  { cat "$work/outside.out"; fail "outside the group, the message does not name the group and the command"; }

step "the monitor as $tech under a virtual display: it sweeps through the helper"
frames_before=$(wc -l <"$work/sim.log")
status=0
as_tech env HOME="$work" xvfb-run -a -s '-screen 0 1024x768x24' timeout 8 /usr/bin/VelqorinNetworkMonitor \
  >"$work/monitor-xvfb.out" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$work/monitor-xvfb.out"; fail "the monitor ended with status $status before 8 s"; }
# Its requests reached the boxes, and the boxes answered them.
tail -n +"$((frames_before + 1))" "$work/sim.log" >"$work/monitor-frames.log"
grep -q '"kind":0' "$work/monitor-frames.log" && grep -q '"dir":"tx"' "$work/monitor-frames.log" ||
  { cat "$work/monitor-xvfb.out"; fail "the monitor's sweep did not reach the boxes"; }

step "a monitor given capabilities by hand loads no plugin from the user's folders"
# Folders a user could fill with code for Qt or GTK to load, named every way they take.
mkdir -p "$work/plugins/platforms"
monitor_as_nobody() {  # monitor_as_nobody PROGRAM SECONDS OUTPUT
  local status=0
  as_nobody env QT_QPA_PLATFORM=offscreen QT_DEBUG_PLUGINS=1 QT_PLUGIN_PATH="$work/plugins" \
    QT_QPA_PLATFORM_PLUGIN_PATH="$work/plugins/platforms" GTK_MODULES="$work/plugins/gtk.so" \
    timeout "$2" "$1" -platformpluginpath "$work/plugins/platforms" >"$3" 2>&1 || status=$?
  [ "$status" -eq 124 ] || { cat "$3"; fail "$1 ended with status $status before $2 s"; }
}
cp /usr/bin/VelqorinNetworkMonitor "$work/monitor-with-caps"
setcap cap_net_raw+ep "$work/monitor-with-caps"
frames_before=$(wc -l <"$work/sim.log")
monitor_as_nobody "$work/monitor-with-caps" 8 "$work/monitor.out"
[ "$(wc -l <"$work/sim.log")" -gt "$frames_before" ] ||
  { cat "$work/monitor.out"; fail "the monitor did not sweep: no frame reached the simulator"; }
grep -q "checking directory path \"/usr/lib/$multiarch/qt6/plugins/platforms\"" "$work/monitor.out" ||
  { cat "$work/monitor.out"; fail "the monitor's plugin log is missing, so the next check would prove nothing"; }
grep -F "$work/plugins" "$work/monitor.out" && fail "the monitor with capabilities looked for plugins in the user's folders"
# The check sees the folders when they count: the installed program, without capabilities.
monitor_as_nobody /usr/bin/VelqorinNetworkMonitor 5 "$work/monitor-nocaps.out"
grep -qF "checking directory path \"$work/plugins/platforms\"" "$work/monitor-nocaps.out" ||
  { cat "$work/monitor-nocaps.out"; fail "without capabilities the monitor ignores QT_PLUGIN_PATH: the check above proves nothing"; }

step "a C program built with pkg-config against the installed library"
cp tests/packaging/package_client.c "$work/"
pkg-config --exists velqorin-network-analyser || fail "pkg-config does not know velqorin-network-analyser"
[ "$(pkg-config --modversion velqorin-network-analyser)" = "$(dpkg-query -W -f='${Version}' "$lib_package" | cut -d- -f1)" ] ||
  fail "the pkg-config version is not the package's"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/client" "$work/package_client.c" \
  $(pkg-config --cflags --libs velqorin-network-analyser) || fail "cannot build against the installed library"
grep -q 'NEEDED.*libVelqorinNetworkAnalyser.so.0' <<<"$(readelf -d "$work/client")" || fail "the client does not use the shared library"
lab/lab exec "$lab" ws "$work/client" >"$work/client.out" || fail "the client failed"
[ "$(head -1 "$work/client.out")" = "$(wc -l <<<"$fleet_serials")" ] ||
  fail "the client counted $(head -1 "$work/client.out") boxes, expected $(wc -l <<<"$fleet_serials")"
[ "$(tail -n +2 "$work/client.out" | awk '{ print $1 }' | sort -n)" = "$fleet_serials" ] ||
  fail "the client's serial numbers differ: $(cat "$work/client.out")"

step "the same program built with the CMake package"
cmake -S tests/packaging/cmake-client -B "$work/cmake-client" -G Ninja \
  -DCLIENT_SOURCE="$work/package_client.c" >"$work/cmake-client.log" 2>&1 &&
  cmake --build "$work/cmake-client" >>"$work/cmake-client.log" 2>&1 ||
  { cat "$work/cmake-client.log"; fail "cannot build with find_package(VelqorinNetworkAnalyser)"; }
grep -q 'NEEDED.*libVelqorinNetworkAnalyser.so.0' <<<"$(readelf -d "$work/cmake-client/client")" ||
  fail "the CMake-built client does not use the shared library"

step "a burst of 10,000 boxes through the helper, as $tech"
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
lab/lab exec "$lab" lan "$sim" --interface br0 --generate 10000 --log /dev/null \
  --ready-file "$work/burst.ready" 2>"$work/burst.err" &
for _ in $(seq 200); do
  [ -s "$work/burst.ready" ] && break
  sleep 0.1
done
[ -s "$work/burst.ready" ] || { cat "$work/burst.err"; fail "the simulator of 10,000 boxes did not start"; }
as_tech /usr/bin/velqorin scan --json --verbose --interface vq0 >"$work/burst.json" 2>"$work/burst-scan.err" ||
  { cat "$work/burst-scan.err"; fail "the scan of 10,000 boxes failed"; }
listed=$(grep -c '"serial"' "$work/burst.json")
[ "$listed" -eq 10000 ] || { cat "$work/burst-scan.err"; fail "10,000 boxes answered, $listed listed"; }
grep -q ' 0 frames dropped for want of capture buffer' "$work/burst-scan.err" ||
  { cat "$work/burst-scan.err"; fail "frames were dropped in the burst"; }
echo "10,000 of 10,000 listed, none dropped"
lab/lab down "$lab" >/dev/null
userdel "$tech"

step "removing and purging"
dpkg_ --remove "${packages[@]}" >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg --remove failed"; }
dpkg_ --purge "${packages[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge failed"; }
we_installed=false
for package in "${packages[@]}"; do
  installed "$package" && fail "$package is still known to dpkg after the purge"
  compgen -G "/var/lib/dpkg/info/$package.*" >/dev/null && fail "dpkg still keeps files of $package"
done

step "no file left"
left=""
while IFS= read -r path; do
  [ "$path" != /. ] || continue
  [ -e "$path" ] || [ -L "$path" ] || continue
  grep -qxF -- "$path" "$work/before" || left+="$path"$'\n'
done <"$work/installed-files"
[ -z "$left" ] || fail "files of the packages are left: $left"
snapshot >"$work/after"
new=$(LC_ALL=C comm -13 "$work/before" "$work/after")
stray=""
while IFS= read -r path; do
  [ -n "$path" ] || continue
  case $path in
    # Caches that the desktop's triggers rebuild for every package, not files of ours.
    /usr/share/icons/*/icon-theme.cache | /usr/share/applications/mimeinfo.cache) continue ;;
    # The group velqorin stays, and the accounts' backups with it.
    /etc/passwd- | /etc/group- | /etc/shadow- | /etc/gshadow- | /etc/subuid- | /etc/subgid-) continue ;;
  esac
  # What another package installed meanwhile is not ours either.
  dpkg -S "$path" >/dev/null 2>&1 && continue
  stray+="$path"$'\n'
done <<<"$new"
[ -z "$stray" ] || fail "files appeared and stayed after the purge: $stray"
echo "nothing left of $(wc -l <"$work/installed-files") installed paths"
