"""The workflow's planning called directly: network seeds, batches and the nntrain words."""

import os
import subprocess
import sys

import pytest

from conftest import SOURCE
from protnn import ProtnnError
from protnn.plan import batches, networks, nntrain_words


def test_every_network_of_a_run_has_its_own_seed():
    nets = networks(5, ["a", "b", "c"], 4, 21)
    assert len({n["seed"] for n in nets}) == 60 and len({n["file"] for n in nets}) == 60
    assert [(n["fold"], n["output"], n["net"]) for n in nets[3:6]] == \
        [(1, "a", 4), (1, "b", 1), (1, "b", 2)]
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
