#!/usr/bin/env bash
# Installs the Debian packages Kestrun needs to build and test. Idempotent and
# quiet when everything is already present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libtirpc-dev libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  procps
  libsystemd-dev systemd
  xvfb tk8.6 xfonts-base tcl8.6-dev tk8.6-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
