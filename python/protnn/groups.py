"""Groups of structures by sequence, so that cross-validation never splits near-copies.

Every protein chain of a structure's first model (the polymer residues that the file holds, in
one-letter code, non-standard residues as X) is one sequence; exact duplicates are counted once.
The distinct sequences are clustered with MMseqs2 (`mmseqs easy-cluster`, Debian's mmseqs2):
`--min-seq-id` is the least sequence identity and `-c` the least alignment coverage of both
sequences (`--cov-mode 0`), so a fragment or a single domain of a longer chain joins it only
when it covers most of it.  Two structures share a group when any of their chains share a
cluster (union-find), so an entry, its chains and its models always form one group, and so do
homologues.  A group is named after its smallest structure id.

Choices of ours:
- Chains shorter than MIN_CLUSTERED residues are not given to MMseqs2, which finds no k-mer in
  them (and stops when no sequence at all is long enough); they join only identical chains.
- A structure without a protein chain (only nucleic acids or ligands) cannot be grouped by
  sequence: it is a failure of step `groups`, and the other structures go on.

The groups are written as a groups sheet (protnn.sheets), one row per structure.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass

from . import ProtnnError
from .failures import Failure, one_line
from .files import write_new_text
from .sheets import groups_text

MIN_CLUSTERED = 20         # residues: shorter chains are grouped by identity only
PEPTIDE_TYPES = ("PeptideL", "PeptideD")


@dataclass
class Chains:
    """The protein chain sequences of one structure, or why there are none."""
    id: str
    sequences: list[str]
    error: str = ""


def chain_sequences(path: str) -> list[str]:
    """One-letter sequences of the protein chains of the first model of the file PATH."""
    import gemmi
    from .structure import read_structure
    st, _ = read_structure(path)
    st.setup_entities()
    out = []
    for ch in st[0]:
        pol = ch.get_polymer()
        if len(pol) == 0 or pol.check_polymer_type().name not in PEPTIDE_TYPES:
            continue
        letters = []
        for r in pol:
            info = gemmi.find_tabulated_residue(r.name)
            code = info.one_letter_code.upper() if info is not None else " "
            letters.append(code if code.strip() else "X")
        out.append("".join(letters))
    return out


def _read_one(item: tuple[str, str]) -> Chains:
    i, path = item
    try:
        seqs = chain_sequences(path)
    except ProtnnError as e:
        return Chains(i, [], one_line(str(e)))
    except (RuntimeError, ValueError) as e:          # gemmi's own refusals
        return Chains(i, [], one_line(f"{path}: {e}"))
    if not seqs:
        return Chains(i, [], f"{path}: no protein chain (nothing to group by sequence)")
    return Chains(i, seqs)


def read_chains(structures: dict[str, str], jobs: int = 1) -> list[Chains]:
    """The chain sequences of every structure {id: path}, read by JOBS processes."""
    items = list(structures.items())
    if jobs <= 1 or len(items) < 2:
        return [_read_one(x) for x in items]
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(_read_one, items, chunksize=max(1, min(64, len(items) // jobs))))


def cluster(sequences: list[str], min_seq_id: float, coverage: float,
            jobs: int = 1) -> list[int]:
    """Cluster number of each of the distinct SEQUENCES (the index of its representative)."""
    label = list(range(len(sequences)))
    todo = [n for n, s in enumerate(sequences) if len(s) >= MIN_CLUSTERED]
    if len(todo) < 2:
        return label
    exe = shutil.which("mmseqs")
    if exe is None:
        raise ProtnnError("mmseqs (MMseqs2) not found: install Debian's mmseqs2")
    with tempfile.TemporaryDirectory(prefix="protnn-groups.") as d:
        fasta = os.path.join(d, "chains.fasta")
        with open(fasta, "w", encoding="ascii") as f:
            f.write("".join(f">{n}\n{sequences[n]}\n" for n in todo))
        cmd = [exe, "easy-cluster", fasta, os.path.join(d, "out"), os.path.join(d, "tmp"),
               "--min-seq-id", repr(min_seq_id), "-c", repr(coverage), "--cov-mode", "0",
               "--threads", str(max(1, jobs)), "-v", "1"]
        r = subprocess.run(cmd, capture_output=True, text=True)
        if r.returncode != 0:
            raise ProtnnError(f"mmseqs easy-cluster failed (status {r.returncode}): "
                              f"{one_line(r.stderr or r.stdout)}")
        with open(os.path.join(d, "out_cluster.tsv"), encoding="ascii") as f:
            for line in f:
                rep, member = line.split()
                label[int(member)] = int(rep)
    return label


def make_groups(chains: list[Chains], min_seq_id: float = 0.3, coverage: float = 0.8,
                jobs: int = 1) -> dict[str, str]:
    """{id: group} of the structures with protein chains (the others are left out)."""
    if not 0 < min_seq_id <= 1 or not 0 < coverage <= 1:
        raise ProtnnError(f"--min-seq-id {min_seq_id}, --coverage {coverage}: both must lie "
                          f"above 0 and at most 1")
    good = [c for c in chains if not c.error]
    index: dict[str, int] = {}                  # distinct sequence -> its number
    for c in good:
        for s in c.sequences:
            index.setdefault(s, len(index))
    label = cluster(list(index), min_seq_id, coverage, jobs)

    # Union-find over structures and clusters: node n < len(good) is structure n, node
    # len(good) + m is the cluster whose representative is sequence m.
    parent = list(range(len(good) + len(index)))

    def root(x: int) -> int:
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for n, c in enumerate(good):
        for s in c.sequences:
            a, b = root(n), root(len(good) + label[index[s]])
            if a != b:
                parent[max(a, b)] = min(a, b)
    name: dict[int, str] = {}
    for n, c in enumerate(good):
        r = root(n)
        if r not in name or c.id < name[r]:
            name[r] = c.id
    return {c.id: name[root(n)] for n, c in sorted(enumerate(good), key=lambda x: x[1].id)}


def write_groups(structures: dict[str, str], out: str, min_seq_id: float = 0.3,
                 coverage: float = 0.8, jobs: int = 1) -> tuple[dict[str, str], list[Failure]]:
    """groups: writes OUT for the structures {id: path}; returns the groups and the
    structures that could not be grouped."""
    chains = read_chains(structures, jobs)
    groups = make_groups(chains, min_seq_id, coverage, jobs)
    write_new_text(out, groups_text(groups))
    return groups, [Failure(c.id, "groups", c.error) for c in chains if c.error]
