"""Cross-validation folds of whole groups, and folds.json, the record of them.

A fold holds out whole groups (make_folds: groups go to folds largest first, each to the
fold with fewest proteins, in an order drawn from the seed); its training list ends with the
early-stopping tail nntrain tests on, whole groups too, about test_share of the list
(early_stopping_tail); network_list() gives each network its own early-stopping groups
drawn from the same training proteins.  inner_parts() cuts the training proteins of every
fold into the parts of an inner cross-validation (ridge's): the other folds' held-out
groups, or with 2 folds random parts of the other fold.

folds.json (the dataclasses Folds and FoldRecord, written by protnn db): K, seed, inputs,
outputs and, per fold, its list and ids files (names relative to the database folder), the
`-f` value for nntrain and the counts.  This module is its only writer and reader.
"""

from __future__ import annotations

import json
import math
import os
import re
from dataclasses import asdict, dataclass

import numpy as np

from . import ProtnnError
from .files import read_json

MIN_TRAINING = 20        # nntrain refuses a training list of fewer proteins
INNER = 5                # inner parts of a fold's training proteins when there are 2 folds


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


def assign_groups(members: dict[str, list[str]], k: int,
                  rng: np.random.Generator) -> dict[str, int]:
    """The fold (0 .. K-1) of every group of MEMBERS (group -> ids): largest groups first,
    ties in an order drawn from RNG, each to the fold that has the fewest proteins so far."""
    names = list(members)
    order = [names[i] for i in rng.permutation(len(names))]
    order.sort(key=lambda g: -len(members[g]))          # stable: largest groups first
    fold_of: dict[str, int] = {}
    sizes = [0] * k
    for g in order:
        f = min(range(k), key=lambda x: (sizes[x], x))
        fold_of[g] = f
        sizes[f] += len(members[g])
    return fold_of


def early_stopping_tail(rest: list[str], members: dict[str, list[str]], test_share: float,
                        rng: np.random.Generator) -> set[str]:
    """The groups of REST (a fold's training groups) that form its early-stopping tail: in an
    order drawn from RNG, each group that still fits into test_share of the training proteins;
    the smallest group when none fits."""
    n_train = sum(len(members[g]) for g in rest)
    want = max(1, nint(test_share * n_train))
    early: set[str] = set()
    taken = 0
    for gi in rng.permutation(len(rest)):
        g = rest[gi]
        if taken + len(members[g]) <= want:
            early.add(g)
            taken += len(members[g])
    if taken == 0:                         # every group is larger than the share: the smallest
        early.add(min(rest, key=lambda x: len(members[x])))
    return early


def network_list(train: list[str], early: int, group_of: dict[str, str], seed: int) -> Fold:
    """One network's own list: the fold's training ids TRAIN in their order, with whole groups
    of about EARLY proteins drawn with the network's SEED (groups in their order of first
    appearance) moved last, as that network's early-stopping groups.  Networks of one fold
    that stop on different groups make errors of their own, which their mean averages out.
    A protein GROUP_OF does not name is a group of its own."""
    members: dict[str, list[str]] = {}
    for i in train:
        members.setdefault(group_of.get(i, i), []).append(i)
    tail = early_stopping_tail(list(members), members, early / len(train),
                               np.random.default_rng(seed))
    body = [i for i in train if group_of.get(i, i) not in tail]
    last = [i for i in train if group_of.get(i, i) in tail]
    if not body:
        raise ProtnnError(f"seed {seed}: no training protein left besides the early-stopping "
                          f"groups (use more proteins or groups)")
    return Fold([], body + last, len(last))


def make_folds(ids: list[str], groups: list[str], k: int, seed: int,
               test_share: float) -> list[Fold]:
    """K folds of IDS whose held-out parts and early-stopping tails are whole groups."""
    rng = np.random.default_rng(seed)
    members: dict[str, list[str]] = {}
    for i, g in zip(ids, groups):
        members.setdefault(g, []).append(i)
    if len(members) < k:
        raise ProtnnError(f"{len(ids)} proteins with targets in {len(members)} groups: "
                          f"too few for {k} folds of whole groups")
    fold_of = assign_groups(members, k, rng)
    group_of = dict(zip(ids, groups))
    folds = []
    for f in range(k):
        held = [i for i in ids if fold_of[group_of[i]] == f]
        rest = [g for g in members if fold_of[g] != f]
        early = early_stopping_tail(rest, members, test_share, rng)
        body = [i for i in ids if fold_of[group_of[i]] != f and group_of[i] not in early]
        tail = [i for i in ids if group_of[i] in early]
        if not body:
            raise ProtnnError(f"fold {f + 1}: no training protein left besides the "
                              f"early-stopping groups (use more proteins or groups)")
        if len(body) + len(tail) < MIN_TRAINING:
            raise ProtnnError(f"fold {f + 1} would train on {len(body) + len(tail)} proteins; "
                              f"nntrain needs at least {MIN_TRAINING} ({len(ids)} proteins "
                              f"with targets, {k} folds)")
        folds.append(Fold(held, body + tail, len(tail)))
    return folds


def inner_parts(held: list[list[str]],
                seed: int) -> tuple[list[list[str]], list[int]]:
    """The parts of the inner cross-validation of every fold, from each fold's held-out ids
    HELD: every fold's held-out ids are one part, or, with 2 folds, INNER random parts (seeded
    by SEED: no groups are known here).  Returns the parts and the fold each came from; the
    training proteins of fold k are the parts of the other folds."""
    parts, fold_of = [], []
    rng = np.random.default_rng(seed)
    for k, h in enumerate(held):
        cut = INNER if len(held) == 2 else 1
        order = rng.permutation(len(h)) if cut > 1 else np.arange(len(h))
        for c in range(cut):
            ids = [h[x] for x in order[c::cut]]
            if ids:
                parts.append(ids)
                fold_of.append(k)
    return parts, fold_of


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



