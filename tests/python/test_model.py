"""The batch feature engine and the model folder, on the example proteins with the real
programs: a small run (3 folds x 1 network, -m 5) made into a model folder, which is copied
elsewhere before the run is deleted and then predicts."""

import json
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

from conftest import EXAMPLES, SOURCE, STRUCTURES, bin_dir, program, protnn, run_program
from protnn import ProtnnError
from protnn.features import FeatureSettings, compute_batch
from protnn.predict import predict_features

NEW = ["1hel", "4zhl"]                 # no targets: the run's `new` proteins
PDB = {s: str(EXAMPLES / "structures" / f"{s}.pdb") for s in STRUCTURES}


def expected_new(run, feat, outputs, folds):
    """The new proteins as the run's own files predict them: per fold its ridge plus its
    networks of each output (nntrain -aw over the fold's mapped inputs), averaged over the
    folds."""
    import numpy as np
    from protnn.stack import read_fold_stack
    X = np.stack([np.concatenate([np.array((feat / i / t).read_text().split(), dtype=float)
                                  for t in ("pairdist.tab", "depth.tab")]) for i in NEW])
    means = []
    for k in range(1, folds + 1):
        fs = read_fold_stack(str(run / "stack" / f"fold{k}" / "fold.json"))
        M = fs.network_inputs(X)
        for r, i in enumerate(NEW):
            (run / f"new{k}" / i).mkdir(parents=True)
            (run / f"new{k}" / i / "x.tab").write_text("".join(repr(v) + "\n" for v in M[r]))
        nets = np.empty((len(NEW), len(outputs)))
        for o, name in enumerate(outputs):
            out = run_program("nntrain", "-wf", f"nets/fold{k}-{name}-net1.wei", "-prl",
                              "db/new.ids", "-d", f"new{k}", cwd=run).decode().split()
            nets[:, o] = [float(v) for v in out[1::3]]
        means.append(fs.combine(X, nets, np.zeros_like(nets))[0])
    return np.mean(means, axis=0)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """FEATDIR of all examples, a small run (3 folds, 1 network per output, -m 5) with its
    stack, the `new` proteins as the run's own files predict them, and the run's model folder
    copied to another place; the run itself is deleted."""
    program("nntrain")
    d = tmp_path_factory.mktemp("model")
    assert compute_batch(PDB, str(d / "feat"), FeatureSettings(), str(bin_dir()), jobs=2) == []
    run = d / "run"
    run.mkdir()
    assert protnn("targets", "--from-dir", EXAMPLES / "targets", "--groups",
                  EXAMPLES / "manifest.tsv", "-o", run / "full.csv").returncode == 0
    text = (run / "full.csv").read_text()
    for i in NEW:
        text = re.sub(rf"^{i},[^,]*,[^,]*,[^,]*,", f"{i},,,,", text, flags=re.M)
    (run / "targets.csv").write_text(text)
    r = protnn("db", "--features", d / "feat", "--targets", run / "targets.csv", "--out",
               run / "db", "--folds", "3", "--seed", "1")
    assert r.returncode == 0, r.stderr
    r = protnn("stack", "--db", run / "db", "-o", run / "stack", "--inputs", "pca8")
    assert r.returncode == 0, r.stderr
    stack = json.loads((run / "stack" / "stack.json").read_text())
    (run / "nets").mkdir()
    networks = []
    for fold in stack["folds"]:
        k = fold["fold"]
        for o in stack["outputs"]:
            net = {"file": f"fold{k}-{o}-net1.wei", "fold": k, "output": o, "net": 1,
                   "seed": 10 + len(networks)}
            run_program("nntrain", "-l", run / "stack" / fold["lists"][o], "-f", fold["f"],
                        "-r", str(net["seed"]), "-m", "5", "-h1", "3", "-h2", "3", "-owf",
                        net["file"], cwd=run / "nets")
            networks.append(net)
    (run / "run.json").write_text(json.dumps({
        "config": {"structures": str(EXAMPLES / "structures"), "folds": 3, "networks": 1,
                   "seed": 11, "split_seed": 1, "nntrain": "-m 5 -h1 3 -h2 3"},
        "features": FeatureSettings().to_dict(), "nntrain_words": ["-m", "5"],
        "networks": networks, "groups": {"source": "table"}, "versions": {}}))
    expected = expected_new(run, d / "feat", stack["outputs"], 3)
    (d / "new.tsv").write_text("id\toutput\tmean\ttarget\trole\n" + "".join(
        f"{i}\t{o}\t{expected[r, j]:.6g}\t\tnew\n" for r, i in enumerate(NEW)
        for j, o in enumerate(stack["outputs"])))
    r = protnn("model", "--run", run / "run.json", "--db", run / "db", "--stack",
               run / "stack", "--nets", run / "nets", "--bindir", bin_dir(), "-o", run / "model")
    assert r.returncode == 0, r.stderr
    shutil.copytree(run / "model", d / "elsewhere" / "model")
    shutil.rmtree(run)
    return d


