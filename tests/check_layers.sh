#!/bin/bash
# Checks the layers of the source tree: no file includes a header of a folder above its own, and a
# stage includes nothing of another stage. Bottom to top: fixedpoint/ and frame/; tuning/; dsp/;
# stages/; engine/; the programs (driver/, tools/); tests and benchmarks.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

rank() {
  case "$1" in
    fixedpoint/* | frame/*) echo 0 ;;
    tuning/*) echo 1 ;;
    dsp/*) echo 2 ;;
    stages/*) echo 3 ;;
    engine/*) echo 4 ;;
    driver/* | tools/*) echo 5 ;;
    *) echo 6 ;;
  esac
}

# stages/<name>/... -> <name>
stage_of() { local rest=${1#stages/}; echo "${rest%%/*}"; }

bad=0
while IFS= read -r file; do
  from=$(rank "$file")
  while IFS= read -r header; do
    to=$(rank "$header")
    if (( to > from )); then
      echo "$file includes $header, from a layer above its own" >&2
      bad=1
    elif [[ $file == stages/* && $header == stages/* && $(stage_of "$file") != $(stage_of "$header") ]]; then
      echo "$file includes $header, from another stage (shared pieces belong in dsp/)" >&2
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files '*.h' '*.cpp' 2>/dev/null || find . \( -name '*.h' -o -name '*.cpp' \) | sed 's|^\./||')
if (( bad )); then
  exit 1
fi
echo "layers: every include points to the same layer or one below"
