#!/usr/bin/env bash
# Renders each manual page of the build with man's warnings on; any warning,
# or a page missing, fails.
set -u
dir=$1
status=0
for page in kesclient.1 kesnotify.1 KestrunServer.8 kestrun.conf.5; do
  if [ ! -s "$dir/$page" ]; then
    echo "missing: $dir/$page"
    status=1
    continue
  fi
  warnings=$(MANWIDTH=80 man --warnings -l "$dir/$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  fi
done
exit $status
