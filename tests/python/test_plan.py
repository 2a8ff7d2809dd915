"""The workflow's planning called directly: network seeds, batches, the nntrain words and the
stamps (batch keys, the programs list, the output folder's lock, a dry run's stamps)."""

import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest

from conftest import EXAMPLES, SOURCE, bin_dir, program, protnn
from protnn import ProtnnError
from protnn.features import FeatureSettings, settings_from_dict
from protnn.plan import (Stamps, batch_key_text, batches, check_folds, config_refusal,
                         networks, nntrain_words, predict_run_record, run_lock, run_record,
                         training_set)
from protnn.sheets import read_table
from protnn.versions import programs_list_text

SCHEMA = SOURCE / "workflow" / "schema" / "config.schema.yaml"


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


@pytest.mark.parametrize("text,message,nntrain_too", [
    ("-m 5 -l x.db", "-l is set by the workflow itself", False),
    ("-m 5; rm -rf /", "'5;' is neither a switch nor a number", False),
    ("-m '5", "No closing quotation", False),
    ("-m -5", "-m -5: expected a whole number from 1 to", True),
    ("-h1 0 -m 5", "-h1 0: expected a whole number from 1 to", True),
    ("-m 2.5", "-m 2.5: expected a whole number", True),
    ("-m 99999999999", "-m 99999999999: expected a whole number from 1 to 2147483647", True),
    ("-u nan", "-u nan: expected a number above 0", True),
    ("-h1 5 -m", "-m has no value", True),
    ("-mi -h1 5", "-mi has no value", True),
    ("-x 3", "'-x' is not a training switch of nntrain", True),
    ("-m 0", "-m 0: expected a whole number from 1", False),      # no epoch: no weights
    ("-u 0", "-u 0: expected a number above 0", False),
    ("-p 1", "-p 1: expected a number of at least 0 and below 1", False),
    ("5 -m 3", "'5' is a value after no switch", False),
])
def test_nntrain_words_refused(tmp_path, text, message, nntrain_too):
    with pytest.raises(ProtnnError, match=re.escape(message)):
        nntrain_words(text)
    if nntrain_too:             # nntrain refuses them as well, before it opens the list
        r = subprocess.run([program("nntrain"), "-l", str(tmp_path / "none.db"),
                            *shlex.split(text)], capture_output=True, text=True)
        said = r.stdout + r.stderr
        assert said.strip() and "cannot open" not in said, said


def test_nntrain_words_nntrain_takes_are_taken(tmp_path):
    text = "-h1 3 -h2 +4 -u 1e-3 -a 0.5 -p 0 -m 5 -mi 2 -np 0 -nsw -dd"
    assert nntrain_words(text) == shlex.split(text)
    r = subprocess.run([program("nntrain"), "-l", str(tmp_path / "none.db"), *shlex.split(text)],
                       capture_output=True, text=True)
    assert "none.db: cannot open" in r.stdout + r.stderr


def _groups_refuse(key, value, tmp_path):
    option = {"min_seq_id": "--min-seq-id", "coverage": "--coverage"}[key]
    r = protnn("groups", EXAMPLES / "structures" / "1paa.pdb", "-o", tmp_path / "g.tsv",
               option, value)
    assert r.returncode in (0, 1) and (r.returncode == 0 or "must lie" in r.stderr), r.stderr
    return r.returncode == 1


def _atomdepth_refuses(key, value, tmp_path):
    switch = {"probe": "-pr", "points": "-np", "estimates": "-ne"}[key]
    r = subprocess.run([program("atomdepth"), "-dp", str(tmp_path / "none.pdb"), "-o",
                        str(tmp_path / "d"), switch, str(value)], capture_output=True, text=True)
    refused = f"{switch} '" in r.stderr
    assert refused or "none.pdb: cannot open" in r.stderr, r.stderr
    # the workflow's feature settings (protnn features, model folders) take what atomdepth takes
    try:
        settings_from_dict({key: value}, "settings")
    except ProtnnError:
        assert refused, (key, value)
    else:
        assert not refused, (key, value)
    return refused


# A setting's bounds in the schema are those of the tool that takes it: a value the schema
# passes is not refused by a job later, and the other way round.
@pytest.mark.parametrize("key,value,refused", [
    ("min_seq_id", 0, True), ("min_seq_id", 1, False), ("coverage", 0, True),
    ("coverage", 1, False), ("coverage", 1.5, True),
    ("probe", 6, True), ("probe", 5, False), ("probe", -0.1, True), ("probe", 0, False),
    ("points", 0, True), ("points", 100000, False), ("points", 100001, True),
    ("estimates", 0, True), ("estimates", 3, False), ("estimates", 4, True),
])
def test_the_schema_refuses_what_the_tools_refuse(tmp_path, key, value, refused):
    line = config_refusal({"structures": "x", key: value}, str(SCHEMA))
    assert (line is not None) == refused, line
    if refused:
        assert line.startswith(f"config: {key}={value}: expected ") and "\n" not in line
    tool = _groups_refuse if key in ("min_seq_id", "coverage") else _atomdepth_refuses
    assert tool(key, value, tmp_path) == refused


