#!/bin/sh
# Starts the wine server for the tests' prefix, kept for a minute past the
# last program, and makes the prefix on first use. Its output goes to a log:
# on the test's pipe the server and its services would hold the pipe open.
log="$1"
mkdir -p "$WINEPREFIX" || exit 1
{
  # A server left by an interrupted run would ignore the new settings.
  wineserver -k
  # Make or update the prefix under a server of its own, and wait for that
  # server to end: wineboot returns while its services still install, and the
  # registry reaches the disk only as the server ends. Otherwise that work
  # would go on beside the first tests, and slow them past their time limits.
  wine wineboot --init && wineserver -w &&
    # The server the tests share, with its services started now rather than by
    # the first test.
    wineserver -p60 && wine wineboot --init
} </dev/null >"$log" 2>&1 || {
  cat "$log"
  exit 1
}
