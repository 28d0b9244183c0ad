#!/usr/bin/env bash
# End to end on Windows: KestrunServer.exe under Wine on a loopback port,
# driven by the Linux kesclient: the job list, a run of cmd.exe, a run of
# the test child that echoes its standard input and exits with a given
# code, a kill through the Windows administrative command line
# (KestrunServer.exe -killjob) of a run with a tree of three processes, the
# log file, and -shutdown.
#   tests/windows/server_e2e.sh WINE KESCLIENT   (from scripts/test-windows.sh,
#   with WINEPREFIX set)
set -uo pipefail
wine=$1
kesclient=$2
bin=build-windows/bin
home=build-windows/e2e-home
# A port free now, from the system (a random pick could land on a port in
# use, such as one of the system's ephemeral ports).
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
rm -rf "$home" && mkdir -p "$home"
cp "$bin/KestrunServer.exe" "$bin/kes_win_child.exe" "$home/"
cat >"$home/kestrun.conf" <<CONF
port = $port
logfile = \$KESTRUNHOME/kestrun.log
history = off
Cmd:
    program = C:\\windows\\system32\\cmd.exe
    helptext = cmd.exe with the client's arguments
Child:
    program = \$KESTRUNHOME\\kes_win_child.exe
    helptext = the test child with the client's arguments
CONF

failures=0
check() {  # NAME EXPECTED ACTUAL
  if [[ "$2" == "$3" ]]; then
    echo "ok   $1"
  else
    echo "FAIL $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}
client() { timeout 60 "$kesclient" -s 127.0.0.1 -p "$port" -u tester -n linux "$@"; }

timeout 300 "$wine" "$home/KestrunServer.exe" >"$home/server.out" 2>&1 &
server=$!
for _ in $(seq 120); do
  client echo >/dev/null 2>&1 && break
  sleep 0.5
done

check "jobs" "CHILD CMD" "$(client jobs --names | sort | tr '\n' ' ' | sed 's/ $//')"
check "cmd /c echo" "hello" "$(client run Cmd /c echo hello | tr -d '\r')"
out=$(printf 'one\ntwo words\n' | client run Child echo 42)
check "echo child exit code" "42" "$?"
check "echo child output" $'one\ntwo words' "$out"

# A run whose program starts a child which starts a grandchild; the kill
# through the Windows command line ends the run.
: >"$home/tree.out"
client run Child tree 2 >"$home/tree.out" &
run=$!
pid=
for _ in $(seq 100); do
  [[ $(wc -l <"$home/tree.out") -ge 3 ]] && pid=$(client active | awk '/CHILD/ {print $2}' | head -1)
  [[ -n "$pid" ]] && break
  sleep 0.2
done
killed=$(cd "$home" && timeout 60 "$wine" ./KestrunServer.exe -killjob "$pid" 2>&1 | tr -d '\r')
check "-killjob" "Process ID $pid (CHILD) Killed" "$(grep Killed <<<"$killed")"
wait "$run"
check "killed run's exit code" "1" "$?"
check "no run left" "" "$(client active | grep CHILD)"

log=$(tr -d '\r' <"$home/kestrun.log")
check "log: run" "1" "$(grep -c 'tester@linux invoking job "CHILD"' <<<"$log" | awk '{print ($1 >= 1)}')"
check "log: exit code" "1" "$(grep -c 'exits code 42' <<<"$log")"

(cd "$home" && timeout 60 "$wine" ./KestrunServer.exe -shutdown >/dev/null 2>&1)
wait "$server"
check "server ended by -shutdown" "0" "$?"
if [[ $failures -ne 0 ]]; then
  echo "--- server output"; cat "$home/server.out"
  echo "--- log"; cat "$home/kestrun.log"
fi
exit $((failures > 0))
