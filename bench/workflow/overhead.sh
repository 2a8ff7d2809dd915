#!/usr/bin/env bash
# bench/workflow/overhead.sh [N]: the engine's cost per job, measured on N empty jobs (default
# 20): Snakemake locally with 2 cores, and through workflow/local-slurm.sh with the Slurm
# profile, one Slurm job per rule instance and grouped 10 per Slurm job.  Prints wall seconds
# per job; the cluster's own start and stop is measured alone first (its time is part of the
# Slurm rows).  Runs as root (the local Slurm cluster).
set -euo pipefail
n=${1:-20}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
work=$(mktemp -d /tmp/overhead.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
run() { # LABEL JOBS-PER-JOB COMMAND...: wall time per job
    local label=$1 t0 t1
    shift
    rm -rf empty .snakemake
    t0=$(date +%s.%N)
    "$@" >"$work/$label.log" 2>&1 || { tail -n 20 "$work/$label.log" >&2; exit 1; }
    t1=$(date +%s.%N)
    awk -v l="$label" -v a="$t0" -v b="$t1" -v n="$n" \
        'BEGIN { printf "%-34s %6.2f s for %d jobs = %5.2f s per job\n", l, b - a, n, (b - a) / n }'
}
smk=(snakemake -s "$here/Snakefile" --config n="$n")
run "local, -j 2" "${smk[@]}" -j 2
run "local, -j 1" "${smk[@]}" -j 1
run "local-slurm.sh true (no job)" "$repo/workflow/local-slurm.sh" true
run "slurm profile, 1 job each" "$repo/workflow/local-slurm.sh" "${smk[@]}" --profile "$repo/workflow/profiles/slurm"
run "slurm profile, grouped by 10" "$repo/workflow/local-slurm.sh" "${smk[@]}" group=10 \
    --profile "$repo/workflow/profiles/slurm" --group-components empty=10
