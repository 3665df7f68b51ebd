# Sourced by the benchmark scripts: start_camera_sim SIM CAMERAS LOG starts
# camera-sim with CAMERAS cameras (Digest, admin/pw) and waits until it has
# named them all in LOG; sets sim_pid. sim_http_port N and sim_rtsp_port N
# read camera N's ports from LOG. A simulator that does not start ends the
# script with its output. The simulator is stopped when the script exits.
sim_pid=
stop_camera_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
start_camera_sim() {
  local sim=$1 cameras=$2
  sim_log=$3
  trap stop_camera_sim EXIT
  "$sim" --cameras "$cameras" --auth digest --user admin --password pw >"$sim_log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 300); do
    grep -q "^camera $cameras:" "$sim_log" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q "^camera $cameras:" "$sim_log" || { echo "camera-sim did not start:" >&2; cat "$sim_log" >&2; exit 1; }
}
sim_http_port() { sed -nE "s|^camera $1: http://127\.0\.0\.1:([0-9]+)/.*|\1|p" "$sim_log"; }
sim_rtsp_port() { sed -nE "s|^camera $1: .*rtsp://127\.0\.0\.1:([0-9]+)/.*|\1|p" "$sim_log"; }
