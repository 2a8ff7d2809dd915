"""targets: the shipped ss.target and rg.target of every example structure, recomputed."""

import csv

import pytest

from conftest import EXAMPLES, STRUCTURES, protnn
from protnn.structure import clean, read_structure
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
