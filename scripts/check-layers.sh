#!/usr/bin/env bash
# Checks the module layering against the #include lines of the sources: each
# module may include only itself and the modules listed for it below (the
# modules beneath it). An include that goes up or sideways, or a source
# folder missing from the table, fails the check.
#   scripts/check-layers.sh [ROOT]   (default: the repository)
set -uo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root" || exit 2

# module: the modules it may include, from the bottom layer up.
declare -A allowed=(
  [platform]=""
  [protocol]="platform"
  [plugins]=""
  [client]="protocol platform"
  [base]="platform"
  [config]="base platform plugins"
  [launch]="base platform protocol"
  [history]="config base platform plugins"
  [core]="history config launch base platform protocol plugins"
  [jobs]="core history config launch base platform protocol plugins"
  [notify]="jobs core history config launch base platform protocol plugins"
  [dialogs]="jobs core history config launch base platform protocol plugins"
  [scheduler]="jobs notify core history config launch base platform protocol plugins"
  [web]="dialogs jobs notify core history config launch base platform protocol plugins"
  [server]="web scheduler dialogs jobs notify core history config launch base platform protocol plugins"
  [tools/kesclient]="client protocol platform"
  [tools/kesnotify]="client protocol platform"
  [tools/kestrunTTY]="platform"
  [tools/kespreload]="client protocol platform"
)
# Folders that are not modules of the programs.
skip='^(tests|bench|build[^/]*|examples|docs|scripts|\.ci|\.git)/'

# The module of a path: its first folder, or tools/NAME.
module_of() {
  case "$1" in
    tools/*) echo "$1" | cut -d/ -f1-2 ;;
    *) echo "${1%%/*}" ;;
  esac
}

status=0
while IFS= read -r file; do
  file=${file#./}
  [[ "$file" =~ $skip ]] && continue
  [[ "$file" == */* ]] || continue
  mod=$(module_of "$file")
  if [[ -z "${allowed[$mod]+set}" ]]; then
    echo "check-layers: $file: module $mod is not in the layer table"
    status=1
    continue
  fi
  while IFS= read -r line; do
    inc=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"${line#*:}")
    [[ "$inc" == */* ]] || continue  # same-folder include
    dep=$(module_of "$inc")
    [[ "$dep" == "$mod" ]] && continue
    if [[ " ${allowed[$mod]} " != *" $dep "* ]]; then
      echo "check-layers: $file:${line%%:*}: $mod may not include $inc"
      status=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
done < <(find . -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) | sort)

[ "$status" -eq 0 ] && echo "check-layers: every include goes down the layers"
exit "$status"