def test_a_copied_model_predicts_the_runs_new_rows_after_the_run_is_deleted(made):
    model = made / "elsewhere" / "model"
    assert str(made / "run") not in (model / "model.json").read_text()
    info = json.loads((model / "model.json").read_text())
    assert info["groups"]["of"]["1dpx"] == "lysozyme" and "1hel" not in info["groups"]["of"]
    expected = (made / "new.tsv").read_text()
    predict_features(str(model), str(made / "feat"), NEW, str(bin_dir()),
                     str(made / "api.tsv"), role="new", with_target=True)
    got = [l.split("\t") for l in (made / "api.tsv").read_text().splitlines()]
    assert got[0] == ["id", "output", "mean", "sd", "target", "role"]
    assert ["\t".join(r[:3] + r[4:]) for r in got] == expected.splitlines()
    (made / "junk.pdb").write_text("not a structure\n")
    r = protnn("predict", "--model", model, "--bindir", bin_dir(), "-o", made / "cli.tsv",
               "-j", "2", *(PDB[i] for i in NEW), made / "junk.pdb", cwd=made)
    assert r.returncode == 3 and re.search(r"^junk: prep: ", r.stderr, re.M), r.stderr
    assert r.stderr.splitlines()[-1].endswith(f": {len(NEW)} proteins predicted; "
                                              f"1 structures failed"), r.stderr
    assert (made / "cli.tsv").read_text() == \
        "".join("\t".join(r[:4]) + "\n" for r in got)


def fake_pairdist(model, tmp):
    """A program directory whose pairdist writes one other digit."""
    b = tmp / "bin"
    b.mkdir()
    for p in ("atomdepth", "depthdist", "nntrain"):
        os.symlink(program(p), b / p)
    (b / "pairdist").write_text(f'#!/bin/sh\n"{program("pairdist")}" "$@" | sed "1s/^/1/"\n')
    (b / "pairdist").chmod(0o755)
    return ["--bindir", b]


def no_weights(model, tmp):
    (model / "networks" / "fold2-strand-net1.wei").unlink()
    return []


def version_1(model, tmp):
    p = model / "model.json"
    p.write_text(p.read_text().replace('"format_version": 2', '"format_version": 1'))
    return []


def model_json(change):
    """A spoil that edits model.json: CHANGE(info, tmp)."""
    def spoil(model, tmp):
        info = json.loads((model / "model.json").read_text())
        change(info, tmp)
        (model / "model.json").write_text(json.dumps(info))
        return []
    return spoil


def victim(info, tmp):
    """A reference id that names a folder outside the model (it was renamed away, deleted and
    replaced by a features folder)."""
    (tmp / "victim").mkdir()
    (tmp / "victim" / "keep").write_text("kept\n")
    info["reference"]["id"] = "/../../../../.." + str(tmp / "victim")


def swap_names(info, tmp):
    o = info["outputs"]
    o[0]["name"], o[1]["name"] = o[1]["name"], o[0]["name"]


def swap_outputs(info, tmp):
    o = info["outputs"]
    o[0], o[1] = o[1], o[0]


def linked_weights(model, tmp):
    """A weight file that is a link to an identical file outside the folder."""
    shutil.move(model / "networks" / "fold1-helix-net1.wei", tmp / "outside.wei")
    os.symlink(tmp / "outside.wei", model / "networks" / "fold1-helix-net1.wei")
    return []


def files(root):
    return sorted((str(p.relative_to(root)), p.is_symlink() or p.read_bytes())
                  for p in root.rglob("*") if not p.is_dir())


OUTPUT_A = r"outputs\[0\]\.a: a finite number above 0 expected, found "


