# Settings, paths and the structures of the run.  Choices of ours: a structure's id is its file
# name without the structure and gzip suffixes; files with other suffixes are ignored, so a
# README or manifest may sit in the folder.
import csv
import os
import re
import sys

REPO = os.path.abspath(os.path.join(workflow.basedir, ".."))


def setting(name):
    value = config.get(name)
    if value is None or value == "":
        raise WorkflowError(f"config: no value for '{name}' (give --config {name}=...)")
    return value


OUT = os.path.normpath(str(setting("out")))
PY = str(setting("python"))
# protnn runs from this checkout under Debian's Python.  Cluster jobs parse this file again, so
# they get the same environment.
os.environ["PYTHONPATH"] = os.path.join(REPO, "python") + (
    os.pathsep + os.environ["PYTHONPATH"] if os.environ.get("PYTHONPATH") else "")
PROTNN = f"{PY} -m protnn"
BUILD = os.path.join(REPO, "build")
BIN = os.path.abspath(str(config.get("bindir") or os.path.join(BUILD, "bin")))
LOGRUN = os.path.join(workflow.basedir, "scripts", "logrun.sh")
PROGRAMS = f"{OUT}/programs.txt"
INPUTS = list(config.get("inputs") or ["pairdist.tab", "depth.tab"])
FOLDS = int(setting("folds"))
NETS = int(setting("networks"))
SEED = int(setting("seed"))
if FOLDS < 2 or NETS < 1 or SEED < 0:
    raise WorkflowError(f"config: folds must be at least 2 (not {FOLDS}), networks at least 1 "
                        f"(not {NETS}), seed not negative (not {SEED})")
RES = config.get("resources", {})


def res(kind, name, default):
    return int(RES.get(kind, {}).get(name, default))


STRUCTURE_SUFFIX = re.compile(r"\.(pdb|ent|cif|mmcif|mmjson|json)(\.gz)?$", re.IGNORECASE)


def find_structures(folder):
    """{id: path} of the structure files of folder; two files with one id stop the run."""
    if not os.path.isdir(folder):
        raise WorkflowError(f"config: structures: no folder {folder}")
    found = {}
    for name in sorted(os.listdir(folder)):
        m = STRUCTURE_SUFFIX.search(name)
        if name.startswith(".") or not m or m.start() == 0:
            continue
        sid = name[:m.start()]
        if sid in found:
            raise WorkflowError(f"{folder}: two structure files for the id {sid}: "
                                f"{os.path.basename(found[sid])} and {name}")
        found[sid] = os.path.join(folder, name)
    if not found:
        raise WorkflowError(f"{folder}: no structure file (.pdb .ent .cif .mmcif .json .mmjson, "
                            f"optionally .gz)")
    return found


STRUCTURES = find_structures(str(setting("structures")))
IDS = sorted(STRUCTURES)
TARGETS = str(setting("targets"))


def table_ids(path):
    """The ids of the targets table (column id), or None when it cannot be read here: then
    protnn db reports the problem in its own words."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            return {row.get("id", "") for row in csv.DictReader(f)}
    except (OSError, UnicodeDecodeError, csv.Error):
        return None


# An id of the table without a structure stops the run before any job; structures without a
# row of the table are predicted as new proteins: say so once.
_rows = table_ids(TARGETS)
if _rows is not None:
    _nofile = sorted(i for i in _rows if i not in STRUCTURES)
    if _nofile:
        raise WorkflowError(f"{TARGETS}: {len(_nofile)} id(s) without a structure file in "
                            f"{setting('structures')}: {' '.join(_nofile[:10])}"
                            f"{' ...' if len(_nofile) > 10 else ''}")
    _norow = [i for i in IDS if i not in _rows]
    if _norow:
        print(f"warning: {len(_norow)} structure(s) without a row in {TARGETS}, predicted as new "
              f"proteins: {' '.join(_norow[:10])}{' ...' if len(_norow) > 10 else ''}",
              file=sys.stderr)

wildcard_constraints:
    id=r"[^/]+",
    k=r"\d+",
    n=r"\d+",
