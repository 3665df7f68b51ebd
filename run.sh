#!/usr/bin/env bash
# Set-up and main commands of the QuellonIPCapture project.
#   ./run.sh demo   build if needed and run the demo
#   ./run.sh test   build and run every test: Release (GCC), ASan+UBSan, ThreadSanitizer,
#                   a clang Release build of everything and its fuzz targets, and
#                   the Windows DLLs (x86_64 under wine64, i686 under 32-bit wine)
# Both install what they need with apt-get on a fresh Debian machine.
#   ./run.sh packages   only the package step (the tests use it with
#                       KESTRUM_PACKAGES, KESTRUM_POLICY_RC and a fake apt-get)
set -Eeuo pipefail
# Whatever fails says so, instead of ending the script without a word.
trap 'status=$?; echo "run.sh: failed (status $status): $BASH_COMMAND" >&2' ERR

cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# Debian packages the build, the tests and the tools need.
PACKAGES=(
  cmake ninja-build g++ binutils pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libpugixml-dev
  lighttpd lighttpd-mod-openssl openssl
  libmicrohttpd-dev libturbojpeg0-dev libx264-dev nlohmann-json3-dev ffmpeg
  clang libclang-rt-14-dev
  libgstrtspserver-1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
)
# Only the tests need these: the Windows cross-build, its library sources and
# wine, 64-bit and 32-bit (the i686 DLL is a 32-bit recorder's); qemu,
# busybox and cpio for the virtual machine that runs 32-bit programs where
# this machine's kernel does not (its kernel is downloaded, see cmd_test).
TEST_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix dpkg-dev make wine64 wine32:i386 curl python3
  qemu-system-x86 busybox-static cpio)
if [ -n "${KESTRUM_PACKAGES:-}" ]; then
  read -r -a PACKAGES <<<"$KESTRUM_PACKAGES"
  TEST_PACKAGES=()
fi
POLICY_RC=${KESTRUM_POLICY_RC:-/usr/sbin/policy-rc.d}

log() { printf '\n== %s\n' "$*"; }

ensure_packages() {
  local missing=()
  for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    # Packages of another architecture (wine32:i386) need it known to dpkg
    # before the package lists are read; added once, kept after.
    local pkg arch
    for pkg in "${missing[@]}"; do
      [[ "$pkg" == *:* ]] || continue
      arch=${pkg##*:}
      if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        log "adding the $arch architecture"
        $sudo dpkg --add-architecture "$arch"
      fi
    done
    # A list that cannot be read (a mirror in mid-sync) need not stop the
    # install: what the other lists name may be enough, and apt-get install
    # says so if not.
    local update_output update_status=0
    update_output=$($sudo apt-get update -qq 2>&1) || update_status=$?
    if [ "$update_status" -ne 0 ]; then
      echo "run.sh: warning: apt-get update could not read every package list (status $update_status):" >&2
      grep -E '^(E|W|Err):' <<<"$update_output" >&2 || printf '%s\n' "$update_output" >&2
    fi
    # Servers we install only serve the tests; keep their packages from
    # starting them as system services, unless a policy already says so.
    local policy=$POLICY_RC created_policy=""
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
      $sudo chmod 755 "$policy"
      created_policy=1
    fi
    local installed=0
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || installed=$?
    # A suite whose list of one architecture was not read offers newer
    # versions for the others, and packages that must match across
    # architectures (libc6 and libc6:i386) then cannot be installed. Without
    # that suite the versions match again: try once more without it.
    local suites
    suites=$(sed -nE 's|.*Failed to fetch [^ ]*/dists/([^/ ]+)/.*|\1|p' <<<"${update_output:-}" | sort -u)
    if [ "$installed" -ne 0 ] && [ -n "$suites" ]; then
      local pin
      pin=$(mktemp)
      for suite in $suites; do printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n\n' "$suite"; done >"$pin"
      log "installing again without the suites whose lists could not be read: $(echo $suites)"
      installed=0
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -o Dir::Etc::Preferences="$pin" "${missing[@]}" || installed=$?
      rm -f "$pin"
    fi
    if [ -n "$created_policy" ]; then $sudo rm -f "$policy"; fi
    if [ "$installed" -ne 0 ]; then
      echo "run.sh: apt-get could not install: ${missing[*]}" >&2
      return "$installed"
    fi
  fi
  return 0
}

# configure_and_build DIR [cmake options...]
configure_and_build() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$ROOT/$dir" -j "$JOBS"
}

