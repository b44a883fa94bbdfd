#!/usr/bin/env bash
# The manual page and the bash completion keep up with the tool: every command and every
# option that `velqorin --help` lists is in the page's SYNOPSIS and in the command's own
# section, the completion offers it, and every exit code has its entry.
#   check-docs.sh VELQORIN MANPAGE COMPLETION
set -euo pipefail
velqorin=${1:?usage: check-docs.sh VELQORIN MANPAGE COMPLETION}
page=${2:?}
completion=${3:?}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The lines of a help text's block (Subcommands:, Options:) that start an entry.
entries() {
  awk -v block="$1" '$0 == block ":" { inside = 1; next }
                     inside && /^$/ { inside = 0 }
                     inside && /^  [^ ]/ { print }'
}

# The page's text from `.SS "NAME...` (or `.SS NAME`) to the next heading, hyphens unescaped.
section() {
  awk -v name="$1" '/^\.S[SH] / { inside = ($0 ~ "^\\.SS \"?" name "( |\"|$)") ; next }
                    inside { print }' "$page" | sed 's/\\-/-/g'
}
synopsis=$(awk '/^\.SH SYNOPSIS/ { inside = 1; next } /^\.SH / { inside = 0 } inside' "$page" |
  sed 's/\\-/-/g')

# What the completion offers after `velqorin WORDS... CUR`.
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=(velqorin "$@"); COMP_CWORD=$#; _velqorin
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}

commands=$("$velqorin" --help | entries Subcommands | awk '{ print $1 }')
[ -n "$commands" ] || fail "velqorin --help lists no command"
offered=$(complete_words "")
for command in $commands; do
  grep -qE "^\.B velqorin $command( |\$)" <<<"$synopsis" || fail "SYNOPSIS lacks velqorin $command"
  grep -qx "$command" <<<"$offered" || fail "the completion does not offer the command $command"
  text=$(section "$command")
  [ -n "$text" ] || { fail "the page has no section for $command"; continue; }
  options=$("$velqorin" "$command" --help | entries Options | awk '{ print $1 }' | tr ',' '\n' |
    grep -vx -- '-h\|--help' || true)
  offered_options=$(complete_words "$command" 1 -)
  for option in $options; do
    grep -qE -- "(^|[^-a-z])$option([^-a-z]|\$)" <<<"$text" || fail "the section of $command does not describe $option"
    grep -qx -- "$option" <<<"$offered_options" || fail "the completion of $command does not offer $option"
  done
done

exit_status=$(awk '/^\.SH EXIT STATUS/ { inside = 1; next } /^\.SH / { inside = 0 } inside' "$page")
codes=$("$velqorin" --help | grep -o '[;:] [0-9][0-9]* ' | tr -dc '0-9\n' || true)
[ -n "$codes" ] || fail "velqorin --help lists no exit code"
for code in $codes; do
  grep -qx "\.B $code" <<<"$exit_status" || fail "EXIT STATUS lacks the code $code"
done

[ "$failures" -eq 0 ] || { echo "$failures mismatches between velqorin --help and its documentation"; exit 1; }
echo "$(wc -w <<<"$commands") commands, their options and $(wc -w <<<"$codes") exit codes documented and completed"
