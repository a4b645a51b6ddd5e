#!/bin/sh
# Starts the wine server for the tests' prefix, kept for a minute past the
# last program, and makes the prefix on first use. Its output goes to a log:
# on the test's pipe the server and its services would hold the pipe open.
log="$1"
mkdir -p "$WINEPREFIX" || exit 1
{
  # A server left by an interrupted run would ignore the new settings.
  wineserver -k
  wineserver -p60 && wine wineboot --init
} </dev/null >"$log" 2>&1 || {
  cat "$log"
  exit 1
}
