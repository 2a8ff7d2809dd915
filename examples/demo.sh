#!/usr/bin/env bash
# The whole pipeline on the example proteins of examples/proteins:
#   structures -> pairdist and depthdist tables -> a protein database with targets
#   -> several networks trained with different seeds -> averaged predictions of held-out
#   proteins -> a summary (ensemble error beside that of a trivial predictor).
#
# Usage: examples/demo.sh [BINDIR [OUTDIR]]
#   BINDIR  the directory holding nntrain, pairdist and depthdist (default: build/bin).
#           The default types files are found beside it, in BINDIR/../share/protnn.
#   OUTDIR  a new directory for everything the demo writes (default: demo-out/<date-time>
#           under the current directory).  It must not exist yet: nothing is ever overwritten.
# Settings for quicker or larger runs, from the environment:
#   DEMO_NETS    number of networks in the ensemble (default 4)
#   DEMO_JOBS    trainings run at a time (default 2, one per core)
#   DEMO_EPOCHS  maximum number of epochs per network, nntrain -m (default 2000)
#   DEMO_BAD     epochs without improvement before a network stops, nntrain -mi (default 300)
#   DEMO_SEED    seed of the first network, nntrain -r; network i gets DEMO_SEED+i-1 (default 11)
#
# Every step stops the demo at the first command that fails, with that command's own message;
# the summary is printed only when every step succeeded.
set -euo pipefail
set -o noclobber   # a redirection never replaces an existing file

nets=${DEMO_NETS:-4}
jobs=${DEMO_JOBS:-2}
epochs=${DEMO_EPOCHS:-2000}
bad=${DEMO_BAD:-300}
seed0=${DEMO_SEED:-11}
fcv=0.12 # test fold share: the last 4 of the 34 proteins of the list (round(34*0.12) = 4)
# A small network for a small database (about 2000 inputs, 30 training proteins), and a
# learning rate ten times the default so that 2000 epochs take it somewhere.
netopts=(-h1 5 -h2 5 -u 0.01)

# Whole protein families (manifest column `group`) kept out of the database and predicted at
# the end, so that no near-copy of a predicted protein was seen in training.
holdout_groups="lysozyme 2xhe 1a1x 4zhl"
# Proteins put at the end of the list, so that they form the test fold that decides early
# stopping: four one-structure families, none related to any other protein of the list.
# (2ofg_m1, a stretched chain with rg_ratio 2.9, stays in training: no tanh output reaches
# that value, and its error would swamp the test fold's.)
testfold="2beg 1vii 1a7g 4cup"
outputs="helix strand rg_ratio" # the values of ss.target (2) and rg.target (1), in file order

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prot=$here/proteins

die() {
    echo "demo: $*" >&2
    exit 1
}
is_count() { [[ $1 =~ ^[0-9]+$ ]] && (($1 >= 1)); }
is_count "$nets" || die "DEMO_NETS must be a positive integer, not '$nets'"
is_count "$jobs" || die "DEMO_JOBS must be a positive integer, not '$jobs'"
is_count "$epochs" || die "DEMO_EPOCHS must be a positive integer, not '$epochs'"
is_count "$bad" || die "DEMO_BAD must be a positive integer, not '$bad'"
[[ $seed0 =~ ^[0-9]+$ ]] || die "DEMO_SEED must be a non-negative integer, not '$seed0'"

bindir=${1:-build/bin}
[ -d "$bindir" ] || die "no program directory $bindir (build first: make demo)"
bindir=$(cd "$bindir" && pwd)
for p in nntrain pairdist depthdist; do
    [ -x "$bindir/$p" ] || die "no program $bindir/$p (build first: make demo)"
done

