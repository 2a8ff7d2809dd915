#!/usr/bin/env bash
# Builds the programs and the benchmarks, makes the benchmark data, runs the project's programs
# and the peers on the same data side by side, and prints one table of medians and ratios.
#
#   bench/run.sh           the full run (about 5 minutes on 2 cores; needs ~0.4 GB of disk)
#   bench/run.sh --quick   small sizes and few repetitions: checks that the tooling works
#   bench/run.sh --load    the database loading figures only (before and after, see BEFORE)
#
# Environment: BUILD (build directory, default <repo>/build-bench), REPS (repetitions of each
# timing), DATA (where the generated data go, default $BUILD/benchdata), BEFORE (a git revision
# whose loader is measured beside this tree's, in the same rounds; default ab0b46a, the last
# one that read the first protein's files three times; empty: none).  Missing Debian
# packages (libfann-dev, libbenchmark-dev, python3-numpy, python3-scipy, time, freesasa) are installed
# with apt-get when running as root.  Run it on a quiet machine: the figures are wall-clock
# medians.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/table.sh"
BUILD=${BUILD:-$ROOT/build-bench}
DATA=${DATA:-$BUILD/benchdata}
QUICK=0 LOADONLY=0
[[ ${1:-} == --quick ]] && QUICK=1
[[ ${1:-} == --load ]] && LOADONLY=1
BEFORE=${BEFORE-ab0b46a}
want() { ((!LOADONLY)) || [[ $1 == load ]]; }  # want SECTION: is the section measured in this run?
if ((QUICK)); then REPS=${REPS:-3}; else REPS=${REPS:-7}; fi
PY=/usr/bin/python3  # Debian's python, where python3-numpy and python3-scipy install
TYPES=$ROOT/data/amino_acids.types

say() { printf '== %s\n' "$*" >&2; }

load=$(cut -d' ' -f1 /proc/loadavg)
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
  say "warning: load average $load: other work shares the cores, the timings will be high and noisy"
fi

