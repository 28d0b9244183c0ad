#!/bin/sh
# Counts down from $1, one line a second, so the client sees output arrive
# while the job runs.
n=${1:-5}
echo "Counting down from $n on $(hostname) (home: $KESTRUNHOME)"
while [ "$n" -gt 0 ]; do
  echo "$n..."
  n=$((n - 1))
  sleep 1
done
echo "Lift-off, requested by $KESCLIENTUSERNAME@$KESCLIENTNODENAME"
