"""The targets table and the groups sheet: the only reader and writer of both formats.

Targets table: CSV, or tab-separated when the header line holds a tab; UTF-8, a byte-order mark
(spreadsheets' "CSV UTF-8") and CRLF line ends accepted.  A header `id,<output>,...` with an
optional `group` column, then one row per protein.  A target is a plain decimal number in ASCII
(`0.4186`, `-2`, `1.5e-3`): no digit separators (`1_000`), no digits of other scripts, no
infinities; an empty cell, and `NA` (what R writes for a missing value), is an unknown target.
Values are written with 4 decimals, like the shipped ss.target and rg.target files, unless
the writer is asked for every digit.

Output names obey the rules of ids (protnn.ids: they name files of the database).  A group
starting with `=`, `+`, `-` or `@` (a formula when a spreadsheet opens the tables that show it)
or holding a tab or line break is refused, in the targets table and in the groups sheet.

Groups sheet: a header with `sample` or `id` and `group` (examples/proteins/manifest.tsv is
one), one row per protein; an empty group is the protein's own.

This module imports no structure library, so that the database and the predictions can be
made on a machine (or in a job) without gemmi.
"""

from __future__ import annotations

import csv
import io
import math
import re
from dataclasses import dataclass

import numpy as np

from . import ProtnnError
from .files import write_new_text
from .ids import id_problem

UNKNOWN = ("", "NA")      # cells that hold no target
# A number as the table takes it: ASCII digits only (Python's float() also takes `1_000`,
# Arabic-Indic digits, `infinity` and blanks around the number).
_NUMBER = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")


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


def parse_target(cell: str, where: str) -> float:
    """The value of one table cell: NaN for an unknown target, else a finite plain number.
    WHERE names the cell ("t.csv:3: helix of 1a7g")."""
    if cell in UNKNOWN:
        return math.nan
    v = float(cell) if _NUMBER.fullmatch(cell) else math.nan
    if not math.isfinite(v):
        raise ProtnnError(f"{where} is not a number: '{cell}' (an unknown target is an "
                          f"empty cell or NA)")
    return v


def _cell(v: float, decimals: int | None) -> str:
    if not math.isfinite(v):
        return ""
    return repr(float(v)) if decimals is None else f"{v:.{decimals}f}"


def table_text(ids: list[str], outputs: list[str], values: np.ndarray,
               groups: list[str] | None = None, decimals: int | None = 4) -> str:
    """The CSV text of a targets table; DECIMALS None writes every digit (reads back exactly)."""
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(["id", *outputs] + (["group"] if groups is not None else []))
    for k, i in enumerate(ids):
        w.writerow([i, *(_cell(v, decimals) for v in values[k])] +
                   ([groups[k]] if groups is not None else []))
    return buf.getvalue()


def write_table(text: str, out: str | None) -> None:
    """TEXT as the new file OUT (exclusive, atomic), or on standard output when OUT is None."""
    if out is None:
        print(text, end="")
    else:
        write_new_text(out, text)


def groups_text(groups: dict[str, str]) -> str:
    """A groups sheet: tab-separated, header `id group`, one row per protein, sorted by id."""
    return "id\tgroup\n" + "".join(f"{i}\t{g}\n" for i, g in sorted(groups.items()))


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
    try:
        rows = list(csv.reader(lines, delimiter=delim))
    except csv.Error as e:
        raise ProtnnError(f"{path}: not a CSV table: {e}") from None
    header = [h.strip() for h in rows[0]]
    body = [(n, [c.strip() for c in r]) for n, r in enumerate(rows[1:], 2)
            if any(c.strip() for c in r)]
    return header, body


def _group(cell: str, id_: str, where: str) -> str:
    """The group of ID_ from its CELL (empty: the protein's own)."""
    if cell[:1] in ("=", "+", "-", "@") or any(c in cell for c in "\t\r\n"):
        raise ProtnnError(f"{where}: group {cell!r} of {id_}: a group must not start with "
                          f"= + - @ (a spreadsheet formula) or hold a tab or line break")
    return cell or id_


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
        out[r[ki]] = _group(r[gi], r[ki], f"{path}:{n}")
    return out


def read_table(path: str) -> TargetsTable:
    """Reads a targets table; refuses duplicate ids, empty ids and cells that are neither a
    number nor unknown."""
    header, body = _read_rows(path)
    if "id" not in header:
        raise ProtnnError(f"{path}:1: the header has no `id` column")
    if len(set(header)) != len(header):
        raise ProtnnError(f"{path}:1: a column name appears twice")
    outputs = [h for h in header if h not in ("id", "group")]
    if not outputs:
        raise ProtnnError(f"{path}:1: no target column besides id and group")
    for o in outputs:
        problem = id_problem(o, "output name")
        if problem:
            raise ProtnnError(f"{path}:1: column {header.index(o) + 1}: {problem}")
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
        groups.append(_group(r[gi], i, f"{path}:{n}") if gi is not None else i)
        for j, c in enumerate(oi):
            vals[k, j] = parse_target(r[c], f"{path}:{n}: {outputs[j]} of {i}")
    if not ids:
        raise ProtnnError(f"{path}: no rows")
    return TargetsTable(path, ids, outputs, vals, groups, gi is not None)
