"""The workflow's planning called directly: network seeds, batches and the nntrain words."""

import os
import subprocess
import sys

import pytest

from conftest import SOURCE
from protnn import ProtnnError
from protnn.features import FeatureSettings
from protnn.plan import (batches, check_folds, networks, nntrain_words, predict_run_record,
                         run_record, training_set)
from protnn.sheets import read_table


def test_every_network_of_a_run_has_its_own_seed():
    nets = networks(5, 4, 21)
    assert len({n["seed"] for n in nets}) == 20 and len({n["file"] for n in nets}) == 20
    assert [(n["fold"], n["net"]) for n in nets[:5]] == [(1, 1), (1, 2), (1, 3), (1, 4), (2, 1)]
    assert min(n["seed"] for n in nets) == 21


def test_batches_are_the_same_in_every_process_and_adding_one_changes_one():
    ids = [f"s{n:04d}" for n in range(250)]
    plan = batches("train", ids, 100)
    assert len(plan) == 4 and sorted(i for b in plan.values() for i in b) == ids
    code = ("import sys; from protnn.plan import batches; "
            "print(batches('train', [f's{n:04d}' for n in range(250)], 100))")
    for seed in ("1", "2"):                       # Python's own hash() differs between these
        env = dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=str(SOURCE / "python"))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, check=True).stdout
        assert out.strip() == str(plan)
    more = batches("train", ids + ["new1"], 100)
    assert sum(more[b] != plan.get(b) for b in more) == 1


@pytest.mark.parametrize("text,message", [
    ("-m 5 -l x.db", "-l is set by the workflow itself"),
    ("-m 5; rm -rf /", "'5;' is neither a switch nor a number"),
    ("-m '5", "No closing quotation"),
])
def test_nntrain_words_refused(text, message):
    with pytest.raises(ProtnnError, match=message):
        nntrain_words(text)


def test_nntrain_words_are_split_like_a_shell_line():
    assert nntrain_words("-h1 5 -h2 5  -u 0.01 -m 2000") == ["-h1", "5", "-h2", "5", "-u",
                                                             "0.01", "-m", "2000"]


CONFIG = {"folds": 5, "networks": 4, "seed": 1, "split_seed": 1, "test_share": 0.15,
          "nntrain": "", "groups": "sequence", "min_seq_id": 0.3, "coverage": 0.8,
          "nmr_model": 0, "probe": 1.4, "points": 96, "estimates": 3,
          "inputs": ["pairdist.tab", "depth.tab"], "batch_size": 100}


def test_the_run_record_holds_the_groups_used_and_a_models_own_settings():
    # a table's group column is used whatever the setting says
    run = run_record(CONFIG, {"out": "/o"}, FeatureSettings(), [], networks(5, 4, 1), 40,
                     {"source": "table", "min_seq_id": 0.3, "coverage": 0.8})
    assert run["config"]["groups"] == run["groups"]["source"] == "table"
    # a run that only predicts: the model's networks, groups, words and feature settings
    model = {"training": {"folds": 3, "networks": 2, "seed": 11, "nntrain": "-h1 5 -m 9",
                          "nntrain_words": ["-h1", "5", "-m", "9"]},
             "features": {"nmr_model": 2, "probe": 1.2, "points": 48, "estimates": 2,
                          "inputs": ["depth.tab"]},
             "groups": {"source": "table", "min_seq_id": 0.5, "coverage": 0.8,
                        "of": {"1abc": "g1"}},
             "networks": [{"file": f"networks/fold{k}-net{n}.wei", "fold": k, "net": n,
                           "seed": 10 + 2 * k + n, "sha256": "0"}
                          for k in (1, 2, 3) for n in (1, 2)]}
    run = predict_run_record(CONFIG, {"out": "/p", "model": "/m"}, model, 6)
    c = run["config"]
    assert (c["folds"], c["networks"], c["seed"], c["nntrain"], c["groups"], c["min_seq_id"],
            c["probe"], c["inputs"], c["model"]) == (3, 2, 11, "-h1 5 -m 9", "table", 0.5, 1.2,
                                                     ["depth.tab"], "/m")
    assert run["nntrain_words"] == ["-h1", "5", "-m", "9"]
    assert run["features"] == model["features"] and run["structures"] == 6
    assert run["groups"] == {"source": "table", "min_seq_id": 0.5, "coverage": 0.8}
    assert [(n["file"], n["seed"]) for n in run["networks"][:2]] == [("fold1-net1.wei", 13),
                                                                     ("fold1-net2.wei", 14)]


@pytest.mark.parametrize("groups,folds,message", [
    (None, 5, "fold 1 would train on 19 proteins; nntrain needs at least 20"),
    (lambda n: f"g{n % 4}", 5, "24 proteins with targets in 4 groups: too few for 5 folds"),
    (lambda n: f"g{n % 12}", 2, "fold 1 would train on 12 proteins"),
    (None, 6, None),                  # 20 training proteins in every fold: accepted
])
def test_a_training_set_too_small_for_its_folds_is_refused_when_planned(tmp_path, groups,
                                                                        folds, message):
    # 24 proteins with their target, 6 without (they do not count)
    rows = ["id,a" + (",group" if groups else "")]
    rows += [f"p{n:02d},{n}" + (f",{groups(n)}" if groups else "") for n in range(24)]
    rows += [f"q{n}," + (",x" if groups else "") for n in range(6)]
    (tmp_path / "t.csv").write_text("\n".join(rows) + "\n")
    table = read_table(str(tmp_path / "t.csv"))
    train = training_set(table, {i: f"{i}.pdb" for i in table.ids}, [], "d", "t.csv")
    if message is None:
        check_folds(table, train, folds, 1, 0.15, "t.csv")
        return
    with pytest.raises(ProtnnError, match=f"t.csv: 24 proteins with all targets and a "
                                          f"structure file: .*{message}"):
        check_folds(table, train, folds, 1, 0.15, "t.csv")
