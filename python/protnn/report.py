"""The report of a run: index.html with PNG plots and proteins.tsv, readable without a server.

From the predictions table(s) (`id output mean sd target [role]`) and, when given, the training
logs, the database, the ridge predictions, the failed structures, the run's settings and the
groups:
- per output, over the proteins with a known target: MAE, RMSE and Pearson r of the ensemble
  beside the trivial predictor, which answers the mean of the training targets: with --db,
  for a protein held out by fold k the mean over fold k's list file (its training proteins);
  for other proteins, and without --db, the mean of the other proteins' targets in the
  predictions (leave one out); and beside ridge regression (--ridge, protnn ridge) on the same
  folds.  95% intervals from a bootstrap over proteins (BOOTSTRAP resamples, seed
  BOOTSTRAP_SEED, the same resamples for every predictor, so differences are paired) for r and
  for each difference of MAE.  The networks have learned something useful for an output only
  where they beat both the trivial predictor and ridge: the interval of both MAE differences
  below 0;
- flags for settings that make the estimate noisy or optimistic;
- predicted versus target, one panel per output, the ensemble's deviation as error bars;
- learning curves of every network (training and test-fold error per epoch, the kept epoch
  marked);
- the run's settings (run.json), the failed structures (failed.tsv);
- every protein in proteins.tsv (tab-separated, with its fold and group); the page shows the
  worst PAGE_PROTEINS of them.
Without targets (a run that only predicts) the page shows the predictions and their spread.
Choices of ours: a protein predicted more than once for an output (by several folds' networks)
counts once in the errors, with the mean of its predictions.
"""

from __future__ import annotations

import html
import json
import math
import os
from dataclasses import dataclass

import numpy as np

from . import ProtnnError
from .database import database_rows, fold_held_out, fold_training
from .folds import read_folds
from .failures import Failure, read_failures
from .files import NewDirectory
from .files import read_text
from .nnfiles import TrainingLog, parse_log
from .predictions import Row, number, read_predictions
from .runinfo import read_run

LOGS_PER_FIGURE = 24
PAGE_PROTEINS = 50          # rows of the per-protein table on the page
PAGE_FAILURES = 200         # rows of the failed structures on the page
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


def _training_means(dbout: str) -> tuple[dict[str, dict[str, float]], dict[str, float],
                                         dict[str, int]]:
    """Per held-out id and output: the mean target of its fold's list file; per output the
    mean over all proteins with targets (for proteins in no fold); the fold of each id."""
    folds = read_folds(dbout)
    first = next((i for f in folds.folds for i in fold_held_out(dbout, f)), None)
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


def _entries(rows: list[Row], dbout: str | None,
             ridge: dict[tuple[str, str], float]) -> tuple[list[Entry], dict[str, int]]:
    groups: dict[tuple[str, str, str], list[Row]] = {}
    for r in rows:
        groups.setdefault((r.id, r.output, r.role), []).append(r)
    outputs = list(dict.fromkeys(r.output for r in rows))
    per_id, overall, fold_of = _training_means(dbout) if dbout else ({}, {}, {})
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


def _read_ridge(path: str) -> dict[tuple[str, str], float]:
    acc: dict[tuple[str, str], list[float]] = {}
    for r in read_predictions([path]):
        acc.setdefault((r.id, r.output), []).append(r.mean)
    return {k: float(np.mean(v)) for k, v in acc.items()}


def _fmt(v: float, d: int = 4) -> str:
    return "" if not math.isfinite(v) else f"{v:.{d}f}"


def _fmt_signed(v: float, d: int = 4) -> str:
    return "" if not math.isfinite(v) else f"{v:+.{d}f}"


