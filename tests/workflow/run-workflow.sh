#!/usr/bin/env bash
# tests/workflow/run-workflow.sh local|slurm BINDIR
# Runs the workflow on 30 of the example structures (one gzip-compressed, one as mmCIF written
# by gemmi, one without a row in the targets table) with tiny networks and few epochs, locally
# with 2 jobs or through workflow/local-slurm.sh with the Slurm profile, and checks the
# results: predictions.tsv (header, every protein and output, roles cv and new), the report
# and its summary.  Locally also: a second run has nothing to do, a table id without a
# structure stops the run before any job with a message that names it, and a failing program
# stops it with the program's message and no table of its own left behind.
# Exit status 77 (ctest: skipped) for the Slurm run when not root or without slurm-wlm.
set -euo pipefail
mode=$1
bindir=$(cd "$2" && pwd)
repo=$(cd "$(dirname "$0")/../.." && pwd)
py=/usr/bin/python3
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [ "$mode" = slurm ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null; then
        echo "skipped: the Slurm run needs root and Debian's slurm-wlm and munge"
        exit 77
    fi
fi
command -v snakemake >/dev/null || fail "no snakemake (Debian package snakemake)"

work=$(mktemp -d /tmp/protnn-workflow-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir structures
# The 30 smallest example structures: enough for 4 folds of at least 20 training proteins.
for f in $(ls -S -r "$repo/examples/proteins/structures" | head -n 30); do
    cp "$repo/examples/proteins/structures/$f" structures/
done
gzip structures/1hel.pdb
$py -c 'import gemmi, sys; st = gemmi.read_structure(sys.argv[1]); st.setup_entities(); st.make_mmcif_document().write_file(sys.argv[2])' \
    structures/1a7g.pdb structures/1a7g.cif
rm structures/1a7g.pdb
ids=$(ls structures | sed -E 's/\.(pdb|cif)(\.gz)?$//' | sort)
PYTHONPATH=$repo/python $py -m protnn targets --from-dir "$repo/examples/proteins/targets" \
    --groups "$repo/examples/proteins/manifest.tsv" -o all.csv
# 1vii gets no row: it is predicted as a new protein.
awk -F, -v ids="$(echo $ids)" 'BEGIN { n = split(ids, a, " "); for (i = 1; i <= n; i++) keep[a[i]] = 1 }
    NR == 1 || ($1 in keep && $1 != "1vii")' all.csv >targets.csv

config=(structures=structures targets=targets.csv out=out bindir="$bindir" folds=4 networks=2
    nntrain="-h1 3 -h2 3 -u 0.01 -m 20 -mi 10")
smk=(snakemake -s "$repo/workflow/Snakefile" --config "${config[@]}")
if [ "$mode" = local ]; then
    "${smk[@]}" -j 2 >run.log 2>&1 || { tail -n 40 run.log; fail "the local run failed"; }
else
    "$repo/workflow/local-slurm.sh" "${smk[@]}" --profile "$repo/workflow/profiles/slurm" >run.log 2>&1 ||
        { tail -n 40 run.log; fail "the run through local-slurm.sh failed"; }
    grep -q "Submitted group job" run.log || fail "no group job was submitted to Slurm"
fi

# predictions.tsv: the header, 3 outputs per protein, 1vii new, all others cv with a target.
[ "$(head -n 1 out/predictions.tsv)" = "$(printf 'id\toutput\tmean\tsd\ttarget\trole')" ] ||
    fail "predictions.tsv header: $(head -n 1 out/predictions.tsv)"
$py - out/predictions.tsv $ids <<'PY' || fail "predictions.tsv is not as expected"
import csv, math, sys
rows = list(csv.DictReader(open(sys.argv[1]), delimiter="\t"))
ids = sys.argv[2:]
got = {(r["id"], r["output"]) for r in rows}
want = {(i, o) for i in ids for o in ("helix", "strand", "rg_ratio")}
assert got == want and len(rows) == len(want), (sorted(want - got), sorted(got - want))
for r in rows:
    assert math.isfinite(float(r["mean"])) and math.isfinite(float(r["sd"])), r
    if r["id"] == "1vii":
        assert r["role"] == "new" and r["target"] == "", r
    else:
        assert r["role"] == "cv" and math.isfinite(float(r["target"])), r
PY
[ -s out/report/index.html ] || fail "no report/index.html"
ls out/report/*.png >/dev/null 2>&1 || fail "no plot in report/"
grep -q rg_ratio out/summary.txt || fail "summary.txt has no line for rg_ratio"
[ "$(ls out/nets/fold*-net*.wei | wc -l)" -eq 8 ] || fail "not 4 x 2 weight files"

if [ "$mode" = local ]; then
    "${smk[@]}" -j 2 >rerun.log 2>&1 || fail "the second run failed"
    grep -q "Nothing to be done" rerun.log || { cat rerun.log; fail "the second run did work again"; }
    echo "id,helix,strand,rg_ratio" >bad.csv
    echo "9xyz,0.1,0.2,1.0" >>bad.csv
    if snakemake -s "$repo/workflow/Snakefile" -j 2 --config structures=structures targets=bad.csv \
        out=bad bindir="$bindir" >bad.log 2>&1; then
        fail "a table id without a structure did not stop the run"
    fi
    grep -q "bad.csv: 1 id(s) without a structure file in structures: 9xyz" bad.log ||
        { cat bad.log; fail "no message naming 9xyz"; }
    [ ! -e bad ] || fail "the stopped run wrote bad/"
    # A program that fails: the run stops with its message, and its table is not left behind.
    mkdir bin
    for p in depthdist atomdepth nntrain; do ln -s "$bindir/$p" bin/$p; done
    printf '#!/bin/sh\necho "broken.pdb:7: expected a number, found x" >&2\nexit 2\n' >bin/pairdist
    chmod +x bin/pairdist
    if snakemake -s "$repo/workflow/Snakefile" -j 2 --config structures=structures targets=targets.csv \
        out=broken bindir=bin >broken.log 2>&1; then
        fail "a failing pairdist did not stop the run"
    fi
    grep -q "broken.pdb:7: expected a number, found x" broken.log || { cat broken.log; fail "no message of pairdist"; }
    [ -z "$(find broken/features -name pairdist.tab 2>/dev/null)" ] || fail "a pairdist table was left behind"
    [ ! -e broken/predictions.tsv ] || fail "the stopped run wrote predictions.tsv"
fi
echo "ok: $mode run, $(($(wc -l <out/predictions.tsv) - 1)) predictions"
