#!/bin/sh
# The list box of the Archive dialog: the volumes that can be archived, one
# row each: kind, volume, size, state.
echo "disk,/srv/projects,120 GB,online"
echo "disk,/srv/home,48 GB,online"
echo "tape,LTO-0042,1.5 TB,loaded"
echo "disk,/var/lib/mail,16 GB,degraded"
echo "tape,LTO-0017,1.5 TB,in library"
