# Settings, the structures of the run, their batches, and the content stamps.
#
# The config is checked once against workflow/schema/config.schema.yaml, which also holds the
# defaults.  What the run plans (training set, batches, seeds, nntrain words, stamps, the run
# record) is protnn.plan's; structure ids are protnn.ids', the targets table protnn.sheets',
# the feature settings protnn.features': the workflow keeps no reader or writer of its own.
# The stamps (OUTDIR/stamps/, OUTDIR/batches/, OUTDIR/programs.txt) are written when the
# Snakefile is read, and only when their content changed, so their times tell Snakemake what is
# out of date, whatever folder it runs from and whatever a failed run left in its own records.
# Only the run that holds OUTDIR's lock (OUTDIR/.lock, taken before the first stamp is written
# and held until the run ends) writes them: a second run on the same OUTDIR stops with one
# line.  A dry run (-n) takes no lock and writes the stamps that would change into a scratch
# folder of its own: it shows what would run and changes nothing.
import atexit
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
from protnn.versions import missing_programs, programs_list_text, programs_sha256  # noqa: E402
from snakemake.logging import logger as _logger                     # noqa: E402

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
DRY = bool(getattr(_logger, "dryrun", False))       # snakemake -n (set before this is read)
_LOCK = []                                          # held for the life of this process
_STAMPS = None if IN_JOB else plan.Stamps(DRY)
if _STAMPS:
    atexit.register(_STAMPS.close)


def res(kind, name, default):
    return int(RES.get(kind, {}).get(name, default))


def stamp(path, text):
    """Writes the stamp PATH when its content changed (TEXT: the text, or a function that
    makes it) and returns the path that holds it (in a dry run's scratch folder when it would
    change); a job of a cluster run, which reads this file again, writes none."""
    if IN_JOB:
        return path
    if not DRY and not _LOCK:
        try:
            _LOCK.append(plan.run_lock(OUT))
        except ProtnnError as e:
            raise WorkflowError(str(e))
    return _STAMPS.write(path, text() if callable(text) else text)


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
    TARGETS_STAMP = stamp(f"{STAMPS}/targets.csv", plan.training_targets_text(TABLE, _train.rows))
    if config["groups"] == "table" and not TABLE_GROUPS:
        raise WorkflowError(f"{config['targets']}: no group column (groups: table); give one, "
                            f"or groups: sequence or none")
    GROUPS = "table" if TABLE_GROUPS else config["groups"]
else:
    if config["targets"]:
        raise WorkflowError("config: give targets=TABLE (training) or model=MODEL (predictions "
                            "with a trained model), not both")
    TRAIN_IDS, GROUPS, TARGETS_STAMP = [], "none", f"{STAMPS}/targets.csv"
# The groups of the training proteins, as the model folder records them.
GROUPS_FILE = {"table": TARGETS_STAMP, "sequence": f"{OUT}/groups.tsv"}.get(GROUPS, [])
_trained = set(TRAIN_IDS)
NEW_IDS = [i for i in STRUCTURES if i not in _trained]
BATCHES = {**plan.batches("train", TRAIN_IDS, config["batch_size"]),
           **plan.batches("new", NEW_IDS, config["batch_size"])}
TRAIN_BATCHES = [b for b in BATCHES if b.startswith("train-")]
NEW_BATCHES = [b for b in BATCHES if b.startswith("new-")]


# Each batch's list and key (a job of a cluster run reads this file again but writes no stamp:
# it skips the look at every structure file).
BATCH_LIST = {_b: stamp(f"{OUT}/batches/{_b}.tsv",
                        lambda _ids=_ids: plan.batch_list_text(_ids, STRUCTURES))
              for _b, _ids in BATCHES.items()}
BATCH_KEY = {_b: stamp(f"{OUT}/batches/{_b}.key",
                       lambda _ids=_ids: plan.batch_key_text(_ids, STRUCTURES))
             for _b, _ids in BATCHES.items()}