def _interval(iv: tuple[float, float], d: int = 4, signed: bool = True) -> str:
    f = _fmt_signed if signed else _fmt
    return "" if not all(math.isfinite(x) for x in iv) else f"[{f(iv[0], d)}, {f(iv[1], d)}]"


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def _plot_predictions(entries: list[Entry], outputs: list[str], path: str) -> None:
    plt = _pyplot()
    n = len(outputs)
    fig, axes = plt.subplots(1, n, figsize=(4.2 * n, 4.4), squeeze=False)
    roles = sorted({e.role for e in entries if math.isfinite(e.target)})
    colours = dict(zip(roles, ["tab:blue", "tab:orange", "tab:green", "tab:purple"] * 4))
    for ax, o in zip(axes[0], outputs):
        es = [e for e in entries if e.output == o and math.isfinite(e.target)]
        small = len(es) > 2000                 # many proteins: dots without bars
        for role in roles:
            sel = [e for e in es if e.role == role]
            if sel:
                ax.errorbar([e.target for e in sel], [e.mean for e in sel],
                            yerr=None if small else [e.sd for e in sel], fmt="o",
                            ms=1.5 if small else 4, capsize=2, lw=1, color=colours[role],
                            label=f"ensemble ({role})" if role else "ensemble")
        rid = [e for e in es if math.isfinite(e.ridge)]
        if rid:
            ax.plot([e.target for e in rid], [e.ridge for e in rid], "x", ms=1.5 if small else 4,
                    color="tab:red", label="ridge")
        if es:
            vals = [e.target for e in es] + [e.mean - e.sd for e in es] + \
                [e.mean + e.sd for e in es] + [e.ridge for e in rid]
            lo, hi = min(vals), max(vals)
            pad = 0.05 * (hi - lo or 1)
            ax.plot([lo - pad, hi + pad], [lo - pad, hi + pad], "k--", lw=0.8, label="y = x")
            triv = float(np.mean([e.trivial for e in es if math.isfinite(e.trivial)] or [math.nan]))
            if math.isfinite(triv):
                ax.axhline(triv, color="grey", lw=0.8, ls=":", label="trivial (mean)")
            ax.set_xlim(lo - pad, hi + pad)
            ax.set_ylim(lo - pad, hi + pad)
        else:
            ax.text(0.5, 0.5, "no known targets", ha="center", transform=ax.transAxes)
        ax.set_title(o)
        ax.set_xlabel("target")
        ax.set_ylabel("predicted (bars: the networks' deviation)")
        ax.legend(fontsize=7, loc="upper left")
        ax.set_aspect("equal", adjustable="box")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def _plot_spread(entries: list[Entry], outputs: list[str], path: str) -> None:
    """Predictions without targets: per output the distribution of the ensemble means and of
    the networks' deviations."""
    plt = _pyplot()
    n = len(outputs)
    fig, axes = plt.subplots(2, n, figsize=(4.2 * n, 6.0), squeeze=False)
    for c, o in enumerate(outputs):
        es = [e for e in entries if e.output == o]
        axes[0][c].hist([e.mean for e in es], bins=40, color="tab:blue")
        axes[0][c].set_title(o)
        axes[0][c].set_xlabel("ensemble mean")
        axes[1][c].hist([e.sd for e in es if math.isfinite(e.sd)], bins=40, color="tab:orange")
        axes[1][c].set_xlabel("deviation over the networks")
        for ax in (axes[0][c], axes[1][c]):
            ax.set_ylabel("proteins")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def _plot_logs(logs: list[TrainingLog], path: str) -> None:
    plt = _pyplot()
    n = len(logs)
    cols = min(4, n)
    rows = (n + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(3.6 * cols, 2.8 * rows), squeeze=False)
    for ax in axes.flat[n:]:
        ax.axis("off")
    for n, (ax, log) in enumerate(zip(axes.flat, logs)):
        ax.plot(log.epochs, log.train, lw=1, label="training fold")
        ax.plot(log.epochs, log.test, lw=1, label="test fold")
        kept = log.kept_epoch()
        if kept is not None:
            ax.axvline(kept, color="red", lw=0.8, ls="--", label="kept epoch")
            k = np.nonzero(log.epochs == kept)[0]
            if len(k):
                ax.plot([kept], [log.test[k[0]]], "ro", ms=4)
        ax.set_title(f"{_short(log.path)}: kept epoch {kept}", fontsize=8)
        ax.set_xlabel("epoch", fontsize=8)
        ax.set_ylabel("mean abs. error (scaled)", fontsize=8)
        ax.tick_params(labelsize=7)
        if n == 0:                        # one legend for all panels
            ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def _short(path: str) -> str:
    name = os.path.basename(path)
    return name[:-len(".fort.15")] if name.endswith(".fort.15") else name


