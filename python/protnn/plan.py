"""What the workflow plans before any job runs, as plain functions: the training set, the
batches of structures, the networks and their seeds, the nntrain words, the content stamps and
the run record.  workflow/rules/common.smk calls these and writes the stamps; nothing here
knows Snakemake.

Batches: the structures with all targets known (the training set) and the others are cut into
batches separately, each structure by a stable hash of its id (CRC32, the same in every
process), over a number of batches that is the set's size / batch_size rounded up to a power
of two.  Adding a structure changes one batch of its own set; a structure without targets
never touches the training set, so nothing is trained again for it.

Stamps: small files that hold what a step's result depends on (a batch's structures with
their sizes, times and sha256, the targets of the training proteins, each step's settings, the
model folder's content).  They are rewritten only when their content changes, so their times
tell Snakemake what is out of date.  Only the run that holds the output folder's lock
(run_lock) writes them; a dry run writes the stamps that would change into a scratch folder
of its own (Stamps), so that it shows what would run and changes nothing.
"""

from __future__ import annotations

import fcntl
import json
import math
import os
import re
import shlex
import shutil
import tempfile
import time
import zlib
from dataclasses import dataclass

from . import ProtnnError
from .failures import Failure
from .features import PROGRAMS as FEATURE_PROGRAMS
from .features import FeatureSettings, read_stamp, settings_from_dict, sha256_file
from .files import read_text
from .folds import make_folds
from .ids import structure_id
from .sheets import TargetsTable, table_text
from .stack import StackSettings
from .stack import settings_from_dict as stack_settings_from_dict

# What the database and the trainings hold besides their settings: a change here makes the
# ones of an older run stale (their stamps carry these).
DATABASE_LAYOUT = 2      # 2: the database keeps its proteins' groups (groups.tsv)
NETWORK_LISTS = "own early-stopping groups for every network, drawn with its seed"

# The switches that the workflow gives nntrain itself.
OWN_SWITCHES = ("-l", "-f", "-r", "-owf", "-wf", "-aw", "-pr1", "-prl", "-d")
# The training switches of nntrain that the setting may give: switch -> (whole number, least,
# least excluded, below this (None: no bound)).  nntrain reads a value word that starts with
# "-" as a switch, so no value is negative; a setting that would run no epoch, a network
# without nodes or a rate of 0 is refused too.
INT32_MAX = 2**31 - 1
VALUED_SWITCHES = {
    "-m": (True, 1, False, None),       # epochs at most
    "-mi": (True, 1, False, None),      # epochs without improvement before stopping
    "-h1": (True, 1, False, None),      # nodes of hidden layer 1
    "-h2": (True, 1, False, None),      # nodes of hidden layer 2
    "-np": (True, 0, False, None),      # proteins of the list used (0: all)
    "-u": (False, 0, True, None),       # learning rate
    "-a": (False, 0, True, None),       # activation parameter
    "-p": (False, 0, False, 1),         # momentum
}
FLAG_SWITCHES = ("-nsw", "-dd")
_INTEGER = re.compile(r"[+-]?[0-9]+")
_REAL = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")


def _is_switch(word: str) -> bool:
    return len(word) > 1 and word[0] == "-" and word[1].isalpha()


def _value_rule(switch: str) -> str:
    whole, least, above, below = VALUED_SWITCHES[switch]
    if whole:
        return f"a whole number from {least} to {INT32_MAX}"
    return (f"a number above {least}" if above else f"a number of at least {least}") + \
        (f" and below {below}" if below is not None else "")


def _value_ok(switch: str, word: str) -> bool:
    whole, least, above, below = VALUED_SWITCHES[switch]
    if whole:
        return bool(_INTEGER.fullmatch(word)) and least <= int(word) <= INT32_MAX
    if not _REAL.fullmatch(word):
        return False
    v = float(word)
    return math.isfinite(v) and (v > least if above else v >= least) and \
        (below is None or v < below)