def test_a_setting_the_schema_refuses_is_one_line_before_anything_is_written(tmp_path):
    if not shutil.which("snakemake"):
        pytest.skip("no snakemake")
    r = subprocess.run(["snakemake", "-s", str(SOURCE / "workflow" / "Snakefile"), "-n",
                        "--config", f"structures={EXAMPLES / 'structures'}",
                        f"targets={tmp_path / 't.csv'}", f"out={tmp_path / 'out'}", "probe=6"],
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode != 0
    said = r.stdout + r.stderr
    assert "config: probe=6: expected at most 5 (config.schema.yaml)\n" in said, said
    assert "Failed validating" not in said and "ValidationError" not in said, said
    assert not (tmp_path / "out").exists()


def test_nntrain_words_are_split_like_a_shell_line():
    assert nntrain_words("-h1 5 -h2 5  -u 0.01 -m 2000") == ["-h1", "5", "-h2", "5", "-u",
                                                             "0.01", "-m", "2000"]


CONFIG = {"folds": 5, "networks": 4, "seed": 1, "split_seed": 1, "test_share": 0.15,
          "nntrain": "", "groups": "sequence", "min_seq_id": 0.3, "coverage": 0.8,
          "nmr_model": 0, "probe": 1.4, "points": 96, "estimates": 3,
          "inputs": ["pairdist.tab", "depth.tab"], "batch_size": 100}


def test_the_run_record_holds_the_groups_used_and_a_models_own_settings():
    # a table's group column is used whatever the setting says
    run = run_record(CONFIG, {"out": "/o"}, FeatureSettings(), [], networks(5, ["a"], 4, 1), 40,
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


def test_a_batch_key_changes_with_the_content_under_the_same_size_and_time(tmp_path):
    f = tmp_path / "a.pdb"
    f.write_bytes((EXAMPLES / "structures" / "1vii.pdb").read_bytes())
    st = f.stat()
    key = batch_key_text(["a"], {"a": str(f)})
    data = bytearray(f.read_bytes())
    i = data.index(b"ATOM") + 31                       # a digit of the first x coordinate
    data[i] = ord("1") if data[i] != ord("1") else ord("2")
    f.write_bytes(bytes(data))                          # cp -p, touch -r: size and time kept
    os.utime(f, ns=(st.st_atime_ns, st.st_mtime_ns))
    assert f.stat().st_size == st.st_size and f.stat().st_mtime_ns == st.st_mtime_ns
    assert batch_key_text(["a"], {"a": str(f)}) != key


def test_a_program_replaced_under_the_same_version_line_is_another_program(tmp_path):
    b = tmp_path / "bin"
    b.mkdir()
    for p in ("pairdist", "depthdist", "atomdepth", "nntrain"):
        os.symlink(bin_dir() / p, b / p)
    before = programs_list_text(str(b))
    (b / "nntrain").unlink()                            # a wrapper: the same version line
    (b / "nntrain").write_text(f'#!/bin/sh\nexec "{bin_dir() / "nntrain"}" "$@"\n')
    (b / "nntrain").chmod(0o755)
    after = programs_list_text(str(b))
    assert [l.split("\t")[:2] for l in after.splitlines()] == \
        [l.split("\t")[:2] for l in before.splitlines()]
    assert after != before


def test_one_run_holds_the_output_folder_and_a_dry_run_writes_nothing_there(tmp_path):
    out = tmp_path / "out"
    held = run_lock(str(out))
    with pytest.raises(ProtnnError, match=r"another run of the workflow is using this output "
                                          rf"folder \(process {os.getpid()}\)"):
        run_lock(str(out))
    (out / "s").mkdir()
    (out / "s" / "same").write_text("a\n")
    (out / "s" / "other").write_text("a\n")
    before = sorted((p.name, p.stat().st_mtime_ns) for p in (out / "s").iterdir())
    dry = Stamps(dry=True)
    assert dry.write(str(out / "s" / "same"), "a\n") == str(out / "s" / "same")
    shadow = dry.write(str(out / "s" / "other"), "b\n")
    new = dry.write(str(out / "s" / "new"), "c\n")
    assert open(shadow).read() == "b\n" and open(new).read() == "c\n"
    assert sorted((p.name, p.stat().st_mtime_ns) for p in (out / "s").iterdir()) == before
    dry.close()
    assert not os.path.exists(shadow)
    held.close()                                        # the run ends: the next one may start
    run_lock(str(out)).close()
