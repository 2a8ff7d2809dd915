"""The report of a run: index.html with PNG plots, readable without a server.

From the predictions table(s) (`id output mean sd target [role]`) and the training logs:
- per output, over the proteins with a known target: MAE, RMSE and Pearson r of the ensemble
  beside the trivial predictor, which answers the mean of the training targets: with --db,
  for a protein held out by fold k the mean over fold k's list file (its training proteins);
  for other proteins, and without --db, the mean of the other proteins' targets in the
  predictions (leave one out);
- predicted versus target, one panel per output, the ensemble's deviation as error bars;
- learning curves of every network (training and test-fold error per epoch, the kept epoch
  marked);
- the per-protein table.
Choices of ours: a protein predicted more than once for an output (by several folds' networks)
counts once in the errors, with the mean of its predictions.
"""

from __future__ import annotations

import html
import math
import os
from dataclasses import dataclass

import numpy as np

from . import ProtnnError
from .database import read_folds, read_ids, read_scaling
from .files import NewDirectory
from .nnfiles import TrainingLog, parse_log, read_text
from .predictions import Row, read_predictions

LOGS_PER_FIGURE = 24


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


def _training_means(dbout: str) -> tuple[dict[str, dict[str, float]], dict[str, float]]:
    """Per held-out id and output: the mean target of its fold's list file; and per output the
    mean over all proteins with targets (for proteins in no fold)."""
    scaling = read_scaling(dbout)
    folds = read_folds(dbout)
    db = os.path.join(dbout, "db")

    def target(i: str, j: int) -> float:
        path = os.path.join(db, i, f"{scaling.outputs[j]}.target")
        try:
            with open(path, encoding="utf-8") as f:
                return scaling.unscale(j, float(f.read().split()[0]))
        except (OSError, ValueError, IndexError):
            raise ProtnnError(f"{path}: cannot read the target") from None

    per_id: dict[str, dict[str, float]] = {}
    every: set[str] = set()
    for fold in folds["folds"]:
        lines = read_ids(os.path.join(dbout, fold["list"]))[3:]
        every.update(lines)
        means = {o: float(np.mean([target(i, j) for i in lines]))
                 for j, o in enumerate(scaling.outputs)}
        for i in read_ids(os.path.join(dbout, fold["ids"])):
            per_id[i] = means
            every.add(i)
    overall = {o: float(np.mean([target(i, j) for i in sorted(every)]))
               for j, o in enumerate(scaling.outputs)} if every else {}
    return per_id, overall


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


def _entries(rows: list[Row], dbout: str | None) -> list[Entry]:
    groups: dict[tuple[str, str, str], list[Row]] = {}
    for r in rows:
        groups.setdefault((r.id, r.output, r.role), []).append(r)
    outputs = list(dict.fromkeys(r.output for r in rows))
    per_id, overall = _training_means(dbout) if dbout else ({}, {})
    # target of each (id, output), for the leave-one-out means
    known: dict[str, dict[str, float]] = {o: {} for o in outputs}
    for r in rows:
        if math.isfinite(r.target):
            known[r.output][r.id] = r.target
    out = []
    for (i, o, role), rs in groups.items():
        if i in per_id and o in per_id[i]:
            triv = per_id[i][o]
        elif dbout and o in overall:
            triv = overall[o]
        else:
            others = [v for k, v in known[o].items() if k != i]
            triv = float(np.mean(others)) if others else math.nan
        out.append(Entry(i, o, role, float(np.mean([r.mean for r in rs])),
                         float(np.mean([r.sd for r in rs])), rs[0].target, triv))
    return out


def _fmt(v: float, d: int = 4) -> str:
    return "" if not math.isfinite(v) else f"{v:.{d}f}"


