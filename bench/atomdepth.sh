#!/usr/bin/env bash
# atomdepth beside its peers, side by side on the same structures, in rounds; prints one table
# of medians and ratios.
#
#   bench/atomdepth.sh            3o21 (12,800 atoms), the 50,000-residue synthetic structure,
#                                 and 5,000 / 20,000-residue ones for the growth with size
#   bench/atomdepth.sh --quick    3o21 and a 5,000-residue structure, 3 rounds, numpy once
#
# Peers: FreeSASA (Debian package freesasa; Shrake-Rupley with the same 288 points per atom:
# `freesasa --shrake-rupley --resolution=288 --hetatm`, its default two threads), which does
# the accessibility half of the work; and bench/atomdepth_numpy.py, the method written the
# straightforward numpy way (all pairs), on 3o21 only (it takes tens of seconds there, and
# its work grows with the square of the atoms).  Figures are medians of wall-clock seconds
# and of CPU seconds (user + system) over the rounds, and the peak resident set.
#
# Environment: BUILD (build directory, default <repo>/build-bench), DATA (generated structures,
# default $BUILD/benchdata, shared with run.sh), REPS (rounds, default 7).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/table.sh"
BUILD=${BUILD:-$ROOT/build-bench}
DATA=${DATA:-$BUILD/benchdata}
QUICK=0
[[ ${1:-} == --quick ]] && QUICK=1
if ((QUICK)); then REPS=${REPS:-3}; sizes=(5000); else REPS=${REPS:-7}; sizes=(5000 20000 50000); fi
PY=/usr/bin/python3
say() { printf '== %s\n' "$*" >&2; }

load=$(cut -d' ' -f1 /proc/loadavg)
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
  say "warning: load average $load: other work shares the cores, the timings will be high and noisy"
fi
for p in freesasa /usr/bin/time; do
  command -v "$p" >/dev/null || { echo "bench/atomdepth.sh: needs $p (Debian packages freesasa, time)" >&2; exit 1; }
done

say "building atomdepth in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPROTNN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target atomdepth >&2
BIN=$BUILD/bin

mkdir -p "$DATA"
for n in "${sizes[@]}"; do
  [[ -f $DATA/s$n.pdb ]] && continue
  say "generating a structure of $n residues"
  "$PY" "$ROOT/bench/gen_bench.py" pdb "$DATA/s$n.pdb.tmp" "$n"
  mv "$DATA/s$n.pdb.tmp" "$DATA/s$n.pdb"
done

OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
median() { sort -g | awk '{ a[NR] = $1 } END { if (NR) print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
col() { awk -v c="$1" '$c != "-" && $c != "" { print $c }' "$2" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
le() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "yes" : "NO" }'; }
measure() {  # measure command...: "wall cpu rss_MB" of one run, its output thrown away
  /usr/bin/time -f "%e %U %S %M" -o "$OUT/t" "$@" >/dev/null 2>&1
  awk '{ printf "%.3f %.3f %.1f\n", $1, $2 + $3, $4 / 1024 }' "$OUT/t"
}
ours() {  # ours FILE: one atomdepth run into a fresh base name
  rm -f "$OUT"/a-*.depth
  measure "$BIN/atomdepth" -dp "$1" -o "$OUT/a"
}
fs() { measure freesasa --shrake-rupley --resolution=288 --hetatm "$1"; }
atoms() { grep -c '^ATOM  \|^HETATM' "$1"; }

rows=()
row() { rows+=("$1|$2|$3|$4|$5|$6"); }

structures=("3o21:$ROOT/examples/proteins/structures/3o21.pdb")
for n in "${sizes[@]}"; do structures+=("synthetic $n res:$DATA/s$n.pdb"); done
: >"$OUT/growth"
for entry in "${structures[@]}"; do
  name=${entry%%:*} file=${entry#*:}
  say "$name ($(atoms "$file") atom records)"
  numpy=0
  [[ $name == 3o21 ]] && numpy=1
  : >"$OUT/r"
  for ((r = 0; r < REPS; r++)); do
    a=$(ours "$file") f=$(fs "$file") np="- - -"
    if ((numpy && r < (QUICK ? 1 : 3))); then  # tens of seconds a run: 3 rounds
      rm -f "$OUT"/n-*.depth
      np=$(measure "$PY" "$ROOT/bench/atomdepth_numpy.py" -dp "$file" -o "$OUT/n")
    fi
    echo "$a $f $np" >>"$OUT/r"
  done
  aw=$(col 1 "$OUT/r") ac=$(col 2 "$OUT/r") am=$(col 3 "$OUT/r")
  fw=$(col 4 "$OUT/r") fc=$(col 5 "$OUT/r") fm=$(col 6 "$OUT/r")
  goal="-" met="-"
  if [[ $name == 3o21 || $name == "synthetic 50000 res" ]]; then goal="<= 1.5x" met=$(le "$(ratio "$aw" "$fw")" 1.5); fi
  row "$name: atomdepth vs FreeSASA, wall (s)" "$aw" "$fw" "$(ratio "$aw" "$fw")x" "$goal" "$met"
  row "$name: atomdepth vs FreeSASA, CPU (s)" "$ac" "$fc" "$(ratio "$ac" "$fc")x" "-" "-"
  row "$name: atomdepth vs FreeSASA, peak RSS (MB)" "$am" "$fm" "$(ratio "$am" "$fm")x" "-" "-"
  if ((numpy)); then
    nw=$(col 7 "$OUT/r")
    same=identical
    for k in atom residue; do cmp -s "$OUT/a-$k.depth" "$OUT/n-$k.depth" || same="files differ"; done
    row "$name: atomdepth vs numpy all pairs, wall (s) [$same]" "$aw" "$nw" "$(ratio "$nw" "$aw")x faster" ">= 50x" \
      "$(le 50 "$(ratio "$nw" "$aw")")"
  fi
  echo "$(atoms "$file") $ac $am $name" >>"$OUT/growth"
done

echo
machine_line rounds "$REPS"
print_table "atomdepth (median)" "${rows[@]}"
echo
echo "growth with size (atomdepth, CPU and peak RSS per 1000 atom records):"
awk '{ printf "  %-22s %8d atoms  %7.4f s  %7.2f MB\n", $4 " " $5 " " $6, $1, $2 / $1 * 1000, $3 / $1 * 1000 }' "$OUT/growth"
