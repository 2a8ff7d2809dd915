#!/usr/bin/env bash
# programs.sh BINDIR SOURCEDIR BUILDDIR
# Makes sure that pairdist, depthdist, atomdepth and nntrain are in BINDIR (the workflow's
# programs job then lists them in programs.txt, by protnn.versions).  When BINDIR is the build
# tree of the checkout (BUILDDIR/bin) and a program is missing, the build tree is configured
# (when it has no CMake cache yet) and the missing programs are built with two jobs; any other
# BINDIR must hold them already.
set -euo pipefail
bindir=$1 src=$2 build=$3
progs=(pairdist depthdist atomdepth nntrain)
missing=()
for p in "${progs[@]}"; do
    [ -x "$bindir/$p" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    # Paths compared whether or not they exist yet: a fresh checkout has no build tree.
    if [ "$(realpath -m -- "$bindir")" != "$(realpath -m -- "$build/bin")" ]; then
        echo "programs: no ${missing[*]} in $bindir (config setting bindir)" >&2
        exit 1
    fi
    echo "programs: building ${missing[*]} in $build" >&2
    [ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release >&2
    cmake --build "$build" -j 2 --target "${missing[@]}" >&2
fi