def nntrain_words(text: str) -> list[str]:
    """The words of the nntrain setting, split like a shell line but never run by one: each
    word must be a switch or a number, none of the workflow's own switches, and every switch
    one of nntrain's training switches followed by a value in its range."""
    try:
        words = shlex.split(text)
    except ValueError as e:
        raise ProtnnError(f"config: nntrain '{text}': {e}") from None
    where = f"config: nntrain '{text}'"
    for w in words:
        if w in OWN_SWITCHES:
            raise ProtnnError(f"{where}: {w} is set by the workflow itself "
                              f"(it sets {' '.join(OWN_SWITCHES)}); leave it out")
        if not _is_switch(w):
            try:
                float(w)
            except ValueError:
                raise ProtnnError(f"{where}: '{w}' is neither a switch nor "
                                  f"a number") from None
    known = " ".join(list(VALUED_SWITCHES) + list(FLAG_SWITCHES))
    i = 0
    while i < len(words):
        w = words[i]
        if w in FLAG_SWITCHES:
            i += 1
            continue
        if w not in VALUED_SWITCHES:
            what = "not a training switch of nntrain" if _is_switch(w) else "a value after no switch"
            raise ProtnnError(f"{where}: '{w}' is {what} (the setting takes {known})")
        if i + 1 == len(words) or _is_switch(words[i + 1]):
            raise ProtnnError(f"{where}: {w} has no value (expected {_value_rule(w)})")
        if not _value_ok(w, words[i + 1]):
            raise ProtnnError(f"{where}: {w} {words[i + 1]}: expected {_value_rule(w)}")
        i += 2
    return words


_RULES = {"minimum": "at least {}", "exclusiveMinimum": "above {}", "maximum": "at most {}",
          "exclusiveMaximum": "below {}", "minLength": "not empty", "minItems": "not empty"}


def config_refusal(config: dict, schema_path: str) -> str | None:
    """The first setting of CONFIG that the schema SCHEMA_PATH (YAML) refuses, as one line
    naming the key, the value and the rule; None when it refuses none."""
    import jsonschema
    import yaml
    with open(schema_path, encoding="utf-8") as f:
        schema = yaml.safe_load(f)
    error = jsonschema.exceptions.best_match(
        jsonschema.Draft7Validator(schema).iter_errors(config))
    if error is None:
        return None
    if error.validator == "additionalProperties":
        unknown = sorted(set(error.instance) - set(error.schema.get("properties", {})))
        return f"config: unknown setting '{unknown[0]}' (config/config.yaml lists them)"
    if error.validator == "required":
        return f"config: {error.message.replace(' is a required property', '')} must be given"
    key = ".".join(str(p) for p in error.absolute_path)
    value = error.instance
    shown = value if isinstance(value, (int, float, str)) else json.dumps(value)
    rule = error.validator_value
    if error.validator in _RULES:
        text = _RULES[error.validator].format(rule)
    elif error.validator == "type":
        text = "a value of type " + " or ".join([rule] if isinstance(rule, str) else rule)
    elif error.validator == "enum":
        text = "one of " + ", ".join(map(str, rule))
    else:
        text = error.message
    return f"config: {key}={shown}: expected {text} ({os.path.basename(schema_path)})"


@dataclass
class TrainingSet:
    """The proteins of a training run: those of the table with all targets and a structure."""
    ids: list[str]                 # in the table's order
    rows: list[int]                # their rows in the table
    without_row: int               # structures the table does not list (predicted as new)


def training_set(table: TargetsTable, structures: dict[str, str], refused: list[Failure],
                 structures_name: str, table_name: str) -> TrainingSet:
    """Refuses a table that lists an id without a structure file (a refused file's id
    counts as present: it is reported in failed.tsv)."""
    gone = {structure_id(f.id) for f in refused} | {f.id for f in refused}
    nofile = [i for i in table.ids if i not in structures and i not in gone]
    if nofile:
        raise ProtnnError(f"{table_name}: {len(nofile)} id(s) without a structure file in "
                          f"{structures_name}: {' '.join(nofile[:10])}"
                          f"{' ...' if len(nofile) > 10 else ''}")
    known = table.known()
    rows = [r for r, i in enumerate(table.ids) if known[r] and i in structures]
    without = len(structures) - len(set(table.ids) & set(structures))
    return TrainingSet([table.ids[r] for r in rows], rows, without)


