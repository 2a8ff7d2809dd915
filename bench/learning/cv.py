#!/usr/bin/python3
"""Cross-validated comparison of network methods with ridge, on a finished workflow run.

    bench/learning/cv.py RUNDIR METHOD [key=value ...] [--work DIR] [--jobs N]

RUNDIR is the output folder of a workflow run (its db/ with folds.json and the fold lists,
ridge.tsv, and the targets table named in run.json).  Every method uses that run's folds: for
fold k the training proteins are fold k's list (early-stopping groups last, as nntrain takes
them) and the held-out proteins those of fold<k>.ids; every map, transform, penalty and inner
choice is fitted on the training proteins only.  Ridge is the run's own ridge.tsv (checked
against the ridge fits made here), trivial the mean target of the fold's training proteins.

Prints per output: ensemble r and MAE, ridge r and MAE, trivial MAE, ensemble minus ridge MAE
with its 95% paired bootstrap interval, and the wall time; writes WORK/<name>/predictions.tsv
and result.json.  METHOD is a name of METHODS; key=value pairs change its settings (see
Method).
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, fields, replace

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

# The only protnn functions this benchmark uses (keep them here, in one place).
from protnn.database import fold_held_out, fold_training, read_numbers  # noqa: E402
from protnn.evaluation import bootstrap, metrics                        # noqa: E402
from protnn.folds import read_folds                                     # noqa: E402
from protnn.ridge import PENALTIES, dual_predict                        # noqa: E402

BIN = os.path.join(HERE, "..", "..", "build", "bin")


@dataclass
class Method:
    inputs: str = "raw"        # raw | z (z-scores on the fold's training proteins) | pcaQ
    target: str = "minmax"     # minmax | rank | log | sym | asinh (of what the networks
    #                            learn; sym and asinh keep 0 at 0, for residuals)
    residual: int = 0          # 1: networks learn y minus an inner out-of-fold ridge
    per_output: int = 0        # 1: one set of networks per output
    nets: int = 4              # networks per fold (per output with per_output)
    nn: str = "-h1 5 -h2 5 -u 0.01 -m 2000 -mi 300"
    seed: int = 11
    clip: int = 1              # held-out inputs clipped to the training range (z, pca)
    shrink: str = "1"          # weight w of the networks: a number, or cv (inner choice);
    #                            final = ridge + w (networks - ridge), or ridge + w networks
    #                            with residual
    outputs: str = ""          # comma list: only these outputs (default all)
    tails: int = 0             # 1: every network its own early-stopping groups (drawn from
    #                            its seed, about the fold's share), not the fold's tail
    inner_nets: int = 0        # with shrink=cv: networks per inner training set (0: nets)
    tail_x: float = 1.0        # with tails: own early-stopping groups of tail_x times the
    #                            fold's early-stopping count
    gate: str = ""             # tail: a network counts only if it beats adding nothing on
    #                            its own early-stopping proteins (per_output)
    scale: float = 0.0         # > 0: the mapped inputs times scale / sqrt(their number)
    base: str = "full"         # with residual: what the networks add to: full (the fold's
    #                            ridge fit) | inner (the mean of the inner fits whose
    #                            out-of-fold residuals the networks learned)


METHODS = {
    "default": Method(),
    "z": Method(inputs="z"),
    "per": Method(inputs="z", per_output=1),
    "res": Method(inputs="z", residual=1),
    "res-per": Method(inputs="z", residual=1, per_output=1),
    "res-per-pca": Method(inputs="pca50", residual=1, per_output=1),
}


# ---------------------------------------------------------------- data

@dataclass
class Data:
    ids: list[str]
    X: np.ndarray              # proteins x inputs, as nntrain reads them
    Y: np.ndarray              # proteins x outputs, target units
    outputs: list[str]
    folds: list[tuple[list[int], int, list[int]]]   # (training list, early tail, held out)
    ridge: np.ndarray          # the run's ridge.tsv, proteins x outputs
    groups: list[str]          # sequence group of each protein (RUNDIR/groups.tsv)


def load(run: str, cache: str) -> Data:
    dbout = os.path.join(run, "db")
    info = read_folds(dbout)
    outputs = list(info.outputs)
    with open(os.path.join(run, "run.json"), encoding="utf-8") as f:
        table = json.load(f)["config"]["targets"]
    tv: dict[str, list[float]] = {}
    with open(table, encoding="utf-8-sig", newline="") as f:
        for row in csv.DictReader(f):
            tv[row["id"]] = [float(row[o]) for o in outputs]
    lists = [(fold_training(dbout, f), fold_held_out(dbout, f), f) for f in info.folds]
    ids = sorted({i for _, h, _ in lists for i in h})
    pos = {i: n for n, i in enumerate(ids)}
    if os.path.exists(cache):
        z = np.load(cache, allow_pickle=False)
        X = z["X"]
        assert list(z["ids"]) == ids
    else:
        X = np.stack([np.concatenate([read_numbers(os.path.join(dbout, "db", i, t))
                                      for t in info.inputs]) for i in ids])
        np.savez(cache, X=X, ids=np.array(ids))
    Y = np.array([tv[i] for i in ids])
    folds = []
    for train, held, rec in lists:
        folds.append(([pos[i] for i in train], rec.early_stop, [pos[i] for i in held]))
    R = np.full(Y.shape, np.nan)
    with open(os.path.join(run, "ridge.tsv"), encoding="utf-8") as f:
        next(f)
        for line in f:
            w = line.rstrip("\n").split("\t")
            R[pos[w[0]], outputs.index(w[1])] = float(w[2])
    group = {}
    gpath = os.path.join(run, "groups.tsv")
    if os.path.exists(gpath):
        with open(gpath, encoding="utf-8") as f:
            next(f)
            for line in f:
                w = line.rstrip("\n").split("\t")
                group[w[0]] = w[1]
    return Data(ids, X, Y, outputs, folds, R, [group.get(i, i) for i in ids])


def own_tail(data: Data, train: list[int], early: int, seed: int) -> tuple[list[int], int]:
    """TRAIN reordered so that whole groups drawn by SEED, about EARLY proteins, come last."""
    rng = np.random.default_rng(seed)
    names = list(dict.fromkeys(data.groups[i] for i in train))
    size = {g: 0 for g in names}
    for i in train:
        size[data.groups[i]] += 1
    tail, taken = set(), 0
    for gi in rng.permutation(len(names)):
        if taken + size[names[gi]] <= early:
            tail.add(names[gi])
            taken += size[names[gi]]
    body = [i for i in train if data.groups[i] not in tail]
    return body + [i for i in train if data.groups[i] in tail], taken


# ---------------------------------------------------------------- ridge, as protnn ridge does

def choose_penalty(sse: np.ndarray) -> np.ndarray:
    """Per output the grid penalty of least inner squared error, the larger on a tie."""
    L = len(PENALTIES)
    return np.array([PENALTIES[L - 1 - int(np.argmin(row[::-1]))] for row in sse])


def ridge_fold(X: np.ndarray, Y: np.ndarray, parts: list[list[int]], held: list[int]):
    """protnn ridge's fit for one fold: inner parts PARTS (the other folds' held-out
    proteins), the penalty of each output chosen on them; returns the held-out predictions,
    the out-of-fold predictions of the training proteins (each part by the fit on the
    others at the chosen penalty) and the penalties."""
    m = Y.shape[1]
    sse = np.zeros((m, len(PENALTIES)))
    inner = []
    for v in range(len(parts)):
        rest = [i for b, p in enumerate(parts) if b != v for i in p]
        pv = dual_predict(X[rest], Y[rest], X[parts[v]], PENALTIES)       # m x L x rows
        inner.append(pv)
        sse += ((pv - Y[parts[v]].T[:, None, :]) ** 2).sum(axis=2)
    best = choose_penalty(sse)
    li = [int(np.where(PENALTIES == b)[0][0]) for b in best]
    train = [i for p in parts for i in p]
    oof = np.empty((len(X), m))
    for v, p in enumerate(parts):
        for o in range(m):
            oof[p, o] = inner[v][o, li[o]]
    XT = X[train]
    Xh = np.clip(X[held], XT.min(axis=0), XT.max(axis=0))
    allp = dual_predict(XT, Y[train], Xh, best)
    pred = np.stack([allp[o, o] for o in range(m)], axis=1)
    bag = np.zeros_like(pred)             # the mean of the inner fits (at the chosen penalty)
    for v in range(len(parts)):
        rest = [i for b, p in enumerate(parts) if b != v for i in p]
        pv = dual_predict(X[rest], Y[rest], Xh, best)
        bag += np.stack([pv[o, o] for o in range(m)], axis=1) / len(parts)
    return pred, oof, best, bag


# ---------------------------------------------------------------- input maps, target maps

def input_map(kind: str, XT: np.ndarray, clip: bool, scale: float = 0.0):
    """A function of rows fitted on the training rows XT only; SCALE > 0: every column of
    the map times SCALE / sqrt(its number of columns), so that a hidden unit's starting sum
    (weights uniform in [-0.5, 0.5)) has a deviation of about 0.29 SCALE whatever the
    number of inputs."""
    f = input_map_(kind, XT, clip)
    if scale <= 0:
        return f
    width = f(XT[:1]).shape[1]
    return lambda Z: f(Z) * (scale / math.sqrt(width))


def input_map_(kind: str, XT: np.ndarray, clip: bool):
    if kind == "raw":
        return lambda Z: Z
    mu, sd = XT.mean(axis=0), XT.std(axis=0)
    keep = sd > 1e-12 * np.maximum(1.0, np.sqrt(np.mean(XT * XT, axis=0)))
    lo, hi = XT.min(axis=0), XT.max(axis=0)

    def z(Z):
        if clip:
            Z = np.clip(Z, lo, hi)
        return (Z[:, keep] - mu[keep]) / sd[keep]
    if kind == "z":
        return z
    if kind.startswith("pca"):
        q = int(kind[3:])
        ZT = z(XT)
        _, s, Vt = np.linalg.svd(ZT, full_matrices=False)
        V = Vt[:q].T
        sc = s[:q] / math.sqrt(len(XT))
        return lambda Z: (z(Z) @ V) / sc
    raise SystemExit(f"inputs={kind}: expected raw, z or pcaQ")


class TargetMap:
    """A monotone map of one output onto [-0.9, 0.9], fitted on training values t."""

    def __init__(self, kind: str, t: np.ndarray):
        self.kind = kind
        if kind == "log":
            self.shift = 1e-3 - min(0.0, float(t.min()))
            t = np.log(t + self.shift)
        if kind == "rank":
            self.knots = np.sort(t)
            self.q = (np.arange(len(t)) + 0.5) / len(t) * 1.8 - 0.9
            lo, hi = self.knots[0], self.knots[-1]
            self.lo, self.hi = lo, hi
            return
        if kind == "sym":            # zero stays zero: an untrained network adds nothing
            self.a, self.b = 0.9 / max(float(np.abs(t).max()), 1e-12), 0.0
            return
        if kind == "asinh":          # zero stays zero, the tails compressed
            self.sc = max(float(np.median(np.abs(t))), 1e-12)
            self.c = 0.9 / max(float(np.arcsinh(np.abs(t).max() / self.sc)), 1e-12)
            return
        lo, hi = float(t.min()), float(t.max())
        self.a = 1.8 / (hi - lo) if hi > lo else 1.0
        self.b = -0.9 - self.a * lo

    def fwd(self, t: np.ndarray) -> np.ndarray:
        if self.kind == "rank":
            # ties share the mean rank; values outside the range go to the ends
            return np.interp(t, self.knots, self.q)
        if self.kind == "asinh":
            return self.c * np.arcsinh(t / self.sc)
        if self.kind == "log":
            t = np.log(t + self.shift)
        return self.a * t + self.b

    def back(self, s: np.ndarray) -> np.ndarray:
        if self.kind == "rank":
            return np.interp(s, self.q, self.knots)
        if self.kind == "asinh":
            return self.sc * np.sinh(s / self.c)
        v = (s - self.b) / self.a
        return np.exp(v) - self.shift if self.kind == "log" else v


# ---------------------------------------------------------------- nntrain

def write_db(root: str, ids: list[str], Xm: np.ndarray, targets: dict[str, np.ndarray]):
    """ROOT/db/<id>/x.tab (one number a line) and <name>.target for the rows given."""
    for r, i in enumerate(ids):
        d = os.path.join(root, "db", i)
        os.makedirs(d)
        with open(os.path.join(d, "x.tab"), "w") as f:
            f.write("".join(f"{v:.17g}\n" for v in Xm[r]))
        for name, col in targets.items():
            if col is not None and np.isfinite(col[r]):
                with open(os.path.join(d, name + ".target"), "w") as f:
                    f.write(f"{col[r]:.17g}\n")


def run(argv: list[str], log: str) -> None:
    with open(log, "w") as f:
        t0 = time.time()
        r = subprocess.run(["nice", "-n", "5", *argv], stdout=f, stderr=subprocess.STDOUT)
        f.write(f"elapsed {time.time() - t0:.3f}\n")   # read by cost.py
    if r.returncode:
        raise SystemExit(f"{' '.join(argv)}: status {r.returncode} (log {log})")


def predict_nets(root: str, weights: list[str], ids: list[str], nout: int) -> np.ndarray:
    lst = os.path.join(root, f"w{abs(hash(tuple(weights)))}.lst")
    with open(lst, "w") as f:
        f.write("".join(w + "\n" for w in weights))
    pl = lst + ".ids"
    with open(pl, "w") as f:
        f.write("".join(i + "\n" for i in ids))
    r = subprocess.run([os.path.join(BIN, "nntrain"), "-aw", lst, "-prl", pl],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True)
    vals = {}
    lines = [l.split() for l in r.stdout.splitlines() if l.strip()]
    for n, w in enumerate(lines):
        vals.setdefault(w[0], []).append(float(w[1]))
    return np.array([vals[i] for i in ids]).reshape(len(ids), nout)


def best_epoch(log: str) -> int:
    with open(log) as f:
        for line in f:
            if line.startswith("Min error at"):
                return int(line.split()[3].rstrip(":"))
    return -1


# ---------------------------------------------------------------- one method

def net_set(data: Data, m: Method, root: str, train: list[int], early: int,
            predict: list[int], learn: np.ndarray, outs: list[int], seed: int,
            tasks: list, nets_n: int = 0) -> dict:
    """Writes the database of one training set (input map and target maps fitted on TRAIN
    only) and queues its networks; returns what predicting needs."""
    n = len(data.ids)
    fmap = input_map(m.inputs, data.X[train], bool(m.clip), m.scale)
    os.makedirs(root)
    tm = {o: TargetMap(m.target, learn[train, o]) for o in outs}
    is_train = np.isin(np.arange(n), train)
    cols = {data.outputs[o]: np.where(is_train, tm[o].fwd(np.where(is_train, learn[:, o], 0)),
                                      np.nan) for o in outs}
    rows = train + predict
    write_db(root, [data.ids[i] for i in rows], fmap(data.X[rows]),
             {name: c[rows] for name, c in cols.items()})
    groups = [[o] for o in outs] if m.per_output else [outs]
    f = repr(early / len(train))
    words = m.nn.split()
    nets: dict = {}
    tails: dict = {}
    for g in groups:
        gname = "-".join(data.outputs[o] for o in g)
        lst = os.path.join(root, f"{gname}.db")
        with open(lst, "w") as fl:
            fl.write(f'"{root}/db"\nx.tab\n' + " ".join(data.outputs[o] + ".target"
                                                      for o in g) + "\n"
                     + "".join(data.ids[i] + "\n" for i in train))
        nets[tuple(g)] = []
        for net in range(nets_n or m.nets):
            w = os.path.join(root, f"{gname}-net{net + 1}.wei")
            lst_n, f_n = lst, f
            tail_n = train[len(train) - early:]
            if m.tails:
                order, e = own_tail(data, train, round(early * m.tail_x), seed + net)
                tail_n = order[len(order) - e:]
                lst_n, f_n = os.path.join(root, f"{gname}-net{net + 1}.db"), repr(e / len(train))
                with open(lst_n, "w") as fl:
                    fl.write(f'"{root}/db"\nx.tab\n' + " ".join(data.outputs[o] + ".target"
                                                              for o in g) + "\n"
                             + "".join(data.ids[i] + "\n" for i in order))
            tasks.append([os.path.join(BIN, "nntrain"), "-l", lst_n, "-f", f_n, "-r",
                          str(seed + net), *words, "-owf", w])
            nets[tuple(g)].append(w)
            tails.setdefault(tuple(g), []).append(tail_n)
    return dict(root=root, tm=tm, nets=nets, predict=predict, tails=tails, learn=learn)


def min_test_error(log: str) -> float:
    with open(log) as f:
        for line in f:
            if line.startswith("Min error at"):
                return float(line.split()[-1].replace("D", "E"))
    return math.inf


def predict_set(data: Data, s: dict, epochs: list[int], gate: str = "",
                kept: list | None = None) -> dict[int, np.ndarray]:
    """The networks' mean prediction of the set's PREDICT rows, per output, target units.
    GATE tail: a network whose least early-stopping error is not below that of adding
    nothing (the mapped residual's mean absolute value over its early-stopping proteins)
    counts as 0 in the mean (one output per network)."""
    out = {}
    for g, ws in s["nets"].items():
        epochs += [best_epoch(w + ".fort.15") for w in ws]
        use = ws
        if gate == "tail":
            o = g[0]
            zero = [float(np.mean(np.abs(s["tm"][o].fwd(s["learn"][t, o])))) for t in
                    s["tails"][g]]
            use = [w for w, z in zip(ws, zero) if min_test_error(w + ".fort.15") < z]
            if kept is not None:
                kept.append((data.outputs[o], len(use)))
        if gate == "oot":
            # each training protein predicted by the networks that stopped on it (and did not
            # train on it): on if their mean beats adding nothing over the proteins covered
            o = g[0]
            tot, cnt = {}, {}
            for w, t in zip(ws, s["tails"][g]):
                v = predict_nets(s["root"], [w], [data.ids[i] for i in t], 1)[:, 0]
                for i, x in zip(t, v):
                    tot[i] = tot.get(i, 0.0) + x
                    cnt[i] = cnt.get(i, 0) + 1
            idx = sorted(tot)
            c = s["tm"][o].back(np.array([tot[i] / cnt[i] for i in idx]))
            r = s["learn"][idx, o]
            on = np.mean(np.abs(r - c)) < np.mean(np.abs(r))
            use = ws if on else []
            if kept is not None:
                kept.append((data.outputs[o], f"{np.mean(np.abs(r - c)) - np.mean(np.abs(r)):+.5f}"
                             f"/{len(idx)}"))
        if not use:
            for c, o in enumerate(g):
                out[o] = np.zeros(len(s["predict"]))
            continue
        S = predict_nets(s["root"], use, [data.ids[i] for i in s["predict"]], len(g))
        S = S * (len(use) / len(ws))
        for c, o in enumerate(g):
            out[o] = s["tm"][o].back(S[:, c])
    return out


WEIGHTS = np.linspace(0.0, 1.0, 11)


def cv(data: Data, m: Method, work: str, jobs: int) -> dict:
    outs = [data.outputs.index(o) for o in m.outputs.split(",")] if m.outputs else \
        list(range(len(data.outputs)))
    n, mo = len(data.ids), len(data.outputs)
    P = np.full((n, mo), np.nan)           # ensemble, target units
    T = np.full((n, mo), np.nan)           # trivial
    myridge = np.full((n, mo), np.nan)
    BAG = np.full((n, mo), np.nan)         # the mean of the inner ridge fits
    epochs: list[int] = []
    tasks: list[list[str]] = []
    state = []
    per_set = m.nets * (len(outs) if m.per_output else 1)
    for k, (train, early, held) in enumerate(data.folds):
        others = [j for j in range(len(data.folds)) if j != k]
        parts = [data.folds[j][2] for j in others]
        rp, oof, _, bag = ridge_fold(data.X, data.Y, parts, held)
        myridge[held] = rp
        BAG[held] = bag
        if m.base == "inner":              # the networks correct the fits they learned from
            rp = bag
        T[held] = data.Y[train].mean(axis=0)
        learn = data.Y - oof if m.residual else data.Y
        seed = m.seed + k * per_set * (len(data.folds) if m.shrink == "cv" else 1)
        outer = net_set(data, m, os.path.join(work, f"fold{k + 1}"), train, early, held,
                        learn, outs, seed, tasks)
        inner = []
        if m.shrink == "cv":               # the same networks on each inner training set
            tail = set(train[len(train) - early:])
            for c, j in enumerate(others):
                hj = set(data.folds[j][2])
                tj = [i for i in train if i not in hj]
                ej = sum(1 for i in tj if i in tail)
                inner.append(net_set(data, m, os.path.join(work, f"fold{k + 1}", f"in{j + 1}"),
                                     tj, ej, data.folds[j][2], learn, outs,
                                     seed + (c + 1) * m.nets, tasks, m.inner_nets))
        state.append((held, rp, oof, outer, inner))
    t0 = time.time()
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        list(pool.map(lambda t: run(t, t[-1] + ".run"), tasks))
    train_wall = time.time() - t0
    chosen, curves, kept = [], [], []
    C = np.full((n, mo), np.nan)           # the networks' correction of the held-out proteins
    for k, (held, rp, oof, outer, inner) in enumerate(state):
        w = {o: float(m.shrink) for o in outs} if m.shrink != "cv" else {}
        if inner:
            # per output the weight of the networks with the least inner MAE (the smaller
            # weight on a tie): ridge_oof + w (networks_oof - ridge_oof) on the training set
            nets_oof = np.full((n, mo), np.nan)
            for s in inner:
                for o, v in predict_set(data, s, epochs).items():
                    nets_oof[s["predict"], o] = v
            train = data.folds[k][0]
            for o in outs:
                top = nets_oof[train, o] - (0 if m.residual else oof[train, o])
                mae = [np.mean(np.abs(oof[train, o] + wt * top - data.Y[train, o]))
                       for wt in WEIGHTS]
                w[o] = float(WEIGHTS[int(np.argmin(mae))])
                curves.append(dict(fold=k + 1, output=data.outputs[o], mae=mae))
        chosen.append({data.outputs[o]: w[o] for o in outs})
        for o, v in predict_set(data, outer, epochs, m.gate, kept).items():
            C[held, o] = v
            P[held, o] = rp[:, o] + w[o] * v if m.residual else rp[:, o] + w[o] * (v - rp[:, o])
    return dict(P=P, T=T, myridge=myridge, epochs=epochs, train_wall=train_wall,
                nets=len(tasks), outs=outs, chosen=chosen, curves=curves, C=C, BAG=BAG,
                kept=kept)


def summary(data: Data, res: dict, wall: float, name: str) -> tuple[str, dict]:
    lines = [f"method {name}: {len(data.ids)} proteins, {len(data.folds)} folds, "
             f"{res['nets']} networks, wall {wall:.0f} s (training {res['train_wall']:.0f} s), "
             f"kept epochs median {int(np.median(res['epochs']))} "
             f"[{min(res['epochs'])}, {max(res['epochs'])}]",
             f"{'output':9} {'r ens':>6} {'r ridge':>7} {'MAE ens':>8} {'MAE ridge':>9} "
             f"{'MAE triv':>8}  {'ens-ridge, 95% interval':>28}  {'ens-triv':>8}"]
    out = {}
    gap = np.nanmax(np.abs(res["myridge"] - data.ridge))
    for o in res["outs"]:
        y, p, r, t = data.Y[:, o], res["P"][:, o], data.ridge[:, o], res["T"][:, o]
        me, mr, mt = metrics(p, y), metrics(r, y), metrics(t, y)
        _, (d_r, d_t) = bootstrap(p, y, [r, t])
        name_o = data.outputs[o]
        lines.append(f"{name_o:9} {me.r:6.3f} {mr.r:7.3f} {me.mae:8.4f} {mr.mae:9.4f} "
                     f"{mt.mae:8.4f}  {me.mae - mr.mae:+8.4f} [{d_r[0]:+.4f}, {d_r[1]:+.4f}]"
                     f"  {me.mae - mt.mae:+8.4f}")
        out[name_o] = dict(r_ens=me.r, r_ridge=mr.r, mae_ens=me.mae, mae_ridge=mr.mae,
                           mae_triv=mt.mae, diff=me.mae - mr.mae, diff_lo=d_r[0],
                           diff_hi=d_r[1])
    lines.append("weights of the networks per fold: " + "; ".join(
        " ".join(f"{o} {w:g}" for o, w in c.items()) for c in res["chosen"]))
    if res["kept"]:
        lines.append("networks kept per fold and output: " + " ".join(
            f"{o}:{n}" for o, n in res["kept"]))
    lines.append(f"(largest gap between this script's ridge and ridge.tsv: {gap:.2g})")
    return "\n".join(lines), out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("run")
    ap.add_argument("method")
    ap.add_argument("settings", nargs="*", metavar="key=value")
    ap.add_argument("--work", default="/work/exp27/cv")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--name", help="folder name (default METHOD plus the settings)")
    ap.add_argument("--keep-db", action="store_true", help="keep the databases written")
    a = ap.parse_args()
    m = METHODS[a.method]
    types = {f.name: f.type for f in fields(Method)}
    for kv in a.settings:
        k, v = kv.split("=", 1)
        m = replace(m, **{k: int(v) if types[k] in ("int", int) else
                          float(v) if types[k] in ("float", float) else v})
    name = a.name or "_".join([a.method] + [s.replace(" ", "") for s in a.settings])
    work = os.path.join(a.work, name)
    if os.path.exists(work):
        raise SystemExit(f"{work}: exists")
    os.makedirs(a.work, exist_ok=True)
    t0 = time.time()
    data = load(a.run, os.path.join(a.work, "inputs.npz"))
    res = cv(data, m, work, a.jobs)
    wall = time.time() - t0
    text, per = summary(data, res, wall, name)
    print(text)
    with open(os.path.join(work, "result.json"), "w") as f:
        json.dump(dict(method=asdict(m), name=name, wall=wall, train_wall=res["train_wall"],
                       nets=res["nets"], epochs=res["epochs"], chosen=res["chosen"],
                       inner_mae=res["curves"],
                       outputs=per), f, indent=1)
    with open(os.path.join(work, "predictions.tsv"), "w") as f:
        f.write("id\toutput\tensemble\tridge\ttrivial\ttarget\tcorrection\tinner_ridge\n")
        for r, i in enumerate(data.ids):
            for o in res["outs"]:
                f.write(f"{i}\t{data.outputs[o]}\t{res['P'][r, o]:.6g}\t{data.ridge[r, o]:.6g}"
                        f"\t{res['T'][r, o]:.6g}\t{data.Y[r, o]:.6g}\t{res['C'][r, o]:.6g}"
                        f"\t{res['BAG'][r, o]:.6g}\n")
    for d, subs, _ in ([] if a.keep_db else os.walk(work)):             # the databases are large; keep the nets
        if "db" in subs:
            shutil.rmtree(os.path.join(d, "db"))
            subs.remove("db")
    return 0


if __name__ == "__main__":
    sys.exit(main())
