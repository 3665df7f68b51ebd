#!/usr/bin/env bash
# One capture-host recording many H.264 cameras (640x480 at 25 pictures/s,
# RTP over UDP) from this machine's camera-sim, as a recorder server would:
# does every camera get every access unit, and what does a camera cost the
# process in threads, address space and resident memory?
#
#   bench/many-cameras.sh BUILD_DIR CAMERA_SIM CAMERAS [SECONDS] [OUT_DIR] [FPS]
#
# BUILD_DIR is a Linux build (bin/capture-host) or a Windows one holding
# bin/capture-host.exe and bin/QuellonIPCapture.dll, run under wine
# (build-win32 for i686 under 32-bit wine, build-win64 for x86_64). A short
# run with one camera comes first: the cost of a camera is the difference
# between the two runs' peaks, divided by the cameras added. Under wine the
# address space counted is what the process has mapped below 2 GB (the
# Windows user space; wine commits thread stacks whole, so they count in
# full); on Linux it is all the process has mapped.
# Exit status 0 when every camera recorded every unit its session sent, give
# or take the one in flight when the recording stopped (2 s of them under an
# emulated processor, below).
set -Eeuo pipefail
trap 'status=$?; echo "many-cameras.sh: failed (status $status): $BASH_COMMAND" >&2' ERR

build=$(cd "$1" && pwd)
sim=$2
cameras=$3
seconds=${4:-30}
out=${5:-$build/many-cameras}
fps=${6:-25}
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)

windows=0
[ -f "$build/bin/capture-host.exe" ] && windows=1
run=()
if [ "$windows" -eq 1 ]; then
  . "$(dirname "$0")/../tests/e2e/windows/wine-loader.sh"
  run=("$(wine_loader_for "$build/bin/capture-host.exe")")
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
  "$(dirname "$0")/../tests/e2e/windows/prepare-wine-prefix.sh"
  program=capture-host.exe
  process_name=capture-host.ex
else
  program=capture-host
  process_name=capture-host
fi
outpath() { if [ "$windows" -eq 1 ]; then echo "Z:${1//\//\\}"; else echo "$1"; fi; }
# Debian's interpreter, not a shim on PATH: pyenv's starts some 250
# processes each time, which under an emulated processor outlasts the
# second between samples.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
json() { "$python" -c "import json,sys; d=json.load(sys.stdin); print($1)"; }

. "$(dirname "$0")/camera-sim.sh"
start_camera_sim "$sim" "$cameras" "$out/sim.log"
http_port() { sim_http_port "$1"; }
rtsp_port() { sim_rtsp_port "$1"; }
first_http=$(http_port 1)
first_rtsp=$(rtsp_port 1)

# The program and the driver in a folder of their own, laid out as in the
# build (on Linux the program loads ../lib/), the configuration beside the
# program.
if [ "$windows" -eq 1 ]; then
  home=$out
  cp "$build/bin/capture-host.exe" "$build/bin/QuellonIPCapture.dll" "$home/"
else
  home=$out/bin
  mkdir -p "$home" "$out/lib"
  cp "$build/bin/capture-host" "$home/"
  cp "$build"/lib/libQuellonIPCapture.so* "$out/lib/"
fi
printf '<Configuration><Device><RTPMode>rtpoverudp</RTPMode></Device></Configuration>\n' >"$home/QuellonIPCapture.xml"