# --- packages ---------------------------------------------------------------------------------
need=()
for p in libfann-dev libbenchmark-dev python3-numpy python3-scipy time freesasa; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
((LOADONLY)) && need=()  # the loading figures need none of them
if ((${#need[@]})); then
  if [[ $(id -u) == 0 ]]; then
    say "installing ${need[*]}"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >&2
  else
    say "missing packages (not root, not installing): ${need[*]}"
  fi
fi

# --- build ------------------------------------------------------------------------------------
say "building in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPROTNN_BUILD_BENCH=ON -DPROTNN_BUILD_TESTS=OFF >/dev/null
targets=(nntrain pairdist bench_bound bench_load)
help=$(cmake --build "$BUILD" --target help)
have_target() { grep -qx "\.\.\. $1" <<<"$help"; }
for t in fann_epoch bench_train bench_pairdist; do have_target "$t" && targets+=("$t"); done
((LOADONLY)) && targets=(nntrain bench_load)
cmake --build "$BUILD" -j2 --target "${targets[@]}" >&2
BIN=$BUILD/bin
has() { [[ -x $BIN/$1 ]]; }
# The loader before: BEFORE's sources, built beside this tree (once per revision).
BBIN=
if [[ -n $BEFORE ]] && want load; then
  bsrc=$BUILD/before-src bbuild=$BUILD/before
  if [[ ! -x $bbuild/bin/nntrain || $(cat "$bbuild/revision" 2>/dev/null) != "$BEFORE" ]]; then
    say "building revision $BEFORE in $bbuild"
    rm -rf "$bsrc" "$bbuild"
    mkdir -p "$bsrc"
    git -C "$ROOT" archive "$BEFORE" | tar -x -C "$bsrc"
    cmake -S "$bsrc" -B "$bbuild" -DCMAKE_BUILD_TYPE=Release -DPROTNN_BUILD_TESTS=OFF >/dev/null
    cmake --build "$bbuild" -j2 --target nntrain >&2
    echo "$BEFORE" >"$bbuild/revision"
  fi
  # This tree's harness on that revision's loader: the same measurement of both.
  g++ -std=c++20 -O2 -ffp-contract=off -I"$bsrc" -I"$bbuild/generated" "$ROOT/bench/bench_load.cpp" \
    "$bbuild/trainer/libtrainer_core.a" "$bbuild/textio/libtextio.a" -o "$bbuild/bin/bench_load"
  BBIN=$bbuild/bin
fi

# --- data -------------------------------------------------------------------------------------
mkdir -p "$DATA"
gen() {  # gen db N | gen pdb N: made once (the list file and the PDB file are written last)
  local kind=$1 n=$2
  if [[ $kind == db ]]; then
    [[ -f $DATA/db$n/bench.db ]] && return 0
    say "generating a database of $n proteins"
    python3 "$ROOT/bench/gen_bench.py" db "$DATA/db$n" "$n"
  else
    [[ -f $DATA/s$n.pdb ]] && return 0
    say "generating a structure of $n residues"
    python3 "$ROOT/bench/gen_bench.py" pdb "$DATA/s$n.pdb.tmp" "$n"
    mv "$DATA/s$n.pdb.tmp" "$DATA/s$n.pdb"
  fi
}
if ((QUICK)); then dbs=(60 500); pdbs=(2000); loaddb=500; peer_sizes=(2000)
else dbs=(60 500 5000); pdbs=(2000 20000 50000); loaddb=5000; peer_sizes=(2000 20000); fi
if ((LOADONLY)); then dbs=(500 "$loaddb"); pdbs=(); fi
for n in "${dbs[@]}"; do gen db "$n"; done
for n in "${pdbs[@]}"; do gen pdb "$n"; done
DB500=$DATA/db500/bench.db

# --- helpers ----------------------------------------------------------------------------------
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
val() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }  # a figure from a benchmark's output
median() { sort -g | awk '{ a[NR] = $1 } END { if (NR) print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
now() { date +%s.%N; }
col() { awk -v c="$1" '$c != "-" && $c != "" { print $c }' "$2" | median; }  # median of a column
gb() {  # gb FILE REGEX: milliseconds (and label) of the last matching median of a Google Benchmark run
  python3 - "$1" "$2" <<'EOF'
import json, re, sys
try:
    runs = json.load(open(sys.argv[1]))["benchmarks"]
except (OSError, ValueError, KeyError):
    sys.exit()
scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
runs = [b for b in runs if not b.get("error_occurred") and re.search(sys.argv[2], b["run_name"])]
medians = [b for b in runs if b.get("aggregate_name") == "median"]
found = medians or [b for b in runs if b.get("run_type") == "iteration"]  # one repetition: no aggregates
if found:
    b = found[-1]
    print("%.6g %s" % (b["real_time"] * scale[b["time_unit"]], b.get("label", "") or "-"))
EOF
}
check() {  # check CONDITION-TEXT COMMAND...: stop the run when a sanity check fails
  local what=$1
  shift
  if ! "$@"; then echo "bench/run.sh: check failed: $what" >&2; exit 1; fi
}
rows=()
row() { rows+=("$1|$2|$3|$4|$5|$6"); }  # item, ours, peer, ratio, goal, met
fmt() { awk -v v="$1" -v s="$2" 'BEGIN { printf "%.4g %s", v, s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ge() { awk -v a="$1" -v b="$2" 'BEGIN { print (a >= b) ? "yes" : "NO" }'; }

# --- training epoch ---------------------------------------------------------------------------
# Rounds: each round measures ours, the peer and the bound once, so that a disturbance from
# outside falls on all of them alike; the figures are the medians over the rounds.
if want epoch; then
say "training epoch (500 proteins: 475 presentations, 2123-21-21-3)"
epochs=$((QUICK ? 5 : 20))
nt() {  # nntrain for $1 epochs in a fresh directory (its output files are created new)
  local d
  d=$(mktemp -d -p "$OUT")
  (cd "$d" && "$BIN/nntrain" -l "$DB500" -m "$1" -mi 100000 -r 7 -owf w.wei >/dev/null)
  rm -rf "$d"
}
nt 1
# Twice as many rounds here: a process's speed depends on where its 0.7 MB of weights land in
# the 1 MB second-level cache (FANN's epoch takes 24 ms in some processes, 35 ms in others).
: >"$OUT/epoch"
for ((r = 0; r < 2 * REPS + 1; r++)); do
  s=$(now)
  nt 1
  m=$(now)
  nt $((epochs + 1))
  e=$(now)
  nn=$(awk -v s="$s" -v m="$m" -v e="$e" -v n="$epochs" 'BEGIN { print ((e - m) - (m - s)) / n * 1000 }')
  "$BIN/bench_bound" train 2123 21 9 >"$OUT/bound_train"
  fann=- plain=- fast=-
  if has fann_epoch; then
    "$BIN/fann_epoch" "$DB500" 5 >"$OUT/fann"
    check "FANN's training error falls" awk '$1 == "fann_training_error_first" { a = $2 }
      $1 == "fann_training_error_last" { b = $2 } END { exit !(b < a) }' "$OUT/fann"
    fann=$(val fann_epoch_median "$OUT/fann")
  fi
  if has bench_train; then
    "$BIN/bench_train" --benchmark_repetitions=1 --benchmark_format=json >"$OUT/train.json" 2>"$OUT/train.err" || true
    read -r plain _ <<<"$(gb "$OUT/train.json" '^BM_epoch_plain$')"
    read -r fast label <<<"$(gb "$OUT/train.json" '^BM_epoch_fast/')"
  fi
  echo "$nn $(val bound_epoch "$OUT/bound_train") $fann ${plain:--} ${fast:--}" >>"$OUT/epoch"
done

nn_epoch=$(col 1 "$OUT/epoch") bound_epoch=$(col 2 "$OUT/epoch") fann=$(col 3 "$OUT/epoch")
plain=$(col 4 "$OUT/epoch") fast=$(col 5 "$OUT/epoch")
if has fann_epoch; then
  row "epoch: nntrain vs FANN 2.2 (ms)" "$(fmt "$nn_epoch" ms)" "$(fmt "$fann" ms)" "$(ratio "$fann" "$nn_epoch")x" ">= 5x" "$(ge "$(ratio "$fann" "$nn_epoch")" 5)"
fi
row "epoch: nntrain vs bound (ms)" "$(fmt "$nn_epoch" ms)" "$(fmt "$bound_epoch" ms)" "$(ratio "$nn_epoch" "$bound_epoch")x" "<= 2x" "$(ge 2 "$(ratio "$nn_epoch" "$bound_epoch")")"
if [[ -n $plain && -n $fast ]]; then
  row "epoch kernel ($label) vs plain loops (ms)" "$(fmt "$fast" ms)" "$(fmt "$plain" ms)" "$(ratio "$plain" "$fast")x" "-" "-"
  if has fann_epoch; then
    row "epoch kernel ($label) vs FANN 2.2 (ms)" "$(fmt "$fast" ms)" "$(fmt "$fann" ms)" "$(ratio "$fann" "$fast")x" ">= 5x" "$(ge "$(ratio "$fann" "$fast")" 5)"
  fi
  row "epoch kernel ($label) vs bound (ms)" "$(fmt "$fast" ms)" "$(fmt "$bound_epoch" ms)" "$(ratio "$fast" "$bound_epoch")x" "<= 2x" "$(ge 2 "$(ratio "$fast" "$bound_epoch")")"
fi

fi

# --- database loading -------------------------------------------------------------------------
# Rounds: this tree's bench_load and BEFORE's, one after the other, then a whole 2-epoch
# training on the 500-protein database by each build's nntrain; medians over the rounds.
say "database loading ($loaddb proteins${BBIN:+, this tree and revision $BEFORE side by side})"
two_epochs() {  # two_epochs BINDIR NAME: wall seconds of a 2-epoch training; keeps log and weights
  local d s e
  d=$(mktemp -d -p "$OUT")
  s=$(now)
  (cd "$d" && "$1/nntrain" -l "$DB500" -m 2 -mi 100000 -r 7 -owf w.wei >/dev/null)
  e=$(now)
  cp "$d/w.wei" "$OUT/$2.wei"
  cp "$d/w.wei.fort.15" "$OUT/$2.log"
  rm -rf "$d"
  awk -v a="$s" -v b="$e" 'BEGIN { printf "%.6f\n", b - a }'
}
: >"$OUT/loads"
for ((r = 0; r < REPS; r++)); do
  peer=--no-peer
  ((r == 0)) && peer=
  "$BIN/bench_load" "$DATA/db$loaddb/bench.db" 1 $peer >"$OUT/load"
  [[ -z $peer ]] && cp "$OUT/load" "$OUT/load_peer"
  after=$(val load_initdb_median "$OUT/load") after_cpu=$(val load_initdb_cpu_median "$OUT/load")
  before=- before_cpu=- t_before=-
  if [[ -n $BBIN ]]; then
    "$BBIN/bench_load" "$DATA/db$loaddb/bench.db" 1 --no-peer >"$OUT/load_before"
    check "revision $BEFORE and this tree store the same bits" \
      test "$(val load_checksum "$OUT/load_before")" = "$(val load_checksum "$OUT/load")"
    before=$(val load_initdb_median "$OUT/load_before") before_cpu=$(val load_initdb_cpu_median "$OUT/load_before")
    t_before=$(two_epochs "$BBIN" before)
  fi
  t_after=$(two_epochs "$BIN" after)
  echo "$after $after_cpu $before $before_cpu $t_after $t_before" >>"$OUT/loads"
done
bytes=$(val load_bytes "$OUT/load")
rate() { awk -v b="$bytes" -v t="$1" 'BEGIN { print b / t / 1e6 }'; }
after=$(rate "$(col 1 "$OUT/loads")") after_cpu=$(rate "$(col 2 "$OUT/loads")")
io=$(val load_iostream_rate "$OUT/load_peer")
row "load: initdb vs iostream (MB/s, wall; iostream: one round)" "$(fmt "$after" MB/s)" "$(fmt "$io" MB/s)" \
  "$(ratio "$after" "$io")x" ">= 500 MB/s" "$(ge "$after" 500)"
row "load: initdb (MB/s, CPU time)" "$(fmt "$after_cpu" MB/s)" "-" "-" ">= 500 MB/s" "$(ge "$after_cpu" 500)"
if [[ -n $BBIN ]]; then
  check "the 2-epoch trainings of $BEFORE and this tree write the same weights" \
    cmp -s "$OUT/before.wei" "$OUT/after.wei"
  check "the 2-epoch trainings of $BEFORE and this tree write the same log" \
    cmp -s "$OUT/before.log" "$OUT/after.log"
  before=$(rate "$(col 3 "$OUT/loads")") before_cpu=$(rate "$(col 4 "$OUT/loads")")
  row "load: initdb now vs revision $BEFORE (MB/s, wall)" "$(fmt "$after" MB/s)" "$(fmt "$before" MB/s)" \
    "$(ratio "$after" "$before")x" "-" "-"
  row "load: initdb now vs revision $BEFORE (MB/s, CPU time)" "$(fmt "$after_cpu" MB/s)" "$(fmt "$before_cpu" MB/s)" \
    "$(ratio "$after_cpu" "$before_cpu")x" "-" "-"
  t_after=$(col 5 "$OUT/loads") t_before=$(col 6 "$OUT/loads")
  row "nntrain -m 2, 500 proteins, whole process: now vs $BEFORE (s)" "$(fmt "$t_after" s)" "$(fmt "$t_before" s)" \
    "$(ratio "$t_before" "$t_after")x" "-" "-"
fi
printf '# %s MB of text\n' "$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1e6 }')" >&2

# --- pairdist ---------------------------------------------------------------------------------
# Rounds again: per size, the program, the bound and (for the peer's sizes) the numpy script.
if want pairdist; then
say "pairdist"
wall() {  # wall command...: wall seconds of one run
  local s e
  s=$(now)
  "$@" >/dev/null
  e=$(now)
  awk -v a="$s" -v b="$e" 'BEGIN { printf "%.6f\n", b - a }'
}
for n in "${pdbs[@]}"; do
  "$BIN/pairdist" -dp "$DATA/s$n.pdb" -t "$TYPES" >"$OUT/pd$n"
  check "pairdist writes 441 lines for s$n.pdb" test "$(wc -l <"$OUT/pd$n")" = 441
  peer=0
  for p in "${peer_sizes[@]}"; do [[ $p == "$n" ]] && peer=1; done
  ((peer)) && "$PY" "$ROOT/bench/pairdist_numpy.py" -dp "$DATA/s$n.pdb" -t "$TYPES" >/dev/null  # warm
  : >"$OUT/pdt$n"
  for ((r = 0; r < REPS; r++)); do
    t=$(wall "$BIN/pairdist" -dp "$DATA/s$n.pdb" -t "$TYPES")
    "$BIN/bench_bound" divsqrt "$n" 1 >"$OUT/bound_pd"
    np=-
    if ((peer && (n <= 5000 || r < 3))); then  # the 20000-residue script takes seconds: 3 runs
      np=$(wall "$PY" "$ROOT/bench/pairdist_numpy.py" -dp "$DATA/s$n.pdb" -t "$TYPES")
    fi
    echo "$t $(val bound_divsqrt "$OUT/bound_pd") $np" >>"$OUT/pdt$n"
  done
  t=$(col 1 "$OUT/pdt$n") b=$(col 2 "$OUT/pdt$n")
  if ((peer)); then
    np=$(col 3 "$OUT/pdt$n")
    # the table to compare: from one block (the plain loop's order of additions) up to 20000
    exact=()
    ((n <= 20000)) && exact=(--exact)
    "$PY" "$ROOT/bench/pairdist_numpy.py" -dp "$DATA/s$n.pdb" -t "$TYPES" "${exact[@]}" >"$OUT/np$n"
    same=$("$PY" - "$OUT/pd$n" "$OUT/np$n" <<'EOF'
import sys
a = [[float(v) for v in l.split()] for l in open(sys.argv[1])]
b = [[float(v) for v in l.split()] for l in open(sys.argv[2])]
if len(a) != len(b):
    print("different tables"); sys.exit()
if open(sys.argv[1]).read() == open(sys.argv[2]).read():
    print("identical"); sys.exit()
m = max(abs(x - y) / max(abs(x), abs(y)) for la, lb in zip(a, b) for x, y in zip(la, lb) if x != y)
print("max rel diff %.1e" % m)
EOF
)
    goal="-" met="-"
    if ((n == 20000)); then goal=">= 40x" met=$(ge "$(ratio "$np" "$t")" 40); fi
    row "pairdist $n res vs numpy/scipy (s) [$same]" "$(fmt "$t" s)" "$(fmt "$np" s)" "$(ratio "$np" "$t")x" "$goal" "$met"
  fi
  row "pairdist $n res (whole run) vs divide/sqrt bound (s)" "$(fmt "$t" s)" "$(fmt "$b" s)" "$(ratio "$t" "$b")x" "-" "-"
done
if has bench_pairdist; then
  nres=$((QUICK ? 2000 : 20000))
  : >"$OUT/loop"
  for ((r = 0; r < REPS; r++)); do
    "$BIN/bench_pairdist" --nres=$nres --benchmark_filter='pair_loop/(plain|best)' --benchmark_repetitions=1 \
      --benchmark_format=json >"$OUT/pairdist.json" 2>"$OUT/pairdist.err" || true
    read -r plain _ <<<"$(gb "$OUT/pairdist.json" '^pair_loop/plain')"
    read -r best _ <<<"$(gb "$OUT/pairdist.json" '^pair_loop/best')"
    "$BIN/bench_bound" divsqrt "$nres" 1 >"$OUT/bound_loop"
    echo "${plain:--} ${best:--} $(val bound_divsqrt "$OUT/bound_loop")" >>"$OUT/loop"
  done
  plain=$(col 1 "$OUT/loop") best=$(col 2 "$OUT/loop") b=$(col 3 "$OUT/loop")
  if [[ -n $plain && -n $best ]]; then
    best=$(awk -v v="$best" 'BEGIN { print v / 1000 }')
    plain=$(awk -v v="$plain" 'BEGIN { print v / 1000 }')
    row "pairdist pair loop $nres res: vector vs plain (s)" "$(fmt "$best" s)" "$(fmt "$plain" s)" "$(ratio "$plain" "$best")x" "-" "-"
    goal="-" met="-"
    if ((nres == 20000)); then goal="<= 1.5x" met=$(ge 1.5 "$(ratio "$best" "$b")"); fi
    row "pairdist pair loop $nres res vs divide/sqrt bound (s)" "$(fmt "$best" s)" "$(fmt "$b" s)" "$(ratio "$best" "$b")x" "$goal" "$met"
  fi
fi

fi

# --- peak memory of a training run ------------------------------------------------------------
if want memory; then
say "peak memory of a training run"
rss() {  # rss N EPOCHS: maximum resident set of nntrain over the N-protein database, in MB
  local d
  d=$(mktemp -d -p "$OUT")
  (cd "$d" && /usr/bin/time -f "%M" -o rss "$BIN/nntrain" -l "$DATA/db$1/bench.db" -m "$2" -mi 100000 -r 7 \
    -owf w.wei && cat rss) | awk '{ printf "%.1f", $1 / 1024 }'
  cp "$d/w.wei.fort.15" "$OUT/log$1.$2"
}
expect() {  # the database as doubles (inputs and targets) plus the network (weights, best, momentum)
  awk -v n="$1" 'BEGIN { nip = 2123; nop = 3; w = (nip + 1) * 21 + 22 * 21 + 22 * nop;
    printf "%.1f", (n * (nip + nop) * 8 + 3 * w * 8) / 1048576 }'
}
base=$(/usr/bin/time -f "%M" "$BIN/nntrain" -h 2>&1 >/dev/null | awk '{ printf "%.1f", $1 / 1024 }')
many=$((QUICK ? 10 : 50))
sizes=(500)
[[ $loaddb != 500 ]] && sizes+=("$loaddb")
for n in "${sizes[@]}"; do
  r5=$(rss "$n" 5)
  rmany=$(rss "$n" "$many")
  check "nntrain sees the $n-protein database as nip 2123, nop 3" \
    grep -q "# DB: nip,nop,ntotp =       2123         3 *$n\$" "$OUT/log$n.5"
  e=$(expect "$n")
  net=$(awk -v a="$r5" -v b="$base" 'BEGIN { printf "%.1f", a - b }')
  # a second copy of the database would make the ratio about 2
  row "peak RSS, nntrain -m 5, $n proteins, above a bare start (MB) vs database+network" "$net MB ($r5 - $base)" \
    "$e MB" "$(ratio "$net" "$e")x" "< 1.5x; same with -m $many" \
    "$(awk -v a="$net" -v e="$e" -v r5="$r5" -v rm="$rmany" \
      'BEGIN { print (a < 1.5 * e && rm <= r5 * 1.02 + 0.5) ? "yes" : "NO" }') (-m $many: $rmany MB)"
done

fi

# --- the table --------------------------------------------------------------------------------
echo
machine_line reps "$REPS"
print_table "ours (median)" "${rows[@]}"
echo
if [[ -f $OUT/bound_train ]]; then echo "bound kernels, last round: $(tr '\n' ' ' <"$OUT/bound_train")"; fi
for f in train pairdist; do  # keep the kernel benchmarks' whole reports beside the data
  if [[ -f $OUT/$f.json ]]; then cp "$OUT/$f.json" "$DATA/bench_$f.json"; fi
done

# --- atomdepth: its own script and table (bench/atomdepth.sh) ------------------------------------
echo
if ! want atomdepth; then
  :  # --load: the loading figures only
elif command -v freesasa >/dev/null; then
  quick=()
  ((QUICK)) && quick=(--quick)
  BUILD=$BUILD DATA=$DATA REPS=$REPS bash "$ROOT/bench/atomdepth.sh" "${quick[@]}"
else
  say "freesasa missing: atomdepth's benchmark left out"
fi
