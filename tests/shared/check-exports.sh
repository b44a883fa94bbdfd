#!/usr/bin/env bash
# Every symbol the shared library defines must belong to its published interface:
# the three classes, the batch functions and the C entry points.
set -euo pipefail
lib=${1:?usage: check-exports.sh LIBRARY}
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt)
[ -n "$symbols" ] || { echo "no exported symbols in $lib"; exit 1; }
batch='velqorin::(pingAddresses|networkCommand|networkSpeedCommand|synchroCommand|unlockCommand|sendCommands)'
allowed="^(CVelqorinNetworkAnalyse|CVelqorinBoxOnNetwork|CVelqorinNetworkInterface)::|^(CreateCVelqorinNetworkAnalyse|DeleteCVelqorinNetworkAnalyse|Extern[A-Za-z]+)\$|^$batch\\("

stray=$(grep -Ev "$allowed" <<<"$symbols" || true)
if [ -n "$stray" ]; then
  echo "symbols exported beyond the interface:"
  echo "$stray"
  exit 1
fi
for class in CVelqorinNetworkAnalyse CVelqorinBoxOnNetwork CVelqorinNetworkInterface; do
  grep -q "^$class::$class(" <<<"$symbols" || { echo "constructor of $class not exported"; exit 1; }
done
for f in pingAddresses networkCommand networkSpeedCommand synchroCommand unlockCommand sendCommands; do
  grep -q "^velqorin::$f(" <<<"$symbols" || { echo "velqorin::$f not exported"; exit 1; }
done
echo "$(wc -l <<<"$symbols") exported symbols, all in the interface"