def _plot_predictions(entries: list[Entry], outputs: list[str], path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    n = len(outputs)
    fig, axes = plt.subplots(1, n, figsize=(4.2 * n, 4.4), squeeze=False)
    roles = sorted({e.role for e in entries if math.isfinite(e.target)})
    colours = dict(zip(roles, ["tab:blue", "tab:orange", "tab:green", "tab:purple"] * 4))
    for ax, o in zip(axes[0], outputs):
        es = [e for e in entries if e.output == o and math.isfinite(e.target)]
        for role in roles:
            sel = [e for e in es if e.role == role]
            if sel:
                ax.errorbar([e.target for e in sel], [e.mean for e in sel],
                            yerr=[e.sd for e in sel], fmt="o", ms=4, capsize=2, lw=1,
                            color=colours[role], label=role or "predicted")
        if es:
            lo = min(min(e.target for e in es), min(e.mean - e.sd for e in es))
            hi = max(max(e.target for e in es), max(e.mean + e.sd for e in es))
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
        ax.set_ylabel("ensemble mean (bars: deviation)")
        ax.legend(fontsize=7, loc="upper left")
        ax.set_aspect("equal", adjustable="box")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def _plot_logs(logs: list[TrainingLog], path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
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
img{max-width:100%;border:1px solid #ddd}.note{color:#555;font-size:13px}"""


def make_report(pred_paths: list[str], log_paths: list[str], out: str,
                dbout: str | None = None) -> str:
    """report: writes the folder OUT; returns the summary printed on standard output."""
    rows = read_predictions(pred_paths)
    logs = [parse_log(read_text(p), p) for p in log_paths]
    entries = _entries(rows, dbout)
    outputs = list(dict.fromkeys(e.output for e in entries))
    scored = [e for e in entries if math.isfinite(e.target)]
    summary = ["output        n   MAE ensemble  MAE trivial  RMSE ensemble  RMSE trivial  "
               "r ensemble"]
    mrows = []
    table: dict[str, tuple[Metrics, Metrics]] = {}
    for o in outputs:
        es = [e for e in scored if e.output == o]
        p = np.array([e.mean for e in es])
        t = np.array([e.target for e in es])
        tv = np.array([e.trivial for e in es])
        me, mt = metrics(p, t), metrics(tv, t)
        table[o] = (me, mt)
        summary.append(f"{o:<12}{me.n:>3}   {_fmt(me.mae):>12} {_fmt(mt.mae):>12} "
                       f"{_fmt(me.rmse):>14} {_fmt(mt.rmse):>13} {_fmt(me.r, 3):>11}")
        mrows.append([o, str(me.n), _fmt(me.mae), _fmt(mt.mae), _fmt(me.rmse), _fmt(mt.rmse),
                      _fmt(me.r, 3), _fmt(mt.r, 3)])
    with NewDirectory(out) as tmp:
        _plot_predictions(entries, outputs, str(tmp / "predicted_vs_target.png"))
        curves = []
        for k in range(0, len(logs), LOGS_PER_FIGURE):
            name = f"learning_curves_{k // LOGS_PER_FIGURE + 1}.png"
            _plot_logs(logs[k:k + LOGS_PER_FIGURE], str(tmp / name))
            curves.append(name)
        ids = sorted({(e.role, e.id) for e in entries})
        by = {(e.role, e.id, e.output): e for e in entries}
        prow = []
        for role, i in ids:
            r = [i, role]
            for o in outputs:
                e = by.get((role, i, o))
                if e is None:
                    r += ["", "", "", ""]
                else:
                    err = abs(e.mean - e.target) if math.isfinite(e.target) else math.nan
                    r += [_fmt(e.mean), _fmt(e.sd), _fmt(e.target), _fmt(err)]
            prow.append(r)
        phead = ["protein", "role"] + [f"{o} {x}" for o in outputs
                                       for x in ("mean", "sd", "target", "|error|")]
        lrows = [[_short(l.path), str(l.seed if l.seed is not None else ""),
                  str(len(l.epochs)), str(l.kept_epoch() or ""), _fmt(l.best_train),
                  _fmt(l.best_test), "; ".join(l.notes)] for l in logs]
        nprot = len({e.id for e in entries})
        page = [
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>protnn report</title>",
            f"<style>{STYLE}</style></head><body>",
            "<h1>protnn report</h1>",
            f"<p>{nprot} proteins predicted ({len(scored) and len({e.id for e in scored})} with "
            f"known targets), {len(logs)} networks. Predictions: "
            f"{html.escape(', '.join(pred_paths))}.</p>",
            "<h2>Errors per output</h2>",
            _table(["output", "n", "MAE ensemble", "MAE trivial", "RMSE ensemble",
                    "RMSE trivial", "r ensemble", "r trivial"], mrows),
            "<p class=\"note\">Ensemble: the mean over the networks. Trivial predictor: "
            + ("the mean target of the training proteins of the fold that held the protein out."
               if dbout else "the mean target of the other proteins of the predictions.")
            + " Errors in the units of the targets table, over the proteins with a known "
            "target.</p>",
            "<h2>Predicted versus target</h2>",
            "<img src=\"predicted_vs_target.png\" alt=\"predicted versus target\">",
            "<h2>Learning curves</h2>",
            "<p class=\"note\">Mean absolute error per epoch on the training fold and on the "
            "early-stopping test fold (scaled targets); dashed red line: the kept epoch.</p>",
            *[f"<img src=\"{c}\" alt=\"learning curves\"><br>" for c in curves],
            _table(["network", "seed", "epochs", "kept epoch", "training error",
                    "test error", "notes"], lrows),
            "<h2>Per protein</h2>",
            _table(phead, prow),
            "</body></html>\n"]
        (tmp / "index.html").write_text("\n".join(page), encoding="utf-8")
    return "\n".join(summary) + "\n"