def _table(head: list[str], rows: list[list[str]], cls: str = "") -> str:
    h = "".join(f"<th>{html.escape(x)}</th>" for x in head)
    b = "".join("<tr>" + "".join(f"<td>{html.escape(x)}</td>" for x in r) + "</tr>\n"
                for r in rows)
    return f'<table class="{cls}"><thead><tr>{h}</tr></thead><tbody>\n{b}</tbody></table>\n'


STYLE = """body{font-family:sans-serif;margin:1.5em;max-width:1150px;color:#222}
table{border-collapse:collapse;margin:0.5em 0 1.2em}td,th{border:1px solid #bbb;padding:2px 7px;
text-align:right;font-size:13px}th{background:#eee}td:first-child{text-align:left}
table.kv td{text-align:left}img{max-width:100%;border:1px solid #ddd}
.note{color:#555;font-size:13px}.flag{background:#fff3cd;border:1px solid #e0c36b;
padding:4px 8px;margin:4px 0;font-size:14px}.verdict{font-weight:bold}"""


def _value(v) -> str:
    return v if isinstance(v, str) else json.dumps(v)


def _read_groups(path: str) -> dict[str, str]:
    from .sheets import read_groups
    return read_groups(path)


def _flags(dbout: str | None, logs: list[TrainingLog], run: dict | None,
           widths: int | None) -> list[str]:
    """Settings that make the estimate noisy or optimistic, one sentence each."""
    out = []
    if dbout:
        folds = read_folds(dbout).folds
        small = [f for f in folds if f.early_stop < EARLY_STOP_MIN]
        if small:
            out.append(f"Early stopping is noisy: the early-stopping test fold holds fewer than "
                       f"{EARLY_STOP_MIN} proteins in fold(s) " +
                       ", ".join(f"{f.fold} ({f.early_stop})" for f in small) +
                       "; use more proteins or a larger test_share.")
        nip = next((l.nip for l in logs if l.nip), None) or widths
        train = [f.train + f.early_stop for f in folds]
        if nip and train and nip > INPUTS_PER_PROTEIN * min(train):
            out.append(f"{nip} inputs, more than {INPUTS_PER_PROTEIN} times the {min(train)} "
                       f"training proteins of a fold: the networks (and ridge) can fit noise; "
                       f"errors below the trivial predictor's are then the test.")
    source = ((run or {}).get("groups") or {}).get("source") if run else None
    if source is None and run:
        source = "none" if (run.get("config") or {}).get("groups") == "none" else None
    if source == "none":
        out.append("groups: none - folds are random, so chains, models and homologues of one "
                   "protein can sit on both sides of a fold: the errors are optimistic.")
    return out


def _input_width(dbout: str) -> int | None:
    """The number of inputs per protein: the numbers of the first held-out protein's input
    tables."""
    info = read_folds(dbout)
    for f in info.folds:
        ids = fold_held_out(dbout, f)
        if ids:
            return sum(database_rows(dbout, info, ids[0]).widths)
    return None


def _settings(run: dict, groups: dict[str, str] | None) -> list[str]:
    page = ["<h2>Settings of the run</h2>"]
    config = run.get("config") or {}
    page.append(_table(["setting", "value"], [[k, _value(v)] for k, v in config.items()], "kv"))
    words = run.get("nntrain_words")
    if words is not None:
        page.append(f"<p>nntrain words of every training: <code>"
                    f"{html.escape(' '.join(map(str, words)))}</code></p>")
    if run.get("features"):
        page.append("<p>Feature settings: <code>" +
                    html.escape(json.dumps(run["features"])) + "</code></p>")
    g = run.get("groups") or {}
    line = f"Groups: {html.escape(str(g.get('source', config.get('groups', '?'))))}"
    if g.get("source") == "sequence":
        line += (f" (MMseqs2 clusters of the chains, least identity {g.get('min_seq_id')}, "
                 f"coverage {g.get('coverage')})")
    if groups:
        sizes: dict[str, int] = {}
        for x in groups.values():
            sizes[x] = sizes.get(x, 0) + 1
        big = min(sizes.items(), key=lambda x: (-x[1], x[0]))
        line += (f": {len(sizes)} groups of {len(groups)} proteins, the largest "
                 f"{html.escape(big[0])} with {big[1]}")
    page.append(f"<p>{line}.</p>")
    nets = run.get("networks") or []
    if nets:
        page.append(_table(["network", "fold", "net", "seed"],
                           [[str(n.get("file", "")), str(n.get("fold", "")),
                             str(n.get("net", "")), str(n.get("seed", ""))] for n in nets]))
    versions = run.get("versions") or {}
    if versions:
        page.append(_table(["program", "version"],
                           [[k, str(v) or "(not found)"] for k, v in versions.items()], "kv"))
    return page


