"""The report of a run: index.html with PNG plots and proteins.tsv, readable without a server.

From the predictions table(s) (`id output mean sd target [role]`) and, when given, the training
logs, the database, the ridge predictions, the failed structures, the run's settings and the
groups: the errors per output (protnn.evaluation) as a summary text and a table, the flags,
the plots (protnn.plots), learning curves of every network, the run's settings, the failed
structures, and every protein in proteins.tsv (tab-separated, with its fold and group; the
page shows the worst PAGE_PROTEINS).  Without targets (a run that only predicts) the page
shows the predictions and their spread.  This module is the only writer of proteins.tsv.
"""

from __future__ import annotations

import html
import json
import math
import os
from dataclasses import dataclass

import numpy as np

from .evaluation import (BOOTSTRAP, BOOTSTRAP_SEED, Entry, Score, catch_all_flag,
                         check_spread, entries, flags, input_width, read_ridge, score, verdict)
from .failures import Failure, read_failures
from .features import catch_all_shares
from .files import NewDirectory, read_text
from .folds import read_folds
from .nnfiles import TrainingLog, parse_log
from .plots import plot_logs, plot_predictions, plot_spread, short_name
from .predictions import number, read_predictions
from .runinfo import read_run
from .sheets import read_groups
from .stack import Stack, read_stack

LOGS_PER_FIGURE = 24
PAGE_PROTEINS = 50          # rows of the per-protein table on the page
PAGE_FAILURES = 200         # rows of the failed structures on the page


def _fmt(v: float, d: int = 4) -> str:
    return "" if not math.isfinite(v) else f"{v:.{d}f}"


def _fmt_signed(v: float, d: int = 4) -> str:
    return "" if not math.isfinite(v) else f"{v:+.{d}f}"


def _interval(iv: tuple[float, float], d: int = 4, signed: bool = True) -> str:
    f = _fmt_signed if signed else _fmt
    return "" if not all(math.isfinite(x) for x in iv) else f"[{f(iv[0], d)}, {f(iv[1], d)}]"


def _cells(s: Score) -> dict[str, str]:
    """The numbers of one output as the summary and the page both show them."""
    ridge = s.ridge
    return {"n": str(s.ensemble.n), "mae": _fmt(s.ensemble.mae), "rmse": _fmt(s.ensemble.rmse),
            "r": _fmt(s.ensemble.r, 3), "r_iv": _interval(s.r_interval, 2),
            "t_mae": _fmt(s.trivial.mae), "t_rmse": _fmt(s.trivial.rmse),
            "t_n": str(s.trivial.n),
            "d_triv": _fmt_signed(s.minus_trivial) + " " + _interval(s.minus_trivial_interval),
            "r_n": str(ridge.n) if ridge else "0",
            "r_mae": _fmt(ridge.mae) if ridge else "", "r_rmse": _fmt(ridge.rmse) if ridge else "",
            "r_r": _fmt(ridge.r, 3) if ridge else "",
            "d_ridge": (_fmt_signed(s.minus_ridge) + " " + _interval(s.minus_ridge_interval))
            if ridge else ""}


SUMMARY_HEAD = ("output           n   MAE ensemble  MAE trivial  RMSE ensemble  RMSE trivial  "
                "r ensemble  r 95% interval   MAE ens-trivial, 95% interval")
SUMMARY_RIDGE = "   MAE ridge  RMSE ridge  r ridge   MAE ens-ridge, 95% interval"


def _summary_line(s: Score, have_ridge: bool) -> str:
    c = _cells(s)
    line = (f"{s.output:<12}{c['n']:>6}   {c['mae']:>12} {c['t_mae']:>12} "
            f"{c['rmse']:>14} {c['t_rmse']:>13} {c['r']:>11}  {c['r_iv']:<16} {c['d_triv']}")
    if have_ridge:
        line += (f"   {c['r_mae']:>9} {c['r_rmse']:>11} {c['r_r']:>8}   "
                 f"{c['d_ridge']}")
    return line.rstrip()


def _page_rows(s: Score, have_ridge: bool) -> list[list[str]]:
    c = _cells(s)
    rows = [[s.output, "ensemble", c["n"], c["mae"], c["rmse"], c["r"], c["r_iv"], c["d_triv"],
             c["d_ridge"]],
            [s.output, "trivial", c["t_n"], c["t_mae"], c["t_rmse"], "", "", "", ""]]
    if have_ridge:
        rows.append([s.output, "ridge", c["r_n"], c["r_mae"], c["r_rmse"], c["r_r"], "", "", ""])
    return rows


