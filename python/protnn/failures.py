"""Structures that could not be used: the table `failed.tsv` (`id step message`, tab-separated).

A run over a collection goes on when one structure fails; each such structure is one row: its
id, the step that failed (prep, pairdist, atomdepth, depthdist, targets, groups, id, ...) and
the failing program's one-line message.  This module is the only reader and writer of the
table.
"""

from __future__ import annotations

from dataclasses import dataclass

from . import ProtnnError
from .files import read_text, write_new_text

HEADER = ("id", "step", "message")

# Status of a command that wrote what it could but left out some structures (protnn targets,
# groups, predict): not 0, not a usage error (2), not a plain refusal (1).
SOME_FAILED = 3


@dataclass(frozen=True)
class Failure:
    id: str
    step: str
    message: str


def one_line(text: str) -> str:
    """TEXT as one table cell: its last non-empty line (a program's own message comes last),
    tabs and other blanks as single spaces."""
    lines = [l.strip() for l in str(text).splitlines() if l.strip()]
    return " ".join((lines[-1] if lines else "").split()) or "(no message)"


def failures_text(rows: list[Failure]) -> str:
    out = ["\t".join(HEADER)]
    for r in rows:
        out.append("\t".join((" ".join(r.id.split()), " ".join(r.step.split()),
                              one_line(r.message))))
    return "\n".join(out) + "\n"


def write_failures(path: str, rows: list[Failure]) -> None:
    """Writes the new file PATH (exclusive, atomic), header and one row per failure."""
    write_new_text(path, failures_text(rows))


def read_failures(path: str) -> list[Failure]:
    lines = read_text(path).splitlines()
    if not lines or tuple(lines[0].split("\t")) != HEADER:
        raise ProtnnError(f"{path}:1: expected the header {' '.join(HEADER)} (tab-separated)")
    rows = []
    for n, line in enumerate(lines[1:], 2):
        cells = line.split("\t")
        if len(cells) != 3 or not cells[0]:
            raise ProtnnError(f"{path}:{n}: expected 3 tab-separated cells (id step message)")
        rows.append(Failure(*cells))
    return rows
