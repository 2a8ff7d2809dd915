"""prep on the example structures: the model and altloc choice, mmCIF and gzip input, the
file gemmi refuses, the awkward files of real collections, and bad input."""

import gzip
import os
import subprocess

import gemmi
import numpy as np
import pytest

from conftest import EXAMPLES, STRUCTURES, program, protnn, run_program
from protnn import ProtnnError
from protnn.structure import clean, prep, read_structure
from protnn.targets import compute_targets


@pytest.mark.parametrize("sid", STRUCTURES)
def test_kept_atoms_are_those_of_the_depth_files(sid):
    # Same model, altloc, hydrogen and water rule as the example depth files: identical
    # atom serials, residue keys and atom names, in order.
    st, _ = read_structure(EXAMPLES / "structures" / f"{sid}.pdb")
    clean(st)
    kept = [(str(a.serial), f"{ch.name or '_'}:{r.seqid.num}{r.seqid.icode.strip()}",
             a.name.replace(" ", "_")) for ch in st[0] for r in ch for a in r]
    lines = (EXAMPLES / "depth" / f"{sid}-atom.depth").read_text().splitlines()[1:]
    assert kept == [tuple(l.split()[:3]) for l in lines]


@pytest.mark.parametrize("model,sample", [(None, "2jo4_m1"), (6, "2jo4_m6")])
def test_prep_of_an_nmr_ensemble_gives_the_table_of_one_model(tmp_path, model, sample):
    out = tmp_path / "2jo4.pdb"
    args = ["prep", EXAMPLES / "structures" / "2jo4.pdb", out] + \
        (["--model", str(model)] if model else [])
    r = protnn(*args)
    assert r.returncode == 0 and r.stdout == ""
    assert f"model {model or 1} of 10" in r.stderr
    assert run_program("pairdist", "-dp", out) == \
        run_program("pairdist", "-dp", EXAMPLES / "structures" / f"{sample}.pdb")


def test_mmcif_mmjson_and_gzip_give_the_same_tables_as_pdb(tmp_path):
    # For every example: the PDB file, an mmCIF written from it by gemmi, that mmCIF gzipped
    # under a name without .gz, and the mmJSON of it give identical pairdist tables after prep.
    for sid in STRUCTURES:
        src = EXAMPLES / "structures" / f"{sid}.pdb"
        st, _ = read_structure(src)
        st.setup_entities()
        cif = tmp_path / f"{sid}.cif"
        st.make_mmcif_document().write_file(str(cif))
        gz = tmp_path / f"{sid}.data"
        gz.write_bytes(gzip.compress(cif.read_bytes()))
        mmjson = tmp_path / f"{sid}.json"
        mmjson.write_text(st.make_mmcif_document().as_json(mmjson=True))
        tables = []
        for i, inp in enumerate([src, cif, gz, mmjson]):
            out = tmp_path / f"{sid}_{i}.pdb"
            prep(inp, out)
            tables.append(run_program("pairdist", "-dp", out))
        assert tables[0] and tables[0] == tables[1] == tables[2] == tables[3], sid


def test_prep_takes_the_file_gemmi_refuses_and_says_so(tmp_path):
    with pytest.raises(RuntimeError, match="Wrong format for charge"):
        gemmi.read_structure(str(EXAMPLES / "structures" / "4at1.pdb"))
    r = protnn("prep", EXAMPLES / "structures" / "4at1.pdb", tmp_path / "4at1.pdb")
    assert r.returncode == 0
    assert "Wrong format for charge" in r.stderr and "columns 73-80" in r.stderr
    assert run_program("pairdist", "-dp", tmp_path / "4at1.pdb") == \
        run_program("pairdist", "-dp", EXAMPLES / "structures" / "4at1.pdb")


