#!/bin/sh
# Pretends to back up "$1" for ten seconds, reporting progress.
target=${1:-everything}
echo "Backing up $target (log: $KESTRUNHOME/kestrun.log)"
for step in 1 2 3 4 5 6 7 8 9 10; do
  sleep 1
  echo "  $target: ${step}0%"
done
echo "Backup of $target complete"
