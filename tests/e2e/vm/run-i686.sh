#!/usr/bin/env bash
# Runs a command that starts 32-bit programs (the i686 DLL's tests and
# benchmarks under 32-bit wine): natively where this machine's kernel starts
# them, else in the small virtual machine of run-in-vm.sh, with a wine
# prefix that has its 32-bit half. KESTRUM_I686_WAY=native or vm picks the
# way instead of the kernel.
#   run-i686.sh [--time-limit S] RESULTS_DIR COMMAND [ARGS...]
# RESULTS_DIR is where the command's files must go to be kept: in the
# virtual machine nothing else is written through. WINEPREFIX is set for the
# command in the virtual machine, and left as the caller has it natively.
# Exits with the command's status; 125 when the virtual machine failed (the
# reason on stderr), 126 when neither way can run a 32-bit program here.
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
time_limit=3600
if [ "${1:-}" = --time-limit ]; then
  time_limit=$2
  shift 2
fi
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
if ! command -v qemu-system-x86_64 >/dev/null || ! vm=$("$here/prepare-vm.sh"); then
  echo "run-i686.sh: neither way can run a 32-bit program here: the kernel refuses them," \
    "and the virtual machine could not be prepared (packages qemu-system-x86, busybox-static, cpio," \
    "and Debian's kernel package downloaded)" >&2
  exit 126
fi
# 32-bit wine needs a prefix with its half (syswow64), which only a kernel
# that starts 32-bit programs can make: made in the guest the first time,
# kept beside the guest's kernel, used by one guest at a time.
version=$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null || echo unknown)
prefix=$(dirname "$vm")/wineprefix-${version//[^A-Za-z0-9.+]/_}
mkdir -p "$prefix"
exec 9>"$prefix.lock"
flock 9
status=0
KESTRUM_VM_DIR=$vm WINEPREFIX=$prefix "$here/run-in-vm.sh" --time-limit "$time_limit" --share "$prefix" \
  "$results" bash -c '"$0/../windows/prepare-wine-prefix.sh" && exec "$@"' "$here" "$@" || status=$?
exit "$status"
