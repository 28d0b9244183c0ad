#!/usr/bin/env bash
# Builds the Windows programs (scripts/build-windows.sh) and runs the Windows
# test programs under Wine: headless, quiet, with a Wine prefix of its own
# inside build-windows/ so that nothing outside the build folder is touched.
# Every Wine start is bounded by a time-out; a test program that fails or
# hangs fails the stage. Then the Windows tools talk to the Linux server
# (scripts/test-windows-e2e.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build-windows.sh

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEPREFIX=$PWD/build-windows/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

# The wineserver of this prefix is ended however the stage ends.
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
# wineboot returns once the prefix is made and its services are up.
timeout 300 "$wine" wineboot -i >/dev/null 2>&1

failed=0
for test in build-windows/bin/*_tests.exe; do
  echo "-- $(basename "$test") under Wine"
  if ! timeout 300 "$wine" "$test" --gtest_brief=1 2>&1; then
    echo "Windows test program $(basename "$test") failed"
    failed=1
  fi
done
echo "-- Windows tools under Wine against the Linux server"
scripts/test-windows-e2e.sh "$wine" || failed=1
exit $failed
