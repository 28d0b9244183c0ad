#!/usr/bin/env bash
# Loads kesclient's bash completion into bash and completes commands, options
# and job names; the job names come from a stand-in kesclient that answers
# `jobs --names` and records the options it was given.
set -u
completion=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/kesclient" <<'STUB'
#!/bin/sh
echo "$*" >"$(dirname "$0")/args"
printf 'BACKUP\nBUILD\nRESTORE\n'
STUB
chmod +x "$tmp/kesclient"

status=0
expect() {  # expect "WORDS" "WANTED": completes the last word of WORDS
  local -a words
  read -r -a words <<<"$1"
  [[ $1 == *" " ]] && words+=("")
  words[0]="$tmp/kesclient"
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  _kesclient
  local got="${COMPREPLY[*]}"
  if [ "$got" != "$2" ]; then
    echo "completing \"$1\": got \"$got\", wanted \"$2\""
    status=1
  fi
}

# shellcheck source=/dev/null
source "$completion" || { echo "the completion does not load"; exit 1; }
complete -p kesclient >/dev/null || { echo "no completion registered for kesclient"; exit 1; }
expect "kesclient r" "run"
expect "kesclient -p 7400 d" "dialog dock"
expect "kesclient -" "-s -p -u -n -T -h"
expect "kesclient -s prod -p 7400 run B" "BACKUP BUILD"
[ "$(cat "$tmp/args")" = "-s prod -p 7400 jobs --names" ] || {
  echo "the names were asked with: $(cat "$tmp/args")"
  status=1
}
expect "kesclient run backup " ""
expect "kesclient dialog -nd r" "RESTORE"
expect "kesclient jobs --" "--json --names"
exit $status