def check_folds(table: TargetsTable, train: TrainingSet, k: int, seed: int, test_share: float,
                table_name: str) -> None:
    """Refuses, before any feature is computed, a training set too small for K folds: the
    folds of protnn db made now, of the table's groups when it has a group column, else of
    every protein a group of its own (sequence groups, made later, can only be fewer)."""
    groups = [table.groups[r] for r in train.rows] if table.has_groups else list(train.ids)
    try:
        make_folds(train.ids, groups, k, seed, test_share)
    except ProtnnError as e:
        raise ProtnnError(f"{table_name}: {len(train.ids)} proteins with all targets and a "
                          f"structure file: {e}; use fewer folds or more proteins") from None


def training_targets_text(table: TargetsTable, rows: list[int]) -> str:
    """The stamp of the training targets: the table's rows ROWS with every digit."""
    return table_text([table.ids[r] for r in rows], table.outputs, table.values[rows],
                      [table.groups[r] for r in rows] if table.has_groups else None,
                      decimals=None)


def batches(kind: str, ids: list[str], batch_size: int) -> dict[str, list[str]]:
    """{batch name: [ids]} of one set: a stable hash of each id over a power-of-two count."""
    if not ids:
        return {}
    count = 1 << max(0, math.ceil(len(ids) / batch_size) - 1).bit_length()
    width = max(4, len(str(count - 1)))
    out: dict[str, list[str]] = {}
    for i in ids:
        b = zlib.crc32(i.encode("utf-8")) % count
        out.setdefault(f"{kind}-{b:0{width}d}", []).append(i)
    return dict(sorted(out.items()))


def batch_list_text(ids: list[str], structures: dict[str, str]) -> str:
    """A batch's list for protnn features: `id<TAB>absolute path` per structure."""
    return "".join(f"{i}\t{os.path.abspath(structures[i])}\n" for i in ids)


def batch_key_text(ids: list[str], structures: dict[str, str]) -> str:
    """A batch's key: its list with each file's size, modification time and sha256 (a copy
    that keeps size and time, `cp -p` or `touch -r`, is still another content)."""
    out = []
    for i in ids:
        st = os.stat(structures[i])
        out.append(f"{i}\t{os.path.abspath(structures[i])}\t{st.st_size}\t{st.st_mtime_ns}\t"
                   f"{sha256_file(structures[i])}\n")
    return "".join(out)


def to_compute(key: str, featdir: str, settings: FeatureSettings,
               programs: dict[str, str]) -> list[str]:
    """The structures of the batch key KEY (a path) whose features a batch job computes (for
    the progress line): no stamp in FEATDIR of the key's sha256, SETTINGS and the feature
    programs' sha256 of PROGRAMS (name -> sha256)."""
    want = {p: programs.get(p) for p in FEATURE_PROGRAMS}
    out = []
    for line in read_text(key).splitlines():
        cells = line.split("\t")
        made = read_stamp(os.path.join(featdir, cells[0]))
        if (made.get("structure_sha256"), made.get("settings"), made.get("programs_sha256")) \
                != (cells[-1], settings.to_dict(), want):
            out.append(cells[0])
    return out


def net_seed(seed: int, outputs: int, nets: int, k: int, o: int, n: int) -> int:
    """Network n of output o of fold k (all 1-based) has a seed of its own."""
    return seed + ((k - 1) * outputs + o - 1) * nets + n - 1


