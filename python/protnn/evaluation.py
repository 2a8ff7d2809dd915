"""How good the predictions are: errors per output beside the trivial predictor and ridge.

Per output, over the proteins with a known target: MAE, RMSE and Pearson r of the ensemble
beside the trivial predictor, which answers the mean of the training targets (for a protein
held out by fold k the mean over fold k's list file; for other proteins, and without a
database, the mean of the other proteins' targets in the predictions: leave one out), and
beside ridge regression on the same folds.  95% intervals from a bootstrap over proteins
(BOOTSTRAP resamples, seed BOOTSTRAP_SEED, the same resamples for every predictor, so
differences are paired) for r and for each difference of MAE.  The networks have learned
something useful for an output only where they beat both rivals: the interval of both MAE
differences below 0.  flags() names settings that make the estimate noisy or optimistic.
Choice of ours: a protein predicted more than once for an output (by several folds'
networks) counts once, with the mean of its predictions.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass

import numpy as np

from . import ProtnnError
from .database import GROUPS_FILE, database_groups, database_rows, fold_held_out, fold_training
from .folds import network_list, read_folds
from .nnfiles import TrainingLog
from .predictions import Row, read_predictions

BOOTSTRAP = 1000            # resamples of the proteins
BOOTSTRAP_SEED = 1
EARLY_STOP_MIN = 10         # an early-stopping fold smaller than this makes stopping noisy
INPUTS_PER_PROTEIN = 10     # more inputs than this times the training proteins: flagged


@dataclass
class Metrics:
    """Errors of one predictor on one output."""
    n: int
    mae: float
    rmse: float
    r: float                  # Pearson r; NaN when either side is constant or n < 2


def metrics(pred: np.ndarray, target: np.ndarray) -> Metrics:
    n = len(pred)
    if n == 0:
        return Metrics(0, math.nan, math.nan, math.nan)
    err = pred - target
    r = math.nan
    if n >= 2 and np.std(pred) > 0 and np.std(target) > 0:
        r = float(np.corrcoef(pred, target)[0, 1])
    return Metrics(n, float(np.mean(np.abs(err))), float(math.sqrt(np.mean(err ** 2))), r)


def _rows_r(p: np.ndarray, t: np.ndarray) -> np.ndarray:
    """Pearson r of every row of P against the same row of T (NaN where one is constant)."""
    p = p - p.mean(axis=1, keepdims=True)
    t = t - t.mean(axis=1, keepdims=True)
    den = np.sqrt((p * p).sum(axis=1) * (t * t).sum(axis=1))
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(den > 0, (p * t).sum(axis=1) / den, np.nan)


def bootstrap(pred: np.ndarray, target: np.ndarray,
              others: list[np.ndarray]) -> tuple[tuple[float, float],
                                                 list[tuple[float, float]]]:
    """95% intervals over resampled proteins: of the r of PRED, and of the MAE of PRED minus
    the MAE of each of OTHERS (the same resamples for all)."""
    n = len(pred)
    nan = (math.nan, math.nan)
    if n < 2:
        return nan, [nan for _ in others]
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    err = np.abs(pred - target)
    diffs = [err - np.abs(o - target) for o in others]
    rs, ds = [], [[] for _ in others]
    batch = max(1, min(BOOTSTRAP, 5_000_000 // n))       # bounded memory for large runs
    for start in range(0, BOOTSTRAP, batch):
        idx = rng.integers(0, n, size=(min(batch, BOOTSTRAP - start), n))
        rs.append(_rows_r(pred[idx], target[idx]))
        for d, acc in zip(diffs, ds):
            acc.append(d[idx].mean(axis=1))

    def interval(v: np.ndarray) -> tuple[float, float]:
        v = v[np.isfinite(v)]
        if len(v) < BOOTSTRAP // 2:
            return nan
        lo, hi = np.percentile(v, [2.5, 97.5])
        return float(lo), float(hi)
    return interval(np.concatenate(rs)), [interval(np.concatenate(a)) for a in ds]


def training_means(dbout: str) -> tuple[dict[str, dict[str, float]], dict[str, float],
                                         dict[str, int]]:
    """Per held-out id and output: the mean target of its fold's list file; per output the
    mean over all proteins with targets (for proteins in no fold); the fold of each id."""
    folds = read_folds(dbout)
    first = next((i for f in folds.folds
                  for i in fold_held_out(dbout, f) + fold_training(dbout, f)), None)
    rows = database_rows(dbout, folds, first) if first else None
    outputs = list(folds.outputs)
    cache: dict[str, list[float]] = {}

    def targets(i: str) -> list[float]:
        if i not in cache:
            cache[i] = [float(v) for v in rows.y(i)]
        return cache[i]

    per_id: dict[str, dict[str, float]] = {}
    fold_of: dict[str, int] = {}
    every: set[str] = set()
    for fold in folds.folds:
        lines = fold_training(dbout, fold)
        every.update(lines)
        sums = np.sum([targets(i) for i in lines], axis=0) if lines else None
        means = {o: float(sums[j]) / len(lines) for j, o in enumerate(outputs)} \
            if lines else {}
        for i in fold_held_out(dbout, fold):
            per_id[i] = means
            fold_of[i] = fold.fold
            every.add(i)
    overall = {}
    if every:
        m = np.mean([targets(i) for i in sorted(every)], axis=0)
        overall = {o: float(m[j]) for j, o in enumerate(outputs)}
    return per_id, overall, fold_of


def check_spread(rows: list[Row], paths: list[str]) -> None:
    """Refuses predictions without the networks' deviation on any row (a ridge table, whose
    sd is empty, given as the ensemble's predictions)."""
    if rows and not any(math.isfinite(r.sd) for r in rows):
        raise ProtnnError(f"--predictions {' '.join(paths)}: the sd column is empty on every "
                          f"row; the networks' predictions give their deviation there (a ridge "
                          f"table goes to --ridge)")


