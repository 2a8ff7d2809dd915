# Settings, the structures of the run, their batches, and the content stamps.
#
# The config is checked once against workflow/schema/config.schema.yaml, which also holds the
# defaults.  Structure ids come from protnn.ids.find_structures, the targets table from
# protnn.sheets.read_table, the feature settings file from protnn.features and the text of
# run.json from protnn.runinfo: the workflow keeps no reader or writer of its own.
#
# Content stamps (OUTDIR/stamps/, OUTDIR/batches/): small files that hold what a step's result
# depends on (a batch's structures with their sizes and times, the targets of the training
# proteins, each step's settings).  They are written when the Snakefile is read, and only when
# their content changed, so their times tell Snakemake what is out of date, whatever folder it
# runs from and whatever a failed run left in its own records.
#
# Batches: the structures with all targets known (the training set) and the others are cut
# into batches separately, each structure by a stable hash of its id, over a number of
# batches that is the set's size / batch_size rounded up to a power of two.  Adding a
# structure changes one batch of its own set; a structure without targets never touches the
# training set, so nothing is trained again for it.
import json
import math
import os
import shlex
import sys
import time
import zlib

from snakemake.utils import validate

REPO = os.path.abspath(os.path.join(workflow.basedir, ".."))
# protnn runs from this checkout under Debian's Python; cluster jobs read this file again and
# get the same environment.
os.environ["PYTHONPATH"] = os.path.join(REPO, "python") + (
    os.pathsep + os.environ["PYTHONPATH"] if os.environ.get("PYTHONPATH") else "")
sys.path.insert(0, os.path.join(REPO, "python"))

from protnn import ProtnnError                                        # noqa: E402
from protnn.failures import failures_text, read_failures             # noqa: E402
from protnn.features import settings_from_dict, settings_text         # noqa: E402
from protnn.ids import find_structures                                # noqa: E402
from protnn.runinfo import run_text                                   # noqa: E402
from protnn.sheets import read_table, table_text                       # noqa: E402

# `model` names a model folder now; the number of an NMR model is nmr_model.
if isinstance(config.get("model"), (int, float)) and not isinstance(config.get("model"), bool):
    raise WorkflowError(f"config: model={config['model']}: model is the folder of a trained "
                        f"model (predict-only runs); the NMR model number is nmr_model")
if str(config.get("strict")).lower() in ("true", "false"):
    config["strict"] = str(config["strict"]).lower() == "true"    # --config strict=true
if isinstance(config.get("inputs"), str):
    config["inputs"] = [config["inputs"]]           # --config inputs=pairdist.tab: one table
validate(config, os.path.join(workflow.basedir, "schema", "config.schema.yaml"))

OUT = os.path.abspath(os.path.normpath(config["out"]))
BUILD = os.path.join(REPO, "build")
BIN = os.path.abspath(config["bindir"] or os.path.join(BUILD, "bin"))
PROGRAMS = f"{OUT}/programs.txt"
STAMPS = f"{OUT}/stamps"
STRICT = bool(config["strict"])
MODEL = os.path.abspath(config["model"]) if config["model"] else ""    # predict-only run
TRAINING = not MODEL
FOLDS, NETS, SEED = config["folds"], config["networks"], config["seed"]
INPUTS = list(config["inputs"])
RES = config["resources"]
# Per-batch jobs of a workflow started with --cluster read this file again; only the run
# itself writes stamps.
IN_JOB = workflow.mode != 0            # snakemake.common.Mode.default: the run itself


def res(kind, name, default):
    return int(RES.get(kind, {}).get(name, default))


# The switches that the workflow gives nntrain itself.
OWN_SWITCHES = ("-l", "-f", "-r", "-owf", "-wf", "-aw", "-pr1", "-prl", "-d")


def nntrain_words(text):
    """The words of the nntrain setting, split like a shell line but never run by one: each
    word must be a switch or a number, and none of the workflow's own switches."""
    try:
        words = shlex.split(text)
    except ValueError as e:
        raise WorkflowError(f"config: nntrain '{text}': {e}")
    for w in words:
        if w in OWN_SWITCHES:
            raise WorkflowError(f"config: nntrain '{text}': {w} is set by the workflow itself "
                                f"(it sets {' '.join(OWN_SWITCHES)}); leave it out")
        if not (len(w) > 1 and w[0] == "-" and w[1].isalpha()):
            try:
                float(w)
            except ValueError:
                raise WorkflowError(f"config: nntrain '{text}': '{w}' is neither a switch nor "
                                    f"a number")
    return words


