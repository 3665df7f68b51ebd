#!/usr/bin/env bash
# run-i686.sh picks its way as asked: natively it runs the command as it is,
# with its exit status; where the virtual machine cannot be had (no qemu, a
# kernel that cannot be prepared) it ends with 126 and says why, on stderr
# and in RESULTS_DIR/why-not-run, which the test command's summary quotes.
#   I686WayTest.sh RUN_I686
set -u
RUNNER=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# run NAME ARGS...: the runner's output in $tmp/NAME.out, status in $status.
run() {
  local name=$1
  shift
  status=0
  "$RUNNER" "$@" >"$tmp/$name.out" 2>&1 || status=$?
}

KESTRUM_I686_WAY=native run native "$tmp/native" bash -c 'echo "emulated: ${KESTRUM_EMULATED_CPU:-no}"; exit 5'
[ "$status" -eq 5 ] || fail "natively the command's status 5 came back as $status"
grep -qx 'emulated: no' "$tmp/native.out" || fail "natively the command was told its processor is emulated"
[ -d "$tmp/native" ] || fail "natively the results folder was not made"

KESTRUM_I686_WAY=sideways run unknown "$tmp/unknown" true
[ "$status" -eq 2 ] && grep -q 'native or vm, not sideways' "$tmp/unknown.out" ||
  fail "an unknown way gave status $status: $(cat "$tmp/unknown.out")"

# A PATH with what the runner needs up to its look for qemu, and no qemu.
mkdir -p "$tmp/bin"
for tool in bash dirname mkdir tee cat; do ln -s "$(command -v "$tool")" "$tmp/bin/$tool"; done
KESTRUM_I686_WAY=vm PATH=$tmp/bin run no-qemu "$tmp/no-qemu" true
[ "$status" -eq 126 ] || fail "without qemu the status was $status, not 126"
grep -q 'no qemu-system-x86_64 (package qemu-system-x86)' "$tmp/no-qemu/why-not-run" 2>/dev/null ||
  fail "without qemu why-not-run says: $(cat "$tmp/no-qemu/why-not-run" 2>/dev/null)"

# A cache folder that cannot be made: the kernel cannot be prepared.
if command -v qemu-system-x86_64 >/dev/null; then
  KESTRUM_I686_WAY=vm KESTRUM_VM_CACHE=/proc/kestrum-no-such-cache run no-cache "$tmp/no-cache" true
  [ "$status" -eq 126 ] || fail "without a cache folder the status was $status, not 126"
  grep -q 'could not be prepared: .*kestrum-no-such-cache' "$tmp/no-cache/why-not-run" 2>/dev/null ||
    fail "without a cache folder why-not-run says: $(cat "$tmp/no-cache/why-not-run" 2>/dev/null)"
fi

[ "$failures" -eq 0 ] || exit 1
echo "run-i686.sh: each way and each reason as asked"
