"""nntrain's text output: prediction lines and training logs, read by one number parser.

Numbers come in the styles the programs write: fixed (0.2620), exponent with E or D
(0.1699E-01, 0.1283D+00), exponent of three digits without the letter (0.1234+100, for
magnitudes beyond 1e99), and NaN.  Prediction lines (standard output of nntrain -wf/-aw with
-pr1/-prl): the identifier, then output and target (one network) or mean, deviation and
target (-aw), one line per output value, the outputs of one protein on consecutive lines.
Training log (*.wei.fort.15): a title line, "Options:", "Weights file:", "# Random Seed:",
"INS/OUTS:", "# DB: nip,nop,ntotp =", one line per epoch (I10 then F11.4 training and test
error), and "Min error at <epoch>: training, <err>; overfit, <err>" for the kept epoch.
Lines of other kinds in a log are kept as notes, not refused.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field

import numpy as np

from . import ProtnnError

_REAL = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)(([EeDd][+-]?|[+-])\d+)?")


def parse_real(word: str, where: str) -> float:
    """The value of one number WORD as nntrain writes it; WHERE names file and line."""
    w = word.strip()
    if w.lower() in ("nan", "+nan", "-nan"):
        return math.nan
    if w.lower() in ("inf", "+inf", "infinity", "+infinity"):
        return math.inf
    if w.lower() in ("-inf", "-infinity"):
        return -math.inf
    m = _REAL.fullmatch(w)
    if not m:
        raise ProtnnError(f"{where}: expected a number, found '{word}'")
    mant, exp = m.group(1), m.group(2)
    sign = "-" if w.startswith("-") else ""
    if exp:
        exp = exp.lstrip("EeDd")
        return float(f"{sign}{mant}e{exp}")
    return float(sign + mant)


@dataclass
class Prediction:
    """One prediction line: a protein, the output's place among its outputs, the values."""
    id: str
    index: int               # 0-based position of this output among the protein's lines
    mean: float              # network output (one network) or mean over the networks
    sd: float                # deviation over the networks; 0 for one network
    target: float            # the target nntrain read (NaN when the protein had none)


def parse_predictions(text: str, where: str, outputs: int) -> list[Prediction]:
    """Prediction lines of one nntrain run; OUTPUTS = output values per protein.  Refuses a
    protein with another number of lines (the run of a network with another number of outputs)
    and a protein listed twice."""
    lines = [(n, l) for n, l in enumerate(text.splitlines(), 1) if l.strip()]
    if not lines:
        raise ProtnnError(f"{where}: no prediction lines")
    width = len(lines[0][1].split())
    if width not in (3, 4):
        raise ProtnnError(f"{where}:{lines[0][0]}: expected an identifier and 2 or 3 numbers")
    preds: list[Prediction] = []
    first: dict[str, int] = {}       # id -> line of its first prediction
    for n, line in lines:
        words = line.split()
        if len(words) != width:
            raise ProtnnError(f"{where}:{n}: expected {width} words like the first line, "
                              f"found {len(words)}")
        vals = [parse_real(w, f"{where}:{n}") for w in words[1:]]
        pid = words[0]
        idx = preds[-1].index + 1 if preds and preds[-1].id == pid else 0
        if idx and preds[-1].index + 1 >= outputs:
            raise ProtnnError(f"{where}:{n}: protein {pid} has more than {outputs} line(s): "
                              f"predictions of another number of outputs, or a repeated id")
        if idx == 0 and preds and preds[-1].index + 1 != outputs:
            raise ProtnnError(f"{where}:{n}: protein {preds[-1].id} has {preds[-1].index + 1} "
                              f"lines, expected {outputs}")
        if idx == 0 and pid in first:
            raise ProtnnError(f"{where}:{n}: protein {pid} listed again (first on line "
                              f"{first[pid]})")
        first.setdefault(pid, n)
        if width == 3:
            preds.append(Prediction(pid, idx, vals[0], 0.0, vals[1]))
        else:
            preds.append(Prediction(pid, idx, vals[0], vals[1], vals[2]))
    if preds[-1].index + 1 != outputs:
        raise ProtnnError(f"{where}: last protein {preds[-1].id} has {preds[-1].index + 1} "
                          f"lines, expected {outputs}")
    return preds