def test_long_chain_names_are_shortened_uniquely(tmp_path):
    st, _ = read_structure(EXAMPLES / "structures" / "3o21.pdb")
    for ch, name in zip(st[0], ["LongA", "LongB"]):
        ch.name = name
    st.setup_entities()
    cif = tmp_path / "long.cif"
    st.make_mmcif_document().write_file(str(cif))
    msg = prep(cif, tmp_path / "long.pdb")
    assert "chains renamed" in msg
    before = {ch.name for ch in st[0]}
    after = {ch.name for ch in read_structure(tmp_path / "long.pdb")[0][0]}
    assert len(after) == len(before) and all(len(n) == 1 for n in after)
    assert run_program("pairdist", "-dp", tmp_path / "long.pdb") == \
        run_program("pairdist", "-dp", EXAMPLES / "structures" / "3o21.pdb")


NO_ATOMS_CIF = "data_x\nloop_\n_atom_site.id\n_atom_site.type_symbol\n"


@pytest.mark.parametrize("content,message", [
    (None, "cannot read"),
    (NO_ATOMS_CIF, "no atoms read"),
    ("HEADER    nothing here\nEND\n", "no atoms read"),
    (b"\x1f\x8b\x08\x00broken", "broken gzip data"),
    ("HETATM    1  O   HOH A   1       1.000   2.000   3.000  1.00  0.00           O\n",
     "no atoms left"),
    ("HETATM    1 ZN    ZN A 201       1.000   2.000   3.000  1.00  0.00          ZN\n",
     "no amino-acid residue"),
])
def test_bad_input_gives_one_line_and_no_file(tmp_path, content, message):
    inp = tmp_path / "in.cif"
    if content is not None:
        inp.write_bytes(content if isinstance(content, bytes) else content.encode())
    r = protnn("prep", inp, tmp_path / "out.pdb")
    assert r.returncode == 1
    assert r.stderr.count("\n") == 1 and message in r.stderr and str(inp) in r.stderr
    assert os.listdir(tmp_path) == (["in.cif"] if content is not None else [])


def test_prep_never_replaces_a_file(tmp_path):
    out = tmp_path / "out.pdb"
    out.write_text("keep")
    r = protnn("prep", EXAMPLES / "structures" / "1hel.pdb", out)
    assert r.returncode == 1 and "exists already" in r.stderr
    assert out.read_text() == "keep" and os.listdir(tmp_path) == ["out.pdb"]
    with pytest.raises(ProtnnError):
        prep(EXAMPLES / "structures" / "1hel.pdb", out)
    r = protnn("prep", EXAMPLES / "structures" / "1hel.pdb", tmp_path / "no" / "out.pdb")
    assert r.returncode == 1 and r.stderr == \
        f"protnn prep: {tmp_path}/no/out.pdb: cannot create: No such file or directory\n"


def test_a_name_as_long_as_the_file_system_allows_is_written(tmp_path):
    out = tmp_path / ("x" * 251 + ".pdb")
    r = protnn("prep", EXAMPLES / "structures" / "1vii.pdb", out)
    assert r.returncode == 0, r.stderr
    assert os.listdir(tmp_path) == [out.name]


def test_the_launcher_runs_the_package(tmp_path):
    # <build>/bin/protnn, as installed beside the programs, with a foreign python3 first on PATH
    fake = tmp_path / "python3"
    fake.write_text("#!/bin/sh\nexit 99\n")
    fake.chmod(0o755)
    env = dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}")
    env.pop("PYTHONPATH", None)
    r = subprocess.run([program("protnn"), "prep", EXAMPLES / "structures" / "1vii.pdb",
                        tmp_path / "out.pdb"], env=env, capture_output=True, text=True)
    assert r.returncode == 0 and "301 hydrogens" in r.stderr and (tmp_path / "out.pdb").exists()