@pytest.mark.parametrize("spoil, message", [
    (no_weights, r"incomplete model folder: networks/fold2-strand-net1\.wei is missing"),
    (version_1, r"format version 1 \(networks on the raw inputs, without ridge\); this "
                r"protnn reads version 2"),
    (fake_pairdist, r"feature programs whose tables differ .*: pairdist of .*pairdist\.tab"),
    (model_json(victim), r"model\.json: reference\.id: id '/\.\./\.\./.*victim' does not start "
                         r"with a letter or digit"),
    (model_json(lambda m, t: m["networks"][0].update(file="networks/../../../x.wei")),
     r"model\.json: networks\[0\]\.file: file name '\.\./\.\./\.\./x\.wei' does not"),
    (linked_weights, r"model\.json: networks\[0\]\.file: networks/fold1-helix-net1\.wei is a "
                     r"link to "
                     r".*outside\.wei, outside the model's networks folder"),
    (model_json(swap_names), r"model\.json: outputs\[0\]\.file: 'strand\.target' expected"),
    (model_json(swap_outputs), r"stack/fold1\.json: fold 1 of the outputs helix strand "
                               r"rg_ratio, model\.json has fold 1 of strand helix rg_ratio"),
    (model_json(lambda m, t: m["networks"][0].update(output="strand")),
     r"networks/fold1-helix-net1\.wei:3: the outputs helix\.target, model\.json has "
     r"strand\.target"),
    (model_json(lambda m, t: m["outputs"][0].update(a=-2.4)), OUTPUT_A + "-2.4"),
    (model_json(lambda m, t: m["outputs"][0].update(a="nan")), OUTPUT_A + '"nan"'),
    (model_json(lambda m, t: m["outputs"][0].update(a=0)), OUTPUT_A + "0"),
    (model_json(lambda m, t: m["outputs"][1].update(name="strand\tx")),
     r"outputs\[1\]\.name: name 'strand\\tx' does not start with a letter or digit or holds"),
    (model_json(lambda m, t: m.update(format_version=True)),
     r"format version true; this protnn reads version 2"),
])
def test_a_model_folder_is_refused_when(made, tmp_path, spoil, message):
    model = tmp_path / "model"
    shutil.copytree(made / "elsewhere" / "model", model)
    extra = spoil(model, tmp_path)
    before = files(tmp_path)
    r = protnn("predict", "--model", model, "--bindir", bin_dir(), "-o", tmp_path / "p.tsv",
               PDB["1hel"], *extra)          # a later --bindir counts
    assert r.returncode == 1 and re.search(message, r.stderr), r.stderr
    assert r.stderr.count("\n") == 1 and files(tmp_path) == before    # nothing written


# 2jo4: an NMR file of 20 models; 1dpx: alternate locations; 4at1: columns 73-80 that gemmi
# refuses.
@pytest.mark.parametrize("sid", ["2jo4", "1dpx", "4at1"])
def test_batch_tables_are_those_of_the_programs_run_one_by_one(made, tmp_path, sid):
    assert protnn("prep", PDB[sid], tmp_path / "x.pdb").returncode == 0
    run_program("atomdepth", "-dp", "x.pdb", "-o", "d", cwd=tmp_path)
    assert (made / "feat" / sid / "pairdist.tab").read_bytes() == \
        run_program("pairdist", "-dp", "x.pdb", cwd=tmp_path)
    assert (made / "feat" / sid / "depth.tab").read_bytes() == \
        run_program("depthdist", "-dp", "d", cwd=tmp_path)


def test_done_structures_are_not_redone_and_other_settings_redo_them(made, tmp_path):
    feat = str(tmp_path / "feat")
    batch = {"1vii": PDB["1vii"], "5znf": PDB["5znf"]}
    assert compute_batch(batch, feat, FeatureSettings(), str(bin_dir())) == []
    inode = {i: os.stat(tmp_path / "feat" / i / "depth.tab").st_ino for i in batch}
    depth = (tmp_path / "feat" / "1vii" / "depth.tab").read_bytes()
    assert compute_batch(batch, feat, FeatureSettings(), str(bin_dir())) == []
    assert {i: os.stat(tmp_path / "feat" / i / "depth.tab").st_ino for i in batch} == inode
    # The programs rebuilt with a change but the same version line: done again.
    rebuilt = tmp_path / "rebuilt"
    shutil.copytree(bin_dir().parent / "share", rebuilt / "share")
    (rebuilt / "bin").mkdir()
    for p in ("pairdist", "atomdepth", "depthdist"):
        shutil.copy2(bin_dir() / p, rebuilt / "bin" / p)
    with open(rebuilt / "bin" / "depthdist", "ab") as f:
        f.write(b"\0")
    assert compute_batch(batch, feat, FeatureSettings(), str(rebuilt / "bin")) == []
    assert os.stat(tmp_path / "feat" / "1vii" / "depth.tab").st_ino != inode["1vii"]
    assert compute_batch(batch, feat, FeatureSettings(probe=1.2), str(bin_dir())) == []
    assert (tmp_path / "feat" / "1vii" / "depth.tab").read_bytes() != depth
    with pytest.raises(ProtnnError, match="not made with the model's feature settings"):
        predict_features(str(made / "elsewhere" / "model"), feat, ["1vii"], str(bin_dir()),
                         str(tmp_path / "p.tsv"))
    assert sorted(os.listdir(feat)) == ["1vii", "5znf"]          # no temporary folder left