def networks(folds: int, outputs: list[str], nets: int, seed: int) -> list[dict]:
    """Every network of a run, fold by fold, output by output (the order of every -aw list):
    file, fold, output, net and seed."""
    return [{"file": f"fold{k}-{name}-net{n}.wei", "fold": k, "output": name, "net": n,
             "seed": net_seed(seed, len(outputs), nets, k, o, n)}
            for k in range(1, folds + 1) for o, name in enumerate(outputs, 1)
            for n in range(1, nets + 1)]


def as_json(value) -> str:
    """The text of a settings stamp."""
    return json.dumps(value, indent=1, sort_keys=True) + "\n"


def run_lock(out: str) -> object:
    """Takes the lock OUT/.lock of the one run that may write OUT's stamps, for the life of
    this process (the returned file; the system drops the lock when the process ends, however
    it ends); refuses with one line while another run holds it."""
    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, ".lock")
    f = open(path, "a+", encoding="utf-8")
    try:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        f.seek(0)
        holder = f.read().strip()
        f.close()
        raise ProtnnError(f"{out}: another run of the workflow is using this output folder"
                          f"{f' (process {holder})' if holder else ''}; wait for it to end, "
                          f"or give another out") from None
    f.truncate(0)
    f.write(f"{os.getpid()}\n")
    f.flush()
    return f


class Stamps:
    """Writes the stamps of a run: under their own names (write_stamp) for the run that holds
    the lock; for a dry run (DRY), a stamp whose content would change is written into a
    scratch folder instead, and its path there is the one the plan uses."""

    def __init__(self, dry: bool):
        self.scratch = tempfile.mkdtemp(prefix="protnn-dry-run.") if dry else None

    def write(self, path: str, text: str) -> str:
        """Returns the path that holds TEXT."""
        if self.scratch is None:
            write_stamp(path, text)
            return path
        if _holds(path, text):
            return path
        shadow = os.path.join(self.scratch, path.lstrip(os.sep))
        write_stamp(shadow, text)
        return shadow

    def close(self) -> None:
        if self.scratch:
            shutil.rmtree(self.scratch, ignore_errors=True)


def _holds(path: str, text: str) -> bool:
    try:
        with open(path, encoding="utf-8", newline="") as f:
            return f.read() == text
    except (FileNotFoundError, UnicodeDecodeError):
        return False


def write_stamp(path: str, text: str) -> None:
    """Writes TEXT to PATH unless PATH holds it already (whole: a new file renamed into
    place), so that its time changes only with its content."""
    if _holds(path, text):
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{os.getpid()}.tmp")
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    os.replace(tmp, path)


def progress_line(path: str, done: int, failed: int) -> str:
    """Adds a finished batch to the run's progress file PATH (its first line: the structures
    this run computes and the start time) and says how far the run is: structures done,
    failed and left, and the time left at this run's pace."""
    with open(path, "a", encoding="utf-8") as f:
        f.write(f"{done}\t{failed}\t{time.time():.3f}\n")
    with open(path, encoding="utf-8") as f:
        lines = [l.rstrip("\n") for l in f if l.strip()]
    total, start = int(lines[0].split("\t")[0]), float(lines[0].split("\t")[1])
    rows = [l.split("\t") for l in lines[1:]]
    d, fl = sum(int(r[0]) for r in rows), sum(int(r[1]) for r in rows)
    left = max(0, total - d - fl)
    pace = (d + fl) / max(1e-9, time.time() - start)
    eta = f", about {left / pace / 60:.1f} min left" if left and pace > 0 else ""
    return (f"protnn features: {d + fl} of {total} structures of this run: {d} done, "
            f"{fl} failed, {left} left{eta}")


def feature_settings(config: dict) -> FeatureSettings:
    """The feature settings of a training run's config."""
    return settings_from_dict({k: config[k] for k in ("nmr_model", "probe", "points",
                                                      "estimates")}
                              | {"inputs": list(config["inputs"])}, "config")


