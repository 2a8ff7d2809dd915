#!/usr/bin/python3
"""The per-network gate measured on a finished workflow run, without training again.

gate.py RUNDIR: a network of fold k and output o counts only if its least early-stopping
error (its log) is below that of adding nothing, the mean absolute mapped residual of its own
early-stopping proteins (its list drawn again from its seed, as the train job drew it); a
network that does not count adds 0 to its fold's mean.  Prints per output ridge's MAE, the
run's ensemble and the gated ensemble (MAE, 95% interval of minus ridge, r), and how many
networks count per fold and output.
"""

import csv
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
from protnn.database import database_rows, fold_held_out   # noqa: E402
from protnn.evaluation import bootstrap, metrics             # noqa: E402
from protnn.folds import nint, read_folds                    # noqa: E402
from protnn.nnfiles import parse_log                         # noqa: E402
from protnn.plan import net_seed                             # noqa: E402
from protnn.stack import read_stack                          # noqa: E402

NNTRAIN = os.path.join(HERE, "..", "..", "build", "bin", "nntrain")


def table(path: str, key: int, value: int, role: str | None = None) -> dict:
    out = {}
    for line in open(path, encoding="utf-8").read().splitlines()[1:]:
        w = line.split("\t")
        if role is None or w[-1] == role:
            out[(w[0], w[1])] = float(w[value])
    return out


def gated_fold(run: str, stack, info, k: int, seed: int, nets: int, counts: list):
    """Fold k's held-out ids and their gated predictions (ids x outputs)."""
    fs = stack.fold(k)
    held = fold_held_out(f"{run}/db", info.folds[k - 1])
    rows = database_rows(f"{run}/db", info, held[0])
    pred = fs.linear.predict(np.stack([rows.x(i) for i in held]))
    for o, name in enumerate(stack.outputs):
        total, n_counted = np.zeros(len(held)), 0
        for n in range(1, nets + 1):
            w = os.path.abspath(f"{run}/nets/fold{k}-{name}-net{n}.wei")
            with tempfile.TemporaryDirectory() as t:
                s = net_seed(seed, len(stack.outputs), nets, k, o + 1, n)
                f = stack.write_network_list(f"{run}/db", k, name, s, f"{t}/list.db")
                ids = open(f"{t}/list.db", encoding="utf-8").read().splitlines()[3:]
                tail = ids[len(ids) - nint(float(f) * len(ids)):]
                zero = np.mean([abs(float(open(f"{run}/stack/fold{k}/db/{i}/{name}.target")
                                          .read())) for i in tail])
                if not parse_log(open(w + ".fort.15").read(), w).best_test < zero:
                    continue
                n_counted += 1
                open(f"{t}/w.lst", "w").write(w + "\n")
                open(f"{t}/ids", "w").write("".join(i + "\n" for i in held))
                r = subprocess.run([NNTRAIN, "-aw", f"{t}/w.lst", "-prl", f"{t}/ids"],
                                   cwd=t, capture_output=True, text=True, check=True)
                total += [float(x.split()[1]) for x in r.stdout.splitlines() if x.strip()]
        counts.append(f"{k}:{name}:{n_counted}")
        pred[:, o] += fs.targets[o].back(total / nets)
    return held, pred


def main() -> int:
    run = sys.argv[1]
    stack, info = read_stack(f"{run}/stack"), read_folds(f"{run}/db")
    config = json.load(open(f"{run}/run.json"))["config"]
    with open(config["targets"], encoding="utf-8-sig", newline="") as f:
        known = {r["id"]: r for r in csv.DictReader(f)}
    ridge, ens = table(f"{run}/ridge.tsv", 0, 2), table(f"{run}/predictions.tsv", 0, 2, "cv")
    counts, ids, G = [], [], []
    for k in range(1, len(info.folds) + 1):
        held, pred = gated_fold(run, stack, info, k, config["seed"], config["networks"], counts)
        ids += held
        G.append(pred)
    G = np.concatenate(G)
    for o, name in enumerate(stack.outputs):
        y = np.array([float(known[i][name]) for i in ids])
        r = np.array([ridge[(i, name)] for i in ids])
        e = np.array([ens[(i, name)] for i in ids])
        _, (de,) = bootstrap(e, y, [r])
        _, (dg,) = bootstrap(G[:, o], y, [r])
        me, mg = metrics(e, y), metrics(G[:, o], y)
        print(f"{name:9} ridge MAE {metrics(r, y).mae:.4f} r {metrics(r, y).r:.3f} | ensemble "
              f"{me.mae:.4f} [{de[0]:+.4f}, {de[1]:+.4f}] r {me.r:.3f} | gated {mg.mae:.4f} "
              f"[{dg[0]:+.4f}, {dg[1]:+.4f}] r {mg.r:.3f}")
    print("networks that count (fold:output:count):", " ".join(counts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
