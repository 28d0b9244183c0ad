#!/bin/sh
# Pretends to restore "$1".
target=${1:-everything}
echo "Restoring $target"
sleep 2
echo "Restore of $target complete"