# A fresh output directory: mkdir of the last component fails when it exists, so two runs
# never share one, even when started in the same second.
if [ $# -ge 2 ]; then
    out=$2
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
mkdir "$out/db" "$out/logs"

start=$(date +%s.%N)
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f s", b - a }'; }

# run LOG PROGRAM ARGS... > FILE: runs one program in the output directory with its standard
# error in LOG; on failure shows that message and stops the demo.
run() {
    local log=$1
    shift
    local status=0
    (cd "$out" && exec "$@") 2>"$log" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "demo: FAILED (exit status $status): ${*##*/}" >&2
        sed 's/^/demo:   /' "$log" >&2
        echo "demo: stopped; the partial results are in $out" >&2
        exit 1
    fi
}

echo "== protnn demo: programs in $bindir"
echo "== output directory $out"

# ---------------------------------------------------------------------------------------
# Step 1: the two input tables of every structure, saved in the protein's directory of the
# database; the targets copied beside them.
t=$(date +%s.%N)
samples=$(awk -F'\t' 'NR > 1 { print $1 }' "$prot/manifest.tsv")
declare -A group
while IFS=$'\t' read -r s _ g _; do group[$s]=$g; done < <(awk 'NR > 1' "$prot/manifest.tsv")
nsamples=0
for s in $samples; do
    mkdir "$out/db/$s"
    run "$out/logs/$s.pairdist.err" "$bindir/pairdist" -dp "$prot/structures/$s.pdb" >"$out/db/$s/pairdist.tab"
    run "$out/logs/$s.depthdist.err" "$bindir/depthdist" -dp "$prot/depth/$s" >"$out/db/$s/depth.tab"
    for f in pairdist.tab depth.tab; do
        [ -s "$out/db/$s/$f" ] || die "$bindir/${f%.tab} wrote an empty table for $s; stopped"
    done
    cat "$prot/targets/$s/ss.target" >"$out/db/$s/ss.target"
    cat "$prot/targets/$s/rg.target" >"$out/db/$s/rg.target"
    nsamples=$((nsamples + 1))
done
echo "== step 1: pairdist and depthdist tables of $nsamples structures in $out/db ($(elapsed "$t"))"

# ---------------------------------------------------------------------------------------
# Step 2: the database list file, with the held-out families left out of it, and the list of
# the proteins to predict.
holdout=()
train=()
for s in $samples; do
    if [[ " $holdout_groups " == *" ${group[$s]} "* ]]; then
        holdout+=("$s")
    elif [[ " $testfold " != *" $s "* ]]; then
        train+=("$s")
    fi
done
for s in $testfold; do train+=("$s"); done
{
    # Line 1 in double quotes, so that slashes and blanks of the path are part of the name.
    printf '"%s"\n' "${out//\"/\"\"}/db"
    echo "pairdist.tab depth.tab"
    echo "ss.target rg.target"
    printf '%s\n' "${train[@]}"
} >"$out/kelta.db"
printf '%s\n' "${holdout[@]}" >"$out/holdout.ids"
ntest=$(awk -v n=${#train[@]} -v f=$fcv 'BEGIN { x = n * f; printf "%d", x + 0.5 }')
echo "== step 2: database list $out/kelta.db: ${#train[@]} proteins" \
    "(training fold $((${#train[@]} - ntest)), test fold $ntest); ${#holdout[@]} held out in $out/holdout.ids"

# ---------------------------------------------------------------------------------------
# Step 3: the networks, DEMO_JOBS at a time.  Each gets its own seed: the default seed has a
# resolution of one second, so trainings started together would otherwise be identical.
t=$(date +%s.%N)
# Each training runs as its own background process (exec), so that a failure can stop the
# others at once.
train_one() {
    cd "$out" && exec "$bindir/nntrain" -l kelta.db -f $fcv -m "$epochs" -mi "$bad" "${netopts[@]}" \
        -r "$1" -owf "net$2.wei" >"logs/net$2.out" 2>"logs/net$2.err"
}
pids=()
nums=()
waitfirst() {
    local pid=${pids[0]} i=${nums[0]} status=0
    pids=("${pids[@]:1}")
    nums=("${nums[@]:1}")
    wait "$pid" || status=$?
    if [ "$status" -ne 0 ]; then
        ((${#pids[@]} == 0)) || kill "${pids[@]}" 2>/dev/null || true
        echo "demo: FAILED (exit status $status): nntrain training net$i.wei" >&2
        sed 's/^/demo:   /' "$out/logs/net$i.err" >&2
        echo "demo: stopped; the partial results are in $out" >&2
        exit 1
    fi
}
seeds=()
for i in $(seq 1 "$nets"); do
    seed=$((seed0 + i - 1))
    seeds+=("$seed")
    train_one "$seed" "$i" &
    pids+=($!)
    nums+=("$i")
    ((${#pids[@]} < jobs)) || waitfirst
done
while ((${#pids[@]} > 0)); do waitfirst; done
for i in $(seq 1 "$nets"); do echo "net$i.wei"; done >"$out/weights.lst"
echo "== step 3: $nets networks trained, $jobs at a time ($(elapsed "$t")): $out/net*.wei, logs $out/net*.wei.fort.15"
for i in $(seq 1 "$nets"); do
    printf '   net%s (seed %s): %s\n' "$i" "${seeds[$((i - 1))]}" "$(tail -n 1 "$out/net$i.wei.fort.15")"
done

# ---------------------------------------------------------------------------------------
# Step 4: the held-out proteins predicted by every network, averaged.
run "$out/logs/predict.err" "$bindir/nntrain" -aw weights.lst -prl holdout.ids >"$out/predictions.txt"
nout=$(echo $outputs | wc -w)
[ "$(wc -l <"$out/predictions.txt")" -eq $((${#holdout[@]} * nout)) ] ||
    die "$out/predictions.txt does not hold $nout lines per held-out protein; stopped"
echo "== step 4: predictions averaged over $nets networks in $out/predictions.txt"

# ---------------------------------------------------------------------------------------
# Step 5: the summary.  The trivial predictor answers every protein with the mean target of
# the proteins of the database list.
means=$(for s in "${train[@]}"; do cat "$out/db/$s/ss.target" "$out/db/$s/rg.target" | tr '\n' ' '; echo; done |
    awk '{ for (j = 1; j <= NF; j++) s[j] += $j; n++; m = NF }
         END { for (j = 1; j <= m; j++) printf "%s%.17g", (j > 1 ? " " : ""), s[j] / n }')
{
    echo
    echo "Summary: ${#holdout[@]} held-out proteins from the families ($holdout_groups) that the"
    echo "database leaves out entirely; mean and deviation over $nets networks (seeds ${seeds[*]})."
    awk -v names="$outputs" -v means="$means" -v nets="$nets" -v ntrain=${#train[@]} '
        BEGIN { nout = split(names, name, " "); split(means, mean, " ") }
        function isnum(x) { return x ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([EeDd][-+]?[0-9]+)?$/ }
        {
            j = (NR - 1) % nout + 1
            if (j == 1) np++
            if (!isnum($2) || !isnum($3) || !isnum($4)) { bad = 1; line[NR] = sprintf("%-9s %-9s %9s %9s %9s", $1, name[j], $2, $3, $4); next }
            e = $2 - $4; if (e < 0) e = -e
            z = mean[j] - $4; if (z < 0) z = -z
            se[j] += e; sz[j] += z
            line[NR] = sprintf("%-9s %-9s %9.4f %9.4f %9.4f %9.4f %9.4f", $1, name[j], $2, $3, $4, e, z)
        }
        END {
            printf "\n%-9s %-9s %9s %9s %9s %9s %9s\n", "protein", "output", "ensemble", "+/-dev", "target", "error", "trivial"
            for (i = 1; i <= NR; i++) print line[i]
            printf "\nMean absolute error over the %d held-out proteins:\n", np
            printf "%-22s", ""; for (j = 1; j <= nout; j++) printf " %9s", name[j]; printf " %9s\n", "all"
            if (bad) { print "  not available: some predictions are not numbers"; exit }
            printf "%-22s", "  ensemble (" nets " nets)"; for (j = 1; j <= nout; j++) { printf " %9.4f", se[j] / np; a += se[j] }; printf " %9.4f\n", a / (np * nout)
            printf "%-22s", "  trivial predictor"; for (j = 1; j <= nout; j++) { printf " %9.4f", sz[j] / np; b += sz[j] }; printf " %9.4f\n", b / (np * nout)
            printf "  (trivial predictor: the mean target of the %d proteins of the database list)\n", ntrain
            printf "Ensemble error / trivial error = %.2f (%s).\n", a / b,
                a < b ? "below 1: the networks do better than always answering the mean" : "not below 1: the networks do no better than the mean"
        }' "$out/predictions.txt"
} >"$out/summary.txt"
cat "$out/summary.txt"
echo
echo "== done in $(elapsed "$start"); everything is in $out (summary.txt, predictions.txt, kelta.db, db/, net*.wei, logs/)"
