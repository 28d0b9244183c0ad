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
# npm brings the console's terminal library (below); Node's own package may
# already provide it.
command -v npm >/dev/null || missing+=(npm)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# xterm.js for the console's run page, at a fixed version, where the build
# finds it (web/ui/install.cmake): Debian's libjs-xterm 3.8 ships only a
# loader stub that needs the missing CommonJS modules. The canvas renderer
# draws without the style elements that the console's
# Content-Security-Policy refuses.
xterm_prefix=/usr/local/share/kestrun/npm
xterm_packages=(@xterm/xterm@5.5.0 @xterm/addon-canvas@0.7.0)
if ! grep -qs '"version": "5.5.0"' "$xterm_prefix/node_modules/@xterm/xterm/package.json" ||
   ! grep -qs '"version": "0.7.0"' "$xterm_prefix/node_modules/@xterm/addon-canvas/package.json"; then
  echo "Installing: ${xterm_packages[*]} (npm) into $xterm_prefix"
  $sudo mkdir -p "$xterm_prefix"
  $sudo npm install --silent --no-audit --no-fund --prefix "$xterm_prefix" "${xterm_packages[@]}" >/dev/null
fi
