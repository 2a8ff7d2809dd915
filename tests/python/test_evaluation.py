"""The report's intervals and verdict (protnn.evaluation) on made-up predictions."""

import numpy as np
import pytest

from protnn.evaluation import Entry, bootstrap, score, verdict


def test_mae_differences_are_paired_a_constant_offset_has_no_width():
    rng = np.random.default_rng(5)
    target = rng.normal(size=200)
    pred = target + 1 + rng.random(200)           # above every target
    lo_hi = bootstrap(pred, target, [pred + 0.5])[1][0]
    assert lo_hi == pytest.approx((-0.5, -0.5), abs=1e-12)


def test_mae_difference_interval_is_95_percent():
    rng = np.random.default_rng(6)
    n = 400
    err = np.abs(rng.normal(1.0, 0.3, size=n))     # the ensemble's errors; the rival's are 0
    target = np.zeros(n)
    lo, hi = bootstrap(err, target, [target])[1][0]
    # the bootstrap distribution of the mean: about normal with the standard error below
    half = (hi - lo) / 2 / (err.std() / np.sqrt(n))
    assert 1.8 < half < 2.12, half                   # 1.96 for 95%; 1.64 for 90%, 2.58 for 99%
    assert lo < err.mean() < hi


def entries_of(output, pred, target, trivial, ridge):
    return [Entry(f"p{i}", output, "cv", p, 0.1, t, tv, r)
            for i, (p, t, tv, r) in enumerate(zip(pred, target, trivial, ridge))]


def test_an_interval_that_straddles_0_is_not_useful():
    rng = np.random.default_rng(7)
    n = 60
    target = rng.normal(size=n)
    trivial = np.zeros(n)
    ridge = target + 3.0                            # far worse than both
    noisy = -target + 0.02 * rng.normal(size=n)     # |error| 2|t|, the trivial one's |t|
    noisy = np.where(np.arange(n) % 2, noisy, target * 0.98)   # half far better, half worse
    good = target + 0.01 * rng.normal(size=n)
    es = entries_of("noisy", noisy, target, trivial, ridge) + \
        entries_of("good", good, target, trivial, ridge)
    s_noisy, s_good = score(es, "noisy", True), score(es, "good", True)
    lo, hi = s_noisy.minus_trivial_interval
    assert lo < 0 < hi and s_noisy.minus_ridge_interval[1] < 0
    assert not s_noisy.useful
    assert s_good.minus_trivial_interval[1] < 0 and s_good.minus_ridge_interval[1] < 0
    assert s_good.useful
    line = verdict([s_noisy, s_good], True)
    assert line.endswith(": good; not for noisy.") and "95% interval" in line
    assert verdict([s_noisy], True).endswith(": none of the outputs.")


def test_networks_whose_own_early_stopping_groups_are_small_are_flagged(tmp_path):
    """Groups of 6 and 4 proteins: a fold's share of 10 is met by 6 + 4, but a network that
    draws two groups of 4 first stops on 8 proteins."""
    from conftest import protnn
    from protnn.evaluation import flags
    from protnn.folds import read_folds
    rows = ["id,a,group"]
    for n in range(100):
        g = n // 6 if n < 60 else 10 + (n - 60) // 4
        (tmp_path / "feat" / f"p{n:03d}").mkdir(parents=True)
        (tmp_path / "feat" / f"p{n:03d}" / "x.tab").write_text(f"{n % 7} {n % 5}\n")
        rows.append(f"p{n:03d},{(n * 37) % 11 / 10},g{g}")
    (tmp_path / "t.csv").write_text("\n".join(rows) + "\n")
    for seed in range(1, 50):                      # a split whose folds' own tails hold 10
        db = tmp_path / f"db{seed}"
        r = protnn("db", "--features", tmp_path / "feat", "--targets", tmp_path / "t.csv",
                   "--out", db, "--folds", "2", "--seed", str(seed), "--inputs", "x.tab",
                   "--test-share", "0.2")
        assert r.returncode == 0, r.stderr
        if all(f.early_stop == 10 for f in read_folds(str(db)).folds):
            break
    nets = [{"fold": k, "output": "a", "net": n, "seed": 100 + 16 * k + n}
            for k in (1, 2) for n in range(16)]
    noisy = [f for f in flags(str(db), [], {"networks": nets}, None)
             if f.startswith("Early stopping is noisy")]
    assert len(noisy) == 1 and "own early-stopping groups of" in noisy[0]
    assert "(the fewest 8)" in noisy[0]
    assert not [f for f in flags(str(db), [], {"networks": []}, None)
                if f.startswith("Early stopping")]
