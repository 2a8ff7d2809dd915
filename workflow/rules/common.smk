# Settings, the structures of the run, their batches, and the content stamps.
#
# The config is checked once against workflow/schema/config.schema.yaml, which also holds the
# defaults.  What the run plans (training set, batches, seeds, nntrain words, stamps, the run
# record) is protnn.plan's; structure ids are protnn.ids', the targets table protnn.sheets',
# the feature settings protnn.features': the workflow keeps no reader or writer of its own.
# The stamps (OUTDIR/stamps/, OUTDIR/batches/) are written when the Snakefile is read, and
# only when their content changed, so their times tell Snakemake what is out of date,
# whatever folder it runs from and whatever a failed run left in its own records.
import os
import sys
import time

from snakemake.utils import validate

REPO = os.path.abspath(os.path.join(workflow.basedir, ".."))
# protnn runs from this checkout under Debian's Python; cluster jobs read this file again and
# get the same environment.
os.environ["PYTHONPATH"] = os.path.join(REPO, "python") + (
    os.pathsep + os.environ["PYTHONPATH"] if os.environ.get("PYTHONPATH") else "")
sys.path.insert(0, os.path.join(REPO, "python"))

from protnn import ProtnnError, plan                                  # noqa: E402
from protnn.failures import failures_text, one_line, read_failures   # noqa: E402
from protnn.features import settings_text                             # noqa: E402
from protnn.ids import find_structures                                # noqa: E402
from protnn.runinfo import run_text                                   # noqa: E402
from protnn.sheets import read_table                                  # noqa: E402

# `model` names a model folder now; the number of an NMR model is nmr_model.
if isinstance(config.get("model"), (int, float)) and not isinstance(config.get("model"), bool):
    raise WorkflowError(f"config: model={config['model']}: model is the folder of a trained "
                        f"model (predict-only runs); the NMR model number is nmr_model")
if str(config.get("strict")).lower() in ("true", "false"):
    config["strict"] = str(config["strict"]).lower() == "true"    # --config strict=true
if isinstance(config.get("inputs"), str):
    config["inputs"] = [config["inputs"]]           # --config inputs=pairdist.tab: one table
SCHEMA = os.path.join(workflow.basedir, "schema", "config.schema.yaml")
try:
    validate(config, SCHEMA)
except WorkflowError:                   # its message: many lines of the validator's
    raise WorkflowError(plan.config_refusal(config, SCHEMA) or "config: refused by the schema")

OUT = os.path.abspath(os.path.normpath(config["out"]))
BUILD = os.path.join(REPO, "build")
BIN = os.path.abspath(config["bindir"] or os.path.join(BUILD, "bin"))
PROGRAMS = f"{OUT}/programs.txt"
STAMPS = f"{OUT}/stamps"
STRICT = bool(config["strict"])
MODEL = os.path.abspath(config["model"]) if config["model"] else ""    # predict-only run
TRAINING = not MODEL
FOLDS, NETS, SEED = config["folds"], config["networks"], config["seed"]
RES = config["resources"]
# Per-batch jobs of a workflow started with --cluster read this file again; only the run
# itself writes stamps.
IN_JOB = workflow.mode != 0            # snakemake.common.Mode.default: the run itself


def res(kind, name, default):
    return int(RES.get(kind, {}).get(name, default))


def stamp(path, text):
    """Writes the stamp PATH when its content changed; a job of a cluster run, which reads
    this file again, writes none."""
    if not IN_JOB:
        plan.write_stamp(path, text)


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


if TRAINING:
    if not config["targets"]:
        raise WorkflowError("config: give targets=TABLE (training) or model=MODEL (predictions "
                            "with a trained model)")
    TARGETS = os.path.abspath(config["targets"])
    try:
        TABLE = read_table(TARGETS)
    except ProtnnError as e:
        raise WorkflowError(str(e))
    try:
        _train = plan.training_set(TABLE, STRUCTURES, REFUSED, config["structures"],
                                   config["targets"])
    except ProtnnError as e:
        raise WorkflowError(str(e))
    TRAIN_IDS = _train.ids
    try:
        plan.check_folds(TABLE, _train, FOLDS, config["split_seed"], config["test_share"],
                         config["targets"])
    except ProtnnError as e:
        raise WorkflowError(str(e))
    if _train.without_row and not IN_JOB:
        print(f"protnn: {_train.without_row} structure(s) without a row in {config['targets']}, "
              f"predicted as new proteins", file=sys.stderr)
    TABLE_GROUPS = TABLE.has_groups
    stamp(f"{STAMPS}/targets.csv", plan.training_targets_text(TABLE, _train.rows))
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
_trained = set(TRAIN_IDS)
NEW_IDS = [i for i in STRUCTURES if i not in _trained]
BATCHES = {**plan.batches("train", TRAIN_IDS, config["batch_size"]),
           **plan.batches("new", NEW_IDS, config["batch_size"])}