def _microheterogeneity(st):
    # 1ejg's kind: PRO A 22 (altloc A) followed by a SER A 22 (altloc B) at the same key.
    ch = st[0]["A"]
    i = next(k for k, r in enumerate(ch) if r.seqid.num == 22)
    other = ch[i].clone()
    other.name = "SER" if ch[i].name != "SER" else "ALA"
    for a in ch[i]:
        a.altloc = "A"
    for a in other:
        a.altloc = "B"
        a.pos = gemmi.Position(a.pos.x + 0.5, a.pos.y, a.pos.z)
    ch.add_residue(other, i + 1)


def _blank_chain(st):
    st[0][0].name = " "


def _selenomethionine(st):
    for r in st[0][0]:
        if r.name == "MET":
            r.name, r.het_flag = "MSE", "H"
            for a in r:
                if a.name == "SD":
                    a.name, a.element = "SE", gemmi.Element("Se")


def _move(v):
    def move(st):
        for ch in st[0]:
            for r in ch:
                for a in r:
                    a.pos = a.pos + gemmi.Position(*v)
    return move


def _ca_only(st):
    for r in st[0][0]:
        for k in range(len(r) - 1, -1, -1):
            if r[k].name != "CA":
                del r[k]


def _chains(n):
    def copies(st):
        model = st[0]
        for k in range(1, n):
            ch = model[0].clone()
            ch.name = f"C{k}"
            model.add_chain(ch)
    return copies


def _cap(st):
    # UHBD's terminal cap: CTE at the number of the last residue, its OXT as a residue
    ch = st[0][0]
    last = ch[len(ch) - 1]
    cap = gemmi.Residue()
    cap.name, cap.seqid, cap.het_flag = "CTE", last.seqid, "A"
    oxt = last.find_atom("O", "*").clone()
    oxt.name, oxt.pos = "OXT", oxt.pos + gemmi.Position(1.2, 0, 0)
    cap.add_atom(oxt)
    ch.add_residue(cap, len(ch))


def _two_amino_acids(st):
    ch = st[0][0]
    other = ch[10].clone()
    other.name = "SER" if other.name != "SER" else "ALA"
    ch.add_residue(other, 11)


def _nucleic_acid(st):
    # a chain of DNA and RNA residues (names the tables of gemmi know as nucleic acids)
    ch = st[0][0].clone()
    ch.name = "N"
    for k, r in enumerate(ch):
        r.name = ("DA", "DC", "G", "U")[k % 4]
    for k in range(len(ch) - 1, 11, -1):
        del ch[k]
    st[0].add_chain(ch)


def _stretch(st):
    st[0][0][-1][0].pos = gemmi.Position(11500.0, 0.0, 0.0)


