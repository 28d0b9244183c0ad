#!/usr/bin/env bash
# The layer check fails on an include that goes up or sideways and on a
# folder missing from its table, and passes on includes that go down.
set -u
checker=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
expect() {  # expect STATUS TEXT-OR-EMPTY: runs the checker on $work
  local want=$1 text=$2 out status
  out=$("$checker" "$work" 2>&1)
  status=$?
  if [ "$status" -ne "$want" ] || { [ -n "$text" ] && ! grep -qF "$text" <<<"$out"; }; then
    echo "FAILED: want status $want and '$text', got $status:"
    echo "$out"
    fail=1
  fi
}
mkdir -p "$work/protocol" "$work/base" "$work/config" "$work/server" "$work/tests/x"
echo '#include "protocol/xdrwrap.h"' >"$work/base/log.cpp"
echo '#include "platform/filesystem.h"' >>"$work/base/log.cpp"
echo '#include "base/log.h"' >"$work/config/reader.cpp"
echo '#include "server/dispatcher.h"' >"$work/tests/x/t.cpp"  # tests may include anything
echo '#include "config/reader.h"' >"$work/server/main.cpp"
expect 1 'base/log.cpp:1: base may not include protocol/xdrwrap.h'
: >"$work/base/log.cpp"
expect 0 ''
echo '  #  include "server/dispatcher.h"' >"$work/config/gif.cpp"  # upward
expect 1 'config/gif.cpp:1: config may not include server/dispatcher.h'
rm "$work/config/gif.cpp"
echo '#include "jobs/run.h"' >"$work/base/env.h"
expect 1 'base may not include jobs/run.h'
rm "$work/base/env.h"
mkdir -p "$work/newmodule"
echo '#include "base/log.h"' >"$work/newmodule/a.cpp"
expect 1 'module newmodule is not in the layer table'
exit $fail
