#!/usr/bin/env bash
# tests/workflow/run-workflow.sh local|slurm BINDIR
# Runs the workflow on 30 of the example structures (one gzip-compressed, one as mmCIF written
# by gemmi, one without a row in the targets table) plus the awkward files of real
# collections made from 1vii with gemmi (microheterogeneity, a blank chain, selenomethionine,
# coordinates beyond PDB's columns, a CA-only model, a corrupt gzip, no protein, an empty
# file, ids that cannot be used), with tiny networks and few epochs, locally with 2 jobs or
# through workflow/local-slurm.sh with the Slurm profile.  The checkout, the programs and the
# output are reached through paths with a blank, the targets table is tab-separated with a
# byte-order mark.  Checks: failed.tsv holds exactly the unusable files, every other
# structure is predicted, a rigidly moved copy like the original, every network differs, each
# fold's networks trained with that fold's -f and predict only that fold's proteins, the model
# folder, the report.  The structures make several batches.  Locally also: a second run has
# nothing to do; a dry run with other settings changes nothing, and a run started while
# another holds the output folder stops without touching it; injections through the nntrain
# setting run nothing; stale results after failed runs with other settings are recomputed;
# test_share changed alone makes new folds; a structure added without targets and run from
# another folder is predicted without training anything or touching the model folder, and the
# progress line counts that one structure; a predict-only run with the model folder gives the
# same numbers, and again after the folder is replaced by another model at the same path or a
# program by another under the same version line; strict: true stops at the first structure
# that fails.
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

