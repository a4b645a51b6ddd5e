#!/bin/sh
# Starts the wine server for the tests' prefix, kept for a minute past the
# last program, and makes the prefix on first use. Its output goes to a log:
# on the test's pipe the server and its services would hold the pipe open.
# Where the machine runs no 32-bit program, it says so in NOTE, for the tests
# to run in a guest that can (tests/wine32_guest.py).
#
#   start_wine.sh LOG NOTE
log="$1"
note="$2"
rm -f "$note"
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
# Wine's own hostname.exe gives the same answer in 32 bits as in 64 wherever
# 32-bit code can run. Where it cannot (a kernel without 32-bit
# compatibility, as some virtual machines have), the 32-bit one does not
# start: that is the machine, not our program.
if [ -n "${WINEDLLPATH-}" ]; then
  answer="$(wine hostname.exe </dev/null 2>>"$log")"
  answer_32="$(wine "$WINEDLLPATH/i386-windows/hostname.exe" </dev/null 2>>"$log")"
  if [ -n "$answer" ] && [ "$answer_32" != "$answer" ]; then
    echo "wine starts no 32-bit program on this machine (kernel $(uname -r)), not even" \
      "its own hostname.exe, which answered: $answer_32" >"$note"
    cat "$note"
  fi
fi
