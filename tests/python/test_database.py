"""db, collect and report on the example proteins: features from the real programs, targets
from the shipped files (two proteins made unknown), small networks trained by nntrain."""

import json
import os
import re

import numpy as np
import pytest

from conftest import EXAMPLES, STRUCTURES, protnn, run_program
from protnn.folds import nint

UNKNOWN = {"1hel", "4zhl"}       # 1hel: helix unknown; 4zhl: no target at all


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    d = tmp_path_factory.mktemp("run")
    for s in STRUCTURES:
        f = d / "feat" / s
        f.mkdir(parents=True)
        (f / "pairdist.tab").write_bytes(
            run_program("pairdist", "-dp", EXAMPLES / "structures" / f"{s}.pdb"))
        (f / "depth.tab").write_bytes(run_program("depthdist", "-dp", EXAMPLES / "depth" / s))
    r = protnn("targets", "--from-dir", EXAMPLES / "targets", "--groups",
               EXAMPLES / "manifest.tsv", "-o", d / "full.csv")
    assert r.returncode == 0, r.stderr
    text = (d / "full.csv").read_text()
    text = re.sub(r"^1hel,[^,]*,", "1hel,,", text, flags=re.M)
    text = re.sub(r"^4zhl,[^,]*,[^,]*,[^,]*,", "4zhl,,,,", text, flags=re.M)
    (d / "targets.csv").write_text(text)
    r = protnn("db", "--features", d / "feat", "--targets", d / "targets.csv", "--out",
               d / "dbo", "--folds", "3", "--seed", "2")
    assert r.returncode == 0, r.stderr
    return d


def table(path):
    lines = path.read_text().splitlines()
    head = lines[0].split(",")
    return {l.split(",")[0]: dict(zip(head, l.split(","))) for l in lines[1:]}


def test_folds_hold_whole_groups_and_every_protein_with_targets_once(run):
    t = table(run / "targets.csv")
    info = json.loads((run / "dbo" / "folds.json").read_text())
    dbo = run / "dbo"
    held = []
    for fold in info["folds"]:
        ids = (dbo / fold["ids"]).read_text().split()
        lines = (dbo / fold["list"]).read_text().splitlines()
        assert lines[:3] == [f'"{dbo}/db"', "pairdist.tab depth.tab",
                             "helix.target strand.target rg_ratio.target"]
        train = lines[3:]
        assert len(train) >= 20 and not set(train) & set(ids)
        n_early = nint(float(fold["f"]) * len(train))   # what nntrain makes its test fold
        assert n_early == fold["early_stop"] >= 1
        body, tail = train[:-n_early], train[-n_early:]
        groups = lambda xs: {t[x]["group"] for x in xs}
        assert not groups(ids) & groups(train) and not groups(body) & groups(tail)
        held += ids
    known = sorted(set(t) - UNKNOWN)
    assert sorted(held) == known
    assert sorted((dbo / "new.ids").read_text().split()) == sorted(UNKNOWN)


def test_folds_json_is_read_as_written_and_protnn_folds_gives_each_folds_f(run):
    from protnn import ProtnnError
    from protnn.folds import read_folds
    dbo = run / "dbo"
    text = (dbo / "folds.json").read_text()
    assert read_folds(str(dbo)).to_json() == text
    info = json.loads(text)
    r = protnn("folds", dbo)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["fold\tf\ttrain\tearly_stop\theld_out\tlist\tids"] + [
        "\t".join(str(f[c]) for c in ("fold", "f", "train", "early_stop", "held_out", "list",
                                      "ids")) for f in info["folds"]]
    assert len({f["f"] for f in info["folds"]}) > 1      # else fold k+1's value would pass
    for f in info["folds"]:
        assert protnn("folds", dbo, "--f", f["fold"]).stdout == f["f"] + "\n"
    r = protnn("folds", dbo, "--f", "4")
    assert r.returncode == 1 and "folds 1 to 3" in r.stderr and not r.stdout
    bad = run / "badfolds"
    bad.mkdir()
    info["folds"][1]["list"] = "../fold2.db"
    (bad / "folds.json").write_text(json.dumps(info))
    with pytest.raises(ProtnnError, match=r"folds.json: not a folds file .*folds\[2\]\.list"):
        read_folds(str(bad))


