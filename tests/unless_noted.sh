#!/bin/sh
# unless_noted.sh NOTE COMMAND...: runs COMMAND, unless NOTE exists; then it
# says why the test cannot run on this machine and exits with 77, which
# ctest shows as a skip, never as a pass.
note="$1"
shift
if [ -f "$note" ]; then
  echo "Skipped: $(cat "$note")"
  exit 77
fi
exec "$@"
