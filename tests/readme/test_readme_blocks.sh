#!/usr/bin/env bash
# tests/readme/test_readme_blocks.sh REPO BINDIR [README]
# Runs every shell block (```sh, ```bash or ```shell) of README (default REPO/README.md) as
# written, in the README's order: each in a new `bash -e -o pipefail`, all in one fresh folder
# that looks like a fresh checkout after a build: symbolic links to the checkout's top-level
# files and folders (those git tracks, when REPO is a git checkout) and `build` to the build
# tree whose programs are BINDIR, which also comes first on PATH.  So a block may use what an
# earlier block made, and nothing is written into the checkout.
# A block whose nearest non-blank line before it is `<!-- not run by the test: REASON -->` is
# skipped and named with its reason; a marker that is not right before a block is an error, so
# the list of exclusions in the README stays the list of blocks it names.
# Fails when a block fails (each named by its README line and first line, with the end of its
# output) or when no block ran.  Each block has 300 s (BLOCK_TIMEOUT).
set -uo pipefail
# A block that runs the test suite (an unmarked `make test`) would run this test again.
[ -z "${PROTNN_README_TEST:-}" ] || { echo "FAIL: run from a README block (a block runs the tests?)" >&2; exit 1; }
export PROTNN_README_TEST=1
repo=$(cd "$1" && pwd)
bindir=$(cd "$2" && pwd)
readme=${3:-$repo/README.md}
[ -f "$readme" ] || { echo "FAIL: no $readme" >&2; exit 1; }

tmp=$(mktemp -d /tmp/protnn-readme-test.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
work=$tmp/checkout
mkdir "$work" "$tmp/blocks"
if top=$(git -C "$repo" ls-files 2>/dev/null | cut -d/ -f1 | sort -u) && [ -n "$top" ]; then :; else
    top=$(ls "$repo")
fi
while IFS= read -r name; do
    case $name in build | build-* | "") continue ;; esac
    ln -s "$repo/$name" "$work/$name"
done <<<"$top"
ln -s "$(dirname "$bindir")" "$work/build"

# The blocks: blocks/<line>.sh (line: the README line of the opening fence), and
# blocks/<line>.skip holding the marker's reason.  Markers not right before a block: errors.
awk -v dir="$tmp/blocks" '
    function flush_marker() {
        if (marker != "") { printf "README line %d: a \"not run by the test\" marker with no shell block right after it\n", marker_line > "/dev/stderr"; bad = 1 }
        marker = ""
    }
    inblock && /^```/ { inblock = 0; close(file); next }
    inblock { print > file; next }
    /^```(sh|bash|shell)[ \t]*$/ {
        inblock = 1; file = dir "/" sprintf("%05d", NR) ".sh"; printf "" > file
        if (marker != "") { print marker > (dir "/" sprintf("%05d", NR) ".skip"); close(dir "/" sprintf("%05d", NR) ".skip") }
        marker = ""; next
    }
    /^```/ { flush_marker(); next }
    /^[ \t]*<!-- not run by the test:.*-->[ \t]*$/ {
        flush_marker(); marker = $0; sub(/^[ \t]*<!-- not run by the test:[ \t]*/, "", marker); sub(/[ \t]*-->[ \t]*$/, "", marker)
        if (marker == "") marker = "(no reason given)"
        marker_line = NR; next
    }
    /^[ \t]*$/ { next }
    { flush_marker() }
    END { flush_marker(); if (inblock) { print "README: a shell block that is never closed" > "/dev/stderr"; bad = 1 } exit bad }
' "$readme" || { echo "FAIL: $readme: misplaced markers or an open block (above)" >&2; exit 1; }

passed=0 failed=0 skipped=0
for block in "$tmp"/blocks/*.sh; do
    [ -e "$block" ] || break
    line=$((10#$(basename "$block" .sh)))
    first=$(grep -m1 -v '^[[:space:]]*$' "$block" || true)
    if [ -f "${block%.sh}.skip" ]; then
        echo "skipped README line $line: $first  (not run by the test: $(cat "${block%.sh}.skip"))"
        skipped=$((skipped + 1))
        continue
    fi
    t0=$(date +%s)
    (cd "$work" && PATH="$bindir:$PATH" PYTHONDONTWRITEBYTECODE=1 \
        timeout "${BLOCK_TIMEOUT:-300}" bash -e -o pipefail "$block") </dev/null >"$block.log" 2>&1
    status=$?
    if [ $status -eq 0 ]; then
        echo "ok      README line $line: $first  ($(($(date +%s) - t0)) s)"
        passed=$((passed + 1))
    else
        echo "FAIL    README line $line: $first  (status $status; the end of its output:)"
        tail -n 15 "$block.log" | sed 's/^/        /'
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed, $skipped skipped"
[ $((passed + failed)) -gt 0 ] || { echo "FAIL: no shell block of $readme was run" >&2; exit 1; }
[ $failed -eq 0 ]
