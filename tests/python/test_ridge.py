"""protnn ridge with fewer proteins than inputs (the dual form), against the closed form
computed here: the inner cross-validation's choice of penalty and the held-out predictions."""

import json
import os

import numpy as np
import pytest

from conftest import numbers_database, protnn
from protnn.ridge import PENALTIES

N, P = 30, 60                    # 3 folds: 20 training proteins per fold, 10 per inner fit


@pytest.fixture(scope="module")
def dual(tmp_path_factory):
    d = tmp_path_factory.mktemp("dual")
    rng = np.random.default_rng(11)
    X = rng.normal(size=(N, P)) * np.linspace(0.5, 3, P)
    a = X[:, :4] @ [0.6, -0.4, 0.2, 0.3] + 0.05 * rng.normal(size=N)
    b = rng.normal(size=N)
    numbers_database(d, ["\n".join(" ".join(f"{v:.17g}" for v in x[k:k + 10])
                                    for k in range(0, P, 10)) + "\n" for x in X],
                     {"a": a, "b": b}, 3)
    r = protnn("ridge", "--db", d / "dbo", "-o", d / "ridge.tsv")
    assert r.returncode == 0, r.stderr
    return d, X, {"a": a, "b": b}, r.stderr


def closed_form(X, y, Xv, alpha):
    """Ridge on rows X (standardised on them), penalty ALPHA in units of the mean non-zero
    eigenvalue of Z'Z (its rank: rows - 1 once centred), predicting the rows XV."""
    mu, sd = X.mean(axis=0), X.std(axis=0)
    Z, Zv = (X - mu) / sd, (Xv - mu) / sd
    lam = alpha * np.trace(Z.T @ Z) / (len(X) - 1)
    w = np.linalg.solve(Z.T @ Z + lam * np.eye(X.shape[1]), Z.T @ (y - y.mean()))
    return y.mean() + Zv @ w


def test_dual_form_is_the_closed_form_with_the_penalty_unit_of_rank_n_minus_1(dual):
    d, X, y, stderr = dual
    pred = {}
    for line in (d / "ridge.tsv").read_text().splitlines()[1:]:
        c = line.split("\t")
        pred[(c[0], c[1])] = float(c[2])
    info = json.loads((d / "dbo" / "folds.json").read_text())
    held = [[int(i[1:]) for i in (d / "dbo" / f["ids"]).read_text().split()]
            for f in info["folds"]]
    for k in range(3):
        train = [i for j in range(3) if j != k for i in held[j]]
        assert len(train) < P
        inner = [held[j] for j in range(3) if j != k]       # the other folds' held-out parts
        chosen = []
        for name, v in y.items():
            sse = [sum(np.sum((closed_form(X[fit], v[fit], X[val], alpha) - v[val]) ** 2)
                       for fit, val in (inner, inner[::-1])) for alpha in PENALTIES]
            best = PENALTIES[len(PENALTIES) - 1 - int(np.argmin(sse[::-1]))]
            chosen.append(f"{name} {best:g}")
            Xh = np.clip(X[held[k]], X[train].min(axis=0), X[train].max(axis=0))
            want = closed_form(X[train], v[train], Xh, best)
            got = [pred[(f"p{i:02d}", name)] for i in held[k]]
            assert got == pytest.approx(want, rel=1e-5, abs=1e-6), (k, name)
        assert f"fold {k + 1}: {len(train)} training proteins; penalty (in mean " \
               f"eigenvalues) {', '.join(chosen)}" in stderr


@pytest.mark.parametrize("args,message", [
    (["ridge", "--db", "{d}/dbo", "-o", "{out}", "--seed", "-5"],
     "protnn ridge: --seed -5: a seed is a whole number of at least 0"),
    (["report", "--predictions", "{d}/ridge.tsv", "-o", "{out}"],
     "the sd column is empty on every row"),           # a ridge table is not the ensemble's
])
def test_refusals_are_one_line(dual, tmp_path, args, message):
    d = dual[0]
    r = protnn(*[a.format(d=d, out=tmp_path / "out") for a in args])
    assert r.returncode == 1 and r.stderr.count("\n") == 1 and message in r.stderr, r.stderr
    assert os.listdir(tmp_path) == []
