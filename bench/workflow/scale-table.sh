#!/usr/bin/env bash
# bench/workflow/scale-table.sh WORK LABEL...: the table of a scale.sh run (its work folder kept
# with -w): medians over the rounds, the last LABEL as "ours", the first as the peer; each
# figure is followed by the median load average (1 minute) at the start of its measurements.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../table.sh"
work=$1
shift
cat "$work/machine.txt"
mapfile -t rows < <(/usr/bin/python3 - "$work" "$@" <<'PY'
import csv, os, statistics, sys
work, labels = sys.argv[1], sys.argv[2:]
ours, peer = labels[-1], (labels[0] if len(labels) > 1 else None)
res = {}
for r in csv.DictReader(open(os.path.join(work, "results.tsv")), delimiter="\t"):
    res.setdefault((r["label"], r["kind"], int(r["N"])), []).append(r)
jobs = int(open(os.path.join(work, "jobs")).read())

def med(label, kind, n, what):
    """(median value, median load, note) over the rounds that ended; None when none did."""
    rows = res.get((label, kind, n), [])
    ok = [r for r in rows if r["status"] == "ok"]
    if not ok:
        bad = [r for r in rows if r["status"] != "ok"]
        return None if not bad else (None, statistics.median(float(r["load1"]) for r in bad),
                                     f"{bad[0]['status']} (> {max(float(r['wall_s']) for r in bad):.0f} s)")
    return (statistics.median(what(r) for r in ok), statistics.median(float(r["load1"]) for r in ok), "")

def cell(m, fmt):
    if m is None:
        return "-"
    v, load, note = m
    return f"{note or fmt.format(v)} (load {load:.1f})"

wall = lambda r: float(r["wall_s"])
rss = lambda r: float(r["maxrss_kb"]) / 1024
def row(item, kind, n, what, fmt, goal="-", better="lower", check=None, post=None):
    a = med(ours, kind, n, what)
    b = med(peer, kind, n, what) if peer else None
    if post:                            # a figure of the median, e.g. N / median wall
        a, b = [(post(m[0]), m[1], m[2]) if m and m[0] is not None else m for m in (a, b)]
    ratio = "-"
    if a and b and a[0] is not None and b[0] is not None and a[0] > 0 and b[0] > 0:
        ratio = f"{(b[0] / a[0] if better == 'lower' else a[0] / b[0]):.2f}x"
    met = "-"
    if check and a and a[0] is not None:
        met = "yes" if check(a[0], b[0] if b and b[0] is not None else None) else "NO"
    elif check and a:
        met = "NO"
    print(f"{item}|{cell(a, fmt)}|{cell(b, fmt)}|{ratio}|{goal}|{met}")

sizes = lambda kind: sorted({n for (l, k, n) in res if k == kind})
plan5000 = med(peer, "plan", 5000, wall) if peer else None
for n in sizes("plan"):
    goal, check = "-", None
    if n == 50000:
        goal = "<= 60 s, <= 2.5x peer's 5000"
        limit = 60 if not plan5000 or plan5000[0] is None else min(60, 2.5 * plan5000[0])
        check = lambda a, b, limit=limit: a <= limit
    row(f"plan {n}: snakemake -n wall (s)", "plan", n, wall, "{:.1f}", goal, check=check)
    row(f"plan {n}: peak RSS (MB)", "plan", n, rss, "{:.0f}",
        "<= 1000 MB" if n == 50000 else "-", check=(lambda a, b: a <= 1000) if n == 50000 else None)
for n in sizes("run"):
    both = peer and (peer, "run", n) in res
    row(f"run {n}: structures per second (N / median wall)", "run", n, wall,
        "{:.2f}", ">= 5x peer" if both else "-", better="higher",
        check=(lambda a, b: b is not None and a >= 5 * b) if both else None, post=lambda w, n=n: n / w)
    row(f"run {n}: wall (s)", "run", n, wall, "{:.0f}")
    row(f"run {n}: peak RSS (MB)", "run", n, rss, "{:.0f}")
    row(f"run {n}: engine share (%)", "run", n,
        lambda r: 100 * (1 - float(r["jobs_s"]) / (jobs * float(r["wall_s"]))), "{:.0f}",
        "<= 10%", check=lambda a, b: a <= 10)
# Growth: per structure, each run size against the smallest, for "ours".
runs = [n for n in sizes("run") if med(ours, "run", n, wall) and med(ours, "run", n, wall)[0]]
if len(runs) > 1:
    n0 = runs[0]
    for n in runs[1:]:
        for name, what, unit in (("wall per structure (ms)", wall, 1000), ("peak RSS per structure (kB)", rss, 1024)):
            a = med(ours, "run", n, what)
            b = med(ours, "run", n0, what)
            pa, pb = a[0] / n * unit, b[0] / n0 * unit
            ok = abs(pa / pb - 1) <= 0.2
            print(f"growth {n0} -> {n}: {name}|{pa:.2f} (load {a[1]:.1f})|{pb:.2f} at {n0} (load {b[1]:.1f})"
                  f"|{pa / pb:.2f}x|within 20%|{'yes' if ok else 'NO'}")
same = os.path.join(work, "same.tsv")
if os.path.exists(same):
    for line in open(same):
        n, label, eq, na, nb, pred = line.split()
        print(f"run {n}: feature tables identical to {labels[0]}|{eq} of {na} ({nb} in {label})|-|-|all|"
              f"{'yes' if int(eq) == int(na) == int(nb) else 'NO'}")
        print(f"run {n}: predictions.tsv identical to {labels[0]}|{pred}|-|-|yes|{'yes' if pred == 'yes' else 'NO'}")
PY
)
print_table "${*: -1} (ours)" "${rows[@]}"
