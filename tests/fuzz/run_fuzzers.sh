#!/bin/bash
# Runs each fuzz target for a bounded time, starting from the committed seed corpus (which is
# not modified: new inputs go to a scratch folder). A crash, sanitizer report or failed check
# fails the run and leaves the input that caused it in the work folder.
#
#   run_fuzzers.sh <build dir with the fuzz targets> <seconds per target> [work dir]
set -euo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
work=${3:-$build/fuzz-work}
mkdir -p "$work"
for target in fuzz_tuning fuzz_engine; do
  corpus=${target#fuzz_}
  scratch="$work/$corpus"
  mkdir -p "$scratch"
  echo "== $target for ${seconds}s"
  (cd "$work" && "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=16384 \
     -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 "$scratch" "$here/corpus/$corpus")
done
