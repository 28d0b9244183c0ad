#!/bin/sh
# Pretends to archive the volumes chosen in the Archive dialog.
echo "Archiving into ${KESFIELD1:-archive} (${KESFIELD2:-tar}) on ${KESFIELD9:-localhost}"
for step in 1 2 3; do
  sleep 1
  echo "  ${step}/3 done"
done
