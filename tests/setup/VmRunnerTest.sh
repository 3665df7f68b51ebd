#!/usr/bin/env bash
# run-in-vm.sh on any machine, whatever its kernel starts: a 32-bit Linux
# program run in the guest reports its output and exit status, with the
# caller's directory and environment and a read-write share; a command that
# hangs, and a guest that never comes up, each end within their limit with
# the runner's own status (125) and a reason.
#   VmRunnerTest.sh RUN_IN_VM
set -u
RUNNER=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# run NAME ARGS...: the runner's output in $tmp/NAME.out, status in $status, time in $took.
run() {
  local name=$1 start=$SECONDS
  shift
  status=0
  "$RUNNER" "$@" >"$tmp/$name.out" 2>&1 || status=$?
  took=$((SECONDS - start))
}

# A static i386 program of two system calls: write, then exit 7.
cat >"$tmp/hello32.s" <<'ASM'
.globl _start
_start:
  movl $4, %eax
  movl $1, %ebx
  movl $msg, %ecx
  movl $len, %edx
  int $0x80
  movl $1, %eax
  movl $7, %ebx
  int $0x80
.data
msg: .ascii "hello from i386\n"
len = . - msg
ASM
as --32 -o "$tmp/hello32.o" "$tmp/hello32.s" && ld -m elf_i386 -o "$tmp/hello32" "$tmp/hello32.o" ||
  { echo "FAIL: could not assemble the i386 program" >&2; exit 1; }

mkdir -p "$tmp/work" "$tmp/share"
cd "$tmp/work"
KESTRUM_VM_PROBE="a value with spaces" run i386 --share "$tmp/share" "$tmp/results" bash -c \
  '"$1"; echo "status $?"; pwd; echo "probe: $KESTRUM_VM_PROBE"; echo written >"$2/file"; exit 3' \
  job "$tmp/hello32" "$tmp/share"
[ "$status" -eq 3 ] || fail "the job's exit status 3 came back as $status"
for text in "hello from i386" "status 7" "$tmp/work" "probe: a value with spaces"; do
  grep -qxF "$text" "$tmp/i386.out" || fail "the guest's output lacks '$text'"
done
[ "$(cat "$tmp/share/file" 2>/dev/null)" = written ] || fail "a file the guest wrote in the share is not on this machine"
# The machine's own files are the guest's, but only to read.
run readonly "$tmp/results" bash -c 'echo x >"$1/not-kept" && echo wrote' job "$tmp/work"
[ ! -e "$tmp/work/not-kept" ] || fail "the guest wrote through to this machine's root"
[ "$status" -eq 0 ] || fail "a write beside the machine's files failed in the guest (status $status)"
[ "$failures" -eq 0 ] || cat "$tmp/i386.out" "$tmp/readonly.out" >&2

# A command that does not end: the runner stops the guest at its limit.
run hangs --time-limit 20 "$tmp/results" sleep 1000
[ "$status" -eq 125 ] || fail "a hanging command ended with status $status, not 125"
grep -q "did not end within 20 s" "$tmp/hangs.out" || fail "no reason for the hang: $(cat "$tmp/hangs.out")"
[ "$took" -le 60 ] || fail "a 20 s limit took $took s"

# A guest whose init never reports: the boot limit ends it.
vm=$(dirname "$RUNNER")/prepare-vm.sh
vm=$("$vm") || { echo "FAIL: the virtual machine could not be prepared" >&2; exit 1; }
mkdir -p "$tmp/silent/root/bin"
cp /bin/busybox "$tmp/silent/root/bin/busybox"
printf '#!/bin/busybox sh\n/bin/busybox sleep 1000\n' >"$tmp/silent/root/init"
chmod 755 "$tmp/silent/root/init"
(cd "$tmp/silent/root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$tmp/silent/initrd.img"
cp "$vm/vmlinuz" "$tmp/silent/vmlinuz"
KESTRUM_VM_DIR=$tmp/silent run silent --boot-limit 15 "$tmp/results" true
[ "$status" -eq 125 ] || fail "a silent guest ended with status $status, not 125"
grep -q "did not come up within 15 s" "$tmp/silent.out" || fail "no reason for the silent guest: $(cat "$tmp/silent.out")"
[ "$took" -le 45 ] || fail "a 15 s boot limit took $took s"

# A kernel qemu cannot start: the runner says so at once.
head -c 4096 /dev/zero >"$tmp/silent/vmlinuz"
KESTRUM_VM_DIR=$tmp/silent run broken "$tmp/results" true
[ "$status" -eq 125 ] || fail "a broken kernel ended with status $status, not 125"
grep -q "ended before it came up" "$tmp/broken.out" || fail "no reason for the broken kernel: $(cat "$tmp/broken.out")"

[ "$failures" -eq 0 ] && echo "run-in-vm.sh: a 32-bit program, a hang, a silent guest and a broken kernel as expected"
exit "$failures"
