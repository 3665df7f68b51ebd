#!/usr/bin/env bash
# check-wine32.sh tells its three outcomes apart: a loader that runs the
# program (0), a kernel that starts no 32-bit program (3, with the reason),
# and a loader that runs but does not run the program, as wine64 does for an
# i686 one by exiting 0 at once (1).
set -u
CHECK=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
touch "$tmp/capture-host.exe"
failures=0
expect() {
  local want=$1 loader=$2 text=$3 status=0
  "$CHECK" "$loader" "$tmp/capture-host.exe" >"$tmp/out" 2>"$tmp/err" || status=$?
  if [ "$status" -ne "$want" ] || ! grep -q -- "$text" "$tmp/out" "$tmp/err"; then
    echo "FAIL: $loader: status $status (expected $want), no '$text' in:" >&2
    cat "$tmp/out" "$tmp/err" >&2
    failures=$((failures + 1))
  fi
}

printf '#!/bin/sh\necho "capture-host 2.1.0"\n' >"$tmp/runs"
printf '#!/bin/sh\nexit 0\n' >"$tmp/silent"
# An ELF header of a machine no kernel knows: execve refuses it as a kernel
# without 32-bit support refuses wine's i386 loader.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\377\377' >"$tmp/refused"
head -c 64 /dev/zero >>"$tmp/refused"
chmod +x "$tmp/runs" "$tmp/silent" "$tmp/refused"

expect 0 "$tmp/runs" "capture-host 2.1.0 (i686, under"
expect 3 "$tmp/refused" "does not start 32-bit programs"
expect 1 "$tmp/silent" "did not run under"
expect 1 "$tmp/missing" "no 32-bit wine at"
[ "$failures" -eq 0 ] && echo "check-wine32.sh: 4 outcomes as expected"
exit "$failures"
