#!/usr/bin/env bash
# End to end under wine: the Windows capture-host.exe and the Microsoft-ABI
# host record from this machine's camera-sim on loopback (an i686 build under
# 32-bit wine, an x86_64 one under wine64, in the same kind of prefix).
#   run-under-wine.sh WINDOWS_BUILD_DIR CAMERA_SIM OUT_DIR
# Motion JPEG, then H.264 in each RTP mode (UDP, TCP, interleaved), all with
# Digest; then four cameras at once over UDP. Every picture the simulator
# sent (its /sim/state counts them) must be in the recording, and ffmpeg must
# decode every file without an error.
set -Eeuo pipefail
trap 'status=$?; echo "run-under-wine.sh: failed (status $status): $BASH_COMMAND" >&2' ERR

build=$(cd "$1" && pwd)
sim=$2
out=$3
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)

. "$(dirname "$0")/wine-loader.sh"
wine=$(wine_loader_for "$build/bin/capture-host.exe")
[ -x "$wine" ] || { echo "run-under-wine.sh: no wine loader at $wine (an i686 build needs wine32:i386)" >&2; exit 1; }
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
"$(dirname "$0")/prepare-wine-prefix.sh"
# One wine session for every program below, ended at exit.
"$(dirname "$0")/start-wine-session.sh"
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
winpath() { echo "Z:${1//\//\\}"; }

sim_pids=()
cleanup() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT

# start_sim LOG ARGS...: starts camera-sim; its "camera N:" lines are in LOG.
start_sim() {
  local log=$1
  shift
  "$sim" "$@" >"$log" 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 1 100); do
    grep -q '^camera 1:' "$log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "camera-sim did not start:" >&2
  cat "$log" >&2
  exit 1
}
http_port() { sed -nE "s|^camera $2: http://127\.0\.0\.1:([0-9]+)/.*|\1|p" "$1"; }
rtsp_port() { sed -nE "s|^camera $2: .*rtsp://127\.0\.0\.1:([0-9]+)/.*|\1|p" "$1"; }
state() { curl -s "http://127.0.0.1:$1/sim/state"; }
# Debian's interpreter, not a shim on PATH: pyenv's starts some 250
# processes each time, 9 s under an emulated processor.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
json() { "$python" -c "import json,sys; d=json.load(sys.stdin); print($1)"; }
# session PORT: "PICTURES TRANSPORT LOGIN" of the camera's newest RTSP
# session, LOGIN the scheme of its last request's Authorization ("-": none).
session() {
  state "$1" | "$python" -c '
import json, sys
s = json.load(sys.stdin)["rtsp_sessions"][-1]
print(s["pictures_sent"], s["transport"], (s["requests"][-1]["authorization"] or "-").split()[0])'
}

# host_dir NAME MODE: capture-host.exe and the DLL beside their own
# configuration file (the driver reads it from the host's directory).
host_dir() {
  local dir=$out/$1
  mkdir -p "$dir"
  cp "$build/bin/capture-host.exe" "$build/bin/QuellonIPCapture.dll" "$dir/"
  printf '<Configuration><Device><RTPMode>%s</RTPMode></Device></Configuration>\n' "$2" >"$dir/QuellonIPCapture.xml"
  echo "$dir"
}

recorded() { tail -n +2 "$1" | grep -c . || true; }

check_decodes() {
  local file=$1 format=$2
  if ! ffmpeg -v error -nostdin -f "$format" -i "$file" -f null - 2>"$file.ffmpeg.log" || [ -s "$file.ffmpeg.log" ]; then
    fail "ffmpeg could not decode $file: $(head -3 "$file.ffmpeg.log")"
  fi
}

start_sim "$out/sim-digest.log" --auth digest --user admin --password pw --cameras 4
port=$(http_port "$out/sim-digest.log" 1)
rtsp=$(rtsp_port "$out/sim-digest.log" 1)
# Under an emulated processor (KESTRUM_EMULATED_CPU=1: the virtual machine
# of tests/e2e/vm) each step takes 10 to 20 times as long: a session over UDP
# comes up only after its port probe (2 s here) took 4, and the camera hears
# the host's stop that much later. There the recordings are longer, and the
# pictures sent in the half second before the camera heard the stop may be
# missing from them.
seconds=6 four_seconds=8
if [ "${KESTRUM_EMULATED_CPU:-0}" = 1 ]; then seconds=12 four_seconds=14; fi
# late FPS: the pictures at FPS a second that may be sent after the stop.
late() { if [ "${KESTRUM_EMULATED_CPU:-0}" = 1 ]; then echo $(($1 / 2)); else echo 0; fi; }
record_args=(--address 127.0.0.1 --user admin --password pw --width 640 --height 480 --quality 70
  --resolutions "640x480;1280x720;1920x1080;320x240" --firmware 2.4.1)

# The simulator encodes a loop of pictures the first time a stream asks for
# its size, quality and rate, which under an emulated processor (the virtual
# machine of tests/e2e/vm) takes longer than a recording below: this
# machine's own capture-host asks for each of them first, until a picture
# comes, so that the recordings measure the driver, not the encoder.
linux_host=$(dirname "$sim")/capture-host
warm_up() {
  local kind=$1 fps=$2 tries
  for tries in 1 2 3 4 5 6; do
    rm -rf "$out/warm-up"
    "$linux_host" record "${record_args[@]}" --port "$port" --rtsp-port "$rtsp" --kind "$kind" --fps "$fps" \
      --seconds 5 --out "$out/warm-up" >"$out/warm-up-$kind-$fps.log" 2>&1 || true
    [ "$(recorded "$out/warm-up/channel1.csv" 2>/dev/null)" -gt 0 ] 2>/dev/null && return 0
  done
  fail "the simulator sent no $kind pictures at $fps a second to this machine's capture-host within 30 s: $(tail -3 "$out/warm-up-$kind-$fps.log")"
}
if [ -x "$linux_host" ]; then
  warm_up mjpeg 10
  warm_up h264 25
  warm_up h264 10
