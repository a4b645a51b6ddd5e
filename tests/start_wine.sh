#!/bin/sh
# Starts the wine server for the tests' prefix, kept for a minute past the
# last program, and makes the prefix on first use. Its output goes to a log:
# on the test's pipe the server and its services would hold the pipe open.
log="$1"
if [ -n "${WINEDLLPATH-}" ]; then
  # Without the 32-bit DLLs a 32-bit program prints nothing and wine still
  # exits with status 0: stop here, loudly, rather than let that pass.
  if [ ! -f "$WINEDLLPATH/i386-windows/kernel32.dll" ]; then
    echo "No 32-bit wine DLLs in $WINEDLLPATH: run scripts/install-deps.sh" >&2
    exit 1
  fi
fi
{
  # A server left by an interrupted run would ignore the new settings.
  wineserver -k
  # A prefix made without the 32-bit DLLs never gains them: make it anew.
  if [ -n "${WINEDLLPATH-}" ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    rm -rf "${WINEPREFIX:?}"
  fi
  mkdir -p "$WINEPREFIX" &&
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