def group_settings(config: dict, source: str) -> dict:
    """How the groups are made: SOURCE (table, sequence or none) and MMseqs2's thresholds."""
    return {"source": source, "min_seq_id": config["min_seq_id"],
            "coverage": config["coverage"]}


def db_settings(config: dict, groups: dict) -> dict:
    """What the database (scaled targets and folds) depends on besides the targets."""
    return {"folds": config["folds"], "split_seed": config["split_seed"],
            "test_share": config["test_share"], "inputs": list(config["inputs"]),
            "groups": groups, "layout": DATABASE_LAYOUT}


def stack_settings(config: dict) -> StackSettings:
    """How the networks sit on ridge (config `stack`)."""
    return stack_settings_from_dict(dict(config.get("stack") or {}), "config: stack")


def model_settings(config: dict, features: FeatureSettings, words: list[str],
                   nets: list[dict], groups: dict, stack: StackSettings) -> dict:
    """What the model folder takes from the run record besides the versions: the training
    settings, the feature settings, the networks, how the groups are made and how the
    networks sit on ridge (not the structures to predict, which change the run record and not
    the model)."""
    return {"training": {k: config[k] for k in ("folds", "networks", "seed", "split_seed",
                                                "test_share", "nntrain")},
            "features": features.to_dict(), "nntrain_words": words, "networks": nets,
            "groups": groups, "stack": stack.to_dict()}


def model_content_text(path: str, info: dict) -> str:
    """The stamp of a model folder PATH (model.json INFO): the sha256 of model.json and of
    every file it names (networks, types files, reference structure and tables, the folds'
    ridge fits and maps), so that a
    folder replaced at the same path is another model."""
    files = [t["file"] for t in info["types"].values()]
    files += [n["file"] for n in info["networks"]]
    files += [info["reference"]["structure"], *info["reference"]["tables"].values()]
    files += [f["file"] for f in (info.get("stack") or {}).get("folds", [])]
    return "".join(f"{sha256_file(os.path.join(path, rel))}\t{rel}\n"
                   for rel in ["model.json", *files])


def run_record(config: dict, paths: dict[str, str], features: FeatureSettings,
               words: list[str], nets: list[dict], files: int, groups: dict) -> dict:
    """The settings of a run as run.json holds them (without the versions, which the run_json
    job adds): the config after defaults with PATHS (out, structures, model, targets) made
    absolute, the feature settings, the nntrain words, the networks, the number of structure
    files and how the groups are made (the config's `groups` is the source used: a table's
    group column is used whatever the setting)."""
    return {"config": dict(config) | paths | {"groups": groups["source"]},
            "features": features.to_dict(), "nntrain_words": words, "networks": nets,
            "structures": files, "groups": groups}


# The config keys whose values a model folder fixes, by the part of model.json holding them.
MODEL_KEYS = {"training": ("folds", "networks", "seed", "split_seed", "test_share", "nntrain"),
              "features": ("nmr_model", "probe", "points", "estimates", "inputs"),
              "groups": ("min_seq_id", "coverage")}


def predict_run_record(config: dict, paths: dict[str, str], model: dict, files: int) -> dict:
    """The run record of a run that only predicts, with the model folder whose model.json is
    MODEL: the model's own networks, groups, nntrain words and feature settings, and in the
    config the model's values of the settings it fixes (what the config says of training
    does not apply)."""
    groups = {k: v for k, v in (model.get("groups") or {}).items() if k != "of"}
    groups.setdefault("source", "none")
    own = {k: model[part][k] for part, keys in MODEL_KEYS.items() for k in keys
           if k in (model.get(part) or {})}
    nets = [{"file": os.path.basename(n["file"]), "fold": n["fold"], "output": n.get("output"),
             "net": n.get("net"),
             "seed": n.get("seed")} for n in model["networks"]]
    return {"config": dict(config) | own | paths | {"groups": groups["source"]},
            "features": dict(model["features"]),
            "nntrain_words": list((model.get("training") or {}).get("nntrain_words") or []),
            "networks": nets, "structures": files, "groups": groups}
