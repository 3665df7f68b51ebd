#!/usr/bin/env bash
# Runs the soak program of a build against this machine's camera-sim: a
# simulator with four cameras per kind count, and a copy of the program in a
# folder of its own (its configuration file sits beside it), under wine for a
# Windows build (32-bit wine for i686).
#
#   bench/soak.sh BUILD_DIR CAMERA_SIM OUT_DIR [soak options...]
#
# e.g. bench/soak.sh build build/bin/camera-sim out/soak --minutes 60 --warmup-minutes 10
#
# --no-allocator-caches (Linux, the script's own option): the program runs
# with glibc's per-thread caches off and one arena. With them on, resident
# memory and the heap in use grow for hours while each thread's cache fills
# (up to 7 free chunks of each size up to 1 KiB per thread, counted by glibc
# as in use) and the arenas settle; without them what grows is what the
# process really holds.
# The program's report ends its output (OUT_DIR/soak.out); its samples are in
# OUT_DIR/samples.csv, the driver's lines in OUT_DIR/driver.log. The exit
# status is the program's: 0 when the run held.
set -Eeuo pipefail
trap 'status=$?; echo "soak.sh: failed (status $status): $BASH_COMMAND" >&2' ERR

build=$(cd "$1" && pwd)
sim=$2
out=$3
shift 3
per_kind=8
allocator_caches=1
args=()
for ((i = 1; i <= $#; i++)); do
  if [ "${!i}" = --no-allocator-caches ]; then
    allocator_caches=0
    continue
  fi
  args+=("${!i}")
  if [ "${!i}" = --per-kind ]; then
    next=$((i + 1))
    per_kind=${!next}
  fi
done
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)

program=$build/bin/soak
run=()
if [ -f "$build/bin/soak.exe" ]; then
  program=$build/bin/soak.exe
  . "$(dirname "$0")/../tests/e2e/windows/wine-loader.sh"
  run=("$(wine_loader_for "$program")")
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
  "$(dirname "$0")/../tests/e2e/windows/prepare-wine-prefix.sh"
  cp "$build"/bin/*.dll "$out/"
fi
cp "$program" "$out/"

cameras=$((4 * per_kind))
. "$(dirname "$0")/camera-sim.sh"
start_camera_sim "$sim" "$cameras" "$out/sim.log"
http=$(sim_http_port 1)
rtsp=$(sim_rtsp_port 1)

out_arg=$out
[ ${#run[@]} -gt 0 ] && out_arg="Z:${out//\//\\}"
environment=()
if [ "$allocator_caches" -eq 0 ]; then
  environment=(GLIBC_TUNABLES=glibc.malloc.tcache_count=0:glibc.malloc.arena_max=1)
  echo "soak.sh: glibc's per-thread caches off, one arena (${environment[0]})" | tee "$out/soak.out"
fi
status=0
(cd "$out" && env "${environment[@]}" "${run[@]}" "./$(basename "$program")" --address 127.0.0.1 --http-port "$http" \
  --rtsp-port "$rtsp" --user admin --password pw --out "$out_arg" "${args[@]}") 2>&1 | tee -a "$out/soak.out" ||
  status=$?
exit "$status"