@dataclass
class Entry:
    """One protein and output in the report: predictions averaged over repeated rows."""
    id: str
    output: str
    role: str
    mean: float
    sd: float
    target: float
    trivial: float
    ridge: float = math.nan


def entries(rows: list[Row], dbout: str | None,
            ridge: dict[tuple[str, str], float]) -> tuple[list[Entry], dict[str, int]]:
    """One Entry per protein, output and role, with its trivial and ridge predictions; and
    the fold of every held-out protein."""
    groups: dict[tuple[str, str, str], list[Row]] = {}
    for r in rows:
        groups.setdefault((r.id, r.output, r.role), []).append(r)
    outputs = list(dict.fromkeys(r.output for r in rows))
    per_id, overall, fold_of = training_means(dbout) if dbout else ({}, {}, {})
    # leave-one-out means without --db: the sum and count of the known targets per output
    known: dict[str, dict[str, float]] = {o: {} for o in outputs}
    for r in rows:
        if math.isfinite(r.target):
            known[r.output][r.id] = r.target
    total = {o: (sum(v.values()), len(v)) for o, v in known.items()}
    out = []
    for (i, o, role), rs in groups.items():
        if i in per_id and o in per_id[i]:
            triv = per_id[i][o]
        elif dbout and o in overall:
            triv = overall[o]
        else:
            s, n = total[o]
            if i in known[o]:
                s, n = s - known[o][i], n - 1
            triv = s / n if n else math.nan
        mean = rs[0].mean if len(rs) == 1 else float(np.mean([r.mean for r in rs]))
        sd = rs[0].sd if len(rs) == 1 else float(np.mean([r.sd for r in rs]))
        out.append(Entry(i, o, role, mean, sd, rs[0].target, triv,
                         ridge.get((i, o), math.nan)))
    return out, fold_of


def read_ridge(path: str) -> dict[tuple[str, str], float]:
    """Ridge's prediction per (protein, output), averaged over repeated rows."""
    acc: dict[tuple[str, str], list[float]] = {}
    for r in read_predictions([path]):
        acc.setdefault((r.id, r.output), []).append(r.mean)
    return {k: float(np.mean(v)) for k, v in acc.items()}


@dataclass
class Score:
    """The errors of the ensemble and its rivals on one output."""
    output: str
    ensemble: Metrics
    trivial: Metrics
    ridge: Metrics | None                  # None: no ridge prediction for every protein
    r_interval: tuple[float, float]        # of the ensemble's r
    minus_trivial: float                   # ensemble MAE minus the trivial predictor's
    minus_trivial_interval: tuple[float, float]
    minus_ridge: float                     # ensemble MAE minus ridge's (NaN without ridge)
    minus_ridge_interval: tuple[float, float]
    useful: bool                           # both differences below 0 over their interval


def score(entries: list[Entry], output: str, have_ridge: bool) -> Score:
    """The Score of OUTPUT over the ENTRIES with a known target; HAVE_RIDGE: whether ridge
    was run (then the ensemble must beat it too)."""
    es = [e for e in entries if e.output == output and math.isfinite(e.target)]
    p = np.array([e.mean for e in es])
    t = np.array([e.target for e in es])
    tv = np.array([e.trivial for e in es])
    rv = np.array([e.ridge for e in es])
    ok_ridge = have_ridge and bool(np.all(np.isfinite(rv)))
    me, mt = metrics(p, t), metrics(tv, t)
    mr = metrics(rv, t) if ok_ridge else None
    r_iv, d_iv = bootstrap(p, t, [tv] + ([rv] if ok_ridge else []))
    nan = (math.nan, math.nan)
    d_ridge_iv = d_iv[1] if ok_ridge else nan
    useful = math.isfinite(d_iv[0][1]) and d_iv[0][1] < 0
    if have_ridge:
        useful = useful and ok_ridge and math.isfinite(d_ridge_iv[1]) and d_ridge_iv[1] < 0
    return Score(output, me, mt, mr, r_iv, me.mae - mt.mae, d_iv[0],
                 me.mae - mr.mae if mr else math.nan, d_ridge_iv, useful)


