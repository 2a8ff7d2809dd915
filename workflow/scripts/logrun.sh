#!/usr/bin/env bash
# logrun.sh [-o OUTPUT] LOG COMMAND [ARGS...]
# Runs one program of the workflow with its messages (standard error, and standard output when
# no -o is given) in LOG.  With -o, standard output is the result table: it goes to a hidden
# temporary file beside OUTPUT that is renamed to OUTPUT only when COMMAND succeeds, so OUTPUT
# is whole or absent.  On failure the end of LOG is shown on standard error (Snakemake itself
# only names the log) and the status is COMMAND's.
set -uo pipefail
out=
if [ "${1:-}" = -o ]; then
    out=$2
    shift 2
fi
log=$1
shift
mkdir -p "$(dirname "$log")"
status=0
if [ -n "$out" ]; then
    tmp=$(dirname "$out")/.$(basename "$out").tmp.$$
    trap 'rm -f "$tmp"' EXIT
    "$@" >"$tmp" 2>"$log" || status=$?
    [ $status -ne 0 ] || mv -f "$tmp" "$out" || status=$?
else
    "$@" >"$log" 2>&1 || status=$?
fi
if [ $status -ne 0 ]; then
    echo "FAILED (status $status): $*" >&2
    tail -n 20 "$log" | sed 's/^/    /' >&2
fi
exit $status