def test_targets_are_scaled_into_the_tanh_range_and_back(run):
    t = table(run / "targets.csv")
    maps = json.loads((run / "dbo" / "scaling.json").read_text())["maps"]
    for o, m in maps.items():
        scaled = {}
        for i in set(t) - UNKNOWN:
            scaled[i] = float((run / "dbo" / "db" / i / f"{o}.target").read_text())
            assert (scaled[i] - m["b"]) / m["a"] == pytest.approx(float(t[i][o]), abs=1e-12)
        assert min(scaled.values()) == pytest.approx(-0.9) and \
            max(scaled.values()) == pytest.approx(0.9)
    for i in UNKNOWN:
        assert sorted(os.listdir(run / "dbo" / "db" / i)) == ["depth.tab", "pairdist.tab"]


def test_collect_and_report(run):
    d, dbo = run, run / "dbo"
    info = json.loads((dbo / "folds.json").read_text())
    parts = []
    for fold in info["folds"][:2]:
        k = fold["fold"]
        weights = []
        for seed in (11, 12):
            run_program("nntrain", "-l", dbo / fold["list"], "-f", fold["f"], "-m", "30",
                        "-h1", "3", "-h2", "3", "-u", "0.01", "-r", str(seed),
                        "-owf", f"f{k}s{seed}.wei", cwd=d)
            weights.append(f"f{k}s{seed}.wei")
        (d / f"w{k}.lst").write_text("\n".join(weights) + "\n")
        (d / f"f{k}.out").write_bytes(
            run_program("nntrain", "-aw", f"w{k}.lst", "-prl", dbo / fold["ids"], cwd=d))
        r = protnn("collect", d / f"f{k}.out", "--db", dbo, "--targets", d / "targets.csv",
                   "--role", "cv", "-o", d / f"f{k}.tsv")
        assert r.returncode == 0, r.stderr
        parts.append((d / f"f{k}.tsv").read_text())
    # A protein without target files, as nntrain predicts it: target NaN.
    (d / "new.out").write_text("4zhl   0.2000      0.1000E-01         NaN\n"
                               "4zhl  -0.5000      0.0000             NaN\n"
                               "4zhl   0.9000      0.2000E-01         NaN\n")
    r = protnn("collect", d / "new.out", "--db", dbo, "--role", "new", "-o", d / "new.tsv")
    assert r.returncode == 0, r.stderr
    new = [l.split("\t") for l in (d / "new.tsv").read_text().splitlines()]
    maps = json.loads((dbo / "scaling.json").read_text())["maps"]
    assert new[0] == ["id", "output", "mean", "sd", "target", "role"]
    assert [r[1] for r in new[1:]] == ["helix", "strand", "rg_ratio"]
    assert float(new[3][2]) == pytest.approx((0.9 - maps["rg_ratio"]["b"]) / maps["rg_ratio"]["a"],
                                             rel=1e-5)
    assert float(new[1][3]) == pytest.approx(0.01 / maps["helix"]["a"], rel=1e-5)
    assert all(r[4] == "" and r[5] == "new" for r in new[1:])

    t = table(d / "targets.csv")
    rows = [l.split("\t") for p in parts for l in p.splitlines()[1:]]
    assert all(r[4] == (t[r[0]][r[1]] and f"{float(t[r[0]][r[1]]):.6g}") for r in rows)
    preds = parts[0] + "".join(p.split("\n", 1)[1] for p in parts[1:]) + \
        (d / "new.tsv").read_text().split("\n", 1)[1]
    (d / "predictions.tsv").write_text(preds)
    from protnn import ProtnnError
    from protnn.predictions import merge                  # the workflow's merge
    merge([str(d / "f1.tsv"), str(d / "f2.tsv"), str(d / "new.tsv")], str(d / "merged.tsv"))
    assert (d / "merged.tsv").read_text() == preds
    r = protnn("collect", d / "new.out", "--db", dbo, "-o", d / "norole.tsv")
    with pytest.raises(ProtnnError, match="norole.tsv:1: expected the header id output mean sd "
                                          "target role$"):
        merge([str(d / "f1.tsv"), str(d / "norole.tsv")], str(d / "merged2.tsv"))
    logs = sorted(str(p) for p in d.glob("*.wei.fort.15"))
    r = protnn("report", "--predictions", d / "predictions.tsv", "--logs", *logs, "--db", dbo,
               "-o", d / "report")
    assert r.returncode == 0, r.stderr

    # The summary's ensemble MAE, recomputed from the rows; the trivial predictor from the
    # fold lists (mean target of the training proteins).
    summary = {l.split()[0]: l.split() for l in r.stdout.splitlines()[1:]}
    assert list(summary) == ["helix", "strand", "rg_ratio"]
    for o in summary:
        sel = [r for r in rows if r[1] == o and r[4]]
        mae = np.mean([abs(float(r[2]) - float(r[4])) for r in sel])
        triv = []
        for fold in info["folds"][:2]:
            train = (dbo / fold["list"]).read_text().splitlines()[3:]
            mean = np.mean([float(t[i][o]) for i in train])
            triv += [abs(mean - float(t[i][o])) for i in (dbo / fold["ids"]).read_text().split()
                     if t[i][o]]
        assert (int(summary[o][1]), summary[o][2], summary[o][3]) == \
            (len(sel), f"{mae:.4f}", f"{np.mean(triv):.4f}")

    page = (d / "report" / "index.html").read_text()
    images = re.findall(r'<img src="([^"]+)"', page)
    assert len(images) == 2 and all(not os.path.isabs(i) for i in images)
    for i in images:
        assert (d / "report" / i).stat().st_size > 10000
    assert all(f"<td>{r[0]}</td>" in page for r in rows)
    assert page.count("<td>f1s11.wei</td>") == 1 and "<td>new</td>" in page


