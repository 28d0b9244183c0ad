#!/bin/sh
# Run by the scheduler every minute: its output and errors land in
# $KESTRUNHOME/log/HEARTBEAT-YYYYMMDD-hhmm.log.
echo "Heartbeat at $(date '+%Y-%m-%d %H:%M:%S') (reason: $KESREASON, job: $KESJOBNAME)"
echo "Last scheduled run before this one: ${KESPARENTJOB:-none} (exit code ${KESPARENTEXITCODE:-none})"
echo "This line goes to standard error, into the same file" >&2
