#!/usr/bin/env bash
# The demo: the workflow (workflow/Snakefile) on the 40 example structures of examples/proteins,
# from the structure files alone to cross-validated predictions and a report:
#   protnn prep, pairdist, atomdepth and depthdist per structure -> a database with the targets
#   scaled (protnn db) -> 5 folds x 4 networks, each with its own seed -> every protein
#   predicted by the networks of the fold that held it out -> predictions.tsv, report/ and
#   model/, the trained model that `protnn predict` applies to new structures.
# The targets table is made from the shipped target files, with the families of
# examples/proteins/manifest.tsv as groups, so that a fold holds out whole families.
#
# Usage: examples/demo.sh [OUTDIR]
#   OUTDIR  a new directory for everything the demo writes (default: demo-out/<date-time>
#           under the current directory).  It must not exist yet: nothing is ever overwritten.
# Settings from the environment:
#   DEMO_JOBS    jobs at a time (snakemake -j, default 2: one per core)
#   DEMO_FOLDS   cross-validation folds (default 5)
#   DEMO_NETS    networks per fold and output (default 4)
#   DEMO_BINDIR  folder of the programs (default: this checkout's build/bin, built when missing)
# Any further workflow setting: DEMO_CONFIG="key=value ...", e.g. DEMO_CONFIG='seed=21'.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
py=/usr/bin/python3

die() {
    echo "demo: $*" >&2
    exit 1
}
command -v snakemake >/dev/null || die "no snakemake: run 'make deps' (Debian package snakemake)"
[ -x $py ] || die "no $py: run 'make deps' (Debian package python3)"

# A fresh output directory: mkdir of the last component fails when it exists, so two runs
# never share one, even when started in the same second.
if [ $# -ge 1 ]; then
    out=$1
    mkdir -p -- "$(dirname -- "$out")"
    mkdir -- "$out" || die "output directory $out exists already or cannot be made; give a new one"
else
    mkdir -p demo-out
    stamp=$(date +%Y%m%d-%H%M%S)
    out=demo-out/$stamp
    n=1
    until mkdir -- "$out" 2>/dev/null; do
        n=$((n + 1))
        ((n < 100)) || die "cannot make a new directory under demo-out"
        out=demo-out/$stamp-$n
    done
fi
out=$(cd "$out" && pwd)
start=$(date +%s.%N)

echo "== protnn demo: the workflow on the example structures, everything in $out"
PYTHONPATH=$repo/python $py -m protnn targets --from-dir "$here/proteins/targets" \
    --groups "$here/proteins/manifest.tsv" -o "$out/targets.csv"
echo "== targets table $out/targets.csv (shipped target files, families as groups)"

config=(structures="$here/proteins/structures" targets="$out/targets.csv" out="$out"
    folds="${DEMO_FOLDS:-5}" networks="${DEMO_NETS:-4}")
[ -z "${DEMO_BINDIR:-}" ] || config+=(bindir="$DEMO_BINDIR")
# shellcheck disable=SC2206 # DEMO_CONFIG is a list of words on purpose
[ -z "${DEMO_CONFIG:-}" ] || config+=(${DEMO_CONFIG})
# Snakemake prints its table of jobs and any failing job's message; the rule details go to
# its log under .snakemake/log (its scheduler's "Select jobs" lines are left out here).
echo "== the workflow, ${DEMO_JOBS:-2} jobs at a time:"
status=0
snakemake -s "$repo/workflow/Snakefile" -j "${DEMO_JOBS:-2}" --quiet rules \
    --config "${config[@]}" 2>&1 | grep --line-buffered -v '^Select jobs to execute\.\.\.$' ||
    status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || die "the workflow stopped (its message above); partial results in $out"

echo
cat "$out/summary.txt"
echo
awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "== done in %.0f s\n", b - a }'
echo "== predictions: $out/predictions.tsv"
echo "== report:      $out/report/index.html"
echo "== model:       $out/model"
echo "== predict new structures with it (any folder or files of PDB, mmCIF or mmJSON):"
launcher=${DEMO_BINDIR:-$repo/build/bin}/protnn
if [ -x "$launcher" ]; then
    echo "   $(printf %q "$launcher") predict --model $(printf %q "$out/model") -o new.tsv DIR"
else
    echo "   PYTHONPATH=$(printf %q "$repo/python") $py -m protnn predict --model $(printf %q "$out/model") -o new.tsv DIR"
fi
