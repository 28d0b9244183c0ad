#!/usr/bin/env bash
# Sets up, builds, makes a server home from examples/home and the programs,
# and starts KestrunServer on it in the foreground (Ctrl+C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DKES_TESTS=OFF -DKES_BENCH=OFF
home=build/home
rm -rf "$home"
mkdir -p "$home"
cp -r examples/home/. "$home/"
for p in KestrunServer kestrunTTY kesclient kesnotify; do
  [ -x "build/bin/$p" ] && cp "build/bin/$p" "$home/"
done
for lib in build/lib/*.so; do
  [ -e "$lib" ] && cp "$lib" "$home/"
done
cat <<EOT
Server home: $home (log: $home/kestrun.log)
In a second terminal, try:
  $home/kesclient jobs                          # the jobs you may run
  $home/kesclient run countdown 5               # output arrives as it is written
  echo hello world | $home/kesclient run shout  # standard input goes to the job
  $home/kesclient run backup prod &             # runs ten seconds...
  $home/kesclient run backup prod               # ...refused: one backup per target
  $home/kesclient run restore prod              # refused while a backup runs
  $home/kesclient active                        # the running jobs
EOT
exec "$home/KestrunServer"
