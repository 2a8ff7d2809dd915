"""Structure files in any format gemmi reads, cut down to what the programs expect.

read_structure() takes PDB, mmCIF or mmJSON text, gzip-compressed or not (recognised by the
gzip magic bytes and the text itself, not by the file name).  clean() keeps one model, one
alternate location per residue (atoms without a label plus those with the first label met in
the residue: the rule of the example depth files), no hydrogens and no waters, and makes the
rest fit a PDB file:
- microheterogeneity (two residues at one chain, number and insertion code whose atoms carry
  alternate-location labels, 1ejg's PRO and SER A 22): the first label met is kept, as for
  alternate locations, and the residue left without atoms goes.  Residues that merely share a
  number without such labels stay (4at1's ZN 109, 2hhb's HEM A 1 beside VAL A 1) unless they
  stand in a row: there an amino acid with a CA is kept and the other residues (a terminal cap
  such as UHBD's CTE after PHE A 375) go, and two such amino acids are refused, since the
  programs could not tell them apart;
- nucleic-acid residues (DNA, RNA) go as waters do: the programs' types are those of proteins;
- chain names: a blank or longer name becomes a free one-letter name (A-Z, a-z, 0-9); a
  structure of more than 62 chains is refused, since one-letter names cannot keep them apart;
- coordinates outside PDB's %8.3f columns (-999.999 to 9999.999): the structure is moved by an
  integer vector so that they fit (every feature is unchanged by a rigid move), or refused
  when it is too large even so;
- a CA-only model (most non-glycine amino-acid residues without CB, so that pairdist would see
  only the glycines) or a structure without amino-acid residue is refused.
prep() also writes selenomethionine (MSE) as methionine: ATOM records, SE as SD.
write_clean_pdb() writes the result as a PDB file that pairdist, atomdepth and mkdssp read: a
HEADER line (mkdssp 4.2 reads a file as PDB only when it begins with one, and takes it for
mmCIF otherwise), CRYST1, the atom records, TER and END.
"""

from __future__ import annotations

import gzip
import json
import math
import os
import tempfile
import zlib
from dataclasses import dataclass, field

import gemmi

from . import ProtnnError
from .files import read_bytes, write_new_text
from .ids import structure_id

# Columns 73-80 of a PDB atom record hold the segment id, the element and the charge; old files
# keep an id code and a line number there (4at1: "4AT1 438"), which gemmi 0.5.7 refuses as a
# charge.  The programs read columns 1-54 only, so such a file is read again without them.
_PDB_KEPT_COLUMNS = 72
# One-letter chain names, in the order free ones are given out.
CHAIN_NAMES = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
# What a %8.3f coordinate field holds.
COORD_MIN, COORD_MAX = -999.999, 9999.999
# Share of the non-glycine amino-acid residues that may lack CB.
MAX_WITHOUT_CB = 0.5


@dataclass
class Cleaned:
    """What clean() kept and removed, for the one-line account that prep prints."""
    models: int = 1          # models in the file
    model: str = "1"         # name (number) of the model kept
    hydrogens: int = 0       # hydrogen and deuterium atoms removed
    waters: int = 0          # water residues removed
    altloc_atoms: int = 0    # atoms removed because another alternate location was kept
    microhet: int = 0        # residues removed because another residue at their key was kept
    nucleic: int = 0         # nucleic-acid residues removed
    beside: list[str] = field(default_factory=list)  # residues removed beside an amino acid
                                                      # at their key, as "A:375 CTE"
    renamed_chains: dict[str, str] = field(default_factory=dict)  # old -> new chain name
    shift: tuple[int, int, int] = (0, 0, 0)   # integer vector added to every coordinate
    mse: int = 0             # selenomethionines written as methionine (by prep)


def _read_bytes(path: str) -> bytes:
    data = read_bytes(path)
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as e:
            raise ProtnnError(f"{path}: broken gzip data: {e}") from None
    return data