REFUSED_STAMP = stamp(f"{STAMPS}/refused.tsv", failures_text(REFUSED))
# Lists of batches that a smaller or larger collection had are not part of this run.
if not IN_JOB and not DRY and os.path.isdir(f"{OUT}/batches"):
    for _name in os.listdir(f"{OUT}/batches"):
        if _name.endswith((".tsv", ".key")) and not _name.endswith(".failed.tsv") and \
                _name.rsplit(".", 1)[0] not in BATCHES:
            os.unlink(f"{OUT}/batches/{_name}")


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
        SETTINGS = _model.settings                         # the model's own feature settings
        # A predict-only run depends on the model's content, not on the folder's time.
        MODEL_STAMP = stamp(f"{STAMPS}/model.sha256",
                            lambda: plan.model_content_text(MODEL, _model.info))
    WORDS = plan.nntrain_words(config["nntrain"]) if TRAINING else []
    # The programs with their sha256 (a program missing: the programs job builds it).
    if IN_JOB or missing_programs(BIN):
        if not IN_JOB and not DRY and os.path.lexists(PROGRAMS):
            os.unlink(PROGRAMS)
        PROGRAMS_STAMP = PROGRAMS
    else:
        PROGRAMS_STAMP = stamp(PROGRAMS, lambda: programs_list_text(BIN))
except ProtnnError as e:
    raise WorkflowError(str(e) if TRAINING else f"config: model: {e}")
FEATURES_STAMP = stamp(f"{STAMPS}/features.json", settings_text(SETTINGS))
OUTPUTS = TABLE.outputs if TRAINING else []
try:
    STACK = plan.stack_settings(config)
except ProtnnError as e:
    raise WorkflowError(str(e))
NETWORKS = plan.networks(FOLDS, OUTPUTS, NETS, SEED) if TRAINING else []
GROUP_SETTINGS = plan.group_settings(config, GROUPS)
# (A predict-only run names them only: its rules ask for none of them.)
GROUPS_STAMP, DB_STAMP, STACK_STAMP, TRAIN_STAMP, MODEL_SETTINGS = (
    f"{STAMPS}/{n}" for n in ("groups.json", "db.json", "stack.json", "train.json",
                              "model.json"))
if TRAINING:
    GROUPS_STAMP = stamp(f"{STAMPS}/groups.json", plan.as_json(GROUP_SETTINGS))
    DB_STAMP = stamp(f"{STAMPS}/db.json", plan.as_json(plan.db_settings(config, GROUP_SETTINGS)))
    STACK_STAMP = stamp(f"{STAMPS}/stack.json", plan.as_json({
        "stack": STACK.to_dict(), "split_seed": config["split_seed"]}))
    TRAIN_STAMP = stamp(f"{STAMPS}/train.json",
                        plan.as_json({"nntrain_words": WORDS, "networks": NETWORKS,
                                      "lists": plan.NETWORK_LISTS}))
    # What defines the model folder (not the structures to predict, which change run.json).
    MODEL_SETTINGS = stamp(f"{STAMPS}/model.json", plan.as_json(plan.model_settings(
        config, SETTINGS, WORDS, NETWORKS, GROUP_SETTINGS, STACK)))
_paths = {"out": OUT, "structures": os.path.abspath(config["structures"]), "model": MODEL,
          "targets": TARGETS if TRAINING else ""}
RUN = plan.run_record(config, _paths, SETTINGS, WORDS, NETWORKS, N_FILES, GROUP_SETTINGS) \
    if TRAINING else plan.predict_run_record(config, _paths, _model.info, N_FILES)
RUN_STAMP = stamp(f"{STAMPS}/run.json", run_text(RUN))


# ------------------------------------------------------------------------------- progress

JOBS = os.path.join(workflow.basedir, "scripts", "jobs.py")
FEATDIR = f"{OUT}/features"
PROGRESS = f"{OUT}/logs/progress.tsv"


def _todo():
    """The structures whose features this run computes: those of the batch jobs Snakemake
    plans to run that have no features of the same content, settings and programs yet."""
    progs = programs_sha256(PROGRAMS) if os.path.exists(PROGRAMS) else {}
    jobs = workflow.persistence.dag.needrun_jobs()      # Snakemake 7's plan of this run
    return sum(len(plan.to_compute(BATCH_KEY[j.wildcards.batch], FEATDIR, SETTINGS, progs))
               for j in jobs if j.rule.name == "features")


onstart:
    os.makedirs(os.path.dirname(PROGRESS), exist_ok=True)
    with open(PROGRESS, "w", encoding="utf-8") as f:
        f.write(f"{0 if IN_JOB else _todo()}\t{time.time():.3f}\n")


wildcard_constraints:
    batch=r"(train|new)-\d+",
    k=r"\d+",
    o=r"[A-Za-z0-9][A-Za-z0-9._+-]*",
    n=r"\d+",
