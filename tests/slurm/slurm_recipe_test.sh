#!/bin/bash
# The README's Slurm job-array recipe, as written there, on a one-node Slurm started by
# scripts/slurm-local.sh: the shards' merged summary and every output must be byte for byte those
# of one local batch of the same manifest. When Slurm cannot start (not root, packages missing),
# the test says why and exits with 77, which CTest reports as a skipped test. Slurm is stopped at
# the end whatever happens.
#
#   slurm_recipe_test.sh <halvern> <source dir> <work dir>
set -euo pipefail
halvern=$1
src=$2
work=$3
readme=$src/README.md
RECIPE_TIMEOUT=300  # seconds for the whole array and the merge

# The indented code block of the README whose first line is $1, without its indent.
readme_block() {
  awk -v first="$1" '
    /^    / { line = substr($0, 5)
              if (!inside) { inside = 1; taking = line == first }
              if (taking) print line
              next }
    { if (taking) exit; inside = 0 }' "$readme"
}

rm -rf "$work"
mkdir -p "$work"
cd "$work"
readme_block '#!/bin/bash' >shards.sh
readme_block 'sbatch --wait shards.sh' >submit.sh
if ! grep -q '^#SBATCH --array' shards.sh || ! grep -q 'halvern batch --merge' submit.sh; then
  echo "README.md: the Slurm recipe (a '#!/bin/bash' block with #SBATCH lines, then a block" \
       "starting 'sbatch --wait shards.sh') is not where this test looks" >&2
  exit 1
fi

# 24 jobs: 6 slices of the example recording, each with 4 tunings, to raw and WAV outputs.
cp "$src/examples/tuning.txt" all.txt
sed 's/^stage_mask .*/stage_mask 2/' all.txt >dyn.txt
sed 's/^stage_mask .*/stage_mask 29/' all.txt >nodyn.txt
sed 's/^stage_mask .*/stage_mask 8/' all.txt >sup.txt
echo "name,input,tuning,output" >corpus.csv
for i in 0 1 2 3 4 5; do
  head -c $((i * 64000 + 64000 + 2 * i)) "$src/examples/speech_howl.pcm" |
    tail -c $((64000 + 2 * i)) >"in$i.pcm"
  for t in all dyn nodyn sup; do
    extension=.pcm
    [[ $t == dyn || $t == sup ]] && extension=.wav
    echo "s${i}_$t,in$i.pcm,$t.txt,out/s${i}_$t$extension" >>corpus.csv
  done
done

# One local batch: the expected summary and outputs.
"$halvern" batch corpus.csv -q -o local.csv
mv out local_out

export HALVERN_SLURM_DIR
HALVERN_SLURM_DIR=$(mktemp -d /var/tmp/halvern-slurm-test.XXXXXX)
chmod 0755 "$HALVERN_SLURM_DIR"
finish() {
  "$src/scripts/slurm-local.sh" stop || true
  rm -rf "$HALVERN_SLURM_DIR"
}
trap finish EXIT
trap 'exit 1' INT TERM
if ! "$src/scripts/slurm-local.sh" start >slurm-start.log 2>&1; then
  echo "SKIPPED: Slurm cannot start on this machine:"
  cat slurm-start.log
  exit 77
fi
cat slurm-start.log

export SLURM_CONF=$HALVERN_SLURM_DIR/slurm.conf
PATH=$(cd "$(dirname "$halvern")" && pwd):$PATH
status=0
timeout "$RECIPE_TIMEOUT" bash submit.sh || status=$?
if [[ $status -ne 0 ]]; then
  echo "the recipe failed (status $status):" >&2
  cat submit.sh slurm-*.out >&2 2>/dev/null || true
  exit 1
fi
cmp local.csv summary.csv
diff -r local_out out
outputs=(out/*)
echo "the Slurm job array's merged summary and its ${#outputs[@]} outputs are those of one" \
     "local batch"
