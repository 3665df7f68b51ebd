#!/usr/bin/env bash
# wine-test.sh starts a program once more only when wine lost its server
# before the program ran; any other failure, and a success, stand as they are.
set -u
WRAPPER=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
# A loader that fails like that on its first start and runs the program after.
cat >"$tmp/flaky" <<'SH'
#!/bin/sh
if [ ! -e "$0.started" ]; then touch "$0.started"; echo "wine client error:0: recvmsg: Connection reset by peer" >&2; exit 1; fi
echo "ran $*"
SH
# A program that fails for itself, with the same words among its own.
cat >"$tmp/failing" <<'SH'
#!/bin/sh
echo "wine client error:0: recvmsg: Connection reset by peer" >&2
echo "[  FAILED  ] a test" >&2
exit 1
SH
printf '#!/bin/sh\necho "ran $*"\n' >"$tmp/runs"
chmod +x "$tmp/flaky" "$tmp/failing" "$tmp/runs"
check() {
  local want=$1 text=$2 status=0
  shift 2
  "$WRAPPER" "$@" >"$tmp/out" 2>&1 || status=$?
  if [ "$status" -ne "$want" ] || ! grep -q -- "$text" "$tmp/out"; then
    echo "FAIL: $*: status $status (expected $want), no '$text' in:" >&2
    cat "$tmp/out" >&2
    failures=$((failures + 1))
  fi
}
check 0 "ran prog.exe --x" "$tmp/flaky" prog.exe --x
check 1 "FAILED" "$tmp/failing" prog.exe
[ "$(grep -c "FAILED" "$tmp/out")" -eq 1 ] || { echo "FAIL: a program that failed for itself was run again" >&2; failures=$((failures + 1)); }
check 0 "ran prog.exe" "$tmp/runs" prog.exe
[ "$failures" -eq 0 ] && echo "wine-test.sh: 3 outcomes as expected"
exit "$failures"