def _sniff(text: str) -> str:
    """'mmjson', 'mmcif' or 'pdb', from the first line that is not blank or a comment."""
    for line in text.splitlines():
        s = line.strip()
        if not s or s.startswith("#"):
            continue
        if s.startswith("{"):
            return "mmjson"
        if s.startswith("data_"):
            return "mmcif"
        return "pdb"
    return "pdb"


def _mmjson_to_cif(text: str, path: str) -> str:
    """mmJSON text as mmCIF text.  gemmi 0.5.7's own mmJSON reader crashes (bad_alloc or a
    segmentation fault, even on mmJSON that gemmi wrote), so Python's json module reads it."""
    try:
        doc = json.loads(text)
        (name, block), = doc.items()
        out = [name if name.startswith("data_") else "data_" + name]
        for cat, items in block.items():
            cols = list(items.items())
            rows = max((len(v) for _, v in cols), default=0)
            if any(len(v) != rows for _, v in cols):
                raise ValueError(f"columns of {cat} differ in length")
            out.append("loop_")
            out += [f"_{cat}.{item}" for item, _ in cols]
            for r in range(rows):
                out.append(" ".join("?" if v[r] is None else
                                    gemmi.cif.quote(v[r] if isinstance(v[r], str) else
                                                    repr(v[r]) if isinstance(v[r], float) else
                                                    str(v[r]))
                                    for _, v in cols))
    except (ValueError, AttributeError, TypeError) as e:
        raise ProtnnError(f"{path}: not mmJSON: {e}") from None
    return "\n".join(out) + "\n"


def read_structure(path: str | os.PathLike) -> tuple[gemmi.Structure, list[str]]:
    """Reads one structure file; returns the structure and notes on what had to be done."""
    path = os.fspath(path)
    text = _read_bytes(path).decode("utf-8", errors="replace")
    text = text.lstrip("\ufeff").replace("\r\n", "\n")
    notes: list[str] = []
    kind = _sniff(text)
    try:
        if kind == "mmcif":
            st = gemmi.make_structure_from_block(gemmi.cif.read_string(text).sole_block())
        elif kind == "mmjson":
            st = gemmi.make_structure_from_block(
                gemmi.cif.read_string(_mmjson_to_cif(text, path)).sole_block())
        else:
            try:
                st = gemmi.read_pdb_string(text)
            except RuntimeError as e:
                st = gemmi.read_pdb_string(text, max_line_length=_PDB_KEPT_COLUMNS)
                notes.append(f"gemmi refused the file ({e}); read it again without columns "
                             f"73-80 (elements taken from the atom names)")
    except (RuntimeError, ValueError, IndexError) as e:
        raise ProtnnError(f"{path}: not a readable {kind} structure: {e}") from None
    if len(st) == 0 or all(m.count_atom_sites() == 0 for m in st):
        raise ProtnnError(f"{path}: no atoms read")
    if not st.name:
        st.name = structure_id(path)
    return st, notes


def keep_first_altloc(st: gemmi.Structure) -> int:
    """Keeps, per residue, the atoms without altloc and those with the first label met.

    The labels of the kept atoms are cleared, since each atom now has one place.  Returns the
    number of atoms removed."""
    removed = 0
    for model in st:
        for chain in model:
            for res in chain:
                first = ""    # first altloc label met in this residue
                for i in range(len(res) - 1, -1, -1):
                    if res[i].altloc != "\0":
                        first = res[i].altloc    # the loop runs backwards: ends at the first
                for i in range(len(res) - 1, -1, -1):
                    a = res[i]
                    if a.altloc == "\0":
                        continue
                    if a.altloc == first:
                        a.altloc = "\0"
                    else:
                        del res[i]
                        removed += 1
    return removed


