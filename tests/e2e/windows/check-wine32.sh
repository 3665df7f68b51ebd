#!/usr/bin/env bash
# The 32-bit wine loader runs an i686 program for real: without wine32,
# wine64 "runs" one by exiting 0 at once, which would pass the i686 tests
# unseen. capture-host.exe must print its version.
#   check-wine32.sh WINE32_LOADER I686_CAPTURE_HOST_EXE   (WINEPREFIX set)
# Exit status: 0 it ran; 3 this machine's kernel starts no 32-bit program
# (built or sandboxed without it), so no i686 test can run here; 1 otherwise.
set -uo pipefail
loader=$1
program=$2
if [ ! -x "$loader" ]; then
  echo "check-wine32.sh: no 32-bit wine at $loader (package wine32:i386)" >&2
  exit 1
fi
output=$(cd "$(dirname "$program")" && WINEDEBUG=-all "$loader" "./$(basename "$program")" --version 2>&1)
status=$?
if [ "$status" -eq 126 ] && grep -q 'Exec format error' <<<"$output"; then
  echo "check-wine32.sh: this machine's kernel does not start 32-bit programs ($loader: Exec format error)," \
    "so the i686 programs cannot run here; a kernel with 32-bit support (IA32 emulation) is needed" >&2
  exit 3
fi
if [ "$status" -ne 0 ] || ! grep -q '^capture-host ' <<<"$output"; then
  echo "check-wine32.sh: $program did not run under $loader (status $status): $output" >&2
  exit 1
fi
echo "$(head -1 <<<"$output") (i686, under $loader)"
