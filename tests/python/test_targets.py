"""targets: the shipped ss.target and rg.target of every example structure, recomputed."""

import csv
import os
import subprocess

import numpy as np
import pytest

from conftest import EXAMPLES, SOURCE, STRUCTURES, protnn
from protnn import ProtnnError
from protnn.structure import clean, read_structure
from protnn.sheets import read_table
from protnn.targets import rg_ratio


def test_targets_of_all_examples_equal_the_shipped_files(tmp_path):
    computed, shipped = tmp_path / "computed.csv", tmp_path / "shipped.csv"
    r = protnn("targets", "-j", "2", "-o", computed,
               *[EXAMPLES / "structures" / f"{s}.pdb" for s in STRUCTURES])
    assert r.returncode == 0, r.stderr
    r = protnn("targets", "--from-dir", EXAMPLES / "targets", "-o", shipped)
    assert r.returncode == 0, r.stderr
    # Both tables hold 4 decimals: equal text is agreement to 4 decimals.
    assert computed.read_text().splitlines() == shipped.read_text().splitlines()
    assert len(computed.read_text().splitlines()) == 41


def test_rg_counts_and_radii_equal_the_manifest():
    with open(EXAMPLES / "manifest.tsv", newline="") as f:
        rows = {r["sample"]: r for r in csv.DictReader(f, delimiter="\t")}
    for sid in STRUCTURES:
        st, _ = read_structure(EXAMPLES / "structures" / f"{sid}.pdb")
        clean(st)
        _, n, rg = rg_ratio(st)
        assert (n, f"{rg:.3f}") == (int(rows[sid]["ca_residues"]), rows[sid]["rg"]), sid


def test_groups_column_from_the_manifest(tmp_path):
    out = tmp_path / "t.csv"
    r = protnn("targets", "--from-dir", EXAMPLES / "targets", "--groups",
               EXAMPLES / "manifest.tsv", "-o", out)
    assert r.returncode == 0
    lines = out.read_text().splitlines()
    assert lines[0] == "id,helix,strand,rg_ratio,group"
    assert "1hel,0.4186,0.1085,0.9852,lysozyme" in lines


@pytest.mark.parametrize("args,message", [
    (["/nonexistent/x.pdb"], "cannot read"),
    ([], "no structure file given"),
    (["--from-dir", "/nonexistent"], "cannot read the directory"),
])
def test_bad_targets_input(args, message):
    r = protnn("targets", *args)
    assert r.returncode != 0 and message in r.stderr and r.stdout == ""


def test_hetatm_amino_acids_in_a_chain_count_like_their_parent(tmp_path):
    # 1hel with Met 12 written as a HETATM selenomethionine: DSSP reads it as MET and the
    # radius of gyration keeps its CA, so the targets do not change.  A lone HETATM MSE
    # (not bound in a chain) is left out of both.
    from protnn.targets import compute_targets
    lines = (EXAMPLES / "structures" / "1hel.pdb").read_text().splitlines(keepends=True)
    mse = [("HETATM" + l[6:17] + "MSE" + l[20:]) if l[17:26] == "MET A  12" else l
           for l in lines]
    assert sum(l.startswith("HETATM") and "MSE" in l for l in mse) == 8
    (tmp_path / "mse.pdb").write_text("".join(mse))
    lone = [l for l in mse if l[17:26] != "MET A 105"]
    lone.insert(len(lone) - 1, "HETATM 9999  N   MSE B 900      40.000  40.000  40.000"
                               "  1.00  0.00           N  \n"
                               "HETATM 9999  CA  MSE B 900      41.400  40.000  40.000"
                               "  1.00  0.00           C  \n"
                               "HETATM 9999  C   MSE B 900      42.000  41.300  40.000"
                               "  1.00  0.00           C  \n")
    (tmp_path / "lone.pdb").write_text("".join(lone))
    (tmp_path / "cut.pdb").write_text("".join(l for l in mse if l[17:26] != "MET A 105"))
    assert compute_targets(str(tmp_path / "mse.pdb")) == \
        compute_targets(str(EXAMPLES / "structures" / "1hel.pdb"))
    assert compute_targets(str(tmp_path / "lone.pdb")) == \
        compute_targets(str(tmp_path / "cut.pdb"))


def test_a_folder_gives_the_rows_it_can_and_names_the_rest(tmp_path):
    # One usable structure beside an empty file, an id no workflow can use and two files of
    # one id: the row of the usable one, each other file named on stderr, status 3.
    d = tmp_path / "in"
    d.mkdir()
    (d / "1vii.pdb").write_bytes((EXAMPLES / "structures" / "1vii.pdb").read_bytes())
    (d / "empty.cif").write_text("")
    (d / "{x}.pdb").write_bytes((EXAMPLES / "structures" / "1vii.pdb").read_bytes())
    for name in ("5znf.pdb", "5znf.cif.gz"):
        (d / name).write_bytes((EXAMPLES / "structures" / "5znf.pdb").read_bytes())
    (d / "notes.txt").write_text("not a structure\n")
    (d / ".1vii.pdb").write_text("")
    (d / ("x" * 101 + ".pdb")).write_text("")
    r = protnn("targets", d)
    shipped = protnn("targets", "--from-dir", EXAMPLES / "targets").stdout.splitlines()
    assert r.returncode == 3
    assert r.stdout.splitlines() == [shipped[0]] + [l for l in shipped if l.startswith("1vii,")]
    assert sorted(l.split(": ")[:2] for l in r.stderr.splitlines()) == [
        ["5znf.cif.gz", "id"], ["5znf.pdb", "id"], ["empty", "targets"],
        ["x" * 101 + ".pdb", "id"], ["{x}.pdb", "id"]]
    assert f"{d}/empty.cif: no atoms read" in r.stderr


@pytest.mark.parametrize("cell,value", [
    ("0.4186", 0.4186), ("-2", -2.0), ("1.5e-3", 1.5e-3), (".5", 0.5), ("+3.", 3.0),
    ("", None), ("NA", None), ("1_000", "1_000"), ("\u0661\u0662", "\u0661\u0662"),
    ("inf", "inf"), ("nan", "nan"), ("1e999", "1e999"), ("0x10", "0x10"), ("1,5", "1,5"),
])
def test_target_cells_are_read_strictly(tmp_path, cell, value):
    # One table, comma- and tab-separated, with a byte-order mark and CRLF line ends.
    for n, sep in enumerate((",", "\t")):
        path = tmp_path / f"t{n}.csv"
        quoted = f'"{cell}"' if sep == "," and "," in cell else cell
        path.write_bytes(("\ufeffid" + sep + "helix" + sep + "group\r\n1hel" + sep + "0.1" +
                          sep + "g\r\n2abc" + sep + quoted + sep + "\r\n").encode())
        if isinstance(value, str):
            with pytest.raises(ProtnnError) as e:
                read_table(str(path))
            assert str(e.value).startswith(f"{path}:3: helix of 2abc is not a number: '{value}'")
        else:
            t = read_table(str(path))
            assert (t.ids, t.outputs, t.groups) == (["1hel", "2abc"], ["helix"], ["g", "2abc"])
            assert t.values[0, 0] == 0.1 and \
                (np.isnan(t.values[1, 0]) if value is None else t.values[1, 0] == value)


def test_db_and_collect_run_without_gemmi():
    r = subprocess.run(["/usr/bin/python3", "-c", "import sys, protnn.database, "
                        "protnn.predictions; print('gemmi' in sys.modules)"],
                       env=dict(os.environ, PYTHONPATH=str(SOURCE / "python")),
                       capture_output=True, text=True)
    assert r.stdout == "False\n", r.stderr
