"""Ridge regression on the database's inputs and folds: the linear baseline beside the networks.

Reads what the networks read: DBOUT/folds.json (inputs, outputs, folds), each fold's list file
fold<k>.db (its training proteins: all of the list, the early-stopping ones included) and
fold<k>.ids (the proteins it holds out), the tables DBOUT/db/<id>/<input> (every number of each
input file, input by input, as nntrain reads them) and the scaled targets
DBOUT/db/<id>/<output>.target, taken back to target units through scaling.json.

For fold k: every input is standardised with the mean and deviation of the fold's training
proteins (an input constant there is left out), and the penalty of each output is the one of
the grid PENALTIES (in units of the mean non-zero eigenvalue of the standardised X'X, so that
the grid spans from hardly any shrinkage to the training mean at any size) with the least
squared error in an inner cross-validation on the training proteins only.  The inner folds are
the held-out parts of the other folds, which are whole groups (so no near-copy sits on both
sides); with 2 folds they are INNER random parts of the other fold (seeded: no groups are
known here).  The fold's held-out proteins are then predicted by the ridge fit on all its
training proteins, each input clipped to its range among those proteins: a linear fit must not
extrapolate along an input that hardly varied in training (an input that only one training
protein has would otherwise give a held-out protein that has it a huge standardised value).

Two forms of the same arithmetic, chosen by size:
- more proteins than inputs (the primal form): the proteins are never held in memory
  together.  One pass over the tables sums, per held-out part, the counts, sums and
  cross-products (X'X, X'y, y'y) from which every training set's standardised normal
  equations and every validation error follow exactly; a second pass predicts.  Memory:
  (parts + 3) matrices of inputs x inputs; time: proteins x inputs^2 for the sums and one
  eigendecomposition of inputs x inputs per training set (folds^2 of them).
- at most as many proteins as inputs (the dual form): the tables in memory, one
  eigendecomposition of proteins x proteins per training set.

Output: the predictions table `id output mean sd target role` (sd empty, role cv), in target
units, numbers as protnn collect writes them.
"""

from __future__ import annotations

import math
import os
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

from . import ProtnnError
from .database import DatabaseRows, database_rows, fold_held_out, fold_training
from .folds import Folds, inner_parts, read_folds
from .predictions import prediction_line, write_predictions

PENALTIES = np.array([m * 10.0 ** e for e in range(-4, 4) for m in (1, 3)] + [1e4])  # (_scale)
CHUNK = 1000                                       # proteins per product X'X


@dataclass
class Sums:
    """Sums over one part of the proteins, inputs and targets shifted by fixed references."""
    n: int
    sx: np.ndarray       # p
    xx: np.ndarray       # p x p
    sy: np.ndarray       # m
    yy: np.ndarray       # m
    xy: np.ndarray       # p x m
    lo: np.ndarray       # p: least and greatest value of each input
    hi: np.ndarray

    def __add__(self, o: "Sums") -> "Sums":
        return Sums(self.n + o.n, self.sx + o.sx, self.xx + o.xx, self.sy + o.sy,
                    self.yy + o.yy, self.xy + o.xy, np.minimum(self.lo, o.lo),
                    np.maximum(self.hi, o.hi))


def _sums(data: DatabaseRows, ids: list[str], xref: np.ndarray, yref: np.ndarray) -> Sums:
    p, m = len(xref), len(yref)
    s = Sums(0, np.zeros(p), np.zeros((p, p)), np.zeros(m), np.zeros(m), np.zeros((p, m)),
             np.full(p, np.inf), np.full(p, -np.inf))
    for k in range(0, len(ids), CHUNK):
        part = ids[k:k + CHUNK]
        X = np.stack([data.x(i) for i in part]) - xref
        Y = np.stack([data.y(i) for i in part]) - yref
        s.n += len(part)
        s.sx += X.sum(axis=0)
        s.xx += X.T @ X
        s.sy += Y.sum(axis=0)
        s.yy += (Y * Y).sum(axis=0)
        s.xy += X.T @ Y
        s.lo = np.minimum(s.lo, X.min(axis=0))
        s.hi = np.maximum(s.hi, X.max(axis=0))
    return s