def test_features_command_records_a_failure_and_removes_its_stale_folder(tmp_path):
    (tmp_path / "bad.pdb").write_text("ATOM  junk\n")
    (tmp_path / "feat" / "bad").mkdir(parents=True)          # stale, from an older file
    (tmp_path / "feat" / "bad" / "pairdist.tab").write_text("0 0 0\n")
    (tmp_path / "batch.tsv").write_text(f"1vii\t{PDB['1vii']}\nbad\t{tmp_path / 'bad.pdb'}\n")
    (tmp_path / "s.json").write_text(json.dumps(FeatureSettings().to_dict()))
    r = protnn("features", "--bindir", bin_dir(), "--out", tmp_path / "feat", "--settings",
               tmp_path / "s.json", "--list", tmp_path / "batch.tsv", "--failed",
               tmp_path / "f.tsv", "--done", tmp_path / "b.done")
    assert r.returncode == 0, r.stderr
    assert re.fullmatch(r"id\tstep\tmessage\nbad\tprep\t[^\t\n]+\n",
                        (tmp_path / "f.tsv").read_text())
    assert (tmp_path / "b.done").read_text() == "1vii\n"
    assert sorted(os.listdir(tmp_path / "feat")) == ["1vii"]


def running_in_group(pgid: int) -> list[int]:
    """The processes of the process group PGID that are not zombies."""
    found = []
    for d in os.listdir("/proc"):
        try:
            with open(f"/proc/{d}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            found.append(int(d))
    return found


@pytest.mark.parametrize("command,sig,group", [
    ("features", signal.SIGINT, True),      # Ctrl-C in a terminal: the whole process group
    ("features", signal.SIGTERM, False),    # kill PID: the programs are ours to stop
    ("predict", signal.SIGINT, False),
])
def test_a_signal_stops_a_batch_at_once_and_leaves_no_temporary(request, tmp_path, command,
                                                                 sig, group):
    batch = {f"{s}_{k}": PDB[s] for k in range(5) for s in STRUCTURES}
    feat, out = tmp_path / "feat", tmp_path / "out.tsv"
    if command == "features":
        (tmp_path / "batch.tsv").write_text("".join(f"{i}\t{p}\n" for i, p in batch.items()))
        (tmp_path / "s.json").write_text(json.dumps(FeatureSettings().to_dict()))
        args = ["features", "--bindir", bin_dir(), "--out", feat, "--settings",
                tmp_path / "s.json", "--list", tmp_path / "batch.tsv", "--failed", out]
    else:
        model = request.getfixturevalue("made") / "elsewhere" / "model"
        (tmp_path / "in").mkdir()
        for i, p in batch.items():
            shutil.copy(p, tmp_path / "in" / f"{i}.pdb")
        args = ["predict", "--model", model, "--bindir", bin_dir(), "--features", feat,
                "-o", out, tmp_path / "in"]
    env = dict(os.environ, PYTHONPATH=str(SOURCE / "python"), PYTHONDONTWRITEBYTECODE="1")
    p = subprocess.Popen(["/usr/bin/python3", "-m", "protnn", *map(str, args), "-j", "2"],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    time.sleep(1.5)
    assert p.poll() is None, p.communicate()
    start = time.monotonic()
    (os.killpg if group else os.kill)(p.pid, sig)
    stdout, stderr = p.communicate(timeout=60)
    took = time.monotonic() - start
    assert (p.returncode, stdout) == (128 + sig, ""), stderr
    assert stderr == f"protnn {command}: stopped by {sig.name} (nothing half-written is left)\n"
    assert took < 2.5, took
    done = os.listdir(feat)
    assert len(done) < len(batch) and not [n for n in done if n.startswith(".")], done
    assert not out.exists()
    # No program of the batch left running.  (A sanitizer build's leak check runs a helper
    # task of its own at a program's exit; killed with the program, it is left to init as a
    # zombie, which a machine whose init does not reap keeps: zombies do not count.)
    for _ in range(20):
        if not running_in_group(p.pid):
            break
        time.sleep(0.05)
    assert not running_in_group(p.pid)
