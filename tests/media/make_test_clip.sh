#!/bin/sh
# Makes a short test clip with the ffmpeg command: a moving test pattern at
# 25 frames/s, no B-frames, a key frame every GOP frames.
#
#   make_test_clip.sh OUT [SECONDS] [GOP] [CODEC] [SIZE]
#
# CODEC is h264 (x264, default) or h265 (x265); SIZE is WIDTHxHEIGHT
# (default 320x240); the container follows OUT's extension (.mp4, .ts, ...).
# Tests and the demo make their media with it; none is kept in the repository.
set -eu
out=$1
seconds=${2:-2}
gop=${3:-25}
size=${5:-320x240}
case ${4:-h264} in
  h264) encoder="-c:v libx264 -x264-params keyint=$gop:min-keyint=$gop:scenecut=0" ;;
  h265) encoder="-c:v libx265 -tag:v hvc1 -x265-params keyint=$gop:min-keyint=$gop:scenecut=0:log-level=error" ;;
  *) echo "make_test_clip.sh: codec must be h264 or h265" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
exec ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size:rate=25" -t "$seconds" \
  $encoder -g "$gop" -bf 0 -pix_fmt yuv420p "$out"
