#!/usr/bin/env bash
# Installs the Debian packages Kestrun needs to build and test. Idempotent and
# quiet when everything is already present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  procps
  libsystemd-dev systemd
  xvfb tk8.6 xfonts-base tcl8.6-dev tk8.6-dev
  # The Windows build (mingw-w64, posix threads) and its tests under Wine;
  # GoogleTest for Windows is built from Debian's sources.
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 googletest
  # Man pages from their scdoc sources, and man to check them.
  scdoc man-db groff-base
  # The web console: HTTP and WebSocket (Beast on Asio), JSON, TLS, logins
  # through PAM; its tests drive it from Debian's Python (/usr/bin/python3).
  libboost1.81-dev libboost-json1.81-dev libssl-dev libpam0g-dev openssl
  python3-requests python3-websocket wrk
  # The console's pages in a real browser, and their terminal library.
  chromium chromium-driver python3-selenium libjs-xterm
  # The shared history of a fleet: a throwaway PostgreSQL cluster.
  postgresql libpq-dev
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