TOTAL_PASSED=0
TOTAL_FAILED=0
FAILED_NAMES=()
RETRIED_NAMES=()
# Tests this machine cannot run at all; named at the end, not failed.
NOT_RUN_NAMES=()

# One test outside ctest passed, or failed under NAME.
count_passed() { TOTAL_PASSED=$((TOTAL_PASSED + 1)); }
count_failed() {
  TOTAL_FAILED=$((TOTAL_FAILED + 1))
  FAILED_NAMES+=("$1")
}

# run_ctest NAME DIR [ctest options...]: runs and adds to the totals.
run_ctest() {
  local name=$1 dir=$2
  shift 2
  log "tests: $name"
  local output status=0
  output=$(cd "$ROOT/$dir" && ctest --output-on-failure -j "$JOBS" "$@" 2>&1) || status=$?
  count_ctest "$name" "$status" "$output"
}

# count_ctest NAME STATUS OUTPUT: shows what ctest printed but the passed
# tests, and adds its counts to the totals.
count_ctest() {
  local name=$1 status=$2 output=$3
  printf '%s\n' "$output" | grep -v -E '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' || true
  local summary passed failed total
  summary=$(printf '%s\n' "$output" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' | tail -1)
  if [ -z "$summary" ]; then
    echo "ctest printed no summary for $name" >&2
    count_failed "$name: ctest printed no summary"
    return
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((total - failed))
  if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
  # ctest lists the failed tests after "The following tests FAILED:".
  local names
  names=$(printf '%s\n' "$output" | sed -n '/The following tests FAILED:/,$p' |
    sed -nE 's/^[[:space:]]*[0-9]+ - (.*)$/\1/p')
  if [ -n "$names" ]; then
    while IFS= read -r line; do FAILED_NAMES+=("$name: $line"); done <<<"$names"
  elif [ "$failed" -gt 0 ]; then
    FAILED_NAMES+=("$name: ctest exited with status $status")
  fi
  # Tests that timed out once and passed when run again (see test_windows).
  local timed_out
  timed_out=$(printf '%s\n' "$output" | sed -nE 's/^.*Test +#[0-9]+: ([^ ]+) \.+\*\*\*Timeout.*$/\1/p' | sort -u)
  if [ -n "$timed_out" ]; then
    while IFS= read -r line; do
      grep -qxF "$line" <<<"$names" || RETRIED_NAMES+=("$name: $line")
    done <<<"$timed_out"
  fi
  TOTAL_PASSED=$((TOTAL_PASSED + passed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
}

# run_check NAME COMMAND...: one test outside ctest, added to the totals.
run_check() {
  local name=$1
  shift
  log "tests: $name"
  if "$@"; then count_passed; else count_failed "$name"; fi
}

# The wine server of $WINEPREFIX (Debian keeps it off the PATH).
wine_server() {
  local server
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  "$server" "$@"
}

# The Windows DLLs (i686 and x86_64), cross-built with mingw-w64; their unit
# tests run under wine (i686 under 32-bit wine, see test_i686), and each
# records from this machine's simulator.
test_windows() {
  local wine64 wine32 deps64 deps32
  wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
  # The 32-bit loader itself: wine64 without it "runs" an i686 program by
  # exiting 0, which would pass every test unseen.
  wine32=/usr/lib/wine/wine
  [ -x "$wine32" ] || wine32=$(command -v wine || echo "$wine32")
  log "Windows libraries from Debian's sources (cached after the first run)"
  # Both get the simulator's libraries: their unit tests run it in-process.
  deps64=$(cmake/windows/build-deps.sh x86_64 --with-simulator | tail -1)
  deps32=$(cmake/windows/build-deps.sh i686 --with-simulator | tail -1)

  log "build: Windows x86_64 (mingw-w64): the DLL, capture-host.exe, the unit tests with the simulator"
  configure_and_build build-win64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw-x86_64.cmake" \
    -DKESTRUM_WINDOWS_DEPS="$deps64" -DCMAKE_BUILD_TYPE=Release -DKESTRUM_WERROR=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$ROOT/tests/e2e/windows/wine-test.sh;$wine64"
  log "build: Windows i686 (mingw-w64): the DLL, capture-host.exe, the unit tests with the simulator"
  configure_and_build build-win32 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw-i686.cmake" \
    -DKESTRUM_WINDOWS_DEPS="$deps32" -DCMAKE_BUILD_TYPE=Release -DKESTRUM_WERROR=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$ROOT/tests/e2e/windows/wine-test.sh;$wine32"

  run_check "windows-i686: exports" tests/driver/check_dll_exports.sh "$ROOT/build-win32/bin/QuellonIPCapture.dll"
  # Many 32-bit recorders run Windows 7 SP1: a DLL that imports a newer
  # function does not load there.
  run_check "windows-x86_64: imports that Windows 7 has" python3 tests/driver/check_windows7_imports.py \
    x86_64-w64-mingw32 "$ROOT/build-win64/bin/QuellonIPCapture.dll" "$ROOT/build-win64/bin/capture-host.exe"
  run_check "windows-i686: imports that Windows 7 has" python3 tests/driver/check_windows7_imports.py \
    i686-w64-mingw32 "$ROOT/build-win32/bin/QuellonIPCapture.dll" "$ROOT/build-win32/bin/capture-host.exe"
  run_check "windows: vtable layouts" python3 tests/driver/msabi/compare_slots.py
  # A private wine prefix under the build folder; its server is ended after.
  export WINEPREFIX="$ROOT/build-win64/wineprefix" WINEDEBUG=-all
  run_check "windows: wine prefix" tests/e2e/windows/prepare-wine-prefix.sh
  # Now and then a wine process does not end after its program has
  # (a one-test program that passed in 3 ms hung for 120 s, busy tests
  # beside it; it did not come back in hundreds of runs): a time-out is run
  # once more, and named at the end. A program that hangs for itself hangs
  # again.
  run_ctest "windows-x86_64 (wine64)" build-win64 --repeat after-timeout:2
  run_check "windows-x86_64: recording under wine" tests/e2e/windows/run-under-wine.sh "$ROOT/build-win64" \
    "$ROOT/build/bin/camera-sim" "$ROOT/out/wine-e2e-x86_64"
  test_i686 "$wine32"
  wine_server -k 2>/dev/null || true
  unset WINEPREFIX
}

# The i686 part (32-bit wine's check, the unit-test programs, the
# recordings): natively where this machine's kernel starts 32-bit programs,
# else in a small virtual machine whose kernel does (tests/e2e/vm). Where
# neither way can run one, the part fails with the reason, or is named as
# not run with KESTRUM_REQUIRE_I686=0. KESTRUM_I686_WAY=native or vm picks
# the way.
test_i686() {
  local wine32=$1 results=$ROOT/out/i686 status=0
  log "tests: windows-i686 under 32-bit wine"
  rm -rf "$results"
  tests/e2e/vm/run-i686.sh --time-limit "${KESTRUM_I686_VM_LIMIT:-2700}" "$results" \
    tests/e2e/windows/test-i686.sh "$results" "$wine32" "$ROOT/build/bin/camera-sim" "$JOBS" || status=$?
  if [ "$status" -eq 126 ]; then
    local reason="windows-i686: the unit tests and the recording under 32-bit wine: no way to run 32-bit programs"
    reason+=" here: $(cat "$results/why-not-run" 2>/dev/null || echo "no reason given")"
    if [ "${KESTRUM_REQUIRE_I686:-1}" = 0 ]; then
      NOT_RUN_NAMES+=("$reason")
    else
      count_failed "$reason; KESTRUM_REQUIRE_I686=0 names it as not run instead"
    fi
    return
  elif [ "$status" -ne 0 ]; then
    local console=""
    [ -f "$results/console.log" ] && console="; the guest's console: $results/console.log"
    count_failed "windows-i686: the job ended with status $status$console"
  fi
  # The steps are counted as a native run counts them; a step the job did
  # not reach is a failure.
  i686_step check "windows-i686: 32-bit wine runs i686 programs"
  if [ -f "$results/ctest.status" ]; then
    log "tests: windows-i686 (wine32)"
    count_ctest "windows-i686 (wine32)" "$(cat "$results/ctest.status")" "$(cat "$results/ctest.log")"
  else
    count_failed "windows-i686 (wine32): not run"
  fi
  i686_step recording "windows-i686: recording under wine"
}

# i686_step STEP NAME: one step of the i686 job, shown and counted.
i686_step() {
  local step=$1 name=$2 results=$ROOT/out/i686
  log "tests: $name"
  [ -f "$results/$step.log" ] && cat "$results/$step.log"
  if [ "$(cat "$results/$step.status" 2>/dev/null)" = 0 ]; then
    count_passed
  elif [ -f "$results/$step.status" ]; then
    count_failed "$name"
  else
    count_failed "$name: not run"
  fi
}

cmd_test() {
  PACKAGES+=("${TEST_PACKAGES[@]}")
  ensure_packages
  # The virtual machine's kernel, downloaded once, not installed; without it
  # the tests that need the machine say why.
  log "the virtual machine's kernel and initramfs (made once)"
  tests/e2e/vm/prepare-vm.sh || echo "run.sh: warning: the virtual machine could not be prepared" >&2

  # Warnings are errors in these builds only: a user's newer compiler may
  # warn where ours does not, and must still build.
  # The test builds also end the process when a host object is called with
  # one of the library's locks held (the host may take its own lock there).
  log "build: release (GCC)"
  configure_and_build build -DCMAKE_BUILD_TYPE=Release -DKESTRUM_WERROR=ON -DKESTRUM_CHECK_HOST_CALLS=ON
  run_ctest "plain" build

  # Sanitizer reports end the test process with a failure.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  log "build: AddressSanitizer + UndefinedBehaviorSanitizer"
  configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUM_ASAN=ON -DKESTRUM_UBSAN=ON -DKESTRUM_BENCH=OFF \
    -DKESTRUM_WERROR=ON -DKESTRUM_CHECK_HOST_CALLS=ON
  run_ctest "asan+ubsan" build-asan

  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  log "build: ThreadSanitizer"
  configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DKESTRUM_TSAN=ON -DKESTRUM_BENCH=OFF -DKESTRUM_WERROR=ON \
    -DKESTRUM_CHECK_HOST_CALLS=ON
  run_ctest "tsan" build-tsan -L threads

  # Everything once more with clang, so that its warnings count too; its
  # fuzz targets (clang's libFuzzer) run 30 s each.
  log "build: release (clang) with the fuzz targets"
  CC=clang CXX=clang++ configure_and_build build-clang -DCMAKE_BUILD_TYPE=Release -DKESTRUM_WERROR=ON \
    -DKESTRUM_FUZZ=ON
  run_ctest "fuzz" build-clang -L fuzz

  test_windows

  echo
  if [ ${#FAILED_NAMES[@]} -gt 0 ]; then
    echo "failed tests, by build:"
    printf '  %s\n' "${FAILED_NAMES[@]}"
  fi
  if [ ${#RETRIED_NAMES[@]} -gt 0 ]; then
    echo "passed when run again after a time-out:"
    printf '  %s\n' "${RETRIED_NAMES[@]}"
  fi
  if [ ${#NOT_RUN_NAMES[@]} -gt 0 ]; then
    echo "NOT RUN on this machine (neither passed nor failed):"
    printf '  %s\n' "${NOT_RUN_NAMES[@]}"
  fi
  echo "total: $TOTAL_PASSED passed, $TOTAL_FAILED failed${NOT_RUN_NAMES:+, ${#NOT_RUN_NAMES[@]} not run}"
  if [ "$TOTAL_FAILED" -ne 0 ]; then exit 1; fi
}

cmd_demo() {
  ensure_packages
  # Only what the demo runs; the test command builds the rest in the same folder.
  log "build"
  cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$ROOT/build" -j "$JOBS" --target QuellonIPCapture capture-host camera-sim
  local bin="$ROOT/build/bin" out="$ROOT/out/demo-$(date +%Y%m%d-%H%M%S)"
  mkdir -p "$out"

  log "starting the camera simulator on free loopback ports"
  "$bin/camera-sim" --auth digest --user admin --password admin --inputs 2 --relays 1 \
    --toggle-inputs 3 >"$out/camera-sim.log" 2>&1 &
  SIM_PID=$!
  trap 'kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null || true' EXIT
  local line="" port=""
  for _ in $(seq 1 100); do
    line=$(grep -m1 '^camera 1:' "$out/camera-sim.log" 2>/dev/null || true)
    [ -n "$line" ] && break
    sleep 0.1
  done
  if [ -z "$line" ]; then
    echo "camera-sim did not start:" >&2
    cat "$out/camera-sim.log" >&2
    exit 1
  fi
  echo "$line"
  port=$(sed -E 's|.*http://127\.0\.0\.1:([0-9]+)/.*|\1|' <<<"$line")

  log "asking the camera what it can do (capability query)"
  "$bin/capture-host" query --address 127.0.0.1 --port "$port" --user admin --password admin | tee "$out/query.txt"
  local resolutions rtsp_port
  resolutions=$(sed -nE 's/^record options: --resolutions ([^ ]*) --rtsp-port ([0-9]*)$/\1/p' "$out/query.txt")
  rtsp_port=$(sed -nE 's/^record options: --resolutions ([^ ]*) --rtsp-port ([0-9]*)$/\2/p' "$out/query.txt")

  log "recording Motion JPEG from the simulated camera for 10 seconds"
  "$bin/capture-host" record --address 127.0.0.1 --port "$port" --user admin --password admin \
    --kind mjpeg --seconds 10 --fps 15 --width 1280 --height 720 --quality 70 \
    --resolutions "$resolutions" --rtsp-port "$rtsp_port" --firmware 2.4.1 --out "$out/mjpeg"

  log "recording H.264 over RTSP (RTP over UDP) from the simulated camera for 10 seconds"
  "$bin/capture-host" record --address 127.0.0.1 --port "$port" --user admin --password admin \
    --kind h264 --seconds 10 --fps 25 --width 1280 --height 720 --quality 70 \
    --resolutions "$resolutions" --rtsp-port "$rtsp_port" --firmware 2.4.1 --out "$out/h264"

  log "done"
  echo "recordings: $out/mjpeg (channel1.mjpeg plays with: ffplay -f mjpeg $out/mjpeg/channel1.mjpeg)"
  echo "            $out/h264 (channel1.h264 plays with: ffplay $out/h264/channel1.h264)"
  echo "indexes:    $out/mjpeg/channel1.csv $out/h264/channel1.csv"
  echo "snapshots:  $out/mjpeg/channel1.jpg $out/h264/channel1-last.h264"
  echo "query:      $out/query.txt"
}

case "${1:-}" in
  test) cmd_test ;;
  demo) cmd_demo ;;
  packages) ensure_packages ;;
  *)
    echo "usage: ./run.sh demo | test" >&2
    exit 2
    ;;
esac
