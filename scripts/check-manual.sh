#!/usr/bin/env bash
# Checks that tvctl(1) and the bash completion cover every command that `tvctl help` lists, and
# the manual every option named in its usage lines.
#
#   scripts/check-manual.sh [BUILD]      (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tvctl=$build/tools/tvctl/tvctl
manual=$build/docs/tvctl.1
completion=tools/tvctl/tvctl.bash-completion

# Each usage line of `help` is indented by two spaces; its command is the words before the first
# argument (an upper-case word, an option or a bracket).
usages=$("$tvctl" help | sed -n 's/^  \([a-z].*\)/\1/p')
missing=0
commands=0
while read -r usage; do
    name=$(echo "$usage" | awk '{ for (i = 1; i <= NF && $i ~ /^[a-z][a-z-]*$/; i++) printf "%s%s", (i > 1 ? " " : ""), $i }')
    commands=$((commands + 1))
    # .B NAME or .BI NAME (quoted when it is two words), as the manual sets every command.
    if ! grep -Eq "^\.BI? \"?$name(\"| |$)" "$manual"; then
        echo "tvctl.1 lacks the command '$name'" >&2
        missing=1
    fi
    for word in $name; do
        grep -qw -- "$word" "$completion" || { echo "completion lacks '$word' of '$name'" >&2; missing=1; }
    done
    for option in $(echo "$usage" | grep -oE -- '(^|[ [|(])--?[a-z][a-z-]*' | tr -d ' [|(' || true); do
        roff=${option//-/\\-}
        if ! grep -qF -- "$roff" "$manual"; then
            echo "tvctl.1 lacks the option '$option' of '$name'" >&2
            missing=1
        fi
    done
done <<<"$usages"
# The options of `store play` are listed in its help text rather than its usage.
for option in $("$tvctl" help store play | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
    grep -qF -- "${option//-/\\-}" "$manual" || { echo "tvctl.1 lacks '$option'" >&2; missing=1; }
    grep -qw -- "$option" "$completion" || { echo "completion lacks '$option'" >&2; missing=1; }
done
man --warnings -l "$manual" >/dev/null
[ "$missing" -eq 0 ] && echo "manual and completion: all $commands commands of tvctl help"
exit "$missing"