# The mapped address space (below 2 GB under wine: the Windows user space),
# in KiB, without the guard pages.
mapped_kib() {
  "$python" - "$1" "$windows" <<'PY' 2>/dev/null || echo 0
import sys
limit = 1 << 31 if sys.argv[2] == "1" else 1 << 64
total = 0
for line in open(f"/proc/{sys.argv[1]}/maps"):
    span, perms = line.split()[:2]
    low, high = (int(x, 16) for x in span.split("-"))
    if perms != "---p" and low < limit:
        total += min(high, limit) - low
print(total // 1024)
PY
}
resident_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
# Nothing, and a failure, once the process is gone.
cpu_seconds() { awk '{ printf "%.1f\n", ($14 + $15) / 100 }' "/proc/$1/stat" 2>/dev/null; }

# record COUNT SECONDS NAME: records the first COUNT cameras; leaves the
# peaks in $out/NAME.peaks ("threads mapped_kib host_cpu server_cpu resident_kib").
record() {
  local count=$1 secs=$2 name=$3
  local last=$((count - 1))
  (cd "$home" && exec "${run[@]}" "./$program" record --address 127.0.0.1 --user admin --password pw --kind h264 \
    --port "$first_http-$((first_http + last))" --rtsp-port "$first_rtsp-$((first_rtsp + last))" \
    --width 640 --height 480 --fps "$fps" --quality 60 --resolutions "640x480;1280x720" --firmware 2.4.1 \
    --seconds "$secs" --out "$(outpath "$out/$name")" >"$out/$name.log" 2>&1) &
  local launcher=$! pid="" cpu threads=0 mapped=0 resident=0 peak_threads=0 peak_mapped=0 peak_resident=0 host_cpu=0
  local server_cpu=0
  while kill -0 "$launcher" 2>/dev/null; do
    # The newest of that name: wine may start the program through a helper.
    pid=$(pgrep -n -x "$process_name" || true)
    if [ -n "$pid" ] && [ -d "/proc/$pid" ]; then
      threads=$(ls "/proc/$pid/task" | wc -l)
      mapped=$(mapped_kib "$pid")
      resident=$(resident_kib "$pid")
      [ "$resident" -gt "$peak_resident" ] && peak_resident=$resident
      [ "$threads" -gt "$peak_threads" ] && peak_threads=$threads
      [ "$mapped" -gt "$peak_mapped" ] && peak_mapped=$mapped
      # The last sample that could be read: the one as the process ends may not.
      cpu=$(cpu_seconds "$pid") && host_cpu=$cpu
      if [ "$windows" -eq 1 ]; then cpu=$(cpu_seconds "$(pgrep -n wineserver || echo 0)") && server_cpu=$cpu; fi
    fi
    sleep 1
  done
  wait "$launcher" || echo "$program ended with status $? (see $out/$name.log)" >&2
  echo "$peak_threads $peak_mapped $host_cpu $server_cpu $peak_resident" >"$out/$name.peaks"
}

echo "== one camera, 10 s (the process's own cost)"
record 1 10 one
read -r one_threads one_mapped _ _ one_resident <"$out/one.peaks"
echo "peak threads $one_threads, mapped $((one_mapped / 1024)) MiB, resident $((one_resident / 1024)) MiB"

# The one-camera run's session is not the long run's.
earlier=$(curl -s "http://127.0.0.1:$first_http/sim/state" | json "len(d['rtsp_sessions'])")

echo "== $cameras cameras, $seconds s, 640x480 at $fps pictures/s"
before=$(date +%s)
record "$cameras" "$seconds" many
read -r threads mapped host_cpu server_cpu resident <"$out/many.peaks"
elapsed=$(($(date +%s) - before))
sleep 1

# Give or take the unit in flight as the recording stopped; under an emulated
# processor (KESTRUM_EMULATED_CPU=1, the virtual machine of tests/e2e/vm)
# the cameras hear their stops one after another, up to 2 s late.
slack=1
[ "${KESTRUM_EMULATED_CPU:-0}" = 1 ] && slack=$((2 * fps))
complete=0
short=()
for n in $(seq 1 "$cameras"); do
  port=$(http_port "$n")
  skip=0
  [ "$n" -eq 1 ] && skip=$earlier
  sent=$(curl -s "http://127.0.0.1:$port/sim/state" |
    json "sum(s['pictures_sent'] for s in d['rtsp_sessions'][$skip:] if s['transport'] == 'udp')")
  csv="$out/many/port$port/channel1.csv"
  got=0
  [ -f "$csv" ] && got=$(($(wc -l <"$csv") - 1))
  if [ "$sent" -gt 0 ] && [ "$got" -ge $((sent - slack)) ] && [ "$got" -le "$sent" ]; then
    complete=$((complete + 1))
  else
    short+=("$port: $got of $sent")
  fi
done

per_camera_kib=$(((mapped - one_mapped) / (cameras > 1 ? cameras - 1 : 1)))
per_camera_threads=$(awk -v a="$threads" -v b="$one_threads" -v n="$cameras" 'BEGIN { printf "%.2f", (a - b) / (n > 1 ? n - 1 : 1) }')
echo
echo "cameras with every access unit (give or take $slack at the stop): $complete of $cameras"
for line in "${short[@]:0:20}"; do echo "  short: $line"; done
[ ${#short[@]} -gt 20 ] && echo "  ... and $((${#short[@]} - 20)) more"
echo "peak threads: $threads ($per_camera_threads per camera)"
per_camera_resident_kib=$(((resident - one_resident) / (cameras > 1 ? cameras - 1 : 1)))
where=""
[ "$windows" -eq 1 ] && where=" below 2 GB"
echo "peak mapped address space$where: $((mapped / 1024)) MiB ($per_camera_kib KiB per camera)"
echo "peak resident: $((resident / 1024)) MiB ($per_camera_resident_kib KiB per camera)"
if [ "$windows" -eq 1 ]; then
  echo "CPU over the $elapsed s run: capture-host $host_cpu s, wineserver $server_cpu s"
else
  echo "CPU over the $elapsed s run: capture-host $host_cpu s"
fi
grep -E 'cannot start a thread|not enough memory' "$out/many.log" | head -5 || true
[ "$complete" -eq "$cameras" ]