def keep_first_of_microheterogeneity(st: gemmi.Structure) -> tuple[int, int]:
    """Of consecutive residues of a chain that share number and insertion code and each carry
    alternate-location labels, keeps those that hold the first label met (their atoms without
    label or with that label); the others go whole.  Returns (residues removed, atoms
    removed)."""
    residues = atoms = 0
    for chain in st[0]:
        runs: list[list[int]] = []      # indices of consecutive residues with one key
        for i, res in enumerate(chain):
            labelled = any(a.altloc != "\0" for a in res)
            if runs and labelled and runs[-1] and chain[runs[-1][-1]].seqid == res.seqid:
                runs[-1].append(i)
            else:
                runs.append([i] if labelled else [])
        doomed: list[int] = []
        for run in runs:
            if len(run) < 2:
                continue
            first = next(a.altloc for i in run for a in chain[i] if a.altloc != "\0")
            for i in run:
                res = chain[i]
                if all(a.altloc != first for a in res):    # another residue's alternative:
                    doomed.append(i)                      # its unlabelled atoms go with it
                    atoms += len(res)
                    continue
                for k in range(len(res) - 1, -1, -1):
                    if res[k].altloc not in ("\0", first):
                        del res[k]
                        atoms += 1
        for i in sorted(doomed, reverse=True):
            del chain[i]
            residues += 1
    return residues, atoms


def _amino_acid_with_ca(res: gemmi.Residue) -> bool:
    info = gemmi.find_tabulated_residue(res.name)
    ca = res.find_atom("CA", "*")
    return ca is not None and ca.element.name == "C" and (info is None or info.is_amino_acid())


def keep_amino_acids_at_shared_keys(st: gemmi.Structure) -> list[str]:
    """Of consecutive residues of a chain that share number and insertion code without
    alternate-location labels, keeps the one amino acid with a CA and removes the residues of
    other names (a terminal cap such as CTE); refuses two such amino acids at one key.
    Returns the removed residues as "chain:number name"."""
    removed: list[str] = []
    for chain in st[0]:
        runs: list[list[int]] = []
        for i, res in enumerate(chain):
            if runs and chain[runs[-1][-1]].seqid == res.seqid:
                runs[-1].append(i)
            else:
                runs.append([i])
        doomed: list[int] = []
        for run in runs:
            if len(run) < 2 or any(a.altloc != "\0" for i in run for a in chain[i]):
                continue
            # (parts of one residue that the file splits, by segment id, share its name)
            amino = list(dict.fromkeys(chain[i].name for i in run
                                       if _amino_acid_with_ca(chain[i])))
            key = f"{chain.name}:{str(chain[run[0]].seqid).strip()}"
            if len(amino) > 1:
                raise ProtnnError(f"residues {key} {amino[0]} and {key} {amino[1]} share "
                                  f"chain, number and insertion code without "
                                  f"alternate-location labels: the programs cannot tell them "
                                  f"apart; renumber one")
            if amino:             # (a residue left without atoms is never written anyway)
                doomed += [i for i in run if chain[i].name != amino[0] and len(chain[i])]
        for i in sorted(doomed, reverse=True):
            removed.insert(0, f"{chain.name}:{str(chain[i].seqid).strip()} {chain[i].name}")
            del chain[i]
    return removed


def remove_nucleic_acids(st: gemmi.Structure) -> int:
    """Removes the nucleic-acid residues of ST's first model; returns how many there were."""
    n = 0
    for chain in st[0]:
        for i in range(len(chain) - 1, -1, -1):
            info = gemmi.find_tabulated_residue(chain[i].name)
            if info is not None and info.is_nucleic_acid():
                del chain[i]
                n += 1
    return n


def one_letter_chain_names(st: gemmi.Structure) -> dict[str, str]:
    """Gives every chain of ST's first model that is blank or longer than one character a free
    one-letter name (its own first character when free); returns old -> new names.  Refuses
    more than 62 chains."""
    names = list(dict.fromkeys(ch.name for ch in st[0]))
    if len(names) > len(CHAIN_NAMES):
        raise ProtnnError(f"{len(names)} chains: a PDB file tells at most "
                          f"{len(CHAIN_NAMES)} apart (one-letter names A-Z a-z 0-9); "
                          f"split the structure")
    # The length checks matter: "" (a blank chain) is a substring of every string.
    used = {n for n in names if len(n) == 1 and n in CHAIN_NAMES}
    renamed: dict[str, str] = {}
    for n in names:
        if n in used:
            continue
        new = n[0] if len(n) > 1 and n[0] in CHAIN_NAMES and n[0] not in used else \
            next(c for c in CHAIN_NAMES if c not in used)
        used.add(new)
        renamed[n] = new
    for ch in st[0]:
        ch.name = renamed.get(ch.name, ch.name)
    return renamed


