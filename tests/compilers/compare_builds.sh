#!/bin/bash
# Builds the engine with g++ and clang++, each at -O0 and -O3, runs the test matrix through every
# build and checks that all of them print exactly the recorded golden hashes: the same input and
# tuning give the same output bits whatever compiler and optimisation built the engine. These
# builds are tuned for this machine's processor (the default); one more g++ -O3 build is left
# portable (HALVERN_NATIVE=OFF), so that both forms of the vectorised code are checked.
# A compiler that is not installed is skipped with a notice; the script then exits with 77, which
# CTest reports as a skipped test (apt-get install clang brings clang++).
#
#   compare_builds.sh <source dir> <work dir>
set -euo pipefail
src=$1
work=$2
golden="$src/tests/golden/hashes.txt"
status=0
skipped=0
mkdir -p "$work"
for variant in g++:O0:ON g++:O3:ON clang++:O0:ON clang++:O3:ON g++:O3:OFF; do
  IFS=: read -r compiler level native <<<"$variant"
  if ! command -v "$compiler" >/dev/null; then
    echo "SKIPPED: $compiler is not installed; its builds are not checked"
    skipped=1
    continue
  fi
  name="$compiler-$level"
  if [ "$native" = OFF ]; then name="$name-portable"; fi
  build="$work/$name"
  cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="-$level" -DHALVERN_NATIVE="$native" -DHALVERN_TESTS=OFF \
    -DHALVERN_BENCH=OFF >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
  cmake --build "$build" -j2 --target halvern-matrix >"$build.build.log" 2>&1 \
    || { cat "$build.build.log"; exit 1; }
  "$build/tests/matrix/halvern-matrix" "$src/examples/speech_howl.pcm" >"$build.hashes"
  if diff -q "$golden" "$build.hashes" >/dev/null; then
    echo "$name: $(wc -l <"$build.hashes") outputs identical to the golden hashes"
  else
    echo "$name: outputs differ from the golden hashes:"
    diff "$golden" "$build.hashes" | head -20
    status=1
  fi
done
if [ "$status" = 0 ] && [ "$skipped" = 1 ]; then exit 77; fi
exit $status
