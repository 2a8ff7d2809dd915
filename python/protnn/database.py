"""nntrain databases made from feature tables and a targets table, with k-fold list files.

Layout of a new database directory DBOUT (built aside and renamed into place when complete):
- db/<id>/<input type>: the feature tables (hard links, copies across file systems);
- db/<id>/<output>.target: the target of each output, scaled into [-0.9, 0.9], only for ids
  whose targets are all known;
- scaling.json: per output the affine map scaled = a * value + b, the original minimum and
  maximum, and the output order;
- fold<k>.db: nntrain's list file for fold k: the quoted absolute db directory, the input
  types, the output types, then the training ids; the last ones form nntrain's early-stopping
  test fold and are whole groups;
- fold<k>.ids: the ids held out by fold k (whole groups), predicted by fold k's networks;
- new.ids: ids without (all) targets, for prediction only (may be empty);
- groups.tsv: the group of every protein with targets (a groups sheet), the groups the folds
  and every network's early-stopping groups are cut along;
- folds.json: the record of the folds (protnn.folds).
This module is the only reader and writer of the database: besides making it, it reads its
scaling, list and ids files, targets (DatabaseRows.y) and input rows (DatabaseRows.x).
Choice of ours: the scaling uses every known target (held-out folds included), so that all
folds share one map.
"""

from __future__ import annotations

import json
import math
import os
import shutil
from dataclasses import dataclass

import numpy as np

from . import ProtnnError
from .files import NewDirectory, read_json, read_text
from .folds import FoldRecord, Folds, make_folds
from .sheets import TargetsTable, groups_text, read_groups, read_table

SCALED_LO, SCALED_HI = -0.9, 0.9
SCALE_TOLERANCE = 1e-9   # how far the map may take a target range's ends from -0.9 and 0.9
GROUPS_FILE = "groups.tsv"


@dataclass
class Scaling:
    """scaled = a * value + b, per output."""
    outputs: list[str]
    a: list[float]
    b: list[float]
    lo: list[float]           # original minimum and maximum of the known targets
    hi: list[float]

    def unscale(self, j: int, v: float) -> float:
        return (v - self.b[j]) / self.a[j]

    def unscale_sd(self, j: int, sd: float) -> float:
        return sd / abs(self.a[j])

    def to_json(self) -> str:
        return json.dumps({"outputs": self.outputs, "range": [SCALED_LO, SCALED_HI],
                           "formula": "scaled = a * value + b",
                           "maps": {o: {"a": self.a[j], "b": self.b[j], "min": self.lo[j],
                                        "max": self.hi[j]}
                                    for j, o in enumerate(self.outputs)}}, indent=2) + "\n"


def make_scaling(outputs: list[str], values: np.ndarray) -> Scaling:
    """The per-output map of the known VALUES (rows x outputs) onto [-0.9, 0.9]; a constant
    output is shifted to 0.  Refuses an output whose map is not finite or does not take its
    minimum and maximum to -0.9 and 0.9 within SCALE_TOLERANCE (a range too narrow for its
    magnitude, such as 1e17 to 1e17 + 16, or so narrow that the factor overflows)."""
    s = Scaling(list(outputs), [], [], [], [])
    for j, o in enumerate(outputs):
        col = values[:, j]
        lo, hi = float(col.min()), float(col.max())
        with np.errstate(all="ignore"):
            a = (SCALED_HI - SCALED_LO) / (hi - lo) if hi > lo else 1.0
            b = SCALED_LO - a * lo if hi > lo else -lo
            ends = (a * lo + b, a * hi + b)
        want = (SCALED_LO, SCALED_HI) if hi > lo else (0.0, 0.0)
        if not (math.isfinite(a) and a > 0 and math.isfinite(b) and
                all(abs(e - w) <= SCALE_TOLERANCE for e, w in zip(ends, want))):
            raise ProtnnError(f"{o}: the targets from {lo!r} to {hi!r} cannot be scaled into "
                              f"[{SCALED_LO}, {SCALED_HI}] exactly (the map gives {ends[0]!r} "
                              f"and {ends[1]!r}); shift or rescale this column")
        s.a.append(a)
        s.b.append(b)
        s.lo.append(lo)
        s.hi.append(hi)
    return s


def output_map(m: object) -> tuple[float, float, float, float]:
    """(a, b, min, max) of one output's map as scaling.json and model.json hold it: finite
    numbers (JSON numbers, not strings or booleans), a above 0.  A ValueError names the key."""
    if not isinstance(m, dict):
        raise ValueError(f": an object {{a, b, min, max}} expected, found {json.dumps(m)}")
    values = []
    for k in ("a", "b", "min", "max"):
        v = m.get(k)
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v) \
                or (k == "a" and v <= 0):
            raise ValueError(f".{k}: a finite number{' above 0' if k == 'a' else ''} "
                             f"expected, found {json.dumps(v)}")
        values.append(float(v))
    return values[0], values[1], values[2], values[3]


