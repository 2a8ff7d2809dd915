"""Labelled predictions: nntrain's prediction lines with output names, in target units.

collect() turns the standard output of one nntrain prediction run (one network, or -aw over
several) into a TSV file with the header `id output mean sd target` (and `role` when one is
given): the output names and the affine maps come from the database's scaling.json, which
both values and deviations are taken back through; the target is the targets table's value
when a table is given, otherwise nntrain's (unscaled), and empty when unknown (nntrain gives
NaN for a protein without target files).  Several such files concatenate, header once, into
a predictions table with the header `id output mean sd target role` (merge()).  A prediction file
that does not belong to the database is refused: another number of lines per protein than
the database has outputs, a protein listed twice, a protein the database does not hold.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass

from . import ProtnnError
from .database import read_scaling
from .files import write_new_text
from .files import read_text
from .nnfiles import parse_predictions
from .sheets import read_table

HEADER = ["id", "output", "mean", "sd", "target"]


def header_line(target: bool = True, role: bool = False) -> str:
    """The first line of a predictions table (no newline): `id output mean sd`, then `target`
    (protnn predict leaves it out), then `role`."""
    return "\t".join(HEADER[:4] + HEADER[4:] * target + ["role"] * role)


def number(v: float) -> str:
    """A number as every table of protnn writes it: 6 significant digits, empty when unknown."""
    return "" if not math.isfinite(v) else f"{v:.6g}"


def prediction_line(id_: str, output: str, mean: float, sd: float,
                    target: float | None = None, role: str | None = None) -> str:
    """One row of a predictions table (no newline); TARGET and ROLE None leave the column
    out, a NaN target or sd leaves the cell empty."""
    cells = [id_, output, number(mean), number(sd)]
    if target is not None:
        cells.append(number(target))
    if role is not None:
        cells.append(role)
    return "\t".join(cells)


def write_predictions(path: str, lines: list[str], target: bool = True,
                      role: bool = False) -> None:
    """Writes the new file PATH: the header, then LINES (prediction_line's)."""
    write_new_text(path, "\n".join([header_line(target, role), *lines]) + "\n")


def _database_ids(dbout: str) -> set[str]:
    """The proteins of the database DBOUT (its directories DBOUT/db/<id>)."""
    try:
        return set(os.listdir(os.path.join(dbout, "db")))
    except OSError as e:
        raise ProtnnError(f"{dbout}/db: cannot read: {e.strerror}") from None


def target_lookup(table: str, outputs: list[str]) -> dict[tuple[str, str], float]:
    """(id, output) -> target of the targets table TABLE, which must have every output."""
    t = read_table(table)
    missing = [o for o in outputs if o not in t.outputs]
    if missing:
        raise ProtnnError(f"{table}: no column {missing[0]} (an output of the predictions)")
    return {(i, o): float(t.values[r, j]) for r, i in enumerate(t.ids)
            for j, o in enumerate(t.outputs)}


def collect(pred_path: str, dbout: str, out: str, table: str | None = None,
            role: str | None = None) -> int:
    """collect: writes OUT from the prediction lines in PRED_PATH; returns the line count."""
    scaling = read_scaling(dbout)
    preds = parse_predictions(read_text(pred_path), pred_path, len(scaling.outputs))
    proteins = _database_ids(dbout)
    stranger = next((p.id for p in preds if p.id not in proteins), None)
    if stranger is not None:
        raise ProtnnError(f"{pred_path}: protein {stranger} is not in the database {dbout}")
    known = target_lookup(table, scaling.outputs) if table is not None else {}
    if role is not None and (not role or any(c.isspace() for c in role)):
        raise ProtnnError(f"--role '{role}': one word expected")
    rows = []
    for p in preds:
        o = scaling.outputs[p.index]
        mean = scaling.unscale(p.index, p.mean)
        sd = scaling.unscale_sd(p.index, p.sd)
        if table is not None:
            target = known.get((p.id, o), math.nan)
        else:
            target = scaling.unscale(p.index, p.target)
        rows.append(prediction_line(p.id, o, mean, sd, target, role))
    write_predictions(out, rows, role=role is not None)
    return len(preds)


def merge(paths: list[str], out: str) -> int:
    """Writes the new file OUT: the header of the files PATHS once, then the rows of each in
    order, as they are.  Refuses a file whose first line is not the predictions header (with
    or without role) or not the first file's.  Returns the number of rows."""
    header, body = "", []
    for path in paths:
        lines = read_text(path).splitlines(keepends=True)
        first = lines[0].rstrip("\r\n") if lines else ""
        allowed = [header] if header else [header_line(), header_line(role=True)]
        if first not in allowed:
            want = " or ".join(h.replace("\t", " ") for h in allowed)
            raise ProtnnError(f"{path}:1: expected the header {want}")
        header = first
        body += [l if l.endswith("\n") else l + "\n" for l in lines[1:] if l.strip()]
    if not header:
        raise ProtnnError("no predictions table to merge")
    write_new_text(out, header + "\n" + "".join(body))
    return len(body)


@dataclass
class Row:
    """One line of a predictions table."""
    id: str
    output: str
    mean: float
    sd: float
    target: float        # NaN when unknown
    role: str            # cv, new, ... ('' when the table has no role column)


def read_predictions(paths: list[str]) -> list[Row]:
    """Rows of one or more predictions tables (each with its own header)."""
    rows: list[Row] = []
    for path in paths:
        lines = read_text(path).splitlines()
        if not lines:
            raise ProtnnError(f"{path}: empty; expected the header {' '.join(HEADER)}")
        header = lines[0].rstrip("\r").split("\t")
        if header[:5] != HEADER:
            raise ProtnnError(f"{path}:1: expected the header {' '.join(HEADER)} [role]")
        for n, line in enumerate(lines[1:], 2):
            line = line.rstrip("\r")
            if not line.strip():
                continue
            c = line.split("\t")
            if c == header:
                continue                 # a header repeated by concatenation
            if len(c) != len(header):
                raise ProtnnError(f"{path}:{n}: {len(c)} cells, the header has {len(header)}")
            try:
                vals = [float(x) if x.strip() else math.nan for x in c[2:5]]
            except ValueError:
                raise ProtnnError(f"{path}:{n}: mean, sd and target must be numbers") from None
            if not math.isfinite(vals[0]):
                raise ProtnnError(f"{path}:{n}: no predicted value")
            role = c[5] if len(c) > 5 else ""
            rows.append(Row(c[0], c[1], vals[0], vals[1], vals[2], role))
    if not rows:
        raise ProtnnError(f"{paths[0]}: no predictions")
    return rows