work=$(mktemp -d "/tmp/protnn workflow-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$repo" "check out"
ln -s "$(dirname "$bindir")" "build dir"
bin="$work/build dir/$(basename "$bindir")"
mkdir "my structures"
s="my structures"
# The 30 smallest example structures: enough for 4 folds of at least 20 training proteins.
for f in $(ls -S -r "$repo/examples/proteins/structures" | head -n 30); do
    cp "$repo/examples/proteins/structures/$f" "$s/"
done
gzip "$s/1hel.pdb"
PYTHONPATH=$repo/python $py - "$s" <<'PY'
import gzip, os, sys
import gemmi
d = sys.argv[1]
def one(name="1vii"):
    st = gemmi.read_structure(os.path.join(d, name + ".pdb"))
    st.remove_hydrogens()
    return st
st = one("1a7g")
st.setup_entities()
st.make_mmcif_document().write_file(os.path.join(d, "1a7g.cif"))
os.remove(os.path.join(d, "1a7g.pdb"))
# Microheterogeneity: a SER beside residue 5 with the same number, the two as altlocs A, B.
st = one()
ch = st[0][0]
res = ch[4]
other = res.clone()
other.name = "SER" if res.name != "SER" else "ALA"
for a in list(other)[::-1]:
    if a.name not in ("N", "CA", "C", "O", "CB"):
        other.remove_atom(a.name, a.altloc)
for r, alt in ((res, "A"), (other, "B")):
    for a in r:
        a.altloc, a.occ = alt, 0.5
ch.add_residue(other, 5)
st.write_pdb(os.path.join(d, "mh1vii.pdb"))
# A blank chain name; selenomethionine (HETATM MSE with SE); a rigid move beyond PDB's columns
# (only mmCIF can hold it); a model of CA atoms only.
st = one(); st[0][0].name = " "; st.write_pdb(os.path.join(d, "blank1vii.pdb"))
st = one()
for r in st[0][0]:
    if r.name == "MET":
        r.name, r.het_flag = "MSE", "H"
        for a in r:
            if a.name == "SD":
                a.name, a.element = "SE", gemmi.Element("Se")
st.write_pdb(os.path.join(d, "mse1vii.pdb"))
st = one()
for r in st[0][0]:
    for a in r:
        a.pos = gemmi.Position(a.pos.x - 1200, a.pos.y + 300, a.pos.z + 400)
st.setup_entities()
st.make_mmcif_document().write_file(os.path.join(d, "moved1vii.cif"))
st = one()
for r in st[0][0]:
    for a in list(r)[::-1]:
        if a.name != "CA":
            r.remove_atom(a.name, a.altloc)
st.write_pdb(os.path.join(d, "ca1vii.pdb"))
# Unusable: a corrupt gzip, no protein (waters only), an empty file, ids that cannot be used.
with open(os.path.join(d, "1paa.pdb"), "rb") as f:
    data = gzip.compress(f.read())
with open(os.path.join(d, "corrupt.pdb.gz"), "wb") as f:
    f.write(data[:len(data) // 2])
with open(os.path.join(d, "water.pdb"), "w") as f:
    f.write("HETATM    1  O   HOH A   1      10.000  10.000  10.000  1.00  0.00           O\n"
            "HETATM    2  O   HOH A   2      13.000  10.000  10.000  1.00  0.00           O\nEND\n")
open(os.path.join(d, "empty.pdb"), "w").close()
open(os.path.join(d, "{x}.pdb"), "w").close()
open(os.path.join(d, "x" * 150 + ".pdb"), "w").close()
PY
unusable="ca1vii corrupt empty water {x}.pdb $(printf 'x%.0s' $(seq 150)).pdb"
ids=$(ls "$s" | sed -E 's/\.(pdb|cif)(\.gz)?$//' | sort)
PYTHONPATH=$repo/python $py -m protnn targets --from-dir "$repo/examples/proteins/targets" \
    --groups "$repo/examples/proteins/manifest.tsv" -o all.csv
# Tab-separated with a byte-order mark, without a group column (sequence groups are made).
# 1vii and the copies of it get no row: they are predicted as new proteins; ca1vii gets
# 1vii's targets and is left out of training.
{
    printf '\xef\xbb\xbf'
    awk -F, -v ids="$(echo $ids)" 'BEGIN { OFS = "\t"; n = split(ids, a, " "); for (i = 1; i <= n; i++) keep[a[i]] = 1 }
        $1 == "1vii" { $1 = "ca1vii"; print; next }
        NR == 1 || $1 in keep { $1 = $1; print }' <(cut -d, -f1-4 all.csv)
} >targets.tsv

config=(structures="$s" targets=targets.tsv out="$work/out dir" bindir="$bin" folds=4 networks=2
    nntrain="-h1 3 -h2 3 -u 0.01 -m 20 -mi 10" batch_size=8)
smk=(snakemake -s "$work/check out/workflow/Snakefile")
out="$work/out dir"
if [ "$mode" = local ]; then
    "${smk[@]}" -j 2 --config "${config[@]}" >run.log 2>&1 || { tail -n 40 run.log; fail "the local run failed"; }
else
    "$repo/workflow/local-slurm.sh" "${smk[@]}" --profile "$repo/workflow/profiles/slurm" \
        --config "${config[@]}" >run.log 2>&1 || { tail -n 40 run.log; fail "the run through local-slurm.sh failed"; }
    n=$(ls "$out"/batches/*.tsv | grep -vc failed)
    [ "$(grep -c "^rule features:" run.log)" -eq "$n" ] || fail "not one Slurm job per batch ($n batches)"
fi
# The batch jobs' progress lines (on Slurm in each job's own output).  grep reads all of its
# input: with -q it would stop at the first match and cat would die of SIGPIPE (pipefail).
cat run.log $([ "$mode" = local ] || echo .snakemake/slurm/*.out) |
    grep "protnn features: .* structures of this run: .* done, .* failed, 0 left" >/dev/null ||
    fail "no progress line of the batches"
line="6 of $(ls "$s" | wc -l) structures failed ($out/failed.tsv)"
grep -qF "$line" run.log || fail "the run did not end with: $line"
[ "$(tail -n 1 "$out/summary.txt")" = "$line" ] || fail "the summary does not end with: $line"

# failed.tsv: exactly the unusable files; predictions.tsv: every other structure, 3 outputs
# each, the new ones with role new; a rigidly moved copy predicted like the original.
$py - "$out" "$unusable" $ids <<'PY' || fail "failed.tsv or predictions.tsv is not as expected"
import csv, math, sys
out, unusable, ids = sys.argv[1], sys.argv[2].split(), sys.argv[3:]
failed = list(csv.DictReader(open(f"{out}/failed.tsv"), delimiter="\t"))
assert sorted(r["id"] for r in failed) == sorted(unusable), failed
assert all(r["message"] for r in failed), failed
rows = list(csv.DictReader(open(f"{out}/predictions.tsv"), delimiter="\t"))
predicted = [i for i in ids if i not in unusable and i + ".pdb" not in unusable]
got = {(r["id"], r["output"]): r for r in rows}
want = {(i, o) for i in predicted for o in ("helix", "strand", "rg_ratio")}
assert set(got) == want and len(rows) == len(want), (sorted(want - set(got)), sorted(set(got) - want))
for r in rows:
    assert math.isfinite(float(r["mean"])) and math.isfinite(float(r["sd"])), r
    if r["id"].endswith("1vii"):
        assert r["role"] == "new" and r["target"] == "", r
    else:
        assert r["role"] == "cv" and math.isfinite(float(r["target"])), r
for o in ("helix", "strand", "rg_ratio"):
    a, b = got[("1vii", o)], got[("moved1vii", o)]
    assert (a["mean"], a["sd"]) == (b["mean"], b["sd"]), (a, b)
PY
[ -s "$out/report/index.html" ] || fail "no report/index.html"
ls "$out"/report/*.png >/dev/null 2>&1 || fail "no plot in report/"
grep -q rg_ratio "$out/summary.txt" || fail "summary.txt has no line for rg_ratio"
[ "$(ls "$out"/batches/train-*.tsv | wc -l)" -ge 2 ] || fail "the training structures made one batch"
grep -q ridge "$out/summary.txt" || fail "summary.txt has no ridge line"
grep -q "<h2>How the ensemble predicts</h2>" "$out/report/index.html" &&
    grep -q "helix: ridge penalty (mean eigenvalues)" "$out/report/index.html" ||
    fail "the report does not say how the ensemble predicts and what ridge chose"
[ -s "$out/model/model.json" ] || fail "no model folder"
[ "$(cut -f2 "$out/groups.tsv" | sort -u | wc -l)" -lt "$(wc -l <"$out/groups.tsv")" ] ||
    fail "groups.tsv has no group of two proteins"

# Wiring: 4 folds x 3 outputs x 2 networks, all different (each has its own seed); each
# trained on its fold's list of its output with its own early-stopping groups (drawn with its
# seed) and their -f; each fold's proteins predicted by that fold's ridge and networks alone,
# each output by its own networks.
[ "$(ls "$out"/nets/fold*-net*.wei | wc -l)" -eq 24 ] || fail "not 4 x 3 x 2 weight files"
[ "$(md5sum "$out"/nets/*.wei | cut -c1-32 | sort -u | wc -l)" -eq 24 ] ||
    fail "two networks have the same weights"
PYTHONPATH=$repo/python $py - "$out" "$bin" <<'PY' || fail "the folds are not wired as expected"
import csv, json, os, subprocess, sys, tempfile
from protnn.folds import read_folds
from protnn.stack import read_stack
out, bindir = sys.argv[1], sys.argv[2]
folds = read_folds(f"{out}/db").folds
stack = read_stack(f"{out}/stack")
outputs = stack.outputs
seeds = {(n["fold"], n["output"], n["net"]): n["seed"]
         for n in json.load(open(f"{out}/run.json"))["networks"]}
own = set()
for k, fold in enumerate(folds, 1):
    for o in outputs:
        for n in (1, 2):
            head = open(f"{out}/nets/fold{k}-{o}-net{n}.wei").read().splitlines()
            options = open(f"{out}/nets/fold{k}-{o}-net{n}.wei.fort.15").read().splitlines()[1]
            with tempfile.TemporaryDirectory() as t:
                f = stack.write_network_list(f"{out}/db", k, o, seeds[k, o, n], f"{t}/list.db")
                own.add(open(f"{t}/list.db").read())
            assert f"list.db-f{f}-r{seeds[k, o, n]}-" in options, (k, o, n, f, options)
            assert head[2].split() == [f"{o}.target"], (k, o, head[:3])
assert len(own) > len(folds) * len(outputs), "the networks of a fold and output share a list"
rows = {(r["id"], r["output"]): r for r in csv.DictReader(open(f"{out}/predictions.tsv"), delimiter="\t")}
for k in range(1, len(folds) + 1):
    # A weight list names files up to a blank: links without one.
    os.mkdir(f"fold{k}")
    outs = []
    for o in outputs:
        for n in (1, 2):
            os.symlink(f"{out}/nets/fold{k}-{o}-net{n}.wei", f"fold{k}/{o}{n}.wei")
        with open(f"fold{k}/{o}.lst", "w") as f:
            f.write(f"{o}1.wei\n{o}2.wei\n")
        outs.append(f"fold{k}-{o}.out")
        with open(outs[-1], "w") as f:
            subprocess.run([f"{bindir}/nntrain", "-aw", f"{o}.lst", "-prl", f"{out}/db/fold{k}.ids"],
                           stdout=f, stderr=subprocess.DEVNULL, check=True, cwd=f"fold{k}")
    subprocess.run([sys.executable, "-m", "protnn", "collect", "--stack", f"{out}/stack",
                    "--fold", str(k), "--db", f"{out}/db", "-o", f"fold{k}.tsv", *outs],
                   check=True, stderr=subprocess.DEVNULL)
    for r in csv.DictReader(open(f"fold{k}.tsv"), delimiter="\t"):
        w = rows[(r["id"], r["output"])]
        assert (w["mean"], w["sd"]) == (r["mean"], r["sd"]), (k, r, w)
PY

# Seeds: the -r of every training command (its log's first line), distinct across folds, outputs and
# networks, and the seeds run.json records.
$py - "$out" <<'PY' || fail "the networks' seeds are not distinct or not those of run.json"
import glob, json, shlex, sys
out = sys.argv[1]
seeds = {}
for log in sorted(glob.glob(f"{out}/logs/train/*.log")):
    words = shlex.split(open(log).readline()[2:])
    seeds[log] = int(words[words.index("-r") + 1])
assert len(seeds) == 24 and len(set(seeds.values())) == 24, seeds
recorded = sorted(n["seed"] for n in json.load(open(f"{out}/run.json"))["networks"])
assert recorded == sorted(seeds.values()), (recorded, seeds)
PY

if [ "$mode" = local ]; then
    smk_local() { "${smk[@]}" -j 2 --config "${config[@]}" "$@"; }
    smk_local >rerun.log 2>&1 || fail "the second run failed"
    grep -q "Nothing to be done" rerun.log || { cat rerun.log; fail "the second run did work again"; }

    # A dry run with other settings shows the work and changes nothing; a run started while
    # another holds the output folder stops before it writes a stamp.
    times() { find "$out" -path "$out/features" -prune -o -printf '%p %T@ %s\n' | sort | md5sum; }
    before=$(times)
    "${smk[@]}" -n --config "${config[@]}" probe=2.0 >dry.log 2>&1 || { cat dry.log; fail "the dry run failed"; }
    grep -q "^features " dry.log || { cat dry.log; fail "the dry run with probe=2.0 shows no features job"; }
    [ "$(times)" = "$before" ] || fail "a dry run changed the output folder"
    $py -c 'import fcntl, sys, time; f = open(sys.argv[1], "a"); fcntl.flock(f, fcntl.LOCK_EX); open(sys.argv[2], "w").close(); time.sleep(300)' \
        "$out/.lock" held &
    holder=$!
    while [ ! -e held ]; do sleep 0.1; done
    if smk_local probe=2.0 >locked.log 2>&1; then kill "$holder"; fail "a second run on a held output folder ran"; fi
    kill "$holder"
    wait "$holder" 2>/dev/null || true
    grep -q "another run of the workflow is using this output folder" locked.log || { cat locked.log; fail "no message for a held output folder"; }
    [ "$(times)" = "$before" ] || fail "a run refused for a held output folder changed it"

    # Settings that are refused before any job, with one line; the injections run nothing.
    refused() { # MESSAGE SETTING...
        local message=$1
        shift
        if "${smk[@]}" -n --config "${config[@]}" "$@" >refused.log 2>&1; then fail "accepted: $*"; fi
        grep -qF -- "$message" refused.log || { cat refused.log; fail "no message '$message' for: $*"; }
    }
    refused "'\$(touch' is neither a switch nor a number" nntrain='-m 20 $(touch X)'
    refused "'5;' is neither a switch nor a number" nntrain='-m 5; touch X'
    refused "-r is set by the workflow itself" nntrain='-h1 3 -r 7'
    refused "-m -5: expected a whole number from 1" nntrain='-m -5'
    refused "config: probe=6: expected at most 5" probe=6
    refused "the NMR model number is nmr_model" model=3
    refused "(strict: true)" strict=true
    refused "structure file: fold 1 would train on" folds=2
    [ ! -e X ] || fail "an nntrain setting ran a command"
    "${smk[@]}" -n --config "${config[@]}" inputs=pairdist.tab out=inputs >inputs.log 2>&1 || { cat inputs.log; fail "inputs=pairdist.tab was not a list of one"; }
    # A table with a group column: the report gets the groups the folds were made of.
    PYTHONPATH=$repo/python $py -c 'import csv, sys; r = list(csv.reader(open(sys.argv[1], encoding="utf-8-sig"), delimiter="\t")); csv.writer(open(sys.argv[2], "w", newline="")).writerows([x + ["group" if n == 0 else "g" + x[0][-1]] for n, x in enumerate(r)])' targets.tsv grouped.csv
    "${smk[@]}" -n --config "${config[@]}" targets=grouped.csv out=grouped >grouped.log 2>&1 || { cat grouped.log; fail "the dry run with a group column failed"; }
    grep -A1 "^rule report:" grouped.log | grep -q "grouped/stamps/targets.csv" || fail "the report does not get the table's groups"

    # Stale results: a failing run with other settings, then a good one, recomputes.
    if smk_local nntrain="-h1 3 -h2 3 -m 5 -np 10" >nan.log 2>&1; then fail "-np 10 did not fail"; fi
    grep "^protnn: rule train failed: .* (log .*/logs/train/fold" nan.log >/dev/null ||
        { tail -n 5 nan.log; fail "the failed run does not end with the reason of the failed job"; }
    smk_local nntrain="-h1 3 -h2 3 -u 0.01 -m 5 -mi 10" >m5.log 2>&1 || { tail -n 30 m5.log; fail "the -m 5 run failed"; }
    grep -q -- "-m5-mi10-owf" "$out/nets/fold1-helix-net1.wei.fort.15" || fail "the networks are not those of -m 5"
    [ "$out/predictions.tsv" -nt "$out/nets/fold1-helix-net1.wei" ] || fail "predictions.tsv is older than the networks"
    cp -r "$out/model" "old model"
    # test_share alone (no other setting changed) makes new folds and is recorded.
    if smk_local test_share=0.99 >share.log 2>&1; then fail "test_share=0.99 did not fail"; fi
    smk_local test_share=0.3 >share.log 2>&1 || { tail -n 30 share.log; fail "the test_share=0.3 run failed"; }
    grep -q '"test_share": 0.3' "$out/db/folds.json" || fail "the db is not that of test_share=0.3"
    grep -q '"test_share": 0.3' "$out/run.json" || fail "run.json does not record test_share=0.3"
    [ "$out/predictions.tsv" -nt "$out/db" ] || fail "predictions.tsv is older than the db"

    # A structure added without targets, run from another folder: predicted, nothing trained,
    # the model folder's files keep their times, the progress line counts that one structure.
    before=$(stat -c '%n %Y %s' "$out"/nets/*.wei | md5sum)
    model_before=$(find "$out/model" -printf '%p %T@\n' | sort | md5sum)
    cp "$repo/examples/proteins/structures/5dt0.pdb" "$s/"
    mkdir elsewhere
    (cd elsewhere && "${smk[@]}" -j 2 --config structures="$work/$s" targets="$work/targets.tsv" \
        out="$out" bindir="$bin" folds=4 networks=2 test_share=0.3 batch_size=8 \
        nntrain="-h1 3 -h2 3 -u 0.01 -m 20 -mi 10") >added.log 2>&1 || { tail -n 30 added.log; fail "the run with 5dt0 failed"; }
    grep -q "^5dt0	helix	.*	new$" "$out/predictions.tsv" || fail "the added 5dt0 is not predicted"
    [ "$(stat -c '%n %Y %s' "$out"/nets/*.wei | md5sum)" = "$before" ] || fail "adding a structure without targets trained again"
    [ "$(find "$out/model" -printf '%p %T@\n' | sort | md5sum)" = "$model_before" ] ||
        fail "adding a structure without targets rewrote the model folder"
    grep "structures of this run" added.log | tail -n 1 | grep -q ": 1 done, " ||
        { grep "structures of this run" added.log; fail "the progress line does not count the one structure computed"; }

    # The model folder, copied elsewhere with the output folder gone: a predict-only run gives
    # the training run's numbers for the proteins without targets.
    cp -r "$out/model" "my model"
    mkdir new
    cp "$s/5dt0.pdb" "$s/moved1vii.cif" new/
    grep -P "^(5dt0|moved1vii)\t" "$out/predictions.tsv" | sort >want.tsv
    rm -rf "$out"
    "${smk[@]}" -j 2 --config structures=new model="my model" out=p bindir="$bin" >predict.log 2>&1 ||
        { tail -n 30 predict.log; fail "the predict-only run failed"; }
    [ ! -e p/nets ] && [ ! -e p/db ] || fail "the predict-only run trained"
    tail -n +2 p/predictions.tsv | sort | diff want.tsv - || fail "the predict-only run gives other numbers"
    [ -s p/report/index.html ] || fail "the predict-only run made no report"
    # Its report and run.json describe the model (4 x 3 x 2 networks, sequence groups, its nntrain
    # words), and no flag speaks of errors that were not measured.
    grep -qF "2 proteins predicted (0 with known targets), 24 networks." p/report/index.html ||
        fail "the predict-only report does not count the model's networks"
    grep -qF "<code>-h1 3 -h2 3 -u 0.01 -m 20 -mi 10</code>" p/report/index.html &&
        grep -qF "Groups: sequence" p/report/index.html || fail "the predict-only report does not show the model's settings"
    ! grep -q "optimistic" p/report/index.html || fail "the predict-only report flags errors it did not measure"
    $py -c 'import json, sys; r = json.load(open(sys.argv[1])); assert (len(r["networks"]), r["config"]["networks"], r["groups"]["source"], r["config"]["groups"], r["nntrain_words"][-1]) == (24, 2, "sequence", "sequence", "10"), r' p/run.json ||
        fail "the predict-only run.json does not hold the model's settings"
    # Another model folder at the same path predicts again, with its own numbers.
    rm -rf "my model"
    cp -a "old model" "my model"
    "${smk[@]}" -j 2 --config structures=new model="my model" out=p bindir="$bin" >replaced.log 2>&1 ||
        { tail -n 30 replaced.log; fail "the predict-only run with the replaced model failed"; }
    ! grep -q "Nothing to be done" replaced.log || fail "a model replaced at the same path predicted nothing"
    if tail -n +2 p/predictions.tsv | sort | diff -q want.tsv - >/dev/null; then fail "the replaced model gave the old predictions"; fi
    # A program replaced under the same version line (a wrapper) predicts again.
    mkdir -p b2/bin
    ln -s "$(dirname "$bindir")/share" b2/share
    for prog in pairdist depthdist atomdepth nntrain; do ln -s "$bindir/$prog" b2/bin/; done
    "${smk[@]}" -j 2 --config structures=new model="my model" out=p bindir="$work/b2/bin" >b2.log 2>&1 ||
        { tail -n 30 b2.log; fail "the predict-only run with b2/bin failed"; }
    rm b2/bin/nntrain
    printf '#!/bin/sh\nexec "%s/nntrain" "$@"\n' "$bindir" >b2/bin/nntrain
    chmod +x b2/bin/nntrain
    "${smk[@]}" -j 2 --config structures=new model="my model" out=p bindir="$work/b2/bin" >wrapped.log 2>&1 ||
        { tail -n 30 wrapped.log; fail "the predict-only run with a wrapped nntrain failed"; }
    grep -q "^rule predict_new:" wrapped.log || { cat wrapped.log; fail "a program replaced under the same version line predicted nothing"; }
    # strict: true stops at the first structure that fails.
    cp "$s/empty.pdb" new/
    if "${smk[@]}" -j 2 --config structures=new model="my model" out=q bindir="$bin" strict=true \
        >strict.log 2>&1; then fail "strict=true did not stop at empty.pdb"; fi
    grep -q "empty.pdb: no atoms" strict.log || { tail -n 20 strict.log; fail "no message naming empty.pdb"; }
fi
echo "ok: $mode run"
