#!/usr/bin/env bash
# Runs a command that starts 32-bit programs (the i686 DLL's tests and
# benchmarks under 32-bit wine): natively where this machine's kernel starts
# them, else in the small virtual machine of run-in-vm.sh, with a wine
# prefix that has its 32-bit half. KESTRUM_I686_WAY=native or vm picks the
# way instead of the kernel.
#   run-i686.sh [--time-limit S] RESULTS_DIR COMMAND [ARGS...]
# RESULTS_DIR is where the command's files must go to be kept: in the
# virtual machine nothing else is written through. WINEPREFIX is set for the
# command in the virtual machine, and left as the caller has it natively;
# there KESTRUM_EMULATED_CPU=1 as well.
# Exits with the command's status; 125 when the virtual machine failed (the
# reason on stderr), 126 when neither way can run a 32-bit program here (the
# reason on stderr and in RESULTS_DIR/why-not-run).
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
time_limit=3600
while [ $# -gt 0 ]; do
  case $1 in
    --time-limit) time_limit=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || { sed -n '7p' "$0" >&2; exit 2; }
results=$1
shift
way=${KESTRUM_I686_WAY:-auto}
wine32=/usr/lib/wine/wine

if [ "$way" = auto ]; then
  way=native
  if [ -x "$wine32" ]; then
    status=0
    output=$("$wine32" --version 2>&1) || status=$?
    if [ "$status" -eq 126 ] && grep -q 'Exec format error' <<<"$output"; then way=vm; fi
  fi
fi
case $way in
  native)
    echo "run-i686.sh: 32-bit programs run natively here" >&2
    mkdir -p "$results"
    exec "$@"
    ;;
  vm) ;;
  *)
    echo "run-i686.sh: KESTRUM_I686_WAY is native or vm, not $way" >&2
    exit 2
    ;;
esac

echo "run-i686.sh: this machine's kernel starts no 32-bit program: in a virtual machine" >&2
# neither WHY: the 126 below, with its reason on stderr and in
# RESULTS_DIR/why-not-run for the caller's summary.
neither() {
  mkdir -p "$results"
  echo "the kernel refuses 32-bit programs, and $1" | tee "$results/why-not-run" >&2
  exit 126
}
command -v qemu-system-x86_64 >/dev/null || neither "there is no qemu-system-x86_64 (package qemu-system-x86)"
prepare_errors=$(mktemp)
if ! vm=$("$here/prepare-vm.sh" 2>"$prepare_errors"); then
  cat "$prepare_errors" >&2
  why=$(grep . "$prepare_errors" | tail -n 1)
  rm -f "$prepare_errors"
  neither "the virtual machine could not be prepared: ${why:-prepare-vm.sh said nothing}"
fi
rm -f "$prepare_errors"
# 32-bit wine needs a prefix with its half (syswow64), which only a kernel
# that starts 32-bit programs can make: the command makes it in the guest the
# first time (prepare-wine-prefix.sh, which the i686 job and the benchmarks
# call), kept beside the guest's kernel, used by one guest at a time.
version=$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null || echo unknown)
prefix=$(dirname "$vm")/wineprefix-${version//[^A-Za-z0-9.+]/_}
mkdir -p "$prefix"
exec 9>"$prefix.lock"
flock 9
status=0
# KESTRUM_EMULATED_CPU tells the command its processor is emulated, some
# ten times slower than this machine's.
KESTRUM_VM_DIR=$vm WINEPREFIX=$prefix KESTRUM_EMULATED_CPU=1 "$here/run-in-vm.sh" --time-limit "$time_limit" --share "$prefix" \
  "$results" "$@" || status=$?
exit "$status"
