#!/usr/bin/env bash
# Bounded fuzzing of every reader: builds the libFuzzer targets with clang (build-fuzz) and runs
# each for <seconds> on a scratch copy of its committed corpus, so the corpus does not grow.
# Prints each target's executions; exits non-zero on any crash, leak, timeout or memory blow-up,
# keeping the path of the input that caused it in the output.
#   tests/fuzz/run.sh [seconds] [target...]      (default 60 seconds, every target built)
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
seconds=${1:-60}
shift || true
build=${PROTNN_FUZZ_BUILD:-$root/build-fuzz}

mkdir -p "$build"
CC=${CC_FUZZ:-clang} CXX=${CXX_FUZZ:-clang++} cmake -S "$root" -B "$build" -DPROTNN_FUZZ=ON \
  -DPROTNN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; echo "fuzz: configure failed"; exit 1; }
cmake --build "$build" -j 2 --target fuzz_all || { echo "fuzz: build failed"; exit 1; }

if [ $# -gt 0 ]; then targets=("$@"); else mapfile -t targets < <(grep . "$build/fuzz_targets.txt"); fi
work=$(mktemp -d "${TMPDIR:-/tmp}/protnn-fuzz-run-XXXXXX")
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
failed=0
for t in "${targets[@]}"; do
  exe="$build/bin/$t"
  [ -x "$exe" ] || { echo "fuzz: $t: not built"; failed=1; continue; }
  corpus="$work/$t"
  mkdir -p "$corpus"
  cp -r "$root/tests/fuzz/corpus/$t/." "$corpus/" 2>/dev/null || true
  dict=()
  [ -f "$root/tests/fuzz/dict/$t.dict" ] && dict=(-dict="$root/tests/fuzz/dict/$t.dict")
  log="$work/$t.log"
  # TMPDIR: the harness's scratch directory goes under $work, which is removed at the end even
  # when libFuzzer leaves without running exit handlers (time limit, crash).
  TMPDIR="$work" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$exe" "$corpus" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" > "$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  [ -n "$runs" ] || runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\)/\1/p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  if [ $rc -ne 0 ]; then
    failed=1
    echo "fuzz: $t: FAILED after ${runs:-?} runs (status $rc)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|artifact_prefix|Test unit written|ALARM|==[0-9]+== ERROR)' "$log" | head -20
    tail -40 "$log"
  else
    echo "fuzz: $t: ${runs:-?} runs in ${seconds}s, ${cov:-cov: ?}, clean"
  fi
done
rm -rf "$work"
exit $failed
