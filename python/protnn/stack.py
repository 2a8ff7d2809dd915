"""Networks on top of ridge: in each fold the networks learn what ridge leaves.

For fold k, from its training proteins only: ridge as protnn ridge fits it (the same
penalties), and each training protein's out-of-fold ridge prediction (by the inner fit that
left its part out); the residual target - out-of-fold prediction is what the networks learn,
one set of networks per output, on inputs mapped by a map fitted on the training proteins
(z-scores, then the first principal axes).  A protein is then predicted as
ridge_k(x) + weight * networks_k(map_k(x)), where the residual comes back through the
output's target map.  The held-out proteins never enter a map, a penalty or a weight.

The stack folder STACK (protnn stack), built aside and renamed into place:
- stack.json: the settings, the outputs, the inputs of the database, and per fold its
  nntrain -f value and the list file of each output;
- fold<k>/fold.json: fold k's ridge fit (Linear), input map and target maps;
- fold<k>/db/<id>/x.tab: the mapped inputs of fold k's training and held-out proteins;
  fold<k>/db/<id>/<output>.target: the mapped residual of a training protein;
- fold<k>/<output>.db: nntrain's list for the output's networks, the proteins in the order
  of the database's fold<k>.db (early-stopping tail last), so the database's -f holds;
  each network trains on its own reordering of it (Stack.write_network_list: its own
  early-stopping groups, drawn with its seed).
This module is the only reader and writer of the stack folder and of fold.json (which a
model folder copies).
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field

import numpy as np

from . import ProtnnError
from .database import database_groups, database_rows, fold_held_out, fold_training
from .files import NewDirectory, read_json, read_text, settings_object
from .folds import network_list, nint, read_folds
from .nnfiles import parse_predictions
from .predictions import prediction_line, target_lookup, write_predictions
from .ridge import Linear, ridge_folds

TARGET_KINDS = ("sym", "asinh", "minmax")
SCALED = 0.9                               # mapped targets lie in [-0.9, 0.9]
INPUT_FILE = "x.tab"
STACK_JSON = "stack.json"
FOLD_JSON = "fold.json"


@dataclass(frozen=True)
class StackSettings:
    inputs: str = "z"           # raw | z | pcaQ: what the networks read
    target: str = "asinh"       # how a residual is mapped into [-0.9, 0.9]
    weight: float = 1.0         # the networks' share: ridge + weight * networks

    def to_dict(self) -> dict:
        return {"inputs": self.inputs, "target": self.target, "weight": self.weight}


def settings_from_dict(d: object, where: str) -> StackSettings:
    """StackSettings of a JSON object or config (missing keys take the defaults), checked."""
    s = StackSettings(**settings_object(d, StackSettings.__dataclass_fields__, where, "stack"))
    q = s.inputs[3:] if isinstance(s.inputs, str) and s.inputs.startswith("pca") else ""
    if not isinstance(s.inputs, str) or not (s.inputs in ("raw", "z") or
                                             (q.isdigit() and 1 <= int(q) <= 10000)):
        raise ProtnnError(f"{where}: inputs must be raw, z or pcaQ (Q from 1 to 10000), found "
                          f"{json.dumps(s.inputs)}")
    if s.target not in TARGET_KINDS:
        raise ProtnnError(f"{where}: target must be one of {', '.join(TARGET_KINDS)}, found "
                          f"{json.dumps(s.target)}")
    if isinstance(s.weight, bool) or not isinstance(s.weight, (int, float)) or \
            not 0 <= s.weight <= 1:
        raise ProtnnError(f"{where}: weight must be a number from 0 to 1, found "
                          f"{json.dumps(s.weight)}")
    return StackSettings(s.inputs, s.target, float(s.weight))


# ------------------------------------------------------------------------------ input maps

@dataclass
class InputMap:
    """clip(x - shift, lo, hi) standardised on the training proteins (constant inputs left
    out), then, with axes, projected on the first principal axes and divided by their
    deviations."""
    shift: np.ndarray                 # p
    lo: np.ndarray                    # p: the training range, shifted
    hi: np.ndarray
    keep: np.ndarray                  # p, bool: inputs not constant in training
    mu: np.ndarray                    # kept: means (shifted)
    sd: np.ndarray                    # kept: deviations
    axes: np.ndarray | None = None    # kept x Q
    scales: np.ndarray | None = None  # Q

    def apply(self, X: np.ndarray) -> np.ndarray:
        Z = (np.clip(X - self.shift, self.lo, self.hi)[:, self.keep] - self.mu) / self.sd
        return Z if self.axes is None else (Z @ self.axes) / self.scales

    def to_dict(self) -> dict:
        d = {k: getattr(self, k).tolist() for k in ("shift", "lo", "hi", "keep", "mu", "sd")}
        if self.axes is not None:
            d |= {"axes": self.axes.tolist(), "scales": self.scales.tolist()}
        return d


def fit_input_map(kind: str, X: np.ndarray) -> InputMap | None:
    """The map KIND (raw: None) fitted on the training rows X."""
    if kind == "raw":
        return None
    shift = X[0].copy()
    S = X - shift
    lo, hi = S.min(axis=0), S.max(axis=0)
    mu, var = S.mean(axis=0), S.var(axis=0)
    keep = var > 1e-12 * np.maximum(1.0, np.mean(S * S, axis=0))
    m = InputMap(shift, lo, hi, keep, mu[keep], np.sqrt(var[keep]))
    if kind.startswith("pca"):
        Z = m.apply(X)
        q = min(int(kind[3:]), Z.shape[1], len(X) - 1)
        _, s, Vt = np.linalg.svd(Z, full_matrices=False)
        # each axis's sign fixed by its largest loading, so a map does not depend on the
        # library's choice
        V = Vt[:q].T * np.sign(Vt[:q][np.arange(q), np.argmax(np.abs(Vt[:q]), axis=1)])
        m.axes, m.scales = V, np.maximum(s[:q] / math.sqrt(len(X)), 1e-300)
    return m


def input_map_from_dict(d: dict | None) -> InputMap | None:
    if d is None:
        return None
    arr = {k: np.array(d[k], dtype=float) for k in ("shift", "lo", "hi", "mu", "sd")}
    m = InputMap(keep=np.array(d["keep"], dtype=bool), **arr)
    if "axes" in d:
        m.axes = np.array(d["axes"], dtype=float).reshape(len(m.mu), -1)
        m.scales = np.array(d["scales"], dtype=float)
    n = len(m.shift)
    if not all(len(getattr(m, k)) == n for k in ("lo", "hi", "keep")) or \
            int(m.keep.sum()) != len(m.mu) or len(m.sd) != len(m.mu) or \
            (m.axes is not None and m.axes.shape[1] != len(m.scales)):
        raise ValueError("input map of inconsistent sizes")
    return m


# ----------------------------------------------------------------------------- target maps

@dataclass
class TargetMap:
    """A residual r mapped into [-0.9, 0.9] with 0 kept at 0, so that networks that learned
    nothing add nothing: sym a * r; asinh c * asinh(r / s); minmax a * r + b (0 not kept)."""
    kind: str
    a: float = 1.0
    b: float = 0.0
    s: float = 1.0

    def forward(self, r: np.ndarray) -> np.ndarray:
        if self.kind == "asinh":
            return self.a * np.arcsinh(r / self.s)
        return self.a * r + self.b

    def back(self, v: np.ndarray) -> np.ndarray:
        if self.kind == "asinh":
            return self.s * np.sinh(v / self.a)
        return (v - self.b) / self.a

    def back_sd(self, v: np.ndarray, sd: np.ndarray) -> np.ndarray:
        """The deviation SD of mapped values around V, in residual units."""
        if self.kind == "asinh":
            return np.abs(self.back(v + sd) - self.back(v - sd)) / 2
        return sd / abs(self.a)


def fit_target_map(kind: str, r: np.ndarray) -> TargetMap:
    big = float(np.max(np.abs(r))) if len(r) else 0.0
    if kind == "sym":
        return TargetMap(kind, SCALED / big if big > 0 else 1.0)
    if kind == "asinh":
        s = float(np.median(np.abs(r)))
        s = s if s > 0 else (big or 1.0)
        top = float(np.arcsinh(big / s))
        return TargetMap(kind, SCALED / top if top > 0 else 1.0, 0.0, s)
    lo, hi = float(np.min(r)), float(np.max(r))
    a = 2 * SCALED / (hi - lo) if hi > lo else 1.0
    return TargetMap(kind, a, -SCALED - a * lo if hi > lo else -lo)


# ------------------------------------------------------------------------------ one fold

@dataclass
class FoldStack:
    """What predicts a protein in fold k: ridge's fit, the input map, the target maps."""
    fold: int
    outputs: list[str]
    linear: Linear
    inputs: InputMap | None
    targets: list[TargetMap]
    weight: float
    penalties: list[float] = field(default_factory=list)

    def network_inputs(self, X: np.ndarray) -> np.ndarray:
        return X if self.inputs is None else self.inputs.apply(X)

    def combine(self, X: np.ndarray, mean: np.ndarray,
                sd: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Predictions (rows x outputs) and deviations from the inputs X and the networks'
        mean and deviation per output (mapped, rows x outputs)."""
        base = self.linear.predict(X)
        res = np.stack([t.back(mean[:, o]) for o, t in enumerate(self.targets)], axis=1)
        dev = np.stack([t.back_sd(mean[:, o], sd[:, o]) for o, t in enumerate(self.targets)],
                       axis=1)
        return base + self.weight * res, self.weight * dev

    def to_json(self) -> str:
        lin = self.linear
        return json.dumps({
            "fold": self.fold, "outputs": self.outputs, "weight": self.weight,
            "penalties": self.penalties,
            "ridge": {"shift": lin.shift.tolist(), "lo": lin.lo.tolist(), "hi": lin.hi.tolist(),
                      "slopes": lin.slopes.T.tolist(), "intercepts": lin.intercepts.tolist()},
            "inputs": None if self.inputs is None else self.inputs.to_dict(),
            "targets": [{"kind": t.kind, "a": t.a, "b": t.b, "s": t.s} for t in self.targets],
        }) + "\n"


def read_fold_stack(path: str) -> FoldStack:
    """A fold.json, checked: finite numbers of consistent sizes, target maps with a > 0."""
    d = read_json(path, "a fold file of protnn stack")
    try:
        r = d["ridge"]
        lin = Linear(*(np.array(r[k], dtype=float) for k in ("shift", "lo", "hi")),
                     np.array(r["slopes"], dtype=float).T, np.array(r["intercepts"], dtype=float))
        outputs = [str(o) for o in d["outputs"]]
        targets = [TargetMap(str(t["kind"]), float(t["a"]), float(t["b"]), float(t["s"]))
                   for t in d["targets"]]
        fs = FoldStack(int(d["fold"]), outputs, lin, input_map_from_dict(d["inputs"]),
                       targets, float(d["weight"]), [float(x) for x in d.get("penalties", [])])
        p = len(lin.shift)
        numbers = [lin.shift, lin.lo, lin.hi, lin.slopes, lin.intercepts] + \
            ([fs.inputs.mu, fs.inputs.sd, fs.inputs.shift] if fs.inputs else [])
        if lin.slopes.shape != (p, len(outputs)) or len(lin.intercepts) != len(outputs) or \
                len(targets) != len(outputs) or (fs.inputs and len(fs.inputs.shift) != p):
            raise ValueError("sizes do not match the outputs and inputs")
        if not all(np.all(np.isfinite(v)) for v in numbers) or \
                any(t.kind not in TARGET_KINDS or not (math.isfinite(t.a) and t.a > 0 and
                                                       math.isfinite(t.b) and
                                                       math.isfinite(t.s) and t.s > 0)
                    for t in targets) or not 0 <= fs.weight <= 1:
            raise ValueError("a number that is not finite, or a target map that is not "
                             "increasing")
        return fs
    except (KeyError, TypeError, ValueError, IndexError) as e:
        raise ProtnnError(f"{path}: not a fold file of protnn stack ({e})") from None


# ------------------------------------------------------------------------------ the folder

def inputs_text(v: np.ndarray) -> str:
    """The mapped inputs of one protein as x.tab: one number a line (nntrain takes at most
    1000 numbers on a line, and every line of a file must hold as many)."""
    return "".join(repr(float(x)) + "\n" for x in v)


def make_stack(dbout: str, out: str, settings: StackSettings, seed: int = 1,
               jobs: int = 1) -> str:
    """protnn stack: writes the stack folder OUT from the database DBOUT; SEED: ridge's (its
    inner parts with 2 folds).  Returns a one-line summary."""
    info = read_folds(dbout)
    outputs = list(info.outputs)
    ridges = ridge_folds(dbout, seed, jobs=jobs, fits=True)
    first = ridges[0].held_out[0]
    rows = database_rows(dbout, info, first)
    final = os.path.abspath(out)
    folds = []
    with NewDirectory(out) as tmp:
        for k, (rec, rf) in enumerate(zip(info.folds, ridges), 1):
            train, held = fold_training(dbout, rec), fold_held_out(dbout, rec)
            X = np.stack([rows.x(i) for i in train])
            Y = np.stack([rows.y(i) for i in train])
            R = Y - np.stack([rf.inner[i] for i in train])
            # ridge's reference protein may be held out here: the fit around a training one
            fs = FoldStack(k, outputs, rf.linear.reshifted(X[0]),
                           fit_input_map(settings.inputs, X),
                           [fit_target_map(settings.target, R[:, o])
                            for o in range(len(outputs))], settings.weight, rf.penalties)
            fdir = tmp / f"fold{k}"
            (fdir / "db").mkdir(parents=True)
            M = fs.network_inputs(X)
            for r, i in enumerate(train):
                d = fdir / "db" / i
                d.mkdir()
                (d / INPUT_FILE).write_text(inputs_text(M[r]), encoding="utf-8")
                for o, name in enumerate(outputs):
                    v = fs.targets[o].forward(R[r, o])
                    (d / f"{name}.target").write_text(f"{float(v):.17g}\n", encoding="utf-8")
            Mh = fs.network_inputs(np.stack([rows.x(i) for i in held]))
            for r, i in enumerate(held):
                (fdir / "db" / i).mkdir()
                (fdir / "db" / i / INPUT_FILE).write_text(inputs_text(Mh[r]),
                                                          encoding="utf-8")
            lists = {}
            for name in outputs:
                lists[name] = f"fold{k}/{name}.db"
                (tmp / lists[name]).write_text(
                    "\n".join([f'"{final}/fold{k}/db"', INPUT_FILE, f"{name}.target", *train])
                    + "\n", encoding="utf-8")
            (fdir / FOLD_JSON).write_text(fs.to_json(), encoding="utf-8")
            folds.append({"fold": k, "f": rec.f, "lists": lists, "held_out": rec.ids,
                          "inputs": int(M.shape[1])})
        (tmp / STACK_JSON).write_text(json.dumps({
            "settings": settings.to_dict(), "outputs": outputs, "inputs": list(info.inputs),
            "folds": folds}, indent=1) + "\n", encoding="utf-8")
    return (f"{out}: {len(folds)} folds, {len(outputs)} outputs, networks read "
            f"{folds[0]['inputs']} inputs ({settings.inputs}), residuals mapped by "
            f"{settings.target}")


@dataclass
class Stack:
    """A stack folder as protnn stack wrote it."""
    path: str
    settings: StackSettings
    outputs: list[str]
    inputs: list[str]
    folds: list[dict]

    def fold(self, k: int) -> FoldStack:
        return read_fold_stack(os.path.join(self.path, f"fold{k}", FOLD_JSON))

    def list_file(self, k: int, output: str) -> str:
        return os.path.join(self.path, self.folds[k - 1]["lists"][output])

    def write_network_list(self, dbout: str, k: int, output: str, seed: int,
                           path: str) -> str:
        """Writes PATH, the list of one network of OUTPUT in fold K: the output's list with
        the network's own early-stopping groups (drawn with SEED from the database DBOUT's
        groups) last.  Returns the network's -f value."""
        lines = read_text(self.list_file(k, output)).splitlines()
        train = [i for i in lines[3:] if i.strip()]
        early = nint(float(self.folds[k - 1]["f"]) * len(train))
        net = network_list(train, early, database_groups(dbout), seed)
        with open(path, "x", encoding="utf-8") as f:
            f.write("\n".join(lines[:3] + net.train) + "\n")
        return net.f_value()