def _spread_lines(entries_: list[Entry], outputs: list[str]) -> list[str]:
    """Predictions without targets: per output the spread of the means and deviations."""
    out = ["output          n   mean of means  sd of means   median sd      max sd"]
    for o in outputs:
        es = [e for e in entries_ if e.output == o]
        m = np.array([e.mean for e in es])
        sd = np.array([e.sd for e in es if math.isfinite(e.sd)] or [math.nan])
        out.append(f"{o:<12}{len(es):>5}   {_fmt(float(m.mean())):>13} "
                   f"{_fmt(float(m.std())):>12} {_fmt(float(np.median(sd))):>11} "
                   f"{_fmt(float(np.max(sd))):>11}")
    return out


@dataclass
class ProteinTable:
    """proteins.tsv and the rows of the page's protein table."""
    tsv: list[str]                  # lines of proteins.tsv
    rows: list[list[str]]           # the same cells
    order: list[int]                # the rows the page shows, worst first
    head: list[str]                 # the page's columns
    shown: list[int]                # their places in a row


def _protein_table(entries_: list[Entry], outputs: list[str], scored: bool,
                   fold_of: dict[str, int], groups: dict[str, str]) -> ProteinTable:
    """Every protein, ranked for the page by its error relative to each output's MAE (with
    targets) or by its spread relative to the mean deviation (without)."""
    by = {(e.role, e.id, e.output): e for e in entries_}
    known = [e for e in entries_ if math.isfinite(e.target)]
    mae = {o: float(np.mean([abs(e.mean - e.target) for e in known if e.output == o]) or 1.0)
           for o in outputs if any(e.output == o for e in known)}
    sdm = {o: float(np.mean([e.sd for e in entries_ if e.output == o and math.isfinite(e.sd)]
                            or [1.0]) or 1.0) for o in outputs}
    keys = list(dict.fromkeys((e.role, e.id) for e in entries_))
    tsv = ["\t".join(["id", "role", "fold", "group"] +
                     [f"{o} {x}" for o in outputs for x in
                      ("mean", "sd", "target", "error", "ridge")])]
    prow, rank = [], []
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
    head = ["protein", "role", "fold", "group"] + [f"{o} {x}" for o in outputs for x in kinds]
    return ProteinTable(tsv, prow, order, head, shown)


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
        line += (f" (MMseqs2 clusters of the chains, least identity "
                 f"{html.escape(str(g.get('min_seq_id')))}, coverage "
                 f"{html.escape(str(g.get('coverage')))})")
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


def _stack_section(stack: Stack, share: float | None) -> list[str]:
    """How the ensemble predicts, and the choices made inside each fold."""
    s = stack.settings
    folds = [stack.fold(f["fold"]) for f in stack.folds]
    maps = {"raw": "the raw inputs", "z": "the inputs as z-scores"}
    reads = maps.get(s.inputs, f"the first {s.inputs[3:]} principal axes of the inputs' "
                     f"z-scores")
    return [
        "<h2>How the ensemble predicts</h2>",
        "<p>In each fold, ridge regression fitted on the fold's training proteins, plus "
        + ("the mean" if s.weight == 1 else f"{s.weight:g} times the mean")
        + " of that fold's networks of the output, "
        "which learned what ridge leaves: each training protein's residual from its "
        "out-of-fold ridge prediction (mapped by " + html.escape(s.target) + "). The networks "
        f"read {html.escape(reads)}, fitted on the fold's training proteins. Choices made "
        "inside each fold from its training proteins only: ridge's penalty of each output, by "
        "the inner cross-validation of protnn ridge (the other folds' held-out groups); each "
        "network's early stopping, on whole groups of the fold's training proteins drawn "
        "with the network's seed ("
        + (f"about {share * 100:g} % of them" if share is not None else
           "about test_share of them")
        + "), so that the networks of a fold stop on different proteins.</p>",
        _table(["fold"] + [f"{o}: ridge penalty (mean eigenvalues)" for o in stack.outputs] +
               ["network inputs"],
               [[str(f.fold)] + [f"{p:g}" for p in f.penalties] +
                [str(stack.folds[f.fold - 1]["inputs"])] for f in folds])]