@pytest.mark.parametrize("edit,args,message", [
    (lambda s: s + "1a1x,0.1,0.2,0.3,x\n", [], "targets.csv:42: id 1a1x listed twice"),
    (lambda s: s.replace("1a7g,0.3171", "1a7g,abc"), [],
     "targets.csv:3: helix of 1a7g is not a number: 'abc'"),
    (lambda s: s + "9xyz,0.1,0.2,0.3,x\n", [], "feat/9xyz/pairdist.tab: missing"),
    (lambda s: "\n".join(s.splitlines()[:25]) + "\n", ["--folds", "3"],
     "would train on"),
    (lambda s: s, ["--inputs", "pairdist.tab,nothing.tab"], "nothing.tab: missing"),
    # Output names name files: only the characters of ids, whatever a spreadsheet allows.
    (lambda s: s.replace("id,helix,", "id,../../../ESCAPED,", 1), [],
     "targets.csv:1: column 2: output name '../../../ESCAPED' does not start with a letter"),
    (lambda s: s.replace("id,helix,", "id,Stability (C),", 1), [],
     "targets.csv:1: column 2: output name 'Stability (C)' does not start with a letter or "
     "digit or holds characters other than A-Z a-z 0-9 . _ + -"),
    (lambda s: s.replace(",1a7g\n", ",=1+1\n", 1), [],
     "targets.csv:3: group '=1+1' of 1a7g: a group must not start with = + - @"),
    (lambda s: s, ["--groups", "groups.tsv"],
     "groups.tsv:3: group '@SUM(A1)' of 1a7g: a group must not start with = + - @"),
    (lambda s: s, ["--seed", "-1"], "--seed -1: a seed is a whole number of at least 0"),
])
def test_bad_database_input(run, tmp_path, edit, args, message):
    bad = tmp_path / "targets.csv"
    bad.write_text(edit((run / "full.csv").read_text()))
    (tmp_path / "groups.tsv").write_text("id\tgroup\n1a1x\ta\n1a7g\t@SUM(A1)\n")
    r = protnn("db", "--features", run / "feat", "--targets", bad, "--out", tmp_path / "dbo",
               *args, cwd=tmp_path)
    assert r.returncode == 1 and r.stderr.count("\n") == 1 and message in r.stderr
    assert sorted(os.listdir(tmp_path)) == ["groups.tsv", "targets.csv"]


def test_db_never_replaces_a_directory(run):
    r = protnn("db", "--features", run / "feat", "--targets", run / "targets.csv", "--out",
               run / "dbo")
    assert r.returncode == 1 and "exists already" in r.stderr
