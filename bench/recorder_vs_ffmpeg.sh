#!/usr/bin/env bash
# Recording N live RTSP cameras: the core with the camera (ingest.so) and
# recorder (mediarecorder.so) plugins against N `ffmpeg -c copy` segmenting
# processes, one after the other on the same streams, ROUNDS times.
#
#   bench/recorder_vs_ffmpeg.sh BIN_DIR [CAMERAS...]     (default: 16)
#   SECONDS_PER_RUN=30 ROUNDS=2 bench/recorder_vs_ffmpeg.sh build/bin 4 8 16
#
# The streams: one 1280x720 H.264 clip at 25 frames/s, about 4 Mbit/s, served
# by tests/media/rtsp_test_server.py on 127.0.0.1 to every client from its
# start. Per run it prints the CPU seconds (user + system) and the peak
# resident memory (sum of VmHWM) of the recording processes, the frames
# recorded beside what the run's length could hold (the difference is mostly
# the time to connect), and for the core the frames its index records as
# missing within a connection (gaps: refused or dropped frames).
set -euo pipefail
bin=$(realpath "$1"); shift
cameras=("${@:-16}")
seconds=${SECONDS_PER_RUN:-30}
rounds=${ROUNDS:-2}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/recorder-bench.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

echo "== clip: $((seconds + 15)) s of 1280x720 at 25 frames/s, 4 Mbit/s (made once)"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=25" -t $((seconds + 15)) \
  -c:v libx264 -preset ultrafast -b:v 4M -maxrate 4M -bufsize 4M -g 25 -bf 0 -pix_fmt yuv420p "$work/clip.mp4"

/usr/bin/python3 "$here/tests/media/rtsp_test_server.py" --clip "$work/clip.mp4" > "$work/server.out" &
for _ in $(seq 100); do grep -q '^ready' "$work/server.out" && break; sleep 0.1; done
port=$(awk '/^ready/ {print $2}' "$work/server.out")
url="rtsp://127.0.0.1:$port/clip"

# CPU seconds and peak resident kilobytes of the processes given, read from /proc.
usage() {
  local cpu=0 rss=0 pid ticks hwm
  for pid in "$@"; do
    ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
    cpu=$((cpu + ticks)); rss=$((rss + hwm))
  done
  echo "$(echo "scale=2; $cpu / $(getconf CLK_TCK)" | bc) $rss"
}

run_core() {
  local n=$1 dir="$work/core-$1"
  rm -rf "$dir"; mkdir -p "$dir/bin/plugins" "$dir/run"
  cp "$bin/dvrcore" "$dir/bin/"
  cp "$bin/plugins/ingest.so" "$bin/plugins/mediarecorder.so" "$dir/bin/plugins/"
  for i in $(seq "$n"); do echo "$i cam$i $url transport=tcp"; done > "$dir/run/cameras.conf"
  printf 'segment_seconds=10\n%b' "${RECORDER_SETTINGS:-}" > "$dir/run/recorder.conf"
  (cd "$dir/run" && exec "$dir/bin/dvrcore" > "$dir/core.log" 2>&1) &
  local pid=$!
  sleep "$seconds"
  local measured; measured=$(usage "$pid")
  kill -TERM "$pid"; wait "$pid" || true
  local frames gaps
  frames=$(sqlite3 "$dir/run/recordings/index.sqlite" "SELECT COALESCE(SUM(frames),0) FROM segments")
  gaps=$(sqlite3 "$dir/run/recordings/index.sqlite" "SELECT COALESCE(SUM(gap_before),0) FROM segments")
  report core "$n" "$measured" "$frames" "$gaps"
}

run_ffmpeg() {
  local n=$1 dir="$work/ffmpeg-$1" pids=() i
  rm -rf "$dir"; mkdir -p "$dir"
  for i in $(seq "$n"); do
    ffmpeg -nostdin -v error -rtsp_transport tcp -i "$url" -c copy -f segment -segment_time 10 \
      -reset_timestamps 1 "$dir/cam$i-%03d.mp4" &
    pids+=($!)
  done
  sleep "$seconds"
  local measured; measured=$(usage "${pids[@]}")
  kill -INT "${pids[@]}"; wait "${pids[@]}" || true
  local frames=0 f
  for f in "$dir"/*.mp4; do
    frames=$((frames + $(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
      -of csv=p=0 "$f" 2>/dev/null || echo 0)))
  done
  report ffmpeg "$n" "$measured" "$frames" 0
}

report() {
  local who=$1 n=$2 cpu rss frames=$4 gaps=$5
  read -r cpu rss <<< "$3"
  printf '%-7s cameras=%-3d cpu=%7.2fs peak_rss=%7d KiB frames=%7d of at most %d gaps=%d\n' \
    "$who" "$n" "$cpu" "$rss" "$frames" $((n * seconds * 25)) "$gaps"
}

for n in "${cameras[@]}"; do
  for round in $(seq "$rounds"); do
    echo "== $n cameras, round $round, ${seconds}s each"
    run_core "$n"
    run_ffmpeg "$n"
  done
done