def _failed_line(failures: list[Failure], path: str | None, run: dict | None,
                 predicted: int) -> str:
    """"N of M structures failed (PATH)", or '' when none failed."""
    if not failures:
        return ""
    failed = len({f.id for f in failures})
    total = int(run["structures"]) if run and isinstance(run.get("structures"), int) \
        else predicted + failed
    return f"{failed} of {total} structures failed ({path})"


def _page_head(proteins: int, known: int, networks: int, pred_paths: list[str],
               ridge_path: str | None, notes: list[str]) -> list[str]:
    return [
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>protnn report</title>",
        f"<style>{STYLE}</style></head><body>",
        "<h1>protnn report</h1>",
        f"<p>{proteins} proteins predicted ({known} with known targets), {networks} "
        f"network{'' if networks == 1 else 's'}. "
        f"Predictions: {html.escape(', '.join(pred_paths))}"
        + (f"; ridge: {html.escape(ridge_path)}" if ridge_path else "") + ".</p>",
        *[f"<div class=\"flag\">{html.escape(f)}</div>" for f in notes]]


def _errors_section(scores: list[Score], have_ridge: bool, has_db: bool,
                    verdict_line: str) -> list[str]:
    return [
        "<h2>Errors per output</h2>",
        _table(["output", "predictor", "n", "MAE", "RMSE", "r", "r 95% interval",
                "MAE minus trivial's, 95% interval", "MAE minus ridge's, 95% interval"],
               [r for s in scores for r in _page_rows(s, have_ridge)]),
        f"<p class=\"verdict\">{html.escape(verdict_line)}</p>",
        "<p class=\"note\">Ensemble: the mean over the networks. Trivial predictor: "
        + ("the mean target of the training proteins of the fold that held the protein "
           "out." if has_db else "the mean target of the other proteins of the "
           "predictions.")
        + (" Ridge: ridge regression on the same inputs and folds (protnn ridge)."
           if have_ridge else "")
        + f" Errors in the units of the targets table, over the proteins with a known "
        f"target. Intervals: 95% of {BOOTSTRAP} bootstrap resamples of the proteins "
        f"(seed {BOOTSTRAP_SEED}); proteins of one group are not independent, so they "
        f"are, if anything, too narrow.</p>",
        "<h2>Predicted versus target</h2>",
        "<img src=\"predicted_vs_target.png\" alt=\"predicted versus target\">"]


def _curves_section(logs: list[TrainingLog], curves: list[str]) -> list[str]:
    lrows = [[short_name(l.path), str(l.seed if l.seed is not None else ""),
              str(len(l.epochs)), str(l.kept_epoch() or ""), _fmt(l.best_train),
              _fmt(l.best_test), "; ".join(l.notes)] for l in logs]
    return [
        "<h2>Learning curves</h2>",
        "<p class=\"note\">Mean absolute error per epoch on the training fold and on "
        "the early-stopping test fold (scaled targets); dashed red line: the kept "
        "epoch.</p>",
        *[f"<img src=\"{c}\" alt=\"learning curves\"><br>" for c in curves],
        _table(["network", "seed", "epochs", "kept epoch", "training error",
                "test error", "notes"], lrows)]


def _failed_section(failures: list[Failure], failed_line: str) -> list[str]:
    return [f"<h2>Failed structures</h2><p>{html.escape(failed_line)}: left out of "
            f"the run (a structure with targets is then left out of training too)."
            + (f" The first {PAGE_FAILURES} of {len(failures)} rows:"
               if len(failures) > PAGE_FAILURES else "") + "</p>",
            _table(["id", "step", "message"],
                   [[f.id, f.step, f.message] for f in failures[:PAGE_FAILURES]], "kv")]


def _proteins_section(t: ProteinTable, scored: bool) -> list[str]:
    return [
        "<h2>Per protein</h2>",
        f"<p>Every protein in <a href=\"proteins.tsv\">proteins.tsv</a> (tab-separated, "
        f"{len(t.rows)} rows: fold, group, and per output the ensemble mean, deviation, "
        f"target, error and ridge prediction). "
        + (f"Here the {len(t.order)} with the largest errors (relative to each output's "
           f"MAE)." if scored else f"Here the {len(t.order)} with the widest spread.")
        + "</p>",
        "<div style=\"overflow-x:auto\">",
        _table(t.head, [[t.rows[k][c] for c in t.shown] for k in t.order]), "</div>"]


