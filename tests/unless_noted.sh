#!/bin/sh
# unless_noted.sh NOTE RESULTS NAME COMMAND...: runs the suite NAME's
# COMMAND, unless NOTE says that this machine runs no 32-bit program; then
# the suite has run in a guest that can (tests/wine32_guest.py), and its
# output and status there, in RESULTS, are this test's. Where no guest could
# run it either, it says why and exits with 77, which ctest shows as a skip,
# never as a pass. In the guest itself it runs COMMAND and keeps what it
# said for this machine's side.
note="$1"
results="$2"
name="$3"
shift 3
if [ -n "${CAMERA_PATCH_GUEST-}" ]; then
  "$@" >"$results/$name.out" 2>&1
  status=$?
  cat "$results/$name.out"
  echo "$status" >"$results/$name.status"
  exit "$status"
fi
if [ ! -f "$note" ]; then
  exec "$@"
fi
if [ -f "$results/$name.status" ]; then
  echo "Run in a QEMU guest, since $(cat "$note")"
  cat "$results/$name.out"
  exit "$(cat "$results/$name.status")"
fi
if [ -f "$results/no-guest.txt" ]; then
  echo "Skipped: $(cat "$note"); $(cat "$results/no-guest.txt")"
  exit 77
fi
echo "$(cat "$note"), and the guest that runs it (wine32_guest) left no result for $name"
exit 1
