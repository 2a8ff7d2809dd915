"""Fold assignment called directly: groups never straddle a fold or its early-stopping tail,
every protein is held out once, and ridge's inner parts are the other folds' proteins."""

import numpy as np
import pytest

from protnn import ProtnnError
from protnn.folds import inner_parts, make_folds, nint


def collection(n, seed):
    """N proteins in groups of 1 to 6, named so that group order differs from id order."""
    rng = np.random.default_rng(seed)
    ids, groups, g = [], [], 0
    while len(ids) < n:
        for _ in range(int(rng.integers(1, 7))):
            ids.append(f"p{len(ids):03d}")
            groups.append(f"g{(g * 7919) % 1000:03d}")
        g += 1
    return ids[:n], groups[:n]


@pytest.mark.parametrize("n,k,seed,share", [(120, 5, 1, 0.15), (200, 2, 3, 0.3),
                                            (90, 3, 11, 0.05)])
def test_groups_never_straddle_folds_or_tails(n, k, seed, share):
    ids, groups = collection(n, seed)
    group_of = dict(zip(ids, groups))
    folds = make_folds(ids, groups, k, seed, share)
    held = [i for f in folds for i in f.held_out]
    assert sorted(held) == sorted(ids)                      # every protein held out once
    for f in folds:
        out = {group_of[i] for i in f.held_out}
        tail = f.train[len(f.train) - f.early:]
        body = f.train[:len(f.train) - f.early]
        assert not out & {group_of[i] for i in f.train}    # no group on both sides
        assert not {group_of[i] for i in tail} & {group_of[i] for i in body}
        assert sorted(f.train) == sorted(set(ids) - set(f.held_out))
        assert nint(float(f.f_value()) * len(f.train)) == f.early > 0
    assert make_folds(ids, groups, k, seed, share) == folds          # the seed decides
    assert make_folds(ids, groups, k, seed + 1, share) != folds


def test_too_few_groups_or_proteins_are_refused():
    ids, groups = collection(24, 2)
    with pytest.raises(ProtnnError, match="too few for 40 folds"):
        make_folds(ids, groups, 40, 1, 0.15)
    with pytest.raises(ProtnnError, match="nntrain needs at least 20"):
        make_folds(ids, groups, 4, 1, 0.15)


@pytest.mark.parametrize("k", [2, 4])
def test_inner_parts_are_the_other_folds_held_out_proteins(k):
    ids, groups = collection(100, 5)
    held = [f.held_out for f in make_folds(ids, groups, k, 5, 0.15)]
    parts, fold_of = inner_parts(held, 1)
    assert len(parts) == (10 if k == 2 else k)
    for j in range(k):
        mine = sorted(i for p, f in zip(parts, fold_of) if f == j for i in p)
        assert mine == sorted(held[j])
