"""The targets of the example proteins, and the targets table that the database is made from.

Definitions (those of examples/README.md), on the first model and one alternate location:
- helix, strand: the fractions of the residues that DSSP (mkdssp, classic output) lists in the
  states H, G or I, and E or B.  DSSP reads a temporary PDB file with the ATOM records and the
  HETATM amino acids bound in a chain, the latter under their standard parent's name (MSE as
  MET); mkdssp 4.2 takes a PDB file only when it begins with a HEADER line, which the
  temporary file has.
- rg_ratio: the radius of gyration of the CA atoms of the amino-acid residues (residues with N,
  CA and C; HETATM ones only when peptide-bound) divided by 2.2 N^0.38, N their number.

Targets table (CSV): a header `id,<output>,...` with an optional `group` column, one row per
protein; an empty cell is an unknown target.  Values are written with 4 decimals, like the
shipped ss.target and rg.target files.
"""

from __future__ import annotations

import csv
import io
import math
import os
import shutil
import subprocess
import tempfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import gemmi
import numpy as np

from . import ProtnnError
from .files import structure_id, write_new_text
from .structure import clean, pdb_text, read_structure

OUTPUTS = ("helix", "strand", "rg_ratio")
HELIX_STATES = "HGI"
STRAND_STATES = "EB"
PEPTIDE_BOND_MAX = 2.0     # A: a C-N distance below this is taken as a peptide bond


@dataclass
class TargetsTable:
    """A targets table: ids, output names, values (NaN = unknown) and groups."""
    path: str
    ids: list[str]
    outputs: list[str]
    values: np.ndarray        # len(ids) x len(outputs)
    groups: list[str]         # the group of each id (the id itself when there is no column)
    has_groups: bool = False

    def known(self) -> np.ndarray:
        """Rows whose targets are all known."""
        return np.all(np.isfinite(self.values), axis=1)


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


# ------------------------------------------------------------------------------------ tables

def _cell(v: float) -> str:
    return "" if not math.isfinite(v) else f"{v:.4f}"


def table_text(ids: list[str], outputs: list[str], values: np.ndarray,
               groups: list[str] | None = None) -> str:
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(["id", *outputs] + (["group"] if groups is not None else []))
    for k, i in enumerate(ids):
        w.writerow([i, *(_cell(v) for v in values[k])] + ([groups[k]] if groups is not None else []))
    return buf.getvalue()


def _read_rows(path: str) -> tuple[list[str], list[tuple[int, list[str]]]]:
    """Header and (line number, cells) of a CSV or TSV file (tab-separated when the header
    holds a tab)."""
    try:
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read().lstrip("\ufeff")
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None
    except UnicodeDecodeError:
        raise ProtnnError(f"{path}: not UTF-8 text") from None
    lines = text.splitlines()
    if not lines or not lines[0].strip():
        raise ProtnnError(f"{path}:1: expected a header line")
    delim = "\t" if "\t" in lines[0] else ","
    rows = list(csv.reader(lines, delimiter=delim))
    header = [h.strip() for h in rows[0]]
    body = [(n, [c.strip() for c in r]) for n, r in enumerate(rows[1:], 2) if any(c.strip() for c in r)]
    return header, body


def read_groups(path: str) -> dict[str, str]:
    """id -> group from a sample sheet with a header holding `sample` or `id`, and `group`."""
    header, body = _read_rows(path)
    key = "sample" if "sample" in header else "id" if "id" in header else None
    if key is None or "group" not in header:
        raise ProtnnError(f"{path}:1: the header needs a `sample` or `id` column and `group`")
    ki, gi = header.index(key), header.index("group")
    out: dict[str, str] = {}
    for n, r in body:
        if len(r) != len(header):
            raise ProtnnError(f"{path}:{n}: {len(r)} cells, the header has {len(header)}")
        if r[ki] in out:
            raise ProtnnError(f"{path}:{n}: id {r[ki]} listed twice")
        out[r[ki]] = r[gi] or r[ki]
    return out


def read_table(path: str) -> TargetsTable:
    """Reads a targets table; refuses duplicate ids, empty ids and non-numeric targets."""
    header, body = _read_rows(path)
    if "id" not in header:
        raise ProtnnError(f"{path}:1: the header has no `id` column")
    if len(set(header)) != len(header):
        raise ProtnnError(f"{path}:1: a column name appears twice")
    outputs = [h for h in header if h not in ("id", "group")]
    if not outputs:
        raise ProtnnError(f"{path}:1: no target column besides id and group")
    ki = header.index("id")
    gi = header.index("group") if "group" in header else None
    oi = [header.index(o) for o in outputs]
    ids: list[str] = []
    groups: list[str] = []
    vals = np.full((len(body), len(outputs)), math.nan)
    seen: dict[str, int] = {}
    for k, (n, r) in enumerate(body):
        if len(r) != len(header):
            raise ProtnnError(f"{path}:{n}: {len(r)} cells, the header has {len(header)}")
        i = r[ki]
        if not i or any(ch.isspace() for ch in i) or "/" in i:
            raise ProtnnError(f"{path}:{n}: id '{i}' is empty or holds a blank or a slash")
        if i in seen:
            raise ProtnnError(f"{path}:{n}: id {i} listed twice (first on line {seen[i]})")
        seen[i] = n
        ids.append(i)
        groups.append((r[gi] if gi is not None else "") or i)
        for j, c in enumerate(oi):
            if r[c] == "":
                continue
            try:
                v = float(r[c])
            except ValueError:
                v = math.nan
            if not math.isfinite(v):
                raise ProtnnError(f"{path}:{n}: {outputs[j]} of {i} is not a number: '{r[c]}'")
            vals[k, j] = v
    if not ids:
        raise ProtnnError(f"{path}: no rows")
    return TargetsTable(path, ids, outputs, vals, groups, gi is not None)


def _read_number_file(path: str) -> list[float]:
    try:
        with open(path, encoding="utf-8") as f:
            words = f.read().replace(",", " ").split()
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None
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
                          jobs: int = 1) -> str:
    """The targets table of structure files (ids from the file names); JOBS mkdssp runs at a
    time."""
    ids = [structure_id(p) for p in paths]
    dup = {i for i in ids if ids.count(i) > 1}
    if dup:
        raise ProtnnError(f"id {sorted(dup)[0]} given by two structure files")
    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        found = list(pool.map(compute_targets, paths))
    vals = np.array([[t[o] for o in OUTPUTS] for t in found])
    g = None
    if groups is not None:
        g = [groups.get(i, i) for i in ids]
    return table_text(ids, list(OUTPUTS), vals, g)


def write_table(text: str, out: str | None) -> None:
    if out is None:
        print(text, end="")
    else:
        write_new_text(out, text)
