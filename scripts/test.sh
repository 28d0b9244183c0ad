#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the ThreadSanitizer
# tests, a bounded run of each fuzz target (KES_FUZZ_RUNS runs, at most
# KES_FUZZ_SECONDS seconds each), and the Windows build's tests under Wine.
# The plain stage includes the web console's tests over HTTP and WebSocket
# (label web), its pages in headless Chromium (label browser) and the shared
# history against a throwaway PostgreSQL cluster (label pg).
set -euo pipefail
cd "$(dirname "$0")/.."
# Each stage's heading carries the minutes and seconds since the start, so
# that a slow stage shows in the log.
stage() { printf '== %s (at %dm%02ds)\n' "$1" $((SECONDS / 60)) $((SECONDS % 60)); }
stage "setup"
scripts/setup.sh

stage "module layers"
scripts/check-layers.sh

jobs=$(nproc)
# Every ctest run's lines are kept, so that the slowest tests of the whole
# command can be listed at the end.
timings=$(mktemp)
output=$(mktemp)
trap 'rm -f "$timings" "$output"' EXIT
run_ctest() {  # run_ctest STAGE DIR [CTEST-OPTION...]
  local stage=$1 dir=$2
  shift 2
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") | tee "$output"
  sed -nE "s/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .* Passed +([0-9.]+) sec$/\2 $stage \1/p" \
    "$output" >>"$timings"
}
# The sanitizer and fuzz builds exist for testing: -O1 with line tables keeps
# them quick to build and their reports readable, and assertions stay on.
checked=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1")
stage "plain build"
scripts/build.sh build -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
run_ctest plain build

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DKES_SANITIZE=ON -DKES_BENCH=OFF "${checked[@]}"
# The browser tests exercise the console's pages, which the plain stage has
# covered; the web console's server code is checked here by the web tests.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest asan build-asan -LE browser

stage "ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DKES_TSAN=ON -DKES_BENCH=OFF "${checked[@]}" >/dev/null
cmake --build build-tsan --target tsan-tests
TSAN_OPTIONS=halt_on_error=1 run_ctest tsan build-tsan -L tsan

stage "fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKES_FUZZ=ON -DKES_BENCH=OFF \
  "${checked[@]}" >/dev/null
cmake --build build-fuzz --target fuzz-targets
scripts/fuzz.sh build-fuzz "${KES_FUZZ_RUNS:-200000}" "${KES_FUZZ_SECONDS:-30}"
stage "Windows build, tests under Wine"
scripts/test-windows.sh
stage "the ten slowest tests (seconds, stage, test)"
sort -rn "$timings" | sed -n 1,10p  # sed reads all: sort never meets a closed pipe
stage "all tests passed"
