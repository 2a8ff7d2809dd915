"""Structure files in any format gemmi reads, cut down to what the programs expect.

read_structure() takes PDB, mmCIF or mmJSON text, gzip-compressed or not (recognised by the
gzip magic bytes and the text itself, not by the file name).  clean() keeps one model, one
alternate location per residue (atoms without a label plus those with the first label met in
the residue: the rule of the example depth files), no hydrogens and no waters, and shortens
chain names that do not fit a PDB file.  write_clean_pdb() writes the result as a PDB file
that pairdist, atomdepth and mkdssp read: a HEADER line (mkdssp 4.2 reads a file as PDB only
when it begins with one, and takes it for mmCIF otherwise), CRYST1, the atom records, TER and
END.
"""

from __future__ import annotations

import gzip
import json
import os
import tempfile
import zlib
from dataclasses import dataclass, field

import gemmi

from . import ProtnnError
from .files import structure_id, write_new

# Columns 73-80 of a PDB atom record hold the segment id, the element and the charge; old files
# keep an id code and a line number there (4at1: "4AT1 438"), which gemmi 0.5.7 refuses as a
# charge.  The programs read columns 1-54 only, so such a file is read again without them.
_PDB_KEPT_COLUMNS = 72


@dataclass
class Cleaned:
    """What clean() kept and removed, for the one-line account that prep prints."""
    models: int = 1          # models in the file
    model: str = "1"         # name (number) of the model kept
    hydrogens: int = 0       # hydrogen and deuterium atoms removed
    waters: int = 0          # water residues removed
    altloc_atoms: int = 0    # atoms removed because another alternate location was kept
    renamed_chains: dict[str, str] = field(default_factory=dict)  # old -> new chain name


def _read_bytes(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None
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


def clean(st: gemmi.Structure, model: int | None = None) -> Cleaned:
    """Cuts ST in place to one model, one altloc, no hydrogens, no waters, PDB chain names."""
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
    before = m.count_atom_sites()
    st.remove_hydrogens()
    c.hydrogens = before - st[0].count_atom_sites()
    c.altloc_atoms = keep_first_altloc(st)
    st.remove_empty_chains()
    old = [ch.name for ch in st[0]]
    if any(len(n) > 1 for n in old):
        st.shorten_chain_names()
        c.renamed_chains = {o: ch.name for o, ch in zip(old, st[0]) if o != ch.name}
    if st[0].count_atom_sites() == 0:
        raise ProtnnError("no atoms left after removing hydrogens and waters")
    return c


def describe(c: Cleaned) -> str:
    """One line saying what clean() did."""
    parts = [f"model {c.model} of {c.models}" if c.models > 1 else "one model"]
    parts.append(f"{c.hydrogens} hydrogens, {c.waters} waters and {c.altloc_atoms} "
                 f"alternate-location atoms removed")
    if c.renamed_chains:
        parts.append("chains renamed " +
                     " ".join(f"{o}->{n}" for o, n in c.renamed_chains.items()))
    return "; ".join(parts)


def pdb_text(st: gemmi.Structure) -> str:
    """ST as PDB text: HEADER (the file's own when it had one), CRYST1, atoms, TER, END."""
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
    text = pdb_text(st)
    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    write_new(out, write)


def prep(inp: str | os.PathLike, out: str | os.PathLike, model: int | None = None) -> str:
    """prep: INP in any format to a clean PDB file OUT; returns the account of what it did."""
    st, notes = read_structure(inp)
    try:
        c = clean(st, model)
    except ProtnnError as e:
        raise ProtnnError(f"{os.fspath(inp)}: {e}") from None
    write_clean_pdb(st, out)
    return "; ".join([f"{os.fspath(inp)} -> {os.fspath(out)}: {describe(c)}"] + notes)