fi

echo "== Motion JPEG with Digest"
dir=$(host_dir mjpeg rtpoverudp)
before=$(state "$port" | json "d['counters']['pictures_sent']")
(cd "$dir" && "$wine" ./capture-host.exe record "${record_args[@]}" --port "$port" --rtsp-port "$rtsp" --kind mjpeg \
  --seconds "$seconds" --fps 10 --out "$(winpath "$dir/rec")" >"$dir/host.log" 2>&1) || fail "capture-host mjpeg: $(tail -3 "$dir/host.log")"
sleep 1
sent=$(($(state "$port" | json "d['counters']['pictures_sent']") - before))
got=$(recorded "$dir/rec/channel1.csv")
echo "mjpeg: $got recorded of $sent sent"
# The simulator counts a picture as sent once it is written to the
# connection: the one on its way when the channel closed the stream, and one
# more already in the socket buffers then, never reach the host.
if [ "$sent" -lt 30 ] || [ "$got" -lt $((sent - 2 - $(late 10))) ] || [ "$got" -gt "$sent" ]; then
  fail "mjpeg: $got pictures recorded of $sent sent"
fi
check_decodes "$dir/rec/channel1.mjpeg" mjpeg

for mode in rtpoverudp rtpovertcp rtpoverrtsp; do
  echo "== H.264, $mode, with Digest"
  dir=$(host_dir "h264-$mode" "$mode")
  (cd "$dir" && "$wine" ./capture-host.exe record "${record_args[@]}" --port "$port" --rtsp-port "$rtsp" --kind h264 \
    --seconds "$seconds" --fps 25 --out "$(winpath "$dir/rec")" >"$dir/host.log" 2>&1) ||
    fail "capture-host h264 $mode: $(tail -3 "$dir/host.log")"
  sleep 1
  read -r sent transport auth <<<"$(session "$port")"
  got=$(recorded "$dir/rec/channel1.csv")
  echo "h264 $mode: $got recorded of $sent sent over $transport; the last request's login: $auth"
  if [ "$sent" -lt 25 ] || [ "$got" -lt $((sent - 1 - $(late 25))) ] || [ "$got" -gt "$sent" ]; then
    fail "h264 $mode: $got access units recorded of $sent sent"
  fi
  case "$mode" in
    rtpoverudp) [ "$transport" = udp ] || fail "h264 $mode went over $transport" ;;
    *) [ "$transport" = interleaved ] || fail "h264 $mode went over $transport" ;;
  esac
  [ "$auth" = Digest ] || fail "h264 $mode: the RTSP requests carried no Digest login"
  check_decodes "$dir/rec/channel1.h264" h264
done

echo "== four cameras at once, H.264 over UDP"
ports=() rtsps=()
for n in 1 2 3 4; do
  ports+=("$(http_port "$out/sim-digest.log" "$n")")
  rtsps+=("$(rtsp_port "$out/sim-digest.log" "$n")")
done
dir=$(host_dir four-cameras rtpoverudp)
(cd "$dir" && "$wine" ./capture-host.exe record "${record_args[@]}" --port "$(IFS=,; echo "${ports[*]}")" \
  --rtsp-port "$(IFS=,; echo "${rtsps[*]}")" --kind h264 --seconds "$four_seconds" --fps 10 --out "$(winpath "$dir/rec")" \
  >"$dir/host.log" 2>&1) || fail "capture-host four cameras: $(tail -3 "$dir/host.log")"
sleep 1
for n in 0 1 2 3; do
  p=${ports[$n]}
  read -r sent transport _ <<<"$(session "$p")"
  got=$(recorded "$dir/rec/port$p/channel1.csv")
  echo "camera $p: $got recorded of $sent sent over $transport"
  if [ "$sent" -lt 30 ] || [ "$got" -lt $((sent - 1 - $(late 10))) ] || [ "$got" -gt "$sent" ] ||
    [ "$transport" != udp ]; then
    fail "camera $p: $got access units recorded of $sent sent over $transport"
  fi
  check_decodes "$dir/rec/port$p/channel1.h264" h264
done

echo "== the Microsoft-ABI host"
if [ -f "$build/bin/msabi_host.exe" ]; then
  start_sim "$out/sim-open.log"
  port=$(http_port "$out/sim-open.log" 1)
  rtsp=$(rtsp_port "$out/sim-open.log" 1)
  # The DLL loaded by its path, then its exports linked through the import
  # library; stream kinds 1 (Motion JPEG) and 3 (H.264) each.
  for how in "$(winpath "$build/bin/QuellonIPCapture.dll")" linked; do
    name=${how##*\\}
    for kind in 1 3; do
      log=$out/msabi-$kind-$name.log
      if (cd "$build/bin" && "$wine" ./msabi_host.exe "$how" 127.0.0.1 "$port" "$rtsp" "$kind" >"$log" 2>&1); then
        echo "kind $kind, $name: $(head -1 "$log")"
      else
        fail "Microsoft-ABI host, stream kind $kind, $name: $(cat "$log")"
      fi
    done
  done
else
  fail "msabi_host.exe was not built (clang missing?)"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; the logs are in $out" >&2
  exit 1
fi
echo "all recordings complete and decodable; the logs are in $out"
