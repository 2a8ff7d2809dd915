#!/usr/bin/env bash
# bench/workflow/scale.sh [options] REV[:CONFIG WORDS] ...
# The workflow on large collections, revisions side by side in one run.  Each REV (a commit,
# branch or tag of this repository) is exported with `git archive` into a work folder and its
# programs are built there (cmake, Release).  The collections are the 40 example structures
# repeated under new ids (p000001 ... as hard links in one folder, the examples taken in turn
# in name order), with a targets table made from examples/proteins/manifest.tsv (helix,
# strand, rg_ratio, and the family as group: copies of one protein stay in one fold).
#
# Measured, for every REV in turn within each round (so the revisions share the machine's
# state):
#   plan   `snakemake -n` of N structures: wall time and peak resident set (/usr/bin/time -v)
#   run    the whole workflow on N structures, 2 jobs at a time, 2 folds x 1 network, nntrain
#          -m 5 (training negligible): wall time, structures per second, peak resident set,
#          and the engine share: 1 - (the jobs' own core seconds: wall times from
#          OUTDIR/benchmarks/ times their threads) / (jobs at a time x wall), the share of the
#          cores' time spent outside the jobs (idle cores included)
#   same   after each run size: the feature tables (OUTDIR/features/<id>/*.tab) and
#          predictions.tsv of every REV compared with those of the first REV, byte for byte
# Prints one table (bench/table.sh): the last REV is "ours", the first one the "peer".
#
# CONFIG WORDS after a colon go to that revision's `--config` (e.g. `main:batch_size=50`: a
# setting that only one revision knows).  Options:
#   -p "SIZES"  plan sizes (default "1000 5000 20000 50000")
#   -r "SIZES"  run sizes, every REV (default "1000")
#   -g "SIZES"  further run sizes for the last REV only: growth (default none, e.g. "20000")
#   -k N        rounds; the table holds medians (default 1)
#   -t SECONDS  time limit of one plan (default 900) and -T of one run (default 7200); a
#               measurement that hits it is shown as "> SECONDS"
#   -w DIR      work folder (must not exist; kept); default a temporary one, removed at the end
#   -j N        jobs at a time of the runs (default 2)
# Example, the issue's before and after (one round took 45 minutes on 2 shared cores: 12 for the
# old revision's plan of 50,000 structures, 6 for its run of 1,000, 18 for the growth run):
#   bench/workflow/scale.sh -w /tmp/scale-main -T 2400 -g 20000 ec94e14 main
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/bench/table.sh"

plan_sizes="1000 5000 20000 50000"
run_sizes=1000
growth_sizes=
rounds=1
plan_limit=900
run_limit=7200
work=
jobs=2
while getopts p:r:g:k:t:T:w:j: opt; do
    case $opt in
    p) plan_sizes=$OPTARG ;;
    r) run_sizes=$OPTARG ;;
    g) growth_sizes=$OPTARG ;;
    k) rounds=$OPTARG ;;
    t) plan_limit=$OPTARG ;;
    T) run_limit=$OPTARG ;;
    w) work=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) sed -n '2,/^set -e/p' "$0" | sed '$d' >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [options] REV[:CONFIG WORDS] ... (see the top of the script)" >&2; exit 2; }
