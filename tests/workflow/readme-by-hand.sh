#!/usr/bin/env bash
# tests/workflow/readme-by-hand.sh BINDIR
# Runs the command block of the README's section "The pipeline by hand" as written, in a new
# folder, with P the checkout and B the programs under test, and checks its last file: the
# held-out proteins of fold 1, each with its 3 outputs.
set -euo pipefail
export B
B=$(cd "$1" && pwd)
export P
P=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/protnn-by-hand.XXXXXX)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$P/README.md" >"$work/block.sh" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
section = text.split("## The pipeline by hand", 1)[1].split("\n## ", 1)[0]
print(re.search(r"```sh\n(.*?)```", section, re.S).group(1))
PY
cd "$work"
bash -euo pipefail block.sh >run.log 2>&1 || { tail -n 20 run.log; echo "FAIL: the block stopped" >&2; exit 1; }
held=$(grep -c . db/fold1.ids)
[ "$(tail -n +2 fold1.tsv | wc -l)" -eq $((3 * held)) ] || { echo "FAIL: fold1.tsv is not 3 rows per held-out protein" >&2; exit 1; }
echo "ok: the README's pipeline by hand, $held proteins of fold 1 predicted"