def make_report(pred_paths: list[str], log_paths: list[str] | None, out: str,
                dbout: str | None = None, ridge_path: str | None = None,
                failed_path: str | None = None, run_path: str | None = None,
                groups_path: str | None = None, warn=None) -> str:
    """report: writes the folder OUT; returns the summary printed on standard output.
    WARN(line) receives the flags (the caller prints them on standard error)."""
    rows = read_predictions(pred_paths)
    logs = [parse_log(read_text(p), p) for p in (log_paths or [])]
    ridge = _read_ridge(ridge_path) if ridge_path else {}
    failures: list[Failure] = read_failures(failed_path) if failed_path else []
    run = read_run(run_path) if run_path else None
    groups = _read_groups(groups_path) if groups_path else {}
    entries, fold_of = _entries(rows, dbout, ridge)
    outputs = list(dict.fromkeys(e.output for e in entries))
    scored = [e for e in entries if math.isfinite(e.target)]
    ids = list(dict.fromkeys(e.id for e in entries))
    flags = _flags(dbout, logs, run, _input_width(dbout) if dbout else None)
    for f in flags:
        if warn:
            warn(f)

    # errors per output
    summary: list[str] = []
    mrows = []
    useful: dict[str, bool] = {}
    have_ridge = bool(ridge)
    if scored:
        summary.append("output           n   MAE ensemble  MAE trivial  RMSE ensemble  RMSE trivial  "
                       "r ensemble  r 95% interval   MAE ens-trivial, 95% interval" +
                       ("   MAE ridge  RMSE ridge  r ridge   MAE ens-ridge, 95% interval"
                        if have_ridge else ""))
    for o in outputs if scored else []:
        es = [e for e in scored if e.output == o]
        p = np.array([e.mean for e in es])
        t = np.array([e.target for e in es])
        tv = np.array([e.trivial for e in es])
        rv = np.array([e.ridge for e in es])
        ok_ridge = have_ridge and bool(np.all(np.isfinite(rv)))
        me, mt = metrics(p, t), metrics(tv, t)
        mr = metrics(rv, t) if ok_ridge else Metrics(0, math.nan, math.nan, math.nan)
        r_iv, d_iv = bootstrap(p, t, [tv] + ([rv] if ok_ridge else []))
        d_triv = me.mae - mt.mae
        d_ridge = me.mae - mr.mae if ok_ridge else math.nan
        beats = math.isfinite(d_iv[0][1]) and d_iv[0][1] < 0
        if have_ridge:
            beats = beats and ok_ridge and math.isfinite(d_iv[1][1]) and d_iv[1][1] < 0
        useful[o] = beats
        line = (f"{o:<12}{me.n:>6}   {_fmt(me.mae):>12} {_fmt(mt.mae):>12} "
                f"{_fmt(me.rmse):>14} {_fmt(mt.rmse):>13} {_fmt(me.r, 3):>11}  "
                f"{_interval(r_iv, 2):<16} {_fmt_signed(d_triv)} {_interval(d_iv[0])}")
        if have_ridge:
            line += (f"   {_fmt(mr.mae):>9} {_fmt(mr.rmse):>11} {_fmt(mr.r, 3):>8}   "
                     f"{_fmt_signed(d_ridge)} {_interval(d_iv[1]) if ok_ridge else ''}")
        summary.append(line.rstrip())
        mrows.append([o, "ensemble", str(me.n), _fmt(me.mae), _fmt(me.rmse), _fmt(me.r, 3),
                      _interval(r_iv, 2), _fmt_signed(d_triv) + " " + _interval(d_iv[0]),
                      (_fmt_signed(d_ridge) + " " + _interval(d_iv[1])) if ok_ridge else ""])
        mrows.append([o, "trivial", str(mt.n), _fmt(mt.mae), _fmt(mt.rmse), "", "", "", ""])
        if have_ridge:
            mrows.append([o, "ridge", str(mr.n), _fmt(mr.mae), _fmt(mr.rmse), _fmt(mr.r, 3),
                          "", "", ""])
    verdict = ""
    if scored:
        yes = [o for o in outputs if useful.get(o)]
        no = [o for o in outputs if o not in yes]
        rivals = "both the trivial predictor and ridge" if have_ridge else \
            "the trivial predictor (ridge not run)"
        verdict = (f"The networks learned something useful only where they beat {rivals} "
                   f"(MAE difference below 0 over its whole 95% interval): "
                   + (f"{', '.join(yes)}" if yes else "none of the outputs")
                   + (f"; not for {', '.join(no)}." if yes and no else "."))
        if have_ridge:
            summary.append(verdict)
    else:                                  # only predictions: their spread
        summary.append("output          n   mean of means  sd of means   median sd      max sd")
        for o in outputs:
            es = [e for e in entries if e.output == o]
            m = np.array([e.mean for e in es])
            sd = np.array([e.sd for e in es if math.isfinite(e.sd)] or [math.nan])
            summary.append(f"{o:<12}{len(es):>5}   {_fmt(float(m.mean())):>13} "
                           f"{_fmt(float(m.std())):>12} {_fmt(float(np.median(sd))):>11} "
                           f"{_fmt(float(np.max(sd))):>11}")
    failed_line = ""
    if failures:
        total = int(run["structures"]) if run and isinstance(run.get("structures"), int) \
            else len(ids) + len({f.id for f in failures})
        failed_line = f"{len({f.id for f in failures})} of {total} structures failed " \
            f"({failed_path})"
        summary.append(failed_line)

    # per protein, all of them in proteins.tsv
    by = {(e.role, e.id, e.output): e for e in entries}
    mae = {o: float(np.mean([abs(e.mean - e.target) for e in scored if e.output == o]) or 1.0)
           for o in outputs if any(e.output == o for e in scored)}
    sdm = {o: float(np.mean([e.sd for e in entries if e.output == o and math.isfinite(e.sd)]
                            or [1.0]) or 1.0) for o in outputs}
    keys = list(dict.fromkeys((e.role, e.id) for e in entries))
    tsv = ["\t".join(["id", "role", "fold", "group"] +
                     [f"{o} {x}" for o in outputs for x in
                      ("mean", "sd", "target", "error", "ridge")])]
    prow = []
    rank = []
    for role, i in keys:
        fold = str(fold_of[i]) if role != "new" and i in fold_of else ("all" if role == "new" and
                                                                        fold_of else "")
        r = [i, role, fold, groups.get(i, "")]
        bad, spread = [], []
        for o in outputs:
            e = by.get((role, i, o))
            if e is None:
                r += ["", "", "", "", ""]
                continue
            err = e.mean - e.target if math.isfinite(e.target) else math.nan
            r += [number(e.mean), number(e.sd), number(e.target), number(err), number(e.ridge)]
            if math.isfinite(err) and o in mae:
                bad.append(abs(err) / mae[o])
            if math.isfinite(e.sd):
                spread.append(e.sd / sdm[o])
        tsv.append("\t".join(r))
        prow.append(r)
        rank.append((0 if bad else 1, -(np.mean(bad) if bad else np.mean(spread or [0.0]))))
    order = sorted(range(len(prow)), key=lambda k: rank[k])[:PAGE_PROTEINS]
    kinds = ("mean", "sd", "target", "error") if scored else ("mean", "sd")
    shown = list(range(4)) + [4 + 5 * j + c for j in range(len(outputs)) for c in range(len(kinds))]
    phead = ["protein", "role", "fold", "group"] + [f"{o} {x}" for o in outputs for x in kinds]

    with NewDirectory(out) as tmp:
        (tmp / "proteins.tsv").write_text("\n".join(tsv) + "\n", encoding="utf-8")
        if scored:
            _plot_predictions(entries, outputs, str(tmp / "predicted_vs_target.png"))
        else:
            _plot_spread(entries, outputs, str(tmp / "predictions.png"))
        curves = []
        for k in range(0, len(logs), LOGS_PER_FIGURE):
            name = f"learning_curves_{k // LOGS_PER_FIGURE + 1}.png"
            _plot_logs(logs[k:k + LOGS_PER_FIGURE], str(tmp / name))
            curves.append(name)
        lrows = [[_short(l.path), str(l.seed if l.seed is not None else ""),
                  str(len(l.epochs)), str(l.kept_epoch() or ""), _fmt(l.best_train),
                  _fmt(l.best_test), "; ".join(l.notes)] for l in logs]
        page = [
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>protnn report</title>",
            f"<style>{STYLE}</style></head><body>",
            "<h1>protnn report</h1>",
            f"<p>{len(ids)} proteins predicted ({len({e.id for e in scored})} with "
            f"known targets), {len(logs)} networks. Predictions: "
            f"{html.escape(', '.join(pred_paths))}"
            + (f"; ridge: {html.escape(ridge_path)}" if ridge_path else "") + ".</p>",
            *[f"<div class=\"flag\">{html.escape(f)}</div>" for f in flags]]
        if scored:
            page += [
                "<h2>Errors per output</h2>",
                _table(["output", "predictor", "n", "MAE", "RMSE", "r", "r 95% interval",
                        "MAE minus trivial's, 95% interval", "MAE minus ridge's, 95% interval"],
                       mrows),
                f"<p class=\"verdict\">{html.escape(verdict)}</p>",
                "<p class=\"note\">Ensemble: the mean over the networks. Trivial predictor: "
                + ("the mean target of the training proteins of the fold that held the protein "
                   "out." if dbout else "the mean target of the other proteins of the "
                   "predictions.")
                + (" Ridge: ridge regression on the same inputs and folds (protnn ridge)."
                   if have_ridge else "")
                + f" Errors in the units of the targets table, over the proteins with a known "
                f"target. Intervals: 95% of {BOOTSTRAP} bootstrap resamples of the proteins "
                f"(seed {BOOTSTRAP_SEED}); proteins of one group are not independent, so they "
                f"are, if anything, too narrow.</p>",
                "<h2>Predicted versus target</h2>",
                "<img src=\"predicted_vs_target.png\" alt=\"predicted versus target\">"]
        else:
            page += ["<h2>Predictions</h2>",
                     "<p class=\"note\">No protein has a known target: the distribution of the "
                     "ensemble means and of the networks' deviation per output.</p>",
                     "<pre>" + html.escape("\n".join(summary)) + "</pre>",
                     "<img src=\"predictions.png\" alt=\"predictions and their spread\">"]
        if logs:
            page += [
                "<h2>Learning curves</h2>",
                "<p class=\"note\">Mean absolute error per epoch on the training fold and on "
                "the early-stopping test fold (scaled targets); dashed red line: the kept "
                "epoch.</p>",
                *[f"<img src=\"{c}\" alt=\"learning curves\"><br>" for c in curves],
                _table(["network", "seed", "epochs", "kept epoch", "training error",
                        "test error", "notes"], lrows)]
        if run is not None:
            page += _settings(run, groups)
        if failures:
            page += [f"<h2>Failed structures</h2><p>{html.escape(failed_line)}: left out of "
                     f"the run (a structure with targets is then left out of training too)."
                     + (f" The first {PAGE_FAILURES} of {len(failures)} rows:"
                        if len(failures) > PAGE_FAILURES else "") + "</p>",
                     _table(["id", "step", "message"],
                            [[f.id, f.step, f.message] for f in failures[:PAGE_FAILURES]],
                            "kv")]
        page += [
            "<h2>Per protein</h2>",
            f"<p>Every protein in <a href=\"proteins.tsv\">proteins.tsv</a> (tab-separated, "
            f"{len(prow)} rows: fold, group, and per output the ensemble mean, deviation, "
            f"target, error and ridge prediction). "
            + (f"Here the {len(order)} with the largest errors (relative to each output's "
               f"MAE)." if scored else f"Here the {len(order)} with the widest spread.")
            + "</p>",
            "<div style=\"overflow-x:auto\">",
            _table(phead, [[prow[k][c] for c in shown] for k in order]), "</div>",
            "</body></html>\n"]
        (tmp / "index.html").write_text("\n".join(page), encoding="utf-8")
    return "\n".join(summary) + "\n"

