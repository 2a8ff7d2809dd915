"""protnn stack on a small database made by protnn db: what the networks learn is what ridge
leaves, every map is fitted on the fold's training proteins only, and the maps are undone
exactly."""

import json

import numpy as np
import pytest

from conftest import numbers_database, protnn
from protnn.folds import read_folds
from protnn.ridge import ridge_folds
from protnn.stack import TargetMap, fit_target_map, read_fold_stack, read_stack

N, P = 48, 64         # fewer proteins than inputs, as in real collections: ridge's dual form


def make_db(d, planted=None):
    """A database of N proteins with P inputs in one table x.tab; PLANTED (id, value) sets
    the first input of one protein."""
    rng = np.random.default_rng(3)
    X = rng.normal(size=(N, P)) * np.arange(1, P + 1)
    a = X @ rng.normal(size=P) + 0.3 * np.sin(X[:, 0])
    b = np.tanh(X[:, 1]) + 0.1 * rng.normal(size=N)
    if planted:
        X[int(planted[0][1:]), 0] = planted[1]
    numbers_database(d, [" ".join(f"{v:.17g}" for v in x) + "\n" for x in X],
                     {"a": a, "b": b}, 4)
    return X


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    d = tmp_path_factory.mktemp("stack")
    X = make_db(d)
    r = protnn("stack", "--db", d / "dbo", "-o", d / "st", "--inputs", "pca5")
    assert r.returncode == 0, r.stderr
    return d, X


def test_the_networks_learn_the_out_of_fold_ridge_residual_of_their_own_output(made):
    d, _ = made
    stack = read_stack(str(d / "st"))
    info = read_folds(str(d / "dbo"))
    ridges = ridge_folds(str(d / "dbo"), fits=True)
    table = {l.split(",")[0]: [float(v) for v in l.split(",")[1:3]]
             for l in (d / "t.csv").read_text().splitlines()[1:]}
    for k, fold in enumerate(info.folds, 1):
        fs = stack.fold(k)
        for o, name in enumerate(stack.outputs):
            lines = open(stack.list_file(k, name)).read().splitlines()
            assert lines[1:3] == ["x.tab", f"{name}.target"]
            train = (d / "dbo" / fold.list).read_text().splitlines()[3:]
            assert lines[3:] == train               # the database's order: its -f holds
            for i in train:
                mapped = float((d / "st" / f"fold{k}" / "db" / i / f"{name}.target").read_text())
                assert abs(mapped) <= 0.9 + 1e-12
                back = ridges[k - 1].inner[i][o] + fs.targets[o].back(np.array(mapped))
                assert back == pytest.approx(table[i][o], abs=1e-9)
        held = (d / "dbo" / fold.ids).read_text().split()
        x = (d / "st" / f"fold{k}" / "db" / held[0] / "x.tab").read_text().splitlines()
        assert len(x) == stack.folds[k - 1]["inputs"] == 5   # one a line: nntrain's width
        assert all((d / "st" / f"fold{k}" / "db" / i / "x.tab").exists() for i in held)
        assert not any((d / "st" / f"fold{k}" / "db" / i / "a.target").exists() for i in held)


def test_every_network_stops_early_on_whole_groups_of_its_own(made, tmp_path):
    """Each network's list: its output's list reordered, whole groups of the database (pairs
    here) of about the fold's early-stopping count last, drawn with the network's seed."""
    d, _ = made
    stack = read_stack(str(d / "st"))
    group = dict(l.split("\t") for l in (d / "dbo/groups.tsv").read_text().splitlines()[1:])
    assert group["p06"] == group["p07"] == "g3"
    for k, fold in enumerate(read_folds(str(d / "dbo")).folds, 1):
        lines = open(stack.list_file(k, "b")).read().splitlines()
        tails = []
        for seed in (11, 12, 11):
            path = tmp_path / f"fold{k}-{seed}-{len(tails)}.db"
            f = stack.write_network_list(str(d / "dbo"), k, "b", seed, str(path))
            net = path.read_text().splitlines()
            assert net[:3] == lines[:3] and sorted(net[3:]) == sorted(lines[3:])
            early = round(float(f) * len(net[3:]))
            body, tail = net[3:len(net) - early], net[len(net) - early:]
            assert 0 < early <= fold.early_stop
            assert not {group[i] for i in body} & {group[i] for i in tail}
            tails.append(tail)
        assert tails[0] == tails[2] != tails[1]


def test_a_planted_value_in_a_held_out_protein_leaves_its_folds_maps_unchanged(made,
                                                                                tmp_path):
    d, _ = made
    info = read_folds(str(d / "dbo"))
    victim = (d / "dbo" / info.folds[0].ids).read_text().split()[0]
    make_db(tmp_path, (victim, 1e6))
    r = protnn("stack", "--db", tmp_path / "dbo", "-o", tmp_path / "st", "--inputs", "pca5")
    assert r.returncode == 0, r.stderr
    def numbers(folder, k):
        fs = read_fold_stack(str(folder / "st" / f"fold{k}" / "fold.json"))
        lin, m = fs.linear, fs.inputs
        return np.concatenate([lin.shift, lin.lo, lin.hi, lin.slopes.ravel(), lin.intercepts,
                               m.mu, m.sd, m.axes.ravel(), m.scales,
                               [v for t in fs.targets for v in (t.a, t.b, t.s)]])
    assert np.allclose(numbers(tmp_path, 1), numbers(d, 1), rtol=1e-9, atol=1e-12)
    # the input map exactly: it is made from the training proteins alone
    maps = [json.loads((p / "st" / "fold1" / "fold.json").read_text())["inputs"]
            for p in (d, tmp_path)]
    assert maps[0] == maps[1]
    # the other folds train on it: their maps change
    assert not np.allclose(numbers(tmp_path, 2), numbers(d, 2), rtol=1e-3)
    # and the planted protein is clipped to the training range before any map
    x = np.array(open(tmp_path / "st" / "fold1" / "db" / victim / "x.tab").read().split(),
                 dtype=float)
    assert np.all(np.abs(x) < 100)


@pytest.mark.parametrize("kind", ["sym", "asinh", "minmax"])
def test_a_target_map_is_undone_exactly(kind):
    r = np.random.default_rng(1).standard_t(2, size=500) * 0.05
    t = fit_target_map(kind, r)
    mapped = t.forward(r)
    assert np.max(np.abs(mapped)) == pytest.approx(0.9, abs=1e-12)
    assert np.max(np.abs(t.back(mapped) - r)) < 1e-12
    if kind != "minmax":
        assert t.forward(np.array(0.0)) == 0.0            # networks that learn 0 add nothing


def test_fold_files_are_read_back_and_refused_when_spoiled(made, tmp_path):
    d, X = made
    fs = read_fold_stack(str(d / "st" / "fold1" / "fold.json"))
    assert fs.network_inputs(X[:3]).shape == (3, 5)
    spoil = json.loads((d / "st" / "fold1" / "fold.json").read_text())
    spoil["targets"][0]["a"] = -1.0
    (tmp_path / "fold.json").write_text(json.dumps(spoil))
    with pytest.raises(Exception, match="not increasing"):
        read_fold_stack(str(tmp_path / "fold.json"))
    assert isinstance(fs.targets[0], TargetMap)