def read_scaling(dbout: str) -> Scaling:
    path = os.path.join(dbout, "scaling.json")
    d = read_json(path, "a scaling file of protnn db")
    try:
        outs = list(d["outputs"])
        s = Scaling(outs, [], [], [], [])
        for o in outs:
            try:
                a, b, lo, hi = output_map(d["maps"][o])
            except ValueError as e:
                raise ValueError(f"maps.{o}{e}") from None
            s.a.append(a)
            s.b.append(b)
            s.lo.append(lo)
            s.hi.append(hi)
        return s
    except (ValueError, KeyError, TypeError) as e:
        raise ProtnnError(f"{path}: not a scaling file of protnn db ({e})") from None


def _link(src: str, dst: str) -> None:
    try:
        os.link(src, dst)
    except OSError:
        shutil.copyfile(src, dst)


def _list_text(dbdir: str, inputs: list[str], targets: list[str], ids: list[str]) -> str:
    return "\n".join([f'"{dbdir}"', " ".join(inputs), " ".join(targets), *ids]) + "\n"


def _check_settings(k: int, test_share: float, inputs: list[str]) -> None:
    if k < 2:
        raise ProtnnError(f"--folds {k}: at least 2 folds are needed")
    if not 0 < test_share < 1:
        raise ProtnnError(f"--test-share {test_share}: must lie between 0 and 1")
    if len(set(inputs)) != len(inputs) or any(not i or "/" in i or " " in i for i in inputs):
        raise ProtnnError(f"--inputs {','.join(inputs)}: names must be distinct, without "
                          f"blanks or slashes")


def _training_table(table_path: str, groups_path: str | None,
                    exclude: set[str] | None) -> TargetsTable:
    """The targets table without the EXCLUDE ids, with the groups of GROUPS_PATH when given."""
    table = read_table(table_path)
    if exclude:
        keep = [r for r, i in enumerate(table.ids) if i not in exclude]
        table = TargetsTable(table.path, [table.ids[r] for r in keep], table.outputs,
                             table.values[keep], [table.groups[r] for r in keep],
                             table.has_groups)
    if groups_path is not None:
        sheet = read_groups(groups_path)
        table.groups = [sheet.get(i, i) for i in table.ids]
        table.has_groups = True
    return table


def make_database(features: str, table_path: str, out: str, k: int = 5, seed: int = 1,
                  inputs: list[str] | None = None, test_share: float = 0.15,
                  groups_path: str | None = None, exclude: set[str] | None = None) -> str:
    """db: writes the database directory OUT; returns a one-line summary.  GROUPS_PATH: a
    groups sheet (id, group) whose groups replace the table's group column; a protein it does
    not list is a group of its own.  EXCLUDE: ids of the table left out (structures that
    failed)."""
    inputs = inputs or ["pairdist.tab", "depth.tab"]
    _check_settings(k, test_share, inputs)
    table = _training_table(table_path, groups_path, exclude)
    for i in table.ids:
        for name in inputs:
            p = os.path.join(features, i, name)
            if not os.path.isfile(p):
                raise ProtnnError(f"{p}: missing (id {i} of {table_path} has no {name})")
    known = table.known()
    kids = [i for i, ok in zip(table.ids, known) if ok]
    kgroups = [g for g, ok in zip(table.groups, known) if ok]
    new = [i for i, ok in zip(table.ids, known) if not ok]
    if not kids:
        raise ProtnnError(f"{table_path}: no protein with all targets known")
    folds = make_folds(kids, kgroups, k, seed, test_share)
    try:
        scaling = make_scaling(table.outputs, table.values[known])
    except ProtnnError as e:
        raise ProtnnError(f"{table_path}: {e}") from None
    target_files = [f"{o}.target" for o in table.outputs]
    final_db = os.path.join(os.path.abspath(out), "db")
    with NewDirectory(out) as tmp:
        db = tmp / "db"
        db.mkdir()
        for r, i in enumerate(table.ids):
            d = db / i
            d.mkdir()
            for name in inputs:
                _link(os.path.join(features, i, name), str(d / name))
            if known[r]:
                for j, tf in enumerate(target_files):
                    v = scaling.a[j] * table.values[r, j] + scaling.b[j]
                    (d / tf).write_text(f"{v:.17g}\n", encoding="utf-8")
        (tmp / "scaling.json").write_text(scaling.to_json(), encoding="utf-8")
        records = []
        for f, fold in enumerate(folds, 1):
            (tmp / f"fold{f}.db").write_text(_list_text(final_db, inputs, target_files,
                                                         fold.train), encoding="utf-8")
            (tmp / f"fold{f}.ids").write_text("".join(i + "\n" for i in fold.held_out),
                                              encoding="utf-8")
            records.append(FoldRecord(f, f"fold{f}.db", f"fold{f}.ids", fold.f_value(),
                                      len(fold.train) - fold.early, fold.early,
                                      len(fold.held_out)))
        (tmp / "new.ids").write_text("".join(i + "\n" for i in new), encoding="utf-8")
        (tmp / GROUPS_FILE).write_text(groups_text(dict(zip(kids, kgroups))),
                                       encoding="utf-8")
        info = Folds(k, seed, test_share, tuple(inputs), tuple(table.outputs),
                     tuple(target_files), final_db, "new.ids", tuple(records))
        (tmp / "folds.json").write_text(info.to_json(), encoding="utf-8")
    return (f"{out}: {len(table.ids)} proteins ({len(kids)} with targets in "
            f"{len(set(kgroups))} groups, {len(new)} new), {k} folds, outputs "
            f"{' '.join(table.outputs)}")


