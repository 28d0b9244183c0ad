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
# One Wine session for the whole stage: the wineserver stays up between the
# programs instead of ending a few seconds after each one, so the session's
# start (wineboot, services.exe) is paid once.
# A wineserver of this prefix left by an earlier stage is ended first.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX"  # the wineserver needs the folder; Wine fills it
"$wineserver" -p </dev/null >/dev/null 2>&1
# The first program of a session has Wine run "wineboot --init" (making the
# prefix when it is new) and waits for it and for services.exe. No explicit
# "wineboot -i" here: on a new session it runs wineboot a second time, which
# starts a second services.exe; the two then both serve the service control
# manager's pipe, so a service created through one connection is unknown to
# the next (the service manager tests failed that way). The first program
# also removes a KestrunServer service left by an interrupted earlier run.
# Its output goes to /dev/null: the session's processes inherit it.
timeout 300 "$wine" sc delete KestrunServer </dev/null >/dev/null 2>&1 || true

# Cases of the shared test sources that assert Linux specifics: a path
# used as a regular expression (Windows paths hold backslashes) and
# /dev/zero as an unreadable icon file.
declare -A skip=(
  [config_tests]="-ReaderDeathTest.MissingFileEndsTheFirstReadWithStatus1:ReaderDeathTest.SyntaxErrorEndsTheFirstReadWithStatus1:Icons.LoadedFromGifFilesAndRefusedOtherwise"
)

failed=0
for test in build-windows/bin/*_tests.exe; do
  name=$(basename "$test" .exe)
  echo "-- $name under Wine"
  if ! timeout 300 "$wine" "$test" --gtest_brief=1 ${skip[$name]:+--gtest_filter=${skip[$name]}} 2>&1; then
    echo "Windows test program $name failed"
    failed=1
  fi
done

# End to end: KestrunServer.exe under Wine driven by the Linux kesclient of
# the plain build (KES_LINUX_BUILD, default build/).
kesclient=${KES_LINUX_BUILD:-build}/bin/kesclient
if [[ -x "$kesclient" ]]; then
  echo "-- KestrunServer.exe under Wine, driven by the Linux kesclient"
  if ! tests/windows/server_e2e.sh "$wine" "$kesclient"; then
    echo "Windows end-to-end test failed"
    failed=1
  fi
else
  echo "Windows end-to-end test needs the Linux kesclient ($kesclient): build it first"
  failed=1
fi

echo "-- Windows tools under Wine against the Linux server"
scripts/test-windows-e2e.sh "$wine" || failed=1
exit $failed
