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
- folds.json: K, seed, inputs, outputs and, per fold, its list and ids files (names relative
  to DBOUT), the `-f` value for nntrain and the counts (the dataclass Folds; this module is
  its only writer and reader: to_json(), read_folds()).
Choices of ours: the scaling uses every known target (held-out folds included), so that all
folds share one map; groups go to folds largest first, each to the fold with fewest proteins,
in an order drawn from the seed.
"""

from __future__ import annotations

import json
import math
import os
import re
import shutil
from dataclasses import asdict, dataclass

import numpy as np

from . import ProtnnError
from .files import NewDirectory, read_json
from .sheets import TargetsTable, read_groups, read_table

MIN_TRAINING = 20        # nntrain refuses a training list of fewer proteins
SCALED_LO, SCALED_HI = -0.9, 0.9
SCALE_TOLERANCE = 1e-9   # how far the map may take a target range's ends from -0.9 and 0.9


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


def read_scaling(dbout: str) -> Scaling:
    path = os.path.join(dbout, "scaling.json")
    d = read_json(path, "a scaling file of protnn db")
    try:
        outs = list(d["outputs"])
        s = Scaling(outs, [float(d["maps"][o]["a"]) for o in outs],
                    [float(d["maps"][o]["b"]) for o in outs],
                    [float(d["maps"][o]["min"]) for o in outs],
                    [float(d["maps"][o]["max"]) for o in outs])
        bad = next((o for o, a, b in zip(outs, s.a, s.b)
                    if not (math.isfinite(a) and a > 0 and math.isfinite(b))), None)
        if bad is not None:
            raise ValueError(f"the map of {bad} is not finite")
        return s
    except (ValueError, KeyError, TypeError) as e:
        raise ProtnnError(f"{path}: not a scaling file of protnn db ({e})") from None


def nint(v: float) -> int:
    """Nearest integer, halves away from zero (how nntrain rounds the test-fold size)."""
    return int(math.floor(abs(v) + 0.5)) * (1 if v >= 0 else -1)


@dataclass
class Fold:
    held_out: list[str]       # ids predicted by this fold's networks
    train: list[str]          # the list: training ids, early-stopping ids last
    early: int                # how many ids at the end form the early-stopping test fold

    def f_value(self) -> str:
        """The -f value whose nearest-integer share of the list is exactly `early`."""
        f = repr(self.early / len(self.train))
        assert nint(float(f) * len(self.train)) == self.early
        return f


def make_folds(ids: list[str], groups: list[str], k: int, seed: int,
               test_share: float) -> list[Fold]:
    """K folds of IDS whose held-out parts and early-stopping tails are whole groups."""
    rng = np.random.default_rng(seed)
    members: dict[str, list[str]] = {}
    for i, g in zip(ids, groups):
        members.setdefault(g, []).append(i)
    names = list(members)
    if len(names) < k:
        raise ProtnnError(f"{len(ids)} proteins with targets in {len(names)} groups: "
                          f"too few for {k} folds of whole groups")
    order = [names[i] for i in rng.permutation(len(names))]
    order.sort(key=lambda g: -len(members[g]))          # stable: largest groups first
    fold_of: dict[str, int] = {}
    sizes = [0] * k
    for g in order:
        f = min(range(k), key=lambda x: (sizes[x], x))
        fold_of[g] = f
        sizes[f] += len(members[g])
    position = {i: n for n, i in enumerate(ids)}
    folds = []
    for f in range(k):
        held = [i for i in ids if fold_of[groups[position[i]]] == f]
        rest = [g for g in names if fold_of[g] != f]
        n_train = sum(len(members[g]) for g in rest)
        want = max(1, nint(test_share * n_train))
        early: set[str] = set()
        taken = 0
        for gi in rng.permutation(len(rest)):
            g = rest[gi]
            if taken + len(members[g]) <= want:
                early.add(g)
                taken += len(members[g])
        if taken == 0:                     # every group is larger than the share: the smallest
            g = min(rest, key=lambda x: len(members[x]))
            early.add(g)
            taken = len(members[g])
        if taken >= n_train:
            raise ProtnnError(f"fold {f + 1}: no training protein left besides the "
                              f"early-stopping groups (use more proteins or groups)")
        body = [i for i in ids if groups[position[i]] in rest and groups[position[i]] not in early]
        tail = [i for i in ids if groups[position[i]] in early]
        if len(body) + len(tail) < MIN_TRAINING:
            raise ProtnnError(f"fold {f + 1} would train on {len(body) + len(tail)} proteins; "
                              f"nntrain needs at least {MIN_TRAINING} ({len(ids)} proteins "
                              f"with targets, {k} folds)")
        folds.append(Fold(held, body + tail, len(tail)))
    return folds


def _link(src: str, dst: str) -> None:
    try:
        os.link(src, dst)
    except OSError:
        shutil.copyfile(src, dst)


def _list_text(dbdir: str, inputs: list[str], targets: list[str], ids: list[str]) -> str:
    return "\n".join([f'"{dbdir}"', " ".join(inputs), " ".join(targets), *ids]) + "\n"


def make_database(features: str, table_path: str, out: str, k: int = 5, seed: int = 1,
                  inputs: list[str] | None = None, test_share: float = 0.15,
                  groups_path: str | None = None) -> str:
    """db: writes the database directory OUT; returns a one-line summary.  GROUPS_PATH: a
    groups sheet (id, group) whose groups replace the table's group column; a protein it does
    not list is a group of its own."""
    inputs = inputs or ["pairdist.tab", "depth.tab"]
    if k < 2:
        raise ProtnnError(f"--folds {k}: at least 2 folds are needed")
    if not 0 < test_share < 1:
        raise ProtnnError(f"--test-share {test_share}: must lie between 0 and 1")
    if len(set(inputs)) != len(inputs) or any(not i or "/" in i or " " in i for i in inputs):
        raise ProtnnError(f"--inputs {','.join(inputs)}: names must be distinct, without "
                          f"blanks or slashes")
    table: TargetsTable = read_table(table_path)
    if groups_path is not None:
        sheet = read_groups(groups_path)
        table.groups = [sheet.get(i, i) for i in table.ids]
        table.has_groups = True
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
        info = Folds(k, seed, test_share, tuple(inputs), tuple(table.outputs),
                     tuple(target_files), final_db, "new.ids", tuple(records))
        (tmp / "folds.json").write_text(info.to_json(), encoding="utf-8")
    return (f"{out}: {len(table.ids)} proteins ({len(kids)} with targets in "
            f"{len(set(kgroups))} groups, {len(new)} new), {k} folds, outputs "
            f"{' '.join(table.outputs)}")


@dataclass(frozen=True)
class FoldRecord:
    """One fold of folds.json."""
    fold: int                 # 1 .. k
    list: str                 # nntrain's list file (name in DBOUT): training ids
    ids: str                  # the held-out ids (name in DBOUT)
    f: str                    # nntrain's -f value for this list
    train: int                # training ids before the early-stopping tail
    early_stop: int           # ids of the early-stopping tail
    held_out: int             # ids held out


@dataclass(frozen=True)
class Folds:
    """folds.json: what protnn db made."""
    k: int
    seed: int
    test_share: float
    inputs: tuple[str, ...]   # input types, in nntrain's order
    outputs: tuple[str, ...]
    targets: tuple[str, ...]  # <output>.target, in the order of outputs
    db: str                   # the absolute db directory when the database was made
    new: str                  # name in DBOUT of the ids without (all) targets
    folds: tuple[FoldRecord, ...]

    def to_json(self) -> str:
        return json.dumps(asdict(self), indent=2) + "\n"


_PLAIN_FILE = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*")     # a file name in DBOUT


def _folds_from_dict(d: dict) -> Folds:
    """Folds of the JSON object D; ValueError naming the first value that is not as db
    writes it."""
    def get(obj, key: str, kind, where: str = ""):
        v = obj.get(key) if isinstance(obj, dict) else None
        if not isinstance(v, kind) or isinstance(v, bool):
            raise ValueError(f"{where}{key}: {json.dumps(v)}")
        return v

    def name(obj, key: str, where: str = "") -> str:
        v = get(obj, key, str, where)
        if not _PLAIN_FILE.fullmatch(v):
            raise ValueError(f"{where}{key}: {json.dumps(v)} is not a file name")
        return v

    def words(key: str) -> tuple[str, ...]:
        v = get(d, key, list)
        if not v or not all(isinstance(x, str) and x.strip() == x and x for x in v):
            raise ValueError(f"{key}: {json.dumps(v)}")
        return tuple(v)
    records = []
    for n, r in enumerate(get(d, "folds", list), 1):
        w = f"folds[{n}]."
        rec = FoldRecord(get(r, "fold", int, w), name(r, "list", w), name(r, "ids", w),
                         get(r, "f", str, w), get(r, "train", int, w),
                         get(r, "early_stop", int, w), get(r, "held_out", int, w))
        try:
            share = float(rec.f)
        except ValueError:
            share = math.nan
        if rec.fold != n or not 0 < share < 1 or min(rec.train, rec.early_stop) < 1 or \
                rec.held_out < 0:
            raise ValueError(f"folds[{n}]: {json.dumps(r)}")
        records.append(rec)
    folds = Folds(get(d, "k", int), get(d, "seed", int), get(d, "test_share", (int, float)),
                  words("inputs"), words("outputs"), words("targets"), get(d, "db", str),
                  name(d, "new"), tuple(records))
    if folds.k < 2 or folds.k != len(records) or len(folds.targets) != len(folds.outputs):
        raise ValueError(f"k {folds.k} with {len(records)} folds, {len(folds.outputs)} "
                         f"outputs with {len(folds.targets)} targets")
    return folds


def read_folds(dbout: str) -> Folds:
    """DBOUT/folds.json, checked."""
    path = os.path.join(dbout, "folds.json")
    try:
        return _folds_from_dict(read_json(path, "a folds file of protnn db"))
    except ValueError as e:
        raise ProtnnError(f"{path}: not a folds file of protnn db ({e})") from None


FOLD_COLUMNS = ("fold", "f", "train", "early_stop", "held_out", "list", "ids")


def folds_text(info: Folds) -> str:
    """protnn folds: a tab-separated table of the folds (FOLD_COLUMNS, header first)."""
    rows = ["\t".join(FOLD_COLUMNS)]
    rows += ["\t".join(str(getattr(f, c)) for c in FOLD_COLUMNS) for f in info.folds]
    return "\n".join(rows) + "\n"


def fold_training(dbout: str, fold: FoldRecord) -> list[str]:
    """The training ids of FOLD (its list file after the three header lines), early-stopping
    ids last."""
    return read_ids(os.path.join(dbout, fold.list))[3:]


def fold_held_out(dbout: str, fold: FoldRecord) -> list[str]:
    """The ids FOLD holds out (its networks predict them)."""
    return read_ids(os.path.join(dbout, fold.ids))


def read_ids(path: str) -> list[str]:
    try:
        with open(path, encoding="utf-8") as f:
            return [l.strip() for l in f if l.strip()]
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None