@pytest.mark.parametrize("edit,fmt,said", [
    (_microheterogeneity, "pdb", "1 residues removed that shared their number"),
    (_blank_chain, "pdb", "chains renamed (blank)->A"),
    (_selenomethionine, "pdb", "2 selenomethionines (MSE) written as MET"),
    (_move((-1200, 300, 400)), "cif", "moved by (1219, 0, 0) A"),
    (_move((5000, -9000, 11000)), "cif", "moved by (0, 8994, -10998) A"),
    (_ca_only, "pdb", "117 of 117 non-glycine residues have no CB"),
    (_chains(63), "cif", "63 chains: a PDB file tells at most 62 apart"),
    (_stretch, "cif", "x spans"),
    (_cap, "pdb", "1 residues removed that shared chain, number and insertion code with the "
                  "amino acid before or after them (first: A:129 CTE)"),
    (_two_amino_acids, "pdb", "residues A:11 ALA and A:11 SER share chain, number and"),
    (_nucleic_acid, "cif", "12 nucleic-acid residues removed"),
])
def test_awkward_structures_give_the_tables_of_the_plain_one_or_one_line(tmp_path, edit, fmt,
                                                                         said):
    # 1hel edited as real collections have it: prep writes what gives the tables and targets
    # of the original file (or the same within rounding for a moved copy), or refuses in one
    # line.
    src = EXAMPLES / "structures" / "1hel.pdb"
    st, _ = read_structure(src)
    edit(st)
    inp = tmp_path / f"in.{fmt}"
    if fmt == "pdb":
        st.write_pdb(str(inp))
    else:
        st.setup_entities()
        st.make_mmcif_document().write_file(str(inp))
    r = protnn("prep", inp, tmp_path / "out.pdb")
    assert said in r.stderr and r.stderr.count("\n") == 1
    if r.returncode:
        assert r.returncode == 1 and not (tmp_path / "out.pdb").exists()
        return
    lines = (tmp_path / "out.pdb").read_text().splitlines()
    assert all(len(l) <= 80 and l[30:54].count(".") == 3
               for l in lines if l.startswith(("ATOM", "HETATM")))
    assert compute_targets(str(inp)) == pytest.approx(compute_targets(str(src)), rel=1e-9)
    prep(src, tmp_path / "plain.pdb")
    tables = []
    for name in ("out", "plain"):
        run_program("atomdepth", "-dp", tmp_path / f"{name}.pdb", "-o", tmp_path / name)
        tables.append([run_program("pairdist", "-dp", tmp_path / f"{name}.pdb"),
                       run_program("depthdist", "-dp", tmp_path / name)])
    if "moved" not in said:
        assert tables[0] == tables[1]
    else:
        for got, want in zip(*tables):
            assert np.allclose(np.array(got.split(), float), np.array(want.split(), float),
                               rtol=1e-9, atol=1e-9)


def test_the_programs_warnings_reach_the_log_and_the_failure_they_explain(tmp_path):
    # Two ions at one number in a row (prep keeps them: neither is an amino acid), then a
    # second chain (a copy): atomdepth warns that they share a residue key, and depthdist
    # fails on it.
    st, _ = read_structure(EXAMPLES / "structures" / "1hel.pdb")
    st.remove_hydrogens()
    st.remove_waters()
    ch = st[0][0]
    for name, dx in (("ZN", 3.0), ("NA", 6.0)):
        ion = gemmi.Residue()
        ion.name, ion.seqid, ion.het_flag = name, gemmi.SeqId(500, " "), "H"
        a = ch[len(ch) - 1][0].clone()
        a.name, a.element = name, gemmi.Element(name)
        a.pos = a.pos + gemmi.Position(dx, 0, 0)
        ion.add_atom(a)
        ch.add_residue(ion, len(ch))
    other = ch.clone()
    other.name = "B"
    for r in other:
        for a in r:
            a.pos = a.pos + gemmi.Position(60, 0, 0)
    st[0].add_chain(other)
    st.write_pdb(str(tmp_path / "ions.pdb"))
    (tmp_path / "batch.tsv").write_text(f"ions\t{tmp_path / 'ions.pdb'}\n"
                                        f"1hel\t{EXAMPLES / 'structures' / '1hel.pdb'}\n")
    (tmp_path / "settings.json").write_text("{}")
    r = protnn("features", "--bindir", program("atomdepth").rsplit("/", 1)[0], "--out",
               tmp_path / "feat", "--settings", tmp_path / "settings.json", "--list",
               tmp_path / "batch.tsv", "--failed", tmp_path / "failed.tsv", "--done",
               tmp_path / "done.txt")
    assert r.returncode == 0, r.stderr
    warned = "share a residue key (first: A:500 ZN and NA)"
    assert f"ions.pdb: atomdepth: structure.pdb: warning: 2 pairs of residues in a row " \
        f"{warned}" in r.stderr
    assert "1hel" not in r.stderr and "Unknown type" not in r.stderr   # its OXT: no warning
    failed = (tmp_path / "failed.tsv").read_text().splitlines()
    assert len(failed) == 2 and failed[1].startswith("ions\tdepthdist\tStrings for residues "
                                                     "don't match for depth-atom.depth (after "
                                                     "atomdepth: ")
    assert warned in failed[1]