def make_report(pred_paths: list[str], log_paths: list[str] | None, out: str,
                dbout: str | None = None, ridge_path: str | None = None,
                failed_path: str | None = None, run_path: str | None = None,
                groups_path: str | None = None, warn=None, features: str | None = None,
                stack_dir: str | None = None) -> str:
    """report: writes the folder OUT; returns the summary printed on standard output.
    WARN(line) receives the flags (the caller prints them on standard error).  (It reads,
    scores and writes in that order; every part is a function of its own, this one wires
    them.)  FEATURES: the
    folder of the proteins' feature folders, whose tables tell how much of each structure
    falls in the catch-all type.  STACK_DIR: the stack of the networks (protnn stack), whose
    choices the page states."""
    rows = read_predictions(pred_paths)
    check_spread(rows, pred_paths)
    logs = [parse_log(read_text(p), p) for p in (log_paths or [])]
    ridge = read_ridge(ridge_path) if ridge_path else {}
    failures: list[Failure] = read_failures(failed_path) if failed_path else []
    run = read_run(run_path) if run_path else None
    groups = read_groups(groups_path) if groups_path else {}
    es, fold_of = entries(rows, dbout, ridge)
    outputs = list(dict.fromkeys(e.output for e in es))
    scored = any(math.isfinite(e.target) for e in es)
    ids = list(dict.fromkeys(e.id for e in es))
    notes = flags(dbout, logs, run, input_width(dbout) if dbout else None, errors=scored)
    if features:
        shares = {i: catch_all_shares(os.path.join(features, i)) for i in ids
                  if os.path.isdir(os.path.join(features, i))}
        notes += [f for f in [catch_all_flag(shares)] if f]
    for f in notes:
        if warn:
            warn(f)
    have_ridge = bool(ridge)
    scores = [score(es, o, have_ridge) for o in outputs] if scored else []
    verdict_line = verdict(scores, have_ridge) if scored else ""
    if scored:
        summary = [SUMMARY_HEAD + (SUMMARY_RIDGE if have_ridge else "")]
        summary += [_summary_line(s, have_ridge) for s in scores]
        summary += [verdict_line] if have_ridge else []
    else:
        summary = _spread_lines(es, outputs)
    failed_line = _failed_line(failures, failed_path, run, len(ids))
    summary += [failed_line] if failed_line else []
    proteins = _protein_table(es, outputs, scored, fold_of, groups)

    with NewDirectory(out) as tmp:
        (tmp / "proteins.tsv").write_text("\n".join(proteins.tsv) + "\n", encoding="utf-8")
        if scored:
            plot_predictions(es, outputs, str(tmp / "predicted_vs_target.png"))
        else:
            plot_spread(es, outputs, str(tmp / "predictions.png"))
        curves = []
        for k in range(0, len(logs), LOGS_PER_FIGURE):
            name = f"learning_curves_{k // LOGS_PER_FIGURE + 1}.png"
            plot_logs(logs[k:k + LOGS_PER_FIGURE], str(tmp / name))
            curves.append(name)
        known = len({e.id for e in es if math.isfinite(e.target)})
        # a run that only predicts has the model's networks but not their training logs
        networks = len(logs) or len((run or {}).get("networks") or [])
        page = _page_head(len(ids), known, networks, pred_paths, ridge_path, notes)
        if scored:
            page += _errors_section(scores, have_ridge, bool(dbout), verdict_line)
        else:
            page += ["<h2>Predictions</h2>",
                     "<p class=\"note\">No protein has a known target: the distribution of the "
                     "ensemble means and of the networks' deviation per output.</p>",
                     "<pre>" + html.escape("\n".join(summary)) + "</pre>",
                     "<img src=\"predictions.png\" alt=\"predictions and their spread\">"]
        if logs:
            page += _curves_section(logs, curves)
        if stack_dir:
            page += _stack_section(read_stack(stack_dir),
                                   read_folds(dbout).test_share if dbout else None)
        if run is not None:
            page += _settings(run, groups)
        if failures:
            page += _failed_section(failures, failed_line)
        page += _proteins_section(proteins, scored) + ["</body></html>\n"]
        (tmp / "index.html").write_text("\n".join(page), encoding="utf-8")
    return "\n".join(summary) + "\n"