def stamp(path, text):
    """Writes TEXT to PATH unless PATH holds it already (whole: a new file renamed into place)."""
    try:
        with open(path, encoding="utf-8", newline="") as f:
            if f.read() == text:
                return
    except (FileNotFoundError, UnicodeDecodeError):
        pass
    if IN_JOB:
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{os.getpid()}.tmp")
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    os.replace(tmp, path)


def as_json(value):
    return json.dumps(value, indent=1, sort_keys=True) + "\n"


# ------------------------------------------------------------------------------ structures

try:
    STRUCTURES, REFUSED = find_structures([config["structures"]])
except ProtnnError as e:
    raise WorkflowError(f"config: structures: {e}")
if not STRUCTURES and not REFUSED:
    raise WorkflowError(f"{config['structures']}: no structure file (.pdb .ent .cif .mmcif "
                        f".json .mmjson, optionally .gz)")
if REFUSED and not IN_JOB:
    first = REFUSED[0]
    if STRICT:
        raise WorkflowError(f"{first.id}: {first.message} (strict: true)")
    print(f"protnn: {len(REFUSED)} structure file(s) refused, listed in {OUT}/failed.tsv; "
          f"first: {first.id}: {first.message}", file=sys.stderr)
N_FILES = len(STRUCTURES) + len(REFUSED)


def _refused_name(f):
    """The id that a refused file's name would have had (to match rows of the table)."""
    from protnn.ids import structure_id
    return structure_id(f.id)


if TRAINING:
    if not config["targets"]:
        raise WorkflowError("config: give targets=TABLE (training) or model=MODEL (predictions "
                            "with a trained model)")
    TARGETS = os.path.abspath(config["targets"])
    try:
        TABLE = read_table(TARGETS)
    except ProtnnError as e:
        raise WorkflowError(str(e))
    _refused = {_refused_name(f) for f in REFUSED} | {f.id for f in REFUSED}
    _nofile = [i for i in TABLE.ids if i not in STRUCTURES and i not in _refused]
    if _nofile:
        raise WorkflowError(f"{config['targets']}: {len(_nofile)} id(s) without a structure "
                            f"file in {config['structures']}: {' '.join(_nofile[:10])}"
                            f"{' ...' if len(_nofile) > 10 else ''}")
    _known = TABLE.known()
    _rows = [r for r, i in enumerate(TABLE.ids) if _known[r] and i in STRUCTURES]
    TRAIN_IDS = [TABLE.ids[r] for r in _rows]
    _norow = len(STRUCTURES) - len(set(TABLE.ids) & set(STRUCTURES))
    if _norow and not IN_JOB:
        print(f"protnn: {_norow} structure(s) without a row in {config['targets']}, predicted "
              f"as new proteins", file=sys.stderr)
    TABLE_GROUPS = TABLE.has_groups
    stamp(f"{STAMPS}/targets.csv",
          table_text(TRAIN_IDS, TABLE.outputs, TABLE.values[_rows],
                     [TABLE.groups[r] for r in _rows] if TABLE_GROUPS else None,
                     decimals=None))
    if config["groups"] == "table" and not TABLE_GROUPS:
        raise WorkflowError(f"{config['targets']}: no group column (groups: table); give one, "
                            f"or groups: sequence or none")
    GROUPS = "table" if TABLE_GROUPS else config["groups"]
else:
    if config["targets"]:
        raise WorkflowError("config: give targets=TABLE (training) or model=MODEL (predictions "
                            "with a trained model), not both")
    TRAIN_IDS, GROUPS = [], "none"
# The groups of the training proteins, as the model folder records them.
GROUPS_FILE = {"table": f"{STAMPS}/targets.csv", "sequence": f"{OUT}/groups.tsv"}.get(GROUPS, [])
_train = set(TRAIN_IDS)
NEW_IDS = [i for i in STRUCTURES if i not in _train]


def batches(kind, ids):
    """{batch name: [ids]} of one set: a stable hash of each id over a power-of-two count."""
    if not ids:
        return {}
    count = 1 << max(0, math.ceil(len(ids) / config["batch_size"]) - 1).bit_length()
    width = max(4, len(str(count - 1)))
    out = {}
    for i in ids:
        b = zlib.crc32(i.encode("utf-8")) % count
        out.setdefault(f"{kind}-{b:0{width}d}", []).append(i)
    return dict(sorted(out.items()))


BATCHES = {**batches("train", TRAIN_IDS), **batches("new", NEW_IDS)}
TRAIN_BATCHES = [b for b in BATCHES if b.startswith("train-")]
NEW_BATCHES = [b for b in BATCHES if b.startswith("new-")]


def _file_key(path):
    s = os.stat(path)
    return f"{s.st_size}\t{s.st_mtime_ns}"


