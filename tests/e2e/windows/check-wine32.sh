#!/usr/bin/env bash
# The 32-bit wine loader runs an i686 program for real: without wine32,
# wine64 "runs" one by exiting 0 at once, which would pass the i686 tests
# unseen. capture-host.exe must print its version.
#   check-wine32.sh WINE32_LOADER I686_CAPTURE_HOST_EXE   (WINEPREFIX set)
set -uo pipefail
loader=$1
program=$2
if [ ! -x "$loader" ]; then
  echo "check-wine32.sh: no 32-bit wine at $loader (package wine32:i386)" >&2
  exit 1
fi
output=$(cd "$(dirname "$program")" && WINEDEBUG=-all "$loader" "./$(basename "$program")" --version 2>&1)
status=$?
if [ "$status" -ne 0 ] || ! grep -q '^capture-host ' <<<"$output"; then
  echo "check-wine32.sh: $program did not run under $loader (status $status): $output" >&2
  exit 1
fi
echo "$(head -1 <<<"$output") (i686, under $loader)"
