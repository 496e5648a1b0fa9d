#!/bin/bash
# Speed of halvern batch against one halvern run per job: a corpus of 48 jobs (12 recordings of
# 40 s, cut from the example at different places, times 4 tunings), run as 48 separate
# `halvern run` processes one after another, as `halvern batch -j 1` and as `halvern batch -j 2`.
# Prints the median wall time of five runs of each and the ratios.
#
#   bench/batch_speed.sh [build dir] [repeats]      (default: build, 5)
#
# Other work on the machine skews the figures: run it on a quiet machine (see uptime).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
repeats=${2:-5}
halvern="$build/halvern"
[ -x "$halvern" ] || { echo "no $halvern: build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

example="$here/examples/speech_howl.pcm"
seconds=40
recordings=12
bytes=$((seconds * 32000))
for i in $(seq "$recordings"); do
  # The example repeated, starting i / 2 seconds in.
  { tail -c +$((i * 16000 + 1)) "$example"; for _ in $(seq $((seconds / 5))); do cat "$example"; done; } >"$work/in$i.pcm"
  truncate -s "$bytes" "$work/in$i.pcm"
done
i=0
for mask in 31 3 20 27; do
  i=$((i + 1))
  sed "1s/.*/stage_mask $mask/" "$here/examples/tuning.txt" >"$work/t$i.txt"
done
echo "input,tuning,output" >"$work/jobs.csv"
for a in $(seq "$recordings"); do
  for t in 1 2 3 4; do echo "in$a.pcm,t$t.txt,out/in${a}_t$t.pcm" >>"$work/jobs.csv"; done
done
mkdir -p "$work/out" "$work/runs"

median() {  # runs "$@" $repeats times, prints the median wall time in seconds
  for _ in $(seq "$repeats"); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }'
  done | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

separate_runs() {
  for a in $(seq "$recordings"); do
    for t in 1 2 3 4; do
      "$halvern" run -q "$work/in$a.pcm" "$work/runs/in${a}_t$t.pcm" "$work/t$t.txt"
    done
  done
}
batch() { "$halvern" batch "$work/jobs.csv" -q -j "$1" -o "$work/summary.csv"; }

runs=$(median separate_runs)
j1=$(median batch 1)
j2=$(median batch 2)
# The batch's outputs are those of the separate runs, bit for bit.
for f in "$work"/runs/*.pcm; do cmp -s "$f" "$work/out/$(basename "$f")" || { echo "differs: $f" >&2; exit 1; }; done

jobs=$((recordings * 4))
audio=$((jobs * seconds))
printf '%-28s %10s %14s\n' "$jobs jobs, $audio s of audio" "median s" "x real time"
for entry in "$jobs x halvern run:$runs" "halvern batch -j 1:$j1" "halvern batch -j 2:$j2"; do
  awk -v n="${entry%%:*}" -v t="${entry##*:}" -v s="$audio" 'BEGIN { printf "%-28s %10.3f %14.0f\n", n, t, s / t }'
done
awk -v r="$runs" -v a="$j1" -v b="$j2" 'BEGIN {
  printf "batch -j 1 / separate runs: %.3f (within 5%%: %s)\n", a / r, (a <= 1.05 * r) ? "yes" : "no"
  printf "speed-up -j 2 over -j 1:    %.2fx (at least 1.8: %s)\n", a / b, (a / b >= 1.8) ? "yes" : "no"
}'
