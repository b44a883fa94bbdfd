#!/usr/bin/env bash
# What the bash completion of velqorin offers, case by case: the words typed so far (the
# last one is being completed), and the offers expected, in order.
#   check-completion.sh COMPLETION
set -euo pipefail
completion=${1:?usage: check-completion.sh COMPLETION}
# shellcheck source=/dev/null
source "$completion"
failures=0

offers() {  # offers WORD...: what the completion offers after `velqorin WORD...`
  COMP_WORDS=(velqorin "$@")
  COMP_CWORD=$#
  _velqorin
  echo "${COMPREPLY[*]}"
}

adapters=$(for path in /sys/class/net/*; do [ "${path##*/}" = lo ] || printf '%s ' "${path##*/}"; done)
adapters=${adapters% }

cases=(
  # typed words                            | expected offers
  "''                                      | scan apply interfaces diag ping configure sync unlock exporter -h --help --version"
  "s                                       | scan sync"
  "a                                       | apply"
  "--help ''                               | scan apply interfaces diag ping configure sync unlock exporter -h --help --version"
  "e                                       | exporter"
  "exporter --l                            | --listen"
  "exporter --listen ''                    | "
  "scan --                                 | --interface --json --csv --dial-up --sync --one-by-one --verbose --requests --watch --gone-after --help"
  "scan ''                                 | -i --interface --json --csv --dial-up --sync --one-by-one -v --verbose --requests --watch --gone-after -h --help"
  "scan --watch ''                         | "
  "apply --d                               | --dry-run"
  "apply site.csv --f                      | --force"
  "apply site.csv --jo                     | --jobs"
  "apply site.csv --jobs ''              | "
  "interfaces -                            | --json -h --help"
  "diag -                                  | -h --help"
  "ping ''                                 | "
  "configure ''                            | "
  "configure 2555 ''                       | "
  "configure 2555 --n                      | --neighbourhood"
  "configure 2555 --neighbourhood ''       | on off"
  "configure 2555 --neighbourhood = o      | on off"
  "configure 2555 --ip ''                  | "
  "configure 2555 --mask 2                 | "
  "sync 2560 --follow ''                   | "
  "sync 2560 --floor ''                    | -5 -4 -3 -2 -1 1 2 3 4 5"
  "sync 2560 --floor -                     | -5 -4 -3 -2 -1"
  "sync 2560 --m                           | --mac --master"
  "apply site.csv --requests ''              | 1 2 3 4 5"
  "unlock 2555 --p                         | --password-stdin"
  "scan --interface ''                     | $adapters"
  "scan -i ''                              | $adapters"
  "scan --interface =                      | $adapters"
  "frobnicate -                            | "
)
for row in "${cases[@]}"; do
  typed=${row%%|*}
  expected=$(xargs <<<"${row#*|}")
  eval "words=($typed)"
  got=$(offers "${words[@]}")
  if [ "$got" != "$expected" ]; then
    echo "FAIL: velqorin $(xargs <<<"$typed"): offered '$got', expected '$expected'"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] || exit 1
echo "${#cases[@]} completion cases pass"
