"""The report's plots (matplotlib, drawn without a display): predicted versus target with
ridge beside the ensemble, the spread of predictions without targets, learning curves."""

from __future__ import annotations

import math
import os

import numpy as np

from .evaluation import Entry
from .nnfiles import TrainingLog


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def plot_predictions(entries: list[Entry], outputs: list[str], path: str) -> None:
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


def plot_spread(entries: list[Entry], outputs: list[str], path: str) -> None:
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


def plot_logs(logs: list[TrainingLog], path: str) -> None:
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
        ax.set_title(f"{short_name(log.path)}: kept epoch {kept}", fontsize=8)
        ax.set_xlabel("epoch", fontsize=8)
        ax.set_ylabel("mean abs. error (scaled)", fontsize=8)
        ax.tick_params(labelsize=7)
        if n == 0:                        # one legend for all panels
            ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def short_name(path: str) -> str:
    name = os.path.basename(path)
    return name[:-len(".fort.15")] if name.endswith(".fort.15") else name
