#!/usr/bin/env bash
# Recording N live RTSP cameras: the core with the camera (ingest.so) and
# recorder (mediarecorder.so) plugins against N `ffmpeg -c copy` segmenting
# processes, one after the other on the same streams, ROUNDS times.
#
#   bench/recorder_vs_ffmpeg.sh BIN_DIR [CAMERAS...]     (default: 16)
#   SECONDS_PER_RUN=30 ROUNDS=2 bench/recorder_vs_ffmpeg.sh build/bin 4 8 16
#   bench/recorder_vs_ffmpeg.sh --find-max BIN_DIR [FROM [STEP [UPTO]]]   (default: 8 8 96)
#
# The streams: one 1280x720 H.264 clip at 25 frames/s, about 4 Mbit/s, served
# by tests/media/rtsp_test_server.py on 127.0.0.1 to every client from its
# start. Per run it prints the CPU seconds (user + system) and the peak
# resident memory (sum of VmHWM) of the recording processes, the frames
# recorded beside what the run's length could hold (the difference is mostly
# the time to connect), the fewest frames of one camera, and for the core the
# frames its index records as missing within a connection (gaps: refused or
# dropped frames). After the rounds of each count, the ratios core/ffmpeg of
# the summed CPU and peak memory.
#
# A run is without loss when no gap is recorded and every camera has at least
# the frames of its run less LATE_SECONDS (default 5: connecting under load).
# --find-max steps the camera count from FROM by STEP and, for each side,
# reports the most cameras it recorded without loss; a side stops being
# tried after its first count with loss, the search once both have.
set -euo pipefail
find_max=0
if [ "${1:-}" = --find-max ]; then find_max=1; shift; fi
bin=$(realpath "$1"); shift
if [ "$find_max" = 1 ]; then
  from=${1:-8} step=${2:-8} upto=${3:-96}
  cameras=($(seq "$from" "$step" "$upto"))
else
  cameras=("${@:-16}")
fi
seconds=${SECONDS_PER_RUN:-30}
rounds=${ROUNDS:-2}
late=${LATE_SECONDS:-5}
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
  local db="$dir/run/recordings/index.sqlite" frames gaps fewest
  frames=$(sqlite3 "$db" "SELECT COALESCE(SUM(frames),0) FROM segments")
  gaps=$(sqlite3 "$db" "SELECT COALESCE(SUM(gap_before),0) FROM segments")
  fewest=$(sqlite3 "$db" "SELECT COALESCE(MIN(f),0) FROM (SELECT SUM(frames) AS f FROM segments GROUP BY camera)")
  if [ "$(sqlite3 "$db" "SELECT COUNT(DISTINCT camera) FROM segments")" -lt "$n" ]; then
    fewest=0 # a camera without any segment recorded nothing
  fi
  report core "$n" "$measured" "$frames" "$gaps" "$fewest"
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
  local frames=0 fewest="" f count
  for i in $(seq "$n"); do
    count=0
    for f in "$dir/cam$i"-*.mp4; do
      [ -e "$f" ] || continue
      count=$((count + $(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
        -of csv=p=0 "$f" 2>/dev/null || echo 0)))
    done
    frames=$((frames + count))
    if [ -z "$fewest" ] || [ "$count" -lt "$fewest" ]; then fewest=$count; fi
  done
  report ffmpeg "$n" "$measured" "$frames" 0 "$fewest"
}

# Sums per side over the rounds of one count, and whether any run lost frames.
declare -A cpu_sum rss_sum lost
report() {
  local who=$1 n=$2 cpu rss frames=$4 gaps=$5 fewest=$6 verdict=ok
  read -r cpu rss <<< "$3"
  if [ "$gaps" -gt 0 ] || [ "$fewest" -lt $(((seconds - late) * 25)) ]; then verdict=LOSS; lost[$who]=1; fi
  cpu_sum[$who]=$(echo "${cpu_sum[$who]:-0} + $cpu" | bc)
  rss_sum[$who]=$((${rss_sum[$who]:-0} + rss))
  printf '%-7s cameras=%-3d cpu=%7.2fs peak_rss=%7d KiB frames=%7d of at most %d fewest=%d gaps=%d %s\n' \
    "$who" "$n" "$cpu" "$rss" "$frames" $((n * seconds * 25)) "$fewest" "$gaps" "$verdict"
}

declare -A best tried=([core]=1 [ffmpeg]=1)
for n in "${cameras[@]}"; do
  cpu_sum=() rss_sum=() lost=()
  for round in $(seq "$rounds"); do
    echo "== $n cameras, round $round, ${seconds}s each (load: $(cut -d' ' -f1-3 /proc/loadavg))"
    [ -n "${tried[core]}" ] && run_core "$n"
    [ -n "${tried[ffmpeg]}" ] && run_ffmpeg "$n"
  done
  if [ -n "${tried[core]}" ] && [ -n "${tried[ffmpeg]}" ] && [ "${cpu_sum[ffmpeg]}" != 0 ]; then
    printf 'ratio   cameras=%-3d cpu=%.2f peak_rss=%.2f (core/ffmpeg, %d rounds)\n' "$n" \
      "$(echo "scale=4; ${cpu_sum[core]} / ${cpu_sum[ffmpeg]}" | bc)" \
      "$(echo "scale=4; ${rss_sum[core]} / ${rss_sum[ffmpeg]}" | bc)" "$rounds"
  fi
  [ "$find_max" = 1 ] || continue
  for who in core ffmpeg; do
    [ -n "${tried[$who]}" ] || continue
    if [ -n "${lost[$who]:-}" ]; then tried[$who]=""; else best[$who]=$n; fi
  done
  [ -n "${tried[core]}${tried[ffmpeg]}" ] || break
done
if [ "$find_max" = 1 ]; then
  for who in core ffmpeg; do
    echo "most cameras without loss: $who ${best[$who]:-none of those tried}$([ -n "${tried[$who]}" ] && echo " (no loss up to the last count tried)")"
  done
fi
