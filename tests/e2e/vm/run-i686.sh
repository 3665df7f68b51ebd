#!/usr/bin/env bash
# Runs a command that starts 32-bit programs (the i686 DLL's tests and
# benchmarks under 32-bit wine): natively where this machine's kernel starts
# them, else in the small virtual machine of run-in-vm.sh, with a wine
# prefix that has its 32-bit half. KESTRUM_I686_WAY=native or vm picks the
# way instead of the kernel; --no-vm keeps to the native way, and a kernel
# that refuses 32-bit programs is then the 126 below.
#   run-i686.sh [--time-limit S] [--no-vm] RESULTS_DIR COMMAND [ARGS...]
# RESULTS_DIR is where the command's files must go to be kept: in the
# virtual machine nothing else is written through. WINEPREFIX is set for the
# command in the virtual machine, and left as the caller has it natively.
# Exits with the command's status; 125 when the virtual machine failed (the
# reason on stderr), 126 when neither way can run a 32-bit program here.
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
time_limit=3600
no_vm=0
while [ $# -gt 0 ]; do
  case $1 in
    --time-limit) time_limit=$2; shift 2 ;;
    --no-vm) no_vm=1; shift ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || { sed -n '9p' "$0" >&2; exit 2; }
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

if [ "$no_vm" -eq 1 ]; then
  echo "run-i686.sh: this machine's kernel does not start 32-bit programs (KESTRUM_I686_WAY=vm runs them in a virtual machine)" >&2
  exit 126
fi
echo "run-i686.sh: this machine's kernel starts no 32-bit program: in a virtual machine" >&2
if ! command -v qemu-system-x86_64 >/dev/null || ! vm=$("$here/prepare-vm.sh"); then
  echo "run-i686.sh: neither way can run a 32-bit program here: the kernel refuses them," \
    "and the virtual machine could not be prepared (packages qemu-system-x86, busybox-static, cpio," \
    "and Debian's kernel package downloaded)" >&2
  exit 126
fi
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
KESTRUM_VM_DIR=$vm WINEPREFIX=$prefix "$here/run-in-vm.sh" --time-limit "$time_limit" --share "$prefix" \
  "$results" "$@" || status=$?
exit "$status"