def fit_pdb_columns(st: gemmi.Structure) -> tuple[int, int, int]:
    """Moves ST's first model by an integer vector, on the axes whose coordinates do not fit
    PDB's %8.3f columns, so that they fit; returns the vector.  Refuses a structure that is
    too large to fit."""
    box = st.calculate_box()          # ST holds one model: clean() removed the others
    shift = []
    for axis in ("x", "y", "z"):
        lo, hi = getattr(box.minimum, axis), getattr(box.maximum, axis)
        if not (math.isfinite(lo) and math.isfinite(hi)):
            raise ProtnnError(f"a coordinate {axis} is not a finite number")
        if round(lo, 3) >= COORD_MIN and round(hi, 3) <= COORD_MAX:
            shift.append(0)
            continue
        for t in (-math.floor(lo), -math.floor(lo) - 999):   # lo into [0, 1), else [-999, -998)
            if round(hi + t, 3) <= COORD_MAX:
                shift.append(t)
                break
        else:
            raise ProtnnError(f"{axis} spans {lo:.3f} to {hi:.3f} A: wider than PDB's "
                              f"coordinate columns hold ({COORD_MIN} to {COORD_MAX})")
    if any(shift):
        st[0].transform_pos_and_adp(gemmi.Transform(gemmi.Mat33(),
                                                    gemmi.Vec3(*map(float, shift))))
    return tuple(shift)


def check_protein(st: gemmi.Structure) -> None:
    """Refuses a structure without amino-acid residue, or one whose non-glycine amino-acid
    residues mostly lack CB (a CA-only model: pairdist, which takes CB and the CA of glycine,
    would see only its glycines)."""
    amino = non_gly = without_cb = 0
    for ch in st[0]:
        for r in ch:
            info = gemmi.find_tabulated_residue(r.name)
            if not info or not info.is_amino_acid() or (r.het_flag == "H" and r.name != "MSE"):
                continue
            amino += 1
            if r.name != "GLY":
                non_gly += 1
                without_cb += r.find_atom("CB", "*") is None
    if amino == 0:
        raise ProtnnError("no amino-acid residue (ATOM records of a protein): not a protein")
    if without_cb > MAX_WITHOUT_CB * non_gly:
        raise ProtnnError(f"{without_cb} of {non_gly} non-glycine residues have no CB atom: a "
                          f"CA-only (or backbone-only) model, whose features would come from "
                          f"its glycines alone")


def clean(st: gemmi.Structure, model: int | None = None) -> Cleaned:
    """Cuts ST in place to one model, one altloc, no hydrogens, no waters, PDB chain names and
    coordinates that fit PDB's columns; refuses what the programs cannot use."""
    c = Cleaned(models=len(st))
    if model is None:
        index = 0
    else:
        names = [m.name for m in st]
        if str(model) not in names:
            raise ProtnnError(f"no model {model} (models: {' '.join(names)})")
        index = names.index(str(model))
    c.model = st[index].name
    for i in range(len(st) - 1, -1, -1):
        if i != index:
            del st[i]
    m = st[0]
    waters = sum(1 for ch in m for r in ch if r.is_water())
    st.remove_waters()
    c.waters = waters
    c.nucleic = remove_nucleic_acids(st)
    before = m.count_atom_sites()
    st.remove_hydrogens()
    c.hydrogens = before - st[0].count_atom_sites()
    c.microhet, c.altloc_atoms = keep_first_of_microheterogeneity(st)
    c.beside = keep_amino_acids_at_shared_keys(st)
    c.altloc_atoms += keep_first_altloc(st)
    st.remove_empty_chains()
    if st[0].count_atom_sites() == 0:
        raise ProtnnError("no atoms left after removing hydrogens and waters")
    c.renamed_chains = one_letter_chain_names(st)
    check_protein(st)
    c.shift = fit_pdb_columns(st)
    return c