# (A job of a cluster run reads this file again but writes no stamp: it skips the look at
# every structure file.)
for _b, _ids in ({} if IN_JOB else BATCHES).items():
    stamp(f"{OUT}/batches/{_b}.tsv", "".join(f"{i}\t{os.path.abspath(STRUCTURES[i])}\n"
                                             for i in _ids))
    stamp(f"{OUT}/batches/{_b}.key", "".join(f"{i}\t{os.path.abspath(STRUCTURES[i])}\t"
                                             f"{_file_key(STRUCTURES[i])}\n" for i in _ids))
# Lists of batches that a smaller or larger collection had are not part of this run.
if not IN_JOB and os.path.isdir(f"{OUT}/batches"):
    for _name in os.listdir(f"{OUT}/batches"):
        if _name.endswith((".tsv", ".key")) and not _name.endswith(".failed.tsv") and \
                _name.rsplit(".", 1)[0] not in BATCHES:
            os.unlink(f"{OUT}/batches/{_name}")
stamp(f"{STAMPS}/refused.tsv", failures_text(REFUSED))


def batch_files(names, suffix):
    return [f"{OUT}/batches/{b}{suffix}" for b in names]


# ------------------------------------------------------------------------------- settings

if TRAINING:
    try:
        SETTINGS = settings_from_dict({"nmr_model": config["nmr_model"],
                                       "probe": config["probe"], "points": config["points"],
                                       "estimates": config["estimates"], "inputs": INPUTS},
                                      "config")
    except ProtnnError as e:
        raise WorkflowError(str(e))
else:
    from protnn.model import load_model                              # noqa: E402
    try:
        SETTINGS = load_model(MODEL).settings             # the model's own feature settings
    except ProtnnError as e:
        raise WorkflowError(f"config: model: {e}")
FEATURES = SETTINGS.to_dict()
stamp(f"{STAMPS}/features.json", settings_text(SETTINGS))

WORDS = nntrain_words(config["nntrain"]) if TRAINING else []


def net_seed(k, n):
    """Network n of fold k (1-based) has a seed of its own."""
    return SEED + (k - 1) * NETS + n - 1


NETWORKS = [{"file": f"fold{k}-net{n}.wei", "fold": k, "net": n, "seed": net_seed(k, n)}
            for k in range(1, FOLDS + 1) for n in range(1, NETS + 1)] if TRAINING else []
GROUP_SETTINGS = {"source": GROUPS, "min_seq_id": config["min_seq_id"],
                  "coverage": config["coverage"]}
if TRAINING:
    stamp(f"{STAMPS}/groups.json", as_json(GROUP_SETTINGS))
    stamp(f"{STAMPS}/db.json", as_json({"folds": FOLDS, "split_seed": config["split_seed"],
                                        "test_share": config["test_share"], "inputs": INPUTS,
                                        "groups": GROUP_SETTINGS}))
    stamp(f"{STAMPS}/train.json", as_json({"nntrain_words": WORDS, "networks": NETWORKS}))
_cfg = dict(config)
_cfg.update(out=OUT, structures=os.path.abspath(config["structures"]), model=MODEL,
            targets=TARGETS if TRAINING else "")
RUN = {"config": _cfg, "features": FEATURES, "nntrain_words": WORDS, "networks": NETWORKS,
       "structures": N_FILES, "groups": GROUP_SETTINGS}
stamp(f"{STAMPS}/run.json", run_text(RUN))


# ------------------------------------------------------------------------------- progress

JOBS = os.path.join(workflow.basedir, "scripts", "jobs.py")
FEATDIR = f"{OUT}/features"
PROGRESS = f"{OUT}/logs/progress.tsv"


def _up_to_date(b):
    done = f"{OUT}/batches/{b}.done"
    if not os.path.exists(done):
        return False
    t = os.stat(done).st_mtime_ns
    return all(os.path.exists(p) and os.stat(p).st_mtime_ns <= t
               for p in (f"{OUT}/batches/{b}.tsv", f"{OUT}/batches/{b}.key",
                         f"{STAMPS}/features.json", PROGRAMS))


# The structures whose batches this run computes, for the batch jobs' progress lines.
TODO = 0 if IN_JOB else sum(len(ids) for b, ids in BATCHES.items() if not _up_to_date(b))


onstart:
    os.makedirs(os.path.dirname(PROGRESS), exist_ok=True)
    with open(PROGRESS, "w", encoding="utf-8") as f:
        f.write(f"{TODO}\t{time.time():.3f}\n")


wildcard_constraints:
    batch=r"(train|new)-\d+",
    k=r"\d+",
    n=r"\d+",