def verdict(scores: list[Score], have_ridge: bool) -> str:
    """The sentence that says for which outputs the networks learned something useful."""
    yes = [s.output for s in scores if s.useful]
    no = [s.output for s in scores if not s.useful]
    rivals = "both the trivial predictor and ridge" if have_ridge else \
        "the trivial predictor (ridge not run)"
    return (f"The networks learned something useful only where they beat {rivals} "
            f"(MAE difference below 0 over its whole 95% interval): "
            + (f"{', '.join(yes)}" if yes else "none of the outputs")
            + (f"; not for {', '.join(no)}." if yes and no else "."))


def _small_network_tails(dbout: str, folds: list, networks: list) -> list[int]:
    """The sizes, below EARLY_STOP_MIN, of the networks' own early-stopping groups, each drawn
    again from its fold's list, the database's groups and its seed (none for a database
    without groups)."""
    if not os.path.isfile(os.path.join(dbout, GROUPS_FILE)):
        return []
    groups = database_groups(dbout)
    train = [fold_training(dbout, f) for f in folds]
    sizes = []
    for n in networks:
        k, seed = n.get("fold"), n.get("seed")
        if isinstance(k, int) and isinstance(seed, int) and 1 <= k <= len(folds):
            e = network_list(train[k - 1], folds[k - 1].early_stop, groups, seed).early
            if e < EARLY_STOP_MIN:
                sizes.append(e)
    return sizes


def flags(dbout: str | None, logs: list[TrainingLog], run: dict | None,
           widths: int | None, errors: bool = True) -> list[str]:
    """Settings that make the estimate noisy or optimistic, one sentence each; ERRORS: whether
    errors were measured (without, no flag speaks of them)."""
    out = []
    if dbout:
        folds = read_folds(dbout).folds
        small = [f for f in folds if f.early_stop < EARLY_STOP_MIN]
        if small:
            out.append(f"Early stopping is noisy: the early-stopping test fold holds fewer than "
                       f"{EARLY_STOP_MIN} proteins in fold(s) " +
                       ", ".join(f"{f.fold} ({f.early_stop})" for f in small) +
                       "; use more proteins or a larger test_share.")
        elif (few := _small_network_tails(dbout, folds, (run or {}).get("networks") or [])):
            out.append(f"Early stopping is noisy: the own early-stopping groups of {len(few)} "
                       f"network(s) hold fewer than {EARLY_STOP_MIN} proteins (the fewest "
                       f"{min(few)}): the groups are large beside test_share of a fold; use "
                       f"more proteins or a larger test_share.")
        nip = widths or next((l.nip for l in logs if l.nip), None)
        train = [f.train + f.early_stop for f in folds]
        if nip and train and nip > INPUTS_PER_PROTEIN * min(train):
            out.append(f"{nip} inputs, more than {INPUTS_PER_PROTEIN} times the {min(train)} "
                       f"training proteins of a fold: the networks (and ridge) can fit noise; "
                       f"errors below the trivial predictor's are then the test.")
    source = ((run or {}).get("groups") or {}).get("source") if run else None
    if source is None and run:
        source = "none" if (run.get("config") or {}).get("groups") == "none" else None
    if source == "none" and errors:
        out.append("groups: none - folds are random, so chains, models and homologues of one "
                   "protein can sit on both sides of a fold: the errors are optimistic.")
    return out


# A structure whose residues or atoms fall in the catch-all type more often than this is
# flagged.
CATCH_ALL_MOST = 0.5


def catch_all_flag(shares: dict[str, dict[str, float]]) -> str | None:
    """The flag naming the structures of SHARES (id -> {"residues": share, "atoms": share} of
    the catch-all type) whose residues or atoms mostly fall in the catch-all type."""
    mostly = {i: {k: v for k, v in s.items() if v > CATCH_ALL_MOST}
              for i, s in shares.items()}
    mostly = {i: s for i, s in mostly.items() if s}
    if not mostly:
        return None
    names = [f"{i} ({', '.join(f'{k} {v:.0%}' for k, v in s.items())})"
             for i, s in mostly.items()]
    return (f"{len(mostly)} of {len(shares)} structures have most of their residues or atoms "
            f"in the catch-all type (names the types files do not list: another naming, or "
            f"not a protein), so their inputs say little of them: " + ", ".join(names[:10])
            + (f" and {len(names) - 10} more" if len(names) > 10 else "") + ".")


def input_width(dbout: str) -> int | None:
    """The number of inputs per protein: the numbers of the first held-out protein's input
    tables."""
    info = read_folds(dbout)
    for f in info.folds:
        ids = fold_held_out(dbout, f)
        if ids:
            return sum(database_rows(dbout, info, ids[0]).widths)
    return None