TRAIN_BATCHES = [b for b in BATCHES if b.startswith("train-")]
NEW_BATCHES = [b for b in BATCHES if b.startswith("new-")]


# (A job of a cluster run reads this file again but writes no stamp: it skips the look at
# every structure file.)
for _b, _ids in ({} if IN_JOB else BATCHES).items():
    stamp(f"{OUT}/batches/{_b}.tsv", plan.batch_list_text(_ids, STRUCTURES))
    stamp(f"{OUT}/batches/{_b}.key", plan.batch_key_text(_ids, STRUCTURES))
# Lists of batches that a smaller or larger collection had are not part of this run.
if not IN_JOB and os.path.isdir(f"{OUT}/batches"):
    for _name in os.listdir(f"{OUT}/batches"):
        if _name.endswith((".tsv", ".key")) and not _name.endswith(".failed.tsv") and \
                _name.rsplit(".", 1)[0] not in BATCHES:
            os.unlink(f"{OUT}/batches/{_name}")
stamp(f"{STAMPS}/refused.tsv", failures_text(REFUSED))


def failed_jobs(snakemake_log):
    """A line for every job that failed, from Snakemake's log: the rule, the last line of the
    job's log (the program's message) and the log's name."""
    try:
        with open(snakemake_log, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except (OSError, TypeError):
        return []
    out, failed = [], None
    for line in lines:
        if line.startswith("Error in rule "):
            failed = line[len("Error in rule "):].rstrip(":")
            out.append(f"protnn: rule {failed} failed (its messages are above)")
        elif failed and line.strip().startswith("log: "):
            paths = line.strip()[len("log: "):].split(" (check log file")[0].split(", ")
            paths = [p for p in paths if os.path.isfile(p)]
            if not paths:
                continue
            path = max(paths, key=os.path.getmtime)     # of a job's logs, the last written
            with open(path, encoding="utf-8", errors="replace") as f:
                reason = one_line(f.read())
            out[-1] = f"protnn: rule {failed} failed: {reason} (log {path})"
        elif not line.strip():
            failed = None
    return list(dict.fromkeys(out))


def batch_files(names, suffix):
    return [f"{OUT}/batches/{b}{suffix}" for b in names]


# ------------------------------------------------------------------------------- settings

try:
    if TRAINING:
        SETTINGS = plan.feature_settings(config)
    else:
        from protnn.model import load_model                          # noqa: E402
        _model = load_model(MODEL)
        SETTINGS = _model.settings                        # the model's own feature settings
    WORDS = plan.nntrain_words(config["nntrain"]) if TRAINING else []
except ProtnnError as e:
    raise WorkflowError(str(e) if TRAINING else f"config: model: {e}")
stamp(f"{STAMPS}/features.json", settings_text(SETTINGS))
OUTPUTS = TABLE.outputs if TRAINING else []
try:
    STACK = plan.stack_settings(config)
except ProtnnError as e:
    raise WorkflowError(str(e))
NETWORKS = plan.networks(FOLDS, OUTPUTS, NETS, SEED) if TRAINING else []
GROUP_SETTINGS = plan.group_settings(config, GROUPS)
if TRAINING:
    stamp(f"{STAMPS}/groups.json", plan.as_json(GROUP_SETTINGS))
    stamp(f"{STAMPS}/db.json", plan.as_json(plan.db_settings(config, GROUP_SETTINGS)))
    stamp(f"{STAMPS}/stack.json", plan.as_json({"stack": STACK.to_dict(),
                                                "split_seed": config["split_seed"]}))
    stamp(f"{STAMPS}/train.json", plan.as_json({"nntrain_words": WORDS, "networks": NETWORKS}))
_paths = {"out": OUT, "structures": os.path.abspath(config["structures"]), "model": MODEL,
          "targets": TARGETS if TRAINING else ""}
RUN = plan.run_record(config, _paths, SETTINGS, WORDS, NETWORKS, N_FILES, GROUP_SETTINGS) \
    if TRAINING else plan.predict_run_record(config, _paths, _model.info, N_FILES)
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
    o=r"[A-Za-z0-9][A-Za-z0-9._+-]*",
    n=r"\d+",