@dataclass
class TrainingLog:
    """One training log (*.wei.fort.15)."""
    path: str
    options: str = ""                  # the option record
    weights: str = ""                  # name of the weight file
    seed: int | None = None
    nip: int | None = None             # inputs, outputs and proteins of the database
    nop: int | None = None
    ntotp: int | None = None
    epochs: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=int))
    train: np.ndarray = field(default_factory=lambda: np.zeros(0))   # training-fold error
    test: np.ndarray = field(default_factory=lambda: np.zeros(0))    # test-fold error
    best_epoch: int | None = None      # kept epoch, from the result line
    best_train: float = math.nan
    best_test: float = math.nan
    notes: list[str] = field(default_factory=list)   # lines of no known kind

    def kept_epoch(self) -> int | None:
        """The kept epoch: the result line's, or else the rule of training (epoch 1, then
        every strictly lower test error) applied to the epoch lines."""
        if self.best_epoch is not None:
            return self.best_epoch
        if len(self.epochs) == 0:
            return None
        best, kept = self.test[0], int(self.epochs[0])
        for e, t in zip(self.epochs[1:], self.test[1:]):
            if t < best:
                best, kept = t, int(e)
        return kept


_EPOCH = re.compile(r"\s*\d+\s*\S")
_RESULT = re.compile(r"Min error at\s*(\d+): training,\s*(\S+); overfit,\s*(\S+)\s*$")


def _field(text: str, where: str) -> float:
    # F11.4 fills a field that is too narrow with asterisks.
    t = text.strip()
    if t and set(t) == {"*"}:
        return math.inf
    return parse_real(t, where)


def parse_log(text: str, where: str) -> TrainingLog:
    """Reads a training log; WHERE names it in messages."""
    log = TrainingLog(path=where)
    ep: list[int] = []
    tr: list[float] = []
    te: list[float] = []
    lines = text.splitlines()
    for n, raw in enumerate(lines, 1):
        line = raw.rstrip()
        s = line.strip()
        at = f"{where}:{n}"
        if n == 1 or not s:
            continue
        if s.startswith("Options:"):
            log.options = s[len("Options:"):].strip()
        elif s.startswith("Weights file:"):
            log.weights = s[len("Weights file:"):].strip()
        elif s.startswith("# Random Seed:"):
            log.seed = int(parse_real(s.split(":", 1)[1], at))
        elif s.startswith("# DB:"):
            nums = s.split("=", 1)[1].split()
            if len(nums) != 3:
                raise ProtnnError(f"{at}: expected nip, nop and ntotp")
            log.nip, log.nop, log.ntotp = (int(parse_real(x, at)) for x in nums)
        elif (m := _RESULT.search(s)):
            log.best_epoch = int(m.group(1))
            log.best_train = parse_real(m.group(2), at)
            log.best_test = parse_real(m.group(3), at)
        elif _EPOCH.match(line) and not s.startswith("INS/OUTS"):
            if len(line) >= 32 and line[:10].strip().isdigit():
                e, a, b = line[:10], line[10:21], line[21:32]
            else:
                words = s.split()
                if len(words) != 3:
                    raise ProtnnError(f"{at}: expected an epoch line (epoch, training error, "
                                      f"test error)")
                e, a, b = words
            ep.append(int(e))
            tr.append(_field(a, at))
            te.append(_field(b, at))
        elif "INS/OUTS" not in s:
            log.notes.append(s)
    if log.options == "" and log.nip is None and not ep:
        raise ProtnnError(f"{where}: not a training log (no options, database or epoch lines)")
    log.epochs = np.array(ep, dtype=int)
    log.train = np.array(tr, dtype=float)
    log.test = np.array(te, dtype=float)
    return log

