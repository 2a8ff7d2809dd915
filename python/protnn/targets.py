"""The targets of the example proteins, and the targets table that the database is made from.

Definitions (those of examples/README.md), on the first model and one alternate location:
- helix, strand: the fractions of the residues that DSSP (mkdssp, classic output) lists in the
  states H, G or I, and E or B.  DSSP reads a temporary PDB file with the ATOM records and the
  HETATM amino acids bound in a chain, the latter under their standard parent's name (MSE as
  MET); mkdssp 4.2 takes a PDB file only when it begins with a HEADER line, which the
  temporary file has.
- rg_ratio: the radius of gyration of the CA atoms of the amino-acid residues (residues with N,
  CA and C; HETATM ones only when peptide-bound) divided by 2.2 N^0.38, N their number.

The targets table itself (reading, writing) is protnn.sheets's.
"""

from __future__ import annotations

import math
import os
import shutil
import subprocess
import tempfile
from concurrent.futures import ThreadPoolExecutor

import gemmi
import numpy as np

from . import ProtnnError
from .failures import Failure, one_line
from .files import read_text
from .ids import find_structures
from .structure import clean, pdb_text, read_structure
from .sheets import table_text

OUTPUTS = ("helix", "strand", "rg_ratio")
HELIX_STATES = "HGI"
STRAND_STATES = "EB"
PEPTIDE_BOND_MAX = 2.0     # A: a C-N distance below this is taken as a peptide bond


# ---------------------------------------------------------------------------------- computing

def _has_backbone(res: gemmi.Residue) -> bool:
    names = {a.name for a in res}
    return {"N", "CA", "C"} <= names


def _peptide_bound(chain: gemmi.Chain, i: int) -> bool:
    """Whether residue I of CHAIN is joined by a peptide bond to its neighbour on either side."""
    res = chain[i]
    n, c = res.find_atom("N", "*"), res.find_atom("C", "*")
    if i > 0 and n is not None:
        prev_c = chain[i - 1].find_atom("C", "*")
        if prev_c is not None and prev_c.pos.dist(n.pos) < PEPTIDE_BOND_MAX:
            return True
    if i + 1 < len(chain) and c is not None:
        next_n = chain[i + 1].find_atom("N", "*")
        if next_n is not None and next_n.pos.dist(c.pos) < PEPTIDE_BOND_MAX:
            return True
    return False


def amino_acid_residues(st: gemmi.Structure) -> list[tuple[gemmi.Chain, int]]:
    """(chain, index) of the amino-acid residues of the first model: ATOM residues with N, CA
    and C, and HETATM amino acids with N, CA and C that are peptide-bound in their chain."""
    out = []
    for chain in st[0]:
        for i, res in enumerate(chain):
            if not _has_backbone(res):
                continue
            if res.het_flag == "H":
                info = gemmi.find_tabulated_residue(res.name)
                if not info or not info.is_amino_acid() or not _peptide_bound(chain, i):
                    continue
            out.append((chain, i))
    return out


def rg_ratio(st: gemmi.Structure) -> tuple[float, int, float]:
    """(rg / (2.2 N^0.38), N, rg) over the CA atoms of the amino-acid residues."""
    pos = []
    for chain, i in amino_acid_residues(st):
        ca = chain[i].find_atom("CA", "*")
        pos.append((ca.pos.x, ca.pos.y, ca.pos.z))
    if not pos:
        raise ProtnnError("no amino-acid residue with N, CA and C")
    xyz = np.array(pos)
    rg = math.sqrt(float(np.mean(np.sum((xyz - xyz.mean(axis=0)) ** 2, axis=1))))
    n = len(pos)
    return rg / (2.2 * n ** 0.38), n, rg


def _parent_name(name: str) -> str:
    info = gemmi.find_tabulated_residue(name)
    code = info.one_letter_code.upper() if info else " "
    if code.isalpha() and code != "X":
        return gemmi.expand_protein_one_letter(code)
    return name


def dssp_structure(st: gemmi.Structure) -> gemmi.Structure:
    """A copy of ST's first model with what DSSP reads: the ATOM residues and the HETATM amino
    acids bound in a chain, the latter as ATOM records under their parent's name."""
    out = gemmi.Structure()
    out.name = st.name
    out.cell = st.cell
    out.spacegroup_hm = st.spacegroup_hm
    model = gemmi.Model("1")
    bound = {(ch.name, i) for ch, i in amino_acid_residues(st)}
    for chain in st[0]:
        ch = gemmi.Chain(chain.name)
        for i, res in enumerate(chain):
            if res.het_flag == "H":
                if (chain.name, i) not in bound:
                    continue
                r = res.clone()
                r.name = _parent_name(res.name)
                r.het_flag = "A"
                ch.add_residue(r)
            else:
                ch.add_residue(res)
        if len(ch):
            model.add_chain(ch)
    out.add_model(model)
    return out


