#!/usr/bin/env bash
# Sets up, builds the programs, makes a server home from examples/home and
# starts KestrunServer on it in the foreground (Ctrl+C stops it).
#
# Only the programs are built, in the usual build tree, whose other settings
# (tests, benchmarks) are left as they are; then they are installed into the
# home.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
programs=(KestrunServer kestrunTTY kesclient kesnotify_program kesgp_file kesgp_unix)
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target "${programs[@]}"
home=build/home
rm -rf "$home"
# The install puts the programs, the plug-ins and the example configuration
# side by side, stripped of their debug sections.
cmake --install build --prefix "$home" >/dev/null
cat <<EOT
Server home: $home (log: $home/kestrun.log)
Web console: http://127.0.0.1:7480/ (log in with a system account; PAM service "kestrun")
In a second terminal, try:
  $home/kesclient jobs                          # the jobs you may run
  $home/kesclient run countdown 5               # output arrives as it is written
  echo hello world | $home/kesclient run shout  # standard input goes to the job
  $home/kesclient run backup prod &             # runs ten seconds...
  $home/kesclient run backup prod               # ...refused: one backup per target
  $home/kesclient run restore prod              # refused while a backup runs
  $home/kesclient active                        # the running jobs
  $home/kesclient run environment               # what a job is given
  $home/kesclient dialog archive                # a job's dialog (needs a display)
  $home/kesclient history                       # the runs so far, newest first
  $home/kesclient output ID                     # what run ID printed (ID from history)
EOT
exec "$home/KestrunServer"
