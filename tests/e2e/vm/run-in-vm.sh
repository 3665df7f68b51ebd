#!/usr/bin/env bash
# Runs a command inside a small virtual machine under qemu's software
# emulation, with a kernel that starts 32-bit programs: for machines whose
# own kernel refuses them. The guest sees this machine's root read-only
# (writes land in a tmpfs and are lost); the current directory and the
# environment are the caller's, and RESULTS_DIR is shared read-write at its
# own path.
#   run-in-vm.sh [--boot-limit S] [--time-limit S] [--cpus N] [--memory MB] [--share DIR]...
#                RESULTS_DIR COMMAND [ARGS...]
# Each --share DIR is shared read-write at its own path too.
# Prints the command's output (stdout and stderr together) as it comes, and
# exits with its status; exits 125 with a reason when the guest
# does not come up within the boot limit, the command does not end within
# the time limit, or the guest ends without a status. The guest's console
# is in RESULTS_DIR/console.log.
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
boot_limit=120
time_limit=3600
cpus=$(nproc 2>/dev/null || echo 2)
# Half of what is free, at most 6 GiB: the guest's writes live in its memory.
memory=$(awk '/^MemAvailable:/ { m = int($2 / 2048); print (m > 6144 ? 6144 : m) }' /proc/meminfo)
shares=()
while [ $# -gt 0 ]; do
  case $1 in
    --boot-limit) boot_limit=$2; shift 2 ;;
    --time-limit) time_limit=$2; shift 2 ;;
    --cpus) cpus=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --share) mkdir -p "$2" && shares+=("$(cd "$2" && pwd)"); shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || { sed -n '7,9p' "$0" >&2; exit 2; }
mkdir -p "$1"
results=$(cd "$1" && pwd)
shift
fail() {
  echo "run-in-vm.sh: $*" >&2
  if [ -s "$results/console.log" ]; then
    echo "run-in-vm.sh: the guest's console ended with:" >&2
    tail -n 15 "$results/console.log" | sed 's/^/  /' >&2
  fi
  exit 125
}
# The guest learns the shared paths from the kernel's command line.
share_args=() share_append=""
for i in "${!shares[@]}"; do
  [[ "${shares[$i]}" =~ ^[A-Za-z0-9/._+-]+$ ]] || fail "a shared path may hold no space or quote: ${shares[$i]}"
  share_args+=(-fsdev "local,id=share$i,path=${shares[$i]},security_model=none"
    -device "virtio-9p-pci,fsdev=share$i,mount_tag=share$i")
  share_append+=" kestrum.share$i=${shares[$i]}"
done
[[ "$results" =~ ^[A-Za-z0-9/._+-]+$ ]] || fail "the results path may hold no space or quote: $results"
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || fail "no qemu-system-x86_64 (package qemu-system-x86)"
vm=${KESTRUM_VM_DIR:-}
[ -n "$vm" ] || vm=$("$here/prepare-vm.sh") || fail "the virtual machine could not be prepared"

rm -f "$results/booted" "$results/status" "$results/output" "$results/console.log"
# The caller's environment goes with the command, but for what names this
# shell or this machine's own session.
{
  export -p | grep -vE '^declare -x (PWD|OLDPWD|SHLVL|_|HOSTNAME|DISPLAY|XDG_RUNTIME_DIR|SSH_[A-Z_]*)(=|$)'
  echo "cd $(printf '%q' "$PWD") || exit 125"
  printf 'exec'
  printf ' %q' "$@"
  echo
} >"$results/job.sh"

# Software emulation (-accel tcg): a KVM guest may hang where the processor
# is not offered to guests. qemu's default processor model: with -cpu max,
# its protection keys made 32-bit wine's first iret fault. multidevs=remap keeps /proc and /sys apart from
# the files they would share an inode number with over 9p.
"$qemu" -accel tcg,thread=multi -smp "$cpus" -m "$memory" \
  -display none -monitor none -serial "file:$results/console.log" -no-reboot \
  -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img" \
  -append "console=ttyS0 quiet panic=-1 rdinit=/init kestrum.results=$results$share_append" \
  -fsdev local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=results,path="$results",security_model=none \
  -device virtio-9p-pci,fsdev=results,mount_tag=results "${share_args[@]}" \
  </dev/null >"$results/qemu.log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
# A runner that is stopped (ctest's time-out) takes its guest with it.
trap 'exit 143' TERM
trap 'exit 130' INT
stop_guest() {
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

start=$SECONDS
while [ ! -e "$results/booted" ]; do
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid" 2>/dev/null || true
    fail "the guest ended before it came up: $(tail -n 3 "$results/qemu.log" | tr '\n' ' ')"
  fi
  if [ $((SECONDS - start)) -ge "$boot_limit" ]; then
    stop_guest
    fail "the guest did not come up within $boot_limit s"
  fi
  sleep 0.5
done
# The command's output as it comes; tail ends with the guest.
tail --pid="$pid" -n +1 -F "$results/output" 2>/dev/null &
tail_pid=$!
while kill -0 "$pid" 2>/dev/null; do
  if [ $((SECONDS - start)) -ge "$time_limit" ]; then
    stop_guest
    wait "$tail_pid" 2>/dev/null || true
    fail "the command did not end within $time_limit s: $*"
  fi
  sleep 1
done
wait "$pid" 2>/dev/null || true
wait "$tail_pid" 2>/dev/null || true
trap - EXIT
status=$(cat "$results/status" 2>/dev/null || true)
[[ "$status" =~ ^[0-9]+$ ]] || fail "the guest ended without the command's exit status"
exit "$status"
