#!/usr/bin/env bash
# Packs the Linux players' download, NAME.tar.gz and NAME.tar.gz.sha256 in the
# current folder: one folder NAME holding the program, the players' note as
# README.txt, the manual page and the licence as LICENSE.txt. Everything a build could vary is fixed
# (order, owner, permissions, times, gzip's name and time), so the same
# sources give the same bytes on any machine.
#
#   make-linux-download.sh NAME YYYY-MM-DD PROGRAM NOTE MANUAL LICENSE
set -euo pipefail
name="$1" date="$2" program="$3" note="$4" manual="$5" licence="$6"

rm -rf "$name" "$name.tar.gz" "$name.tar.gz.sha256"
mkdir "$name"
cp "$program" "$name/camera-patch"
cp "$note" "$name/README.txt"
cp "$manual" "$name/camera-patch.6"
cp "$licence" "$name/LICENSE.txt"
chmod 0755 "$name" "$name/camera-patch"
chmod 0644 "$name/README.txt" "$name/camera-patch.6" "$name/LICENSE.txt"
tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
  --mtime="$date 00:00:00Z" -cf - "$name" | gzip -9n >"$name.tar.gz.part"
mv "$name.tar.gz.part" "$name.tar.gz"
# The form sha256sum -c reads, with the bare file name.
sha256sum "$name.tar.gz" >"$name.tar.gz.sha256"
rm -rf "$name"