def read_stack(path: str) -> Stack:
    where = os.path.join(path, STACK_JSON)
    d = read_json(where, "a stack file of protnn stack")
    try:
        s = Stack(os.path.abspath(path), settings_from_dict(d["settings"], where),
                  [str(o) for o in d["outputs"]], [str(i) for i in d["inputs"]],
                  list(d["folds"]))
        for n, f in enumerate(s.folds, 1):
            if f["fold"] != n or set(f["lists"]) != set(s.outputs) or \
                    any("/" not in v or ".." in v.split("/") for v in f["lists"].values()):
                raise ValueError(f"folds[{n}]")
        return s
    except (KeyError, TypeError, ValueError) as e:
        raise ProtnnError(f"{where}: not a stack file of protnn stack ({e})") from None


def network_predictions(paths: dict[str, str], ids: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """The networks' mean and deviation (mapped, ids x outputs) from the standard output of
    nntrain -aw, one file per output (PATHS: output -> file) over the proteins IDS."""
    mean = np.empty((len(ids), len(paths)))
    sd = np.empty((len(ids), len(paths)))
    for o, path in enumerate(paths.values()):
        preds = parse_predictions(read_text(path), path, 1)
        if [p.id for p in preds] != list(ids):
            raise ProtnnError(f"{path}: predictions of other proteins than "
                              f"{ids[0]} ... {ids[-1]} ({len(ids)})")
        mean[:, o] = [p.mean for p in preds]
        sd[:, o] = [p.sd for p in preds]
    return mean, sd


def collect_fold(stack_dir: str, dbout: str, k: int, paths: list[str], out: str,
                 table: str | None = None, role: str | None = None) -> int:
    """protnn collect --stack: fold K's held-out proteins predicted as ridge plus networks
    from the networks' outputs PATHS (one nntrain -aw output per output, in the stack's
    order of outputs); writes the predictions table OUT (target from TABLE, else empty).
    Returns the number of rows."""
    stack = read_stack(stack_dir)
    if len(paths) != len(stack.outputs):
        raise ProtnnError(f"{len(paths)} prediction files for {len(stack.outputs)} outputs "
                          f"({' '.join(stack.outputs)})")
    if not 1 <= k <= len(stack.folds):
        raise ProtnnError(f"--fold {k}: {stack_dir} has folds 1 to {len(stack.folds)}")
    fs = stack.fold(k)
    info = read_folds(dbout)
    ids = fold_held_out(dbout, info.folds[k - 1])
    rows = database_rows(dbout, info, ids[0])
    X = np.stack([rows.x(i) for i in ids])
    mean, sd = network_predictions(dict(zip(stack.outputs, paths)), ids)
    pred, dev = fs.combine(X, mean, sd)
    known = target_lookup(table, stack.outputs) if table else {}
    lines = [prediction_line(i, o, pred[r, j], dev[r, j], known.get((i, o), math.nan), role)
             for r, i in enumerate(ids) for j, o in enumerate(stack.outputs)]
    write_predictions(out, lines, role=role is not None)
    return len(lines)