def database_groups(dbout: str) -> dict[str, str]:
    """id -> group of the database's proteins with targets."""
    path = os.path.join(dbout, GROUPS_FILE)
    if not os.path.isfile(path):
        raise ProtnnError(f"{path}: missing (a database of an older protnn: make it again)")
    return read_groups(path)


def fold_training(dbout: str, fold: FoldRecord) -> list[str]:
    """The training ids of FOLD (its list file after the three header lines), early-stopping
    ids last."""
    return read_ids(os.path.join(dbout, fold.list))[3:]


def fold_held_out(dbout: str, fold: FoldRecord) -> list[str]:
    """The ids FOLD holds out (its networks predict them)."""
    return read_ids(os.path.join(dbout, fold.ids))


def read_ids(path: str) -> list[str]:
    """The ids of a list or ids file, one a line."""
    return [l.strip() for l in read_text(path).splitlines() if l.strip()]


def read_numbers(path: str) -> np.ndarray:
    """Every number of a data file, line by line (comment lines starting with # skipped), as
    nntrain reads an input or target file."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise ProtnnError(f"{path}: cannot read: {getattr(e, 'strerror', None) or e}") from None
    if "#" in text:
        text = "\n".join(l for l in text.splitlines() if not l.lstrip().startswith("#"))
    words = text.replace(",", " ").replace("D", "E").replace("d", "e").split()
    try:
        v = np.array([float(w) for w in words])
    except ValueError:
        raise ProtnnError(f"{path}: expected numbers only") from None
    if not np.all(np.isfinite(v)):
        raise ProtnnError(f"{path}: a number that is not finite")
    return v


@dataclass
class DatabaseRows:
    """The proteins' input rows and targets of a database, read one protein at a time."""
    db: str                      # DBOUT/db
    inputs: list[str]
    outputs: list[str]
    widths: list[int]            # numbers per input file (those of the first protein read)
    scaling: Scaling

    def x(self, i: str) -> np.ndarray:
        """The inputs of protein I: every number of its input files, file by file."""
        parts = []
        for name, w in zip(self.inputs, self.widths):
            path = os.path.join(self.db, i, name)
            v = read_numbers(path)
            if len(v) != w:
                raise ProtnnError(f"{path}: {len(v)} numbers, the first protein's {name} has {w}")
            parts.append(v)
        return np.concatenate(parts)

    def y(self, i: str) -> np.ndarray:
        """The targets of protein I in the units of the targets table."""
        out = []
        for j, o in enumerate(self.outputs):
            path = os.path.join(self.db, i, f"{o}.target")
            v = read_numbers(path)
            if len(v) != 1:
                raise ProtnnError(f"{path}: expected one number")
            out.append(self.scaling.unscale(j, float(v[0])))
        return np.array(out)


def database_rows(dbout: str, info: Folds, first: str) -> DatabaseRows:
    """The reader of DBOUT's rows, the widths of the inputs taken from protein FIRST."""
    scaling = read_scaling(dbout)
    if list(info.outputs) != scaling.outputs:
        raise ProtnnError(f"{dbout}: folds.json and scaling.json name other outputs")
    db = os.path.join(dbout, "db")
    return DatabaseRows(db, list(info.inputs), scaling.outputs,
                        [len(read_numbers(os.path.join(db, first, name)))
                         for name in info.inputs], scaling)
