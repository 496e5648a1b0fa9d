#!/bin/bash
# Whole-program speed: seconds of audio processed per second of wall time, on a 10-minute input
# (the example recording repeated), median of five runs, with all five stages on and with each
# stage alone (the example tuning with its stage mask changed).
#
#   bench/program_speed.sh [build dir]      (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
sim="$build/halvern-sim"
[ -x "$sim" ] || { echo "no $sim: build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

example="$here/examples/speech_howl.pcm"
example_bytes=$(stat -c %s "$example")
repeats=$(( (600 * 32000 + example_bytes - 1) / example_bytes ))
for _ in $(seq "$repeats"); do cat "$example"; done | head -c $((600 * 32000)) >"$work/input.pcm"
seconds=600

median_run() {  # prints the median wall time of five runs, in seconds
  local tuning=$1
  for _ in 1 2 3 4 5; do
    local start end
    start=$(date +%s.%N)
    "$sim" "$work/input.pcm" "$work/output.pcm" "$tuning" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }' 
  done | sort -g | sed -n 3p
}

printf '%-12s %10s %14s\n' "stages" "median s" "x real time"
for entry in all:31 highpass:1 dynamics:2 equalizer:4 suppressor:16 dither:8; do
  name=${entry%%:*}
  mask=${entry##*:}
  sed "1s/.*/stage_mask $mask/" "$here/examples/tuning.txt" >"$work/tuning.txt"
  t=$(median_run "$work/tuning.txt")
  awk -v n="$name" -v t="$t" -v s="$seconds" 'BEGIN { printf "%-12s %10.3f %14.0f\n", n, t, s / t }' 
done