def dssp_states(st: gemmi.Structure, where: str) -> str:
    """The DSSP state letter of every residue that mkdssp lists (' ' for no state)."""
    exe = shutil.which("mkdssp")
    if exe is None:
        raise ProtnnError("mkdssp not found (Debian package dssp)")
    with tempfile.TemporaryDirectory() as d:
        inp, out = os.path.join(d, "in.pdb"), os.path.join(d, "out.dssp")
        with open(inp, "w", encoding="utf-8") as f:
            f.write(pdb_text(dssp_structure(st)))
        r = subprocess.run([exe, "--output-format", "dssp", inp, out],
                           capture_output=True, text=True)
        if r.returncode != 0 or not os.path.exists(out):
            msg = " ".join((r.stderr or r.stdout).split())[:200]
            raise ProtnnError(f"{where}: mkdssp failed (status {r.returncode}): {msg}")
        with open(out, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    for k, line in enumerate(lines):
        if line.startswith("  #  RESIDUE"):
            # Residue lines: column 14 holds '!' for a chain break, column 17 the state.
            return "".join(l[16] if len(l) > 16 else " " for l in lines[k + 1:]
                           if len(l) > 13 and l[13] != "!")
    raise ProtnnError(f"{where}: no residue table in mkdssp's output")


def compute_targets(path: str) -> dict[str, float]:
    """helix, strand and rg_ratio of the structure file PATH (first model, one altloc)."""
    st, _ = read_structure(path)
    try:
        clean(st)
        states = dssp_states(st, path)
        ratio, _, _ = rg_ratio(st)
    except ProtnnError as e:
        msg = str(e)
        raise ProtnnError(msg if msg.startswith(path) else f"{path}: {msg}") from None
    if not states:
        raise ProtnnError(f"{path}: mkdssp listed no residue")
    n = len(states)
    return {"helix": sum(s in HELIX_STATES for s in states) / n,
            "strand": sum(s in STRAND_STATES for s in states) / n,
            "rg_ratio": ratio}


# ------------------------------------------------------------------------------ whole tables

def _read_number_file(path: str) -> list[float]:
    words = read_text(path).replace(",", " ").split()
    try:
        return [float(w.replace("D", "E").replace("d", "e")) for w in words]
    except ValueError:
        raise ProtnnError(f"{path}: expected numbers") from None


def table_from_dir(directory: str, groups: dict[str, str] | None) -> str:
    """The targets table of a target-file directory DIR/<id>/ss.target, rg.target."""
    try:
        names = os.listdir(directory)
    except OSError as e:
        raise ProtnnError(f"{directory}: cannot read the directory: {e.strerror}") from None
    ids = sorted(d for d in names if os.path.isdir(os.path.join(directory, d)))
    if not ids:
        raise ProtnnError(f"{directory}: no protein directories")
    vals = np.full((len(ids), 3), math.nan)
    for k, i in enumerate(ids):
        ss = os.path.join(directory, i, "ss.target")
        rg = os.path.join(directory, i, "rg.target")
        if os.path.exists(ss):
            v = _read_number_file(ss)
            if len(v) != 2:
                raise ProtnnError(f"{ss}: expected 2 numbers (helix, strand), found {len(v)}")
            vals[k, :2] = v
        if os.path.exists(rg):
            v = _read_number_file(rg)
            if len(v) != 1:
                raise ProtnnError(f"{rg}: expected 1 number, found {len(v)}")
            vals[k, 2] = v[0]
    g = None
    if groups is not None:
        missing = [i for i in ids if i not in groups]
        if missing:
            raise ProtnnError(f"{directory}: {missing[0]} has no group in the groups file")
        g = [groups[i] for i in ids]
    return table_text(ids, list(OUTPUTS), vals, g)


def table_from_structures(paths: list[str], groups: dict[str, str] | None,
                          jobs: int = 1) -> tuple[str, list[Failure]]:
    """The targets table of the structure files of PATHS (files and folders, ids from the file
    names), with a row for every structure whose targets could be computed, and the failures
    (unusable ids, step id; structures whose targets failed, step targets); JOBS mkdssp runs at
    a time."""
    found, failures = find_structures(paths)

    def one(item: tuple[str, str]) -> dict[str, float] | Failure:
        sid, path = item
        try:
            return compute_targets(path)
        except ProtnnError as e:
            return Failure(sid, "targets", one_line(str(e)))

    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        results = list(pool.map(one, found.items()))
    ids = [i for i, t in zip(found, results) if not isinstance(t, Failure)]
    failures += [t for t in results if isinstance(t, Failure)]
    vals = np.array([[t[o] for o in OUTPUTS] for t in results if not isinstance(t, Failure)])
    vals = vals.reshape(len(ids), len(OUTPUTS))
    g = None
    if groups is not None:
        g = [groups.get(i, i) for i in ids]
    return table_text(ids, list(OUTPUTS), vals, g), failures
