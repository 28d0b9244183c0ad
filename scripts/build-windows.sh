#!/usr/bin/env bash
# Cross-builds the Windows programs and test programs into build-windows/
# with mingw-w64 (see cmake/mingw-w64-x86_64.cmake).
#   scripts/build-windows.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKES_BENCH=OFF "$@" >/dev/null
cmake --build build-windows -j2
