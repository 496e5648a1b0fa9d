#!/bin/bash
# Checks the layers of the source tree: no file includes a header of a folder above its own, and a
# folder includes nothing of another folder on its own floor (one stage of another, one toolkit
# library of another). Bottom to top: fixedpoint/ and frame/; tuning/; dsp/; stages/; engine/;
# the toolkit's libraries in their floors (tools/io and tools/review; tools/running and tools/loop;
# tools/report and tools/batch; tools/commands); the programs (driver/, tools/main.cpp); tests
# and benchmarks.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

rank() {
  case "$1" in
    fixedpoint/* | frame/*) echo 0 ;;
    tuning/*) echo 1 ;;
    dsp/*) echo 2 ;;
    stages/*) echo 3 ;;
    engine/*) echo 4 ;;
    tools/io/* | tools/review/*) echo 5 ;;
    tools/running/* | tools/loop/*) echo 6 ;;
    tools/report/* | tools/batch/*) echo 7 ;;
    tools/commands/*) echo 8 ;;
    driver/* | tools/*) echo 9 ;;
    *) echo 10 ;;
  esac
}

# The folder that counts as one room on a floor: stages/<name> or tools/<name>.
room_of() {
  case "$1" in
    stages/*/* | tools/*/*) local top=${1%%/*} rest=${1#*/}; echo "$top/${rest%%/*}" ;;
    *) echo "" ;;
  esac
}

bad=0
while IFS= read -r file; do
  from=$(rank "$file")
  while IFS= read -r header; do
    to=$(rank "$header")
    if (( to > from )); then
      echo "$file includes $header, from a layer above its own" >&2
      bad=1
    elif (( to == from )) && [[ -n $(room_of "$file") && $(room_of "$file") != $(room_of "$header") ]]; then
      echo "$file includes $header, from another folder on its floor (shared pieces belong a floor below)" >&2
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files '*.h' '*.cpp' 2>/dev/null || find . \( -name '*.h' -o -name '*.cpp' \) | sed 's|^\./||')
if (( bad )); then
  exit 1
fi
echo "layers: every include points to the same layer or one below"
