#!/usr/bin/env bash
# The Windows tools under Wine against the Linux server: called by
# scripts/test-windows.sh with Wine's prefix and settings in the environment.
#   scripts/test-windows-e2e.sh WINE
# A Linux KestrunServer serves a home of its own on a free loopback port, a
# Linux `kesclient dock --print` is docked as user "winuser" and prints the
# balloons that reach it by UDP; the Windows programs then talk to that
# server:
#   - c_caller.exe through kesnotify.dll's SendNotification,
#   - kesnotify.exe with the port from the kestrun.conf beside it,
#   - kesclient.exe listing the jobs and running one to its exit code;
# and last KestrunServer.exe installs and removes its service, twice each.
# Each check prints "ok NAME" or "FAILED NAME"; the status is 1 when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
wine=$1
win=build-windows/bin
linux=${KES_LINUX_BUILD:-build}/bin

if [ ! -x "$linux/KestrunServer" ] || [ ! -x "$linux/kesclient" ]; then
  echo "-- building the Linux KestrunServer and kesclient"
  [ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DKES_BENCH=OFF >/dev/null
  cmake --build build -j2 --target KestrunServer kesclient >/dev/null || exit 1
  linux=build/bin
fi

home=$(mktemp -d "$PWD/build-windows/e2e.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cp "$linux/KestrunServer" "$home/"
cat >"$home/kestrun.conf" <<CONF
port = $port
logfile = $home/kestrun.log

ECHOEXIT:
  program = /bin/sh
  param = -c
  param = cat; echo from linux; exit 7
  usetty = off
  help = copies its input, prints a line and exits with 7
CONF

failed=0
check() {  # NAME CONDITION-RESULT DETAIL
  if [ "$2" -eq 0 ]; then echo "ok $1"; else echo "FAILED $1"; echo "$3" | sed 's/^/    /'; failed=1; fi
}
await() {  # FILE TEXT SECONDS
  for _ in $(seq $(($3 * 10))); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

KESREASON= "$home/KestrunServer" >"$home/server.out" 2>&1 &
pids+=($!)
await "$home/server.out" "Listening on port $port" 20 || { cat "$home/server.out"; exit 1; }
"$linux/kesclient" -s 127.0.0.1 -p "$port" -u winuser -n linuxnode dock --print >"$home/dock.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  KESREASON=x "$home/KestrunServer" -showdocked 2>/dev/null | grep -q winuser && break
  sleep 0.1
done

# kesnotify.dll called from C: the status comes back, the balloon arrives.
out=$(timeout 60 "$wine" "$win/c_caller.exe" "$port" winuser "hello from the dll" 2>&1 | tr -d '\r')
await "$home/dock.out" "hello from the dll" 10
check "kesnotify.dll SendNotification reaches the docked user" $? "$out
$(cat "$home/dock.out")"
[ "$out" = "result 0 status 1" ]
check "kesnotify.dll reports the user's status" $? "$out"

if [ -f "$win/kesnotify.exe" ]; then
  mkdir -p "$home/win"
  cp "$win/kesnotify.exe" "$win/kesnotify.dll" "$home/win/"
  printf 'port = %s\n' "$port" >"$home/win/kestrun.conf"
  out=$(timeout 60 "$wine" "$home/win/kesnotify.exe" -user winuser -title T -text "hello from kesnotify.exe" 2>&1 | tr -d '\r')
  status=$?
  await "$home/dock.out" "hello from kesnotify.exe" 10
  check "kesnotify.exe sends a balloon the docked user receives" $? "$out
$(cat "$home/dock.out")"
  [ "$status" -eq 0 ] && [ "$out" = "User winuser: okay" ]
  check "kesnotify.exe prints the user's status" $? "status $status: $out"
else
  echo "FAILED kesnotify.exe was not built"
  failed=1
fi

if [ -f "$win/kesclient.exe" ]; then
  out=$(timeout 60 "$wine" "$win/kesclient.exe" -s 127.0.0.1 -p "$port" -u winuser jobs --names 2>&1 | tr -d '\r')
  [ "$out" = "ECHOEXIT" ]
  check "kesclient.exe jobs lists the Linux server's jobs" $? "$out"
  # The job reads its input to the end before it ends: a run whose program
  # ends before the client's end-of-input chunk arrives has its connection
  # closed with that chunk unread, which resets it, and Windows (and Wine)
  # drop the reply still unread on a reset connection.
  out=$(printf 'to the job\n' | timeout 60 "$wine" "$win/kesclient.exe" -s 127.0.0.1 -p "$port" -u winuser run ECHOEXIT 2>&1 | tr -d '\r')
  status=$?
  [ "$status" -eq 7 ] && [ "$out" = $'to the job\nfrom linux' ]
  check "kesclient.exe passes input to a job and exits with its exit code" $? "status $status: $out"
  out=$(timeout 60 "$wine" "$win/kesclient.exe" -s 127.0.0.1 -p "$port" dialog ECHOEXIT 2>&1 | tr -d '\r')
  status=$?
  [ "$status" -eq 255 ] && [[ "$out" == *"Linux client or the web console"* ]]
  check "kesclient.exe dialog points to the Linux client or the web console" $? "status $status: $out"
else
  echo "FAILED kesclient.exe was not built"
  failed=1
fi
# The service's texts from KestrunServer.exe: each step's line on standard
# output after the banner, status 0 every time.
banner="Kestrun Server Version 2.3"
for step in "-install|" "-install|CreateService failed." "-uninstall|" \
  "-uninstall|Could not open the Kestrun Service"; do
  option=${step%%|*}
  want=$banner${step#*|}
  [ -n "${step#*|}" ] && want="$banner"$'\n'"${step#*|}"
  out=$(timeout 60 "$wine" "$win/KestrunServer.exe" "$option" 2>&1 | tr -d '\r')
  status=$?
  [ "$status" -eq 0 ] && [ "$out" = "$want" ]
  check "KestrunServer.exe $option says \"${step#*|}\"" $? "status $status: $out"
done
exit $failed
