#!/usr/bin/env bash
# The i686 part of the test command as one job, so that a virtual machine
# can run it whole where this machine's kernel starts no 32-bit program:
# 32-bit wine's check, the unit-test programs of build-win32 (ctest), and
# the recordings and the Microsoft-ABI host (run-under-wine.sh).
#   test-i686.sh RESULTS_DIR WINE32_LOADER CAMERA_SIM JOBS   (WINEPREFIX set)
# Step STEP leaves RESULTS_DIR/STEP.log and RESULTS_DIR/STEP.status (its
# exit status); a step after a check that failed is not run and leaves
# neither. Exits 0 once the steps have run, whatever their outcome.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
results=$1 wine32=$2 sim=$3 jobs=$4
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=-all
mkdir -p "$results"
for step in check ctest recording; do rm -f "$results/$step.log" "$results/$step.status"; done

# step NAME COMMAND...: runs it with its output in NAME.log, then its status.
step() {
  local name=$1 status=0
  shift
  "$@" >"$results/$name.log" 2>&1 || status=$?
  echo "$status" >"$results/$name.status"
  return "$status"
}

"$here/prepare-wine-prefix.sh" >"$results/prefix.log" 2>&1 || {
  echo 1 >"$results/check.status"
  cat "$results/prefix.log" >"$results/check.log"
  exit 0
}
# One wine session for the whole job, ended at exit.
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
trap '"$wineserver" -k 2>/dev/null || true' EXIT
step check bash -c '"$1" && exec "$2" "$3" "$4"' check "$here/start-wine-session.sh" "$here/check-wine32.sh" \
  "$wine32" "$root/build-win32/bin/capture-host.exe" || exit 0
# As under wine64: a wine process that now and then outlives its program is
# run once more after a time-out, and the test command names it.
step ctest bash -c 'cd "$1" && exec ctest --output-on-failure -j "$2" --repeat after-timeout:2' \
  ctest "$root/build-win32" "$jobs"
step recording "$here/run-under-wine.sh" "$root/build-win32" "$sim" "$results/recording"
exit 0