def selenomethionine_to_methionine(st: gemmi.Structure) -> int:
    """Writes every MSE residue of ST's first model as MET in ATOM records, its SE atom as SD
    (element S), as the field's tools do; returns how many there were."""
    n = 0
    for ch in st[0]:
        for r in ch:
            if r.name != "MSE":
                continue
            r.name = "MET"
            r.het_flag = "A"
            for a in r:
                if a.name == "SE":
                    a.name = "SD"
                    a.element = gemmi.Element("S")
            n += 1
    return n


def describe(c: Cleaned) -> str:
    """One line saying what clean() and prep() did."""
    parts = [f"model {c.model} of {c.models}" if c.models > 1 else "one model"]
    parts.append(f"{c.hydrogens} hydrogens, {c.waters} waters and {c.altloc_atoms} "
                 f"alternate-location atoms removed")
    if c.nucleic:
        parts.append(f"{c.nucleic} nucleic-acid residues removed")
    if c.beside:
        parts.append(f"{len(c.beside)} residues removed that shared chain, number and "
                     f"insertion code with the amino acid before or after them (first: "
                     f"{c.beside[0]})")
    if c.microhet:
        parts.append(f"{c.microhet} residues removed that shared their number with the "
                     f"residue kept (microheterogeneity)")
    if c.mse:
        parts.append(f"{c.mse} selenomethionines (MSE) written as MET")
    if c.renamed_chains:
        parts.append("chains renamed " + " ".join(f"{o if o.strip() else '(blank)'}->{n}"
                                                  for o, n in c.renamed_chains.items()))
    if any(c.shift):
        parts.append("moved by ({}, {}, {}) A to fit PDB's coordinate columns".format(*c.shift))
    return "; ".join(parts)


def pdb_text(st: gemmi.Structure) -> str:
    """ST as PDB text: HEADER (the file's own when it had one), CRYST1, atoms, TER, END."""
    box = st.calculate_box()
    if not all(COORD_MIN <= round(v, 3) <= COORD_MAX for p in (box.minimum, box.maximum)
               for v in (p.x, p.y, p.z)):       # never a field wider than its columns
        raise ProtnnError(f"coordinates from {box.minimum} to {box.maximum} do not fit PDB's "
                          f"columns")
    header = st.make_pdb_headers().splitlines()
    head = header[0] if header and header[0].startswith("HEADER") else \
        f"HEADER    {'':40}{'':9}   {st.name[:4].upper():4}"
    with tempfile.TemporaryDirectory() as d:
        tmp = os.path.join(d, "st.pdb")
        st.write_minimal_pdb(tmp)
        with open(tmp, encoding="utf-8") as f:
            body = f.read()
    return head.ljust(80).rstrip() + "\n" + body


def write_clean_pdb(st: gemmi.Structure, out: str | os.PathLike) -> None:
    """Writes ST (already cleaned) as the new file OUT (exclusive, atomic)."""
    write_new_text(out, pdb_text(st))


def prep(inp: str | os.PathLike, out: str | os.PathLike, model: int | None = None) -> str:
    """prep: INP in any format to a clean PDB file OUT; returns the account of what it did."""
    st, notes = read_structure(inp)
    try:
        c = clean(st, model)
        c.mse = selenomethionine_to_methionine(st)
        text = pdb_text(st)
    except ProtnnError as e:
        raise ProtnnError(f"{os.fspath(inp)}: {e}") from None
    write_new_text(out, text)
    return "; ".join([f"{os.fspath(inp)} -> {os.fspath(out)}: {describe(c)}"] + notes)
