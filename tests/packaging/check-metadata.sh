#!/usr/bin/env bash
# The desktop entry, the AppStream metadata and the manual pages pass their validators,
# and the entry, the metadata and the icon name one another.
#   check-metadata.sh DESKTOP_ENTRY METAINFO MANPAGE...
set -euo pipefail
desktop=${1:?usage: check-metadata.sh DESKTOP_ENTRY METAINFO MANPAGE...}
metainfo=${2:?}
shift 2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for tool in desktop-file-validate appstreamcli groff; do
  command -v "$tool" >/dev/null ||
    { echo "$tool is missing: install desktop-file-utils, appstream and groff-base (./run does)"; exit 1; }
done

out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate $desktop: $out"
[ -z "$out" ] || fail "desktop-file-validate $desktop warns: $out"
out=$(appstreamcli validate --no-net --strict "$metainfo" 2>&1) || fail "appstreamcli validate $metainfo: $out"

id=$(basename "$desktop" .desktop)
[ "$(basename "$metainfo" .metainfo.xml)" = "$id" ] || fail "the metadata file is not named after $id"
grep -q "<id>$id</id>" "$metainfo" || fail "the metadata's id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  fail "the metadata does not launch $id.desktop"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
grep -qx "Exec=VelqorinNetworkMonitor" "$desktop" || fail "the desktop entry does not start VelqorinNetworkMonitor"

for page in "$@"; do
  case $page in *.gz) text=$(gzip -dc "$page") ;; *) text=$(cat "$page") ;; esac
  warnings=$(groff -man -ww -z -Tutf8 <<<"$text" 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
  grep -q '^\.SH NAME' <<<"$text" || fail "$page has no NAME section"
  grep -q '@[A-Z_]*@' <<<"$text" && fail "$page has an unreplaced @VARIABLE@"
done

[ "$failures" -eq 0 ] || exit 1
echo "desktop entry, metadata and $# manual pages valid"
