#!/usr/bin/env bash
# Runs one Windows test program under a wine loader, as ctest's emulator.
# A wine program that starts just as the previous one's server is ending
# loses its connection before anything of its own runs ("wine client
# error:0: recvmsg: Connection reset by peer", in 0.02 s): such a start,
# and only such, is tried once more. Keeping one server alive instead made
# the tests hang.
#   wine-test.sh LOADER PROGRAM [ARGS...]
set -uo pipefail
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
# Its errors are kept for the look below through a pipe, which ends only
# when tee has written them all (a process substitution's tee could still
# be writing when the file was read, and the retry was missed).
{ "$@" 2>&1 1>&3 3>&- | tee "$errors" >&2; } 3>&1
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ] && grep -q '^wine client error:.*Connection reset by peer' "$errors" &&
  [ "$(grep -vc '^wine client error:' "$errors")" -eq 0 ]; then
  echo "wine-test.sh: wine lost its server before the program ran; starting it once more" >&2
  "$@"
  status=$?
fi
exit "$status"