command -v snakemake >/dev/null || { echo "no snakemake (Debian package snakemake)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "no /usr/bin/time (Debian package time)" >&2; exit 1; }

if [ -n "$work" ]; then
    mkdir -- "$work"
    work=$(cd "$work" && pwd)
else
    work=$(mktemp -d /tmp/protnn-scale.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
results=$work/results.tsv # label kind N round status wall_s maxrss_kb load1 jobs_s
printf 'label\tkind\tN\tround\tstatus\twall_s\tmaxrss_kb\tload1\tjobs_s\n' >"$results"
say() { echo "== $(date -u +%H:%M:%S) load $(cut -d' ' -f1 /proc/loadavg): $*" >&2; }

# The revisions: exported and built once each.
labels=()
declare -A src words
for arg in "$@"; do
    rev=${arg%%:*}
    w=
    [ "$rev" = "$arg" ] || w=${arg#*:}
    hash=$(git -C "$repo" rev-parse --short "$rev^{commit}")
    label=$(printf '%s' "$rev" | tr -c 'A-Za-z0-9._-' _)
    # A commit id gives its short form; a name gets the commit beside it.
    case $rev in "$hash"*) label=$hash ;; *) label=$label-$hash ;; esac
    labels+=("$label")
    words[$label]=$w
    src[$label]=$work/src/$label
    mkdir -p "${src[$label]}"
    git -C "$repo" archive "$hash" | tar -x -C "${src[$label]}"
    say "building $label ($rev)"
    { cmake -S "${src[$label]}" -B "${src[$label]}/build" -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "${src[$label]}/build" -j 2 --target nntrain pairdist depthdist atomdepth; } \
        >"$work/build-$label.log" 2>&1 || { tail -n 30 "$work/build-$label.log" >&2; exit 1; }
done

# collection N: structures/p000001.pdb ... (the examples in turn) and targets.csv with the
# manifest's row of each example under its new id.  Hard links (copies across file systems): a
# folder reader may take two symbolic links to one file for one file.
collection() {
    local n=$1 dir=$work/collections/$1
    [ -d "$dir" ] || /usr/bin/python3 - "$repo/examples/proteins" "$n" "$dir" <<'PY' >&2
import csv, os, shutil, sys
examples, n, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
names = sorted(f for f in os.listdir(os.path.join(examples, "structures")) if f.endswith(".pdb"))
with open(os.path.join(examples, "manifest.tsv"), newline="") as f:
    rows = {r["sample"]: r for r in csv.DictReader(f, delimiter="\t")}
tmp = out + ".tmp"
os.makedirs(os.path.join(tmp, "structures"))
lines = ["id,helix,strand,rg_ratio,group"]
for i in range(1, n + 1):
    name = names[(i - 1) % len(names)]
    src, dst = os.path.join(examples, "structures", name), os.path.join(tmp, "structures", f"p{i:06d}.pdb")
    try:
        os.link(src, dst)
    except OSError:
        shutil.copyfile(src, dst)
    r = rows[name[:-4]]
    lines.append(f"p{i:06d},{r['helix']},{r['strand']},{r['rg_ratio']},{r['group']}")
with open(os.path.join(tmp, "targets.csv"), "w") as f:
    f.write("\n".join(lines) + "\n")
os.rename(tmp, out)
PY
    echo "$dir"
}

# measure LABEL KIND N ROUND LIMIT: one snakemake run (KIND plan: -n) in its own folder.
measure() {
    local label=$1 kind=$2 n=$3 round=$4 limit=$5 coll dir status=ok load1 wall rss jobs_s=
    coll=$(collection "$n")
    dir=$work/runs/$label-$kind-$n-$round
    mkdir -p "$dir"
    local config=(structures="$coll/structures" targets="$coll/targets.csv" out="$dir/out"
        bindir="${src[$label]}/build/bin" folds=2 networks=1 nntrain="-h1 5 -h2 5 -u 0.01 -m 5 -mi 300")
    # shellcheck disable=SC2206 # the revision's words, split on purpose
    config+=(${words[$label]})
    local flags=(-j "$jobs")
    [ "$kind" = plan ] && flags+=(-n --quiet)
    load1=$(cut -d' ' -f1 /proc/loadavg)
    say "$kind $label N=$n round $round"
    (cd "$dir" && /usr/bin/time -v -o time.txt timeout "$limit" \
        snakemake -s "${src[$label]}/workflow/Snakefile" "${flags[@]}" --config "${config[@]}" \
        >log.txt 2>&1) || status=failed
    grep -q 'Command exited with non-zero status 124' "$dir/time.txt" && status=timeout
    [ $status = failed ] && { echo "-- $kind $label N=$n failed; end of $dir/log.txt:" >&2; tail -n 15 "$dir/log.txt" >&2; }
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
        for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$dir/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$dir/time.txt")
    if [ "$kind" = run ] && [ $status = ok ]; then
        # Every job's own time: the first column (s) of its benchmark file times its threads
        # (the job's "threads:" line in Snakemake's log; 1 when none), i.e. core seconds; per
        # rule (the benchmark file's folder) the jobs, wall and core seconds and the largest
        # max_rss (MB) are kept in jobs.txt beside the run's log.
        /usr/bin/python3 - "$dir/log.txt" "$dir/out/benchmarks" >"$dir/jobs.txt" <<'PY'
import os, re, sys
log, root = sys.argv[1:]
threads, bench = {}, None
for line in open(log, errors="replace"):
    m = re.match(r"\s+(benchmark|threads): (.*)", line)
    if m and m.group(1) == "benchmark":
        bench = os.path.normpath(m.group(2).strip())
        threads[bench] = 1
    elif m and bench:
        threads[bench] = int(m.group(2))
    elif re.match(r"(local)?rule \w+:", line):
        bench = None
rules = {}
for d, _, files in os.walk(root):
    for f in files:
        if not f.endswith(".tsv"):
            continue
        path = os.path.normpath(os.path.join(d, f))
        rows = open(path).read().split("\n")
        v = rows[1].split("\t")
        rel = os.path.relpath(path, root).split(os.sep)
        r = rules.setdefault(rel[0] if len(rel) > 1 else "(top)", [0, 0.0, 0.0, 0.0])
        t = threads.get(path, 1)
        r[0] += 1; r[1] += float(v[0]); r[2] += float(v[0]) * t
        try:
            r[3] = max(r[3], float(v[2]))
        except (IndexError, ValueError):
            pass
for name in sorted(rules):
    n, wall, core, rss = rules[name]
    print(f"{name:<12} {n:7d} jobs {wall:10.3f} s {core:10.3f} core s {rss:9.1f} MB")
PY
        jobs_s=$(awk '{ s += $6 } END { printf "%.3f", s }' "$dir/jobs.txt")
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$kind" "$n" "$round" "$status" \
        "$wall" "$rss" "$load1" "$jobs_s" >>"$results"
}

# same N: the feature tables and predictions of every revision's round-1 run against the first's.
same=$work/same.tsv
: >"$same"
compare() {
    local n=$1 a=$work/runs/${labels[0]}-run-$1-1/out label
    for label in "${labels[@]:1}"; do
        /usr/bin/python3 - "$a" "$work/runs/$label-run-$n-1/out" "$n" "$label" >>"$same" <<'PY'
import filecmp, os, sys
a, b, n, label = sys.argv[1:]
def tables(out):
    root = os.path.join(out, "features")
    if not os.path.isdir(root):                 # a run that failed early
        return []
    return sorted(os.path.join(d, t) for d in os.listdir(root) if os.path.isdir(os.path.join(root, d))
                  for t in os.listdir(os.path.join(root, d)) if t.endswith(".tab"))
ta, tb = tables(a), tables(b)
same = [t for t in ta if t in set(tb) and filecmp.cmp(os.path.join(a, "features", t),
                                                      os.path.join(b, "features", t), shallow=False)]
pa, pb = os.path.join(a, "predictions.tsv"), os.path.join(b, "predictions.tsv")
pred = os.path.exists(pa) and os.path.exists(pb) and filecmp.cmp(pa, pb, shallow=False)
print(f"{n}\t{label}\t{len(same)}\t{len(ta)}\t{len(tb)}\t{'yes' if pred else 'no'}")
PY
    done
}

say "work folder $work; rounds $rounds; revisions ${labels[*]}"
machine_line rounds "$rounds" >"$work/machine.txt"
echo "$jobs" >"$work/jobs"
for ((r = 1; r <= rounds; r++)); do
    for n in $plan_sizes; do
        for label in "${labels[@]}"; do measure "$label" plan "$n" "$r" "$plan_limit"; done
    done
    for n in $run_sizes; do
        for label in "${labels[@]}"; do measure "$label" run "$n" "$r" "$run_limit"; done
        if [ "$r" = 1 ] && [ ${#labels[@]} -gt 1 ]; then compare "$n"; fi
        # The outputs of a run are large (every structure's tables); keep its log and times.
        for label in "${labels[@]}"; do
            [ -n "${KEEP:-}" ] || rm -rf "$work/runs/$label-run-$n-$r/out" "$work/runs/$label-run-$n-$r/.snakemake"
        done
    done
    for n in $growth_sizes; do
        measure "${labels[-1]}" run "$n" "$r" "$run_limit"
        [ -n "${KEEP:-}" ] || rm -rf "$work/runs/${labels[-1]}-run-$n-$r/out" "$work/runs/${labels[-1]}-run-$n-$r/.snakemake"
    done
done
"$here/scale-table.sh" "$work" "${labels[@]}"