@dataclass
class Fit:
    """Ridge solutions of one training set, from its sums (the primal form, inputs x inputs)."""
    n: int
    mu: np.ndarray        # p: input means (shifted)
    ybar: np.ndarray      # m
    keep: np.ndarray      # p: inputs not constant in the training set
    sd: np.ndarray        # deviations of the kept inputs
    V: np.ndarray         # eigenvectors of the standardised X'X (kept inputs)
    e: np.ndarray         # its eigenvalues
    Vtb: np.ndarray       # V' times the standardised X'y, kept x m

    def scale(self) -> float:
        return _scale(self.e, self.n, len(self.e))

    def coef(self, o: int, alpha: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Output O for the penalties ALPHA: slopes on the shifted inputs (p x L), intercepts."""
        lam = alpha * self.scale()
        w = self.V @ (self.Vtb[:, o][:, None] / (self.e[:, None] + lam[None, :]))
        beta = np.zeros((len(self.keep), len(lam)))
        beta[self.keep] = w / self.sd[:, None]
        return beta, self.ybar[o] - self.mu @ beta


def _scale(eigen: np.ndarray, n: int, p: int) -> float:
    """The mean non-zero eigenvalue of the standardised X'X: penalties are in its units, so
    that a grid spans from hardly any shrinkage to the training mean for any size."""
    rank = max(1, min(n - 1, p))
    return max(float(np.sum(eigen)) / rank, 1e-300)


def _constant(var: np.ndarray, mean: np.ndarray) -> np.ndarray:
    """The inputs whose variance VAR is negligible beside their mean square (MEAN: the
    unshifted means, so that the choice depends on the training proteins alone, not on the
    reference protein the rows are shifted by)."""
    return ~(var > 1e-12 * np.maximum(1.0, mean * mean + var))


def _standardise(X: np.ndarray,
                 shift: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Means, kept inputs (not constant) and their deviations over the rows of X, which are
    shifted by SHIFT."""
    mu = X.mean(axis=0)
    var = X.var(axis=0)
    keep = ~_constant(var, mu + (0 if shift is None else shift))
    return mu, keep, np.sqrt(var[keep])


def fit(s: Sums, shift: np.ndarray | None = None) -> Fit:
    if s.n < 2:
        raise ProtnnError(f"a training set of {s.n} proteins: too few for ridge regression")
    mu, ybar = s.sx / s.n, s.sy / s.n
    S = s.xx - s.n * np.outer(mu, mu)                  # centred scatter
    var = np.diag(S) / s.n
    keep = ~_constant(var, mu + (0 if shift is None else shift))
    sd = np.sqrt(var[keep])
    C = S[np.ix_(keep, keep)] / np.outer(sd, sd)
    b = (s.xy - s.n * np.outer(mu, ybar))[keep] / sd[:, None]
    e, V = np.linalg.eigh(C)
    return Fit(s.n, mu, ybar, keep, sd, V, np.maximum(e, 0.0), V.T @ b)


def _sse(f: Fit, o: int, alpha: np.ndarray, v: Sums) -> np.ndarray:
    """Squared error over the part V of output O, per penalty, from V's sums alone."""
    beta, c = f.coef(o, alpha)
    quad = np.einsum("pl,pl->l", beta, v.xx @ beta)
    return (v.yy[o] - 2 * c * v.sy[o] - 2 * (v.xy[:, o] @ beta) + v.n * c * c
            + 2 * c * (v.sx @ beta) + quad)


def dual_predict(X: np.ndarray, Y: np.ndarray, Xv: np.ndarray,
                 alpha: np.ndarray, shift: np.ndarray | None = None) -> np.ndarray:
    """Ridge fit on the rows X, Y (standardised on X), predicting the rows XV for every
    penalty of ALPHA: outputs x penalties x rows.  The dual form (rows x rows), for training
    sets smaller than the inputs."""
    if len(X) < 2:
        raise ProtnnError(f"a training set of {len(X)} proteins: too few for ridge regression")
    mu, keep, sd = _standardise(X, shift)
    Z = (X[:, keep] - mu[keep]) / sd
    Zv = (Xv[:, keep] - mu[keep]) / sd
    ybar = Y.mean(axis=0)
    s, U = np.linalg.eigh(Z @ Z.T)
    s = np.maximum(s, 0.0)
    lam = alpha * _scale(s, len(X), int(keep.sum()))
    A = (Zv @ Z.T) @ U                                   # rows x n
    UtY = U.T @ (Y - ybar)                               # n x m
    out = np.einsum("vn,nl,nm->mlv", A, 1.0 / (s[:, None] + lam[None, :]), UtY)
    return out + ybar[:, None, None]


def dual_coef(X: np.ndarray, Y: np.ndarray, alpha: np.ndarray,
              shift: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The fit of dual_predict on the rows X, Y as slopes on the inputs (inputs x outputs) and
    intercepts, output o at the penalty ALPHA[o]: dual_predict's prediction of a row xv is
    xv @ slopes + intercepts up to rounding."""
    mu, keep, sd = _standardise(X, shift)
    Z = (X[:, keep] - mu[keep]) / sd
    ybar = Y.mean(axis=0)
    s, U = np.linalg.eigh(Z @ Z.T)
    s = np.maximum(s, 0.0)
    lam = alpha * _scale(s, len(X), int(keep.sum()))
    UtY = U.T @ (Y - ybar)
    W = Z.T @ (U @ (UtY / (s[:, None] + lam[None, :])))     # kept inputs x outputs
    B = np.zeros((X.shape[1], Y.shape[1]))
    B[keep] = W / sd[:, None]
    return B, ybar - mu @ B


def _parts(dbout: str, info: Folds,
           seed: int) -> tuple[list[list[str]], list[list[str]], list[int]]:
    """Each fold's held-out proteins, and the inner parts with their folds (folds.inner_parts);
    checks that every fold's list is the other folds' held-out proteins."""
    held = [fold_held_out(dbout, f) for f in info.folds]
    for k, f in enumerate(info.folds):
        path = os.path.join(dbout, f.list)
        train = fold_training(dbout, f)
        others = {i for j, h in enumerate(held) if j != k for i in h}
        if set(train) != others or len(train) != len(others):
            raise ProtnnError(f"{path}: the training proteins are not the other folds' "
                              f"held-out proteins (not a database of protnn db)")
    parts, fold_of = inner_parts(held, seed)
    return held, parts, fold_of


def _choose(sse: np.ndarray) -> list[float]:
    """Per output, the penalty of the grid with the least inner squared error (the larger
    one on a tie)."""
    return [float(PENALTIES[len(PENALTIES) - 1 - int(np.argmin(row[::-1]))]) for row in sse]


@dataclass
class Linear:
    """One fold's ridge fit as a linear map of a protein's inputs x (every number of its
    input tables): clip(x - shift, lo, hi) @ slopes + intercepts, per output."""
    shift: np.ndarray            # p: the reference protein's inputs
    lo: np.ndarray               # p: the training proteins' range, shifted
    hi: np.ndarray
    slopes: np.ndarray           # p x outputs
    intercepts: np.ndarray       # outputs

    def predict(self, X: np.ndarray) -> np.ndarray:
        """Rows x outputs for the rows X (proteins x inputs)."""
        return np.clip(X - self.shift, self.lo, self.hi) @ self.slopes + self.intercepts

    def reshifted(self, shift: np.ndarray) -> "Linear":
        """The same map around SHIFT (equal up to rounding)."""
        d = shift - self.shift
        return Linear(shift.copy(), self.lo - d, self.hi - d, self.slopes,
                      self.intercepts + d @ self.slopes)


@dataclass
class FoldRidge:
    """Ridge on one fold: its held-out proteins' predictions (those of protnn ridge), the
    penalties chosen, and on request the fit as a Linear map and the out-of-fold predictions
    of its training proteins (each inner part predicted by the inner fit on the others, at the
    fold's penalties)."""
    held_out: list[str]
    pred: np.ndarray             # held-out x outputs
    targets: np.ndarray          # held-out x outputs
    penalties: list[float]
    training: int                # training proteins
    linear: Linear | None = None
    inner: dict[str, np.ndarray] | None = None     # training id -> outputs


def ridge(dbout: str, out: str, seed: int = 1, log=None, dual: bool | None = None,
          jobs: int = 1) -> int:
    """ridge: writes the predictions table OUT; returns its number of rows.  DUAL: None
    chooses the form by size (the proteins in memory when fewer than the inputs).  JOBS
    threads share the sums and the fits (numpy's products and eigendecompositions run outside
    the interpreter lock); the results do not depend on it."""
    info = read_folds(dbout)
    rows = []
    for k, f in enumerate(ridge_folds(dbout, seed, dual, jobs)):
        if log:
            log(f"ridge: fold {k + 1}: {f.training} training proteins; penalty (in mean "
                f"eigenvalues) " + ", ".join(f"{o} {b:g}" for o, b in
                                            zip(info.outputs, f.penalties)))
        for r, i in enumerate(f.held_out):
            for o, name in enumerate(info.outputs):
                rows.append(prediction_line(i, name, f.pred[r, o], math.nan, f.targets[r, o],
                                            "cv"))
    write_predictions(out, rows, role=True)
    return len(rows)


def ridge_folds(dbout: str, seed: int = 1, dual: bool | None = None, jobs: int = 1,
                fits: bool = False) -> list[FoldRidge]:
    """Ridge on every fold of DBOUT; FITS adds each fold's Linear map and out-of-fold
    predictions of its training proteins."""
    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        return _ridge(dbout, seed, dual, pool, fits)


def _ridge(dbout: str, seed: int, dual: bool | None, pool: ThreadPoolExecutor,
           fits: bool) -> list[FoldRidge]:
    # One function on purpose: the inner fits of every fold and the outer fits are queued on
    # POOL together and collected fold by fold, which a split would have to pass around.
    info = read_folds(dbout)
    outputs = list(info.outputs)
    held, parts, fold_of = _parts(dbout, info, seed)
    if not parts:
        raise ProtnnError(f"{dbout}: no held-out protein")
    first = parts[0][0]
    data = database_rows(dbout, info, first)
    xref = data.x(first)
    yref = data.y(first)
    nprot = sum(len(h) for h in held)
    if dual is None:
        dual = nprot <= len(xref)
    m, L = len(outputs), len(PENALTIES)
    if dual:
        # In memory, every fit standardises its own rows: no reference protein, whose
        # rounding would reach the folds that hold it out.
        xref = np.zeros_like(xref)
        X = [np.stack([data.x(i) for i in ids]) for ids in parts]
        Y = [np.stack([data.y(i) for i in ids]) for ids in parts]
    else:
        sums = list(pool.map(lambda ids: _sums(data, ids, xref, yref), parts))

    def inner_sse(train: list[int], v: int) -> tuple[np.ndarray, object]:
        """Squared errors (outputs x penalties) on part V of the fit on the rest of TRAIN;
        with FITS also what predicts part V at any penalty (the predictions, outputs x
        penalties x rows, or per output the slopes and intercepts of every penalty)."""
        rest = [b for b in train if b != v]
        if not rest:
            return np.zeros((m, L)), None
        if dual:
            pred = dual_predict(np.concatenate([X[b] for b in rest]),
                                np.concatenate([Y[b] for b in rest]), X[v], PENALTIES, xref)
            return ((pred - Y[v].T[:, None, :]) ** 2).sum(axis=2), pred if fits else None
        inner = fit(sum((sums[b] for b in rest[1:]), sums[rest[0]]), xref)
        sse = np.stack([_sse(inner, o, PENALTIES, sums[v]) for o in range(m)])
        return sse, [inner.coef(o, PENALTIES) for o in range(m)] if fits else None

    # Every fold's inner fits, then the primal form's outer fits, all queued at once so that
    # the threads stay busy; each fold's errors are added in the order of its parts.
    trains = [[b for b in range(len(parts)) if fold_of[b] != k] for k in range(len(info.folds))]
    inner = [[pool.submit(inner_sse, train, v) for v in train] for train in trains]
    if not dual:
        totals = [sum((sums[b] for b in train[1:]), sums[train[0]]) for train in trains]
        outers = [pool.submit(fit, total, xref) for total in totals]
    out = []
    for k, train in enumerate(trains):
        sse = np.zeros((m, L))
        done = [part.result() for part in inner[k]]
        for part_sse, _ in done:
            sse += part_sse
        best = _choose(sse)
        ids = held[k]
        Yk = np.stack([data.y(i) for i in ids])
        if dual:
            XT = np.concatenate([X[b] for b in train])
            Xk = np.clip(np.stack([data.x(i) for i in ids]) - xref, XT.min(axis=0),
                         XT.max(axis=0))
            YT = np.concatenate([Y[b] for b in train])
            allp = dual_predict(XT, YT, Xk, np.array(best), xref)
            pred = np.stack([allp[o, o] for o in range(m)], axis=1)
            ntrain = len(XT)
            if fits:
                B, c = dual_coef(XT, YT, np.array(best), xref)
                linear = Linear(xref, XT.min(axis=0), XT.max(axis=0), B, c)
        else:
            total, outer = totals[k], outers[k].result()
            B = np.empty((len(xref), m))
            c = np.empty(m)
            for o in range(m):
                beta, c0 = outer.coef(o, np.array([best[o]]))
                B[:, o], c[o] = beta[:, 0], c0[0] + yref[o]
            pred = np.empty((len(ids), m))
            for at in range(0, len(ids), CHUNK):          # a chunk of tables at a time
                Xk = np.stack([data.x(i) for i in ids[at:at + CHUNK]]) - xref
                pred[at:at + CHUNK] = np.clip(Xk, total.lo, total.hi) @ B + c
            ntrain = outer.n
            linear = Linear(xref, total.lo, total.hi, B, c) if fits else None
        result = FoldRidge(ids, pred, Yk, best, ntrain)
        if fits:
            result.linear = linear
            result.inner = _inner_predictions(data, parts, train, done, best, dual,
                                              X if dual else None, xref, yref)
        out.append(result)
    return out


def _inner_predictions(data: DatabaseRows, parts: list[list[str]], train: list[int],
                       done: list, best: list[float], dual: bool, X, xref: np.ndarray,
                       yref: np.ndarray) -> dict[str, np.ndarray]:
    """Each training protein of a fold predicted by the inner fit that left its part out,
    at the fold's penalty of each output."""
    at = [int(np.nonzero(PENALTIES == b)[0][0]) for b in best]
    out: dict[str, np.ndarray] = {}
    for v, (_, made) in zip(train, done):
        if made is None:
            continue
        if dual:
            pred = np.stack([made[o, at[o]] for o in range(len(best))], axis=1)
        else:
            Xv = np.stack([data.x(i) for i in parts[v]]) - xref
            pred = np.stack([Xv @ made[o][0][:, at[o]] + made[o][1][at[o]] + yref[o]
                             for o in range(len(best))], axis=1)
        for r, i in enumerate(parts[v]):
            out[i] = pred[r]
    return out
