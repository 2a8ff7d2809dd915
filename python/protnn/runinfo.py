"""The settings of a run: OUTDIR/run.json, written by the workflow and read by protnn model
and protnn report.  This module is its only writer and reader.

A JSON object: "config" (every config value after defaults), "features" (the feature
settings), "nntrain_words" (the words given to every training), "networks" (`{"file",
"fold", "net", "seed"}` in the order of every -aw list), "structures" (the number of
structure files of the run), "groups" (`{"source", "min_seq_id", "coverage"}`) and
"versions" (program -> version line, "" when missing).  A predict-only run has no networks.
"""

from __future__ import annotations

import json
import os

from . import ProtnnError
from .files import read_json, write_new_text

WHAT = "a run settings file"
# The kind of each key's value.
KINDS = {"config": dict, "features": dict, "nntrain_words": list, "networks": list,
         "structures": int, "groups": dict, "versions": dict}


def run_text(run: dict) -> str:
    """The text of run.json for the settings RUN."""
    return json.dumps(run, indent=2) + "\n"


def write_run(path: str | os.PathLike, run: dict) -> None:
    """Writes the new file PATH (exclusive, atomic)."""
    write_new_text(path, run_text(run))


def read_run(path: str | os.PathLike) -> dict:
    """The settings in PATH; refuses a key whose value is of another kind, and a network
    that is not an object."""
    run = read_json(path, WHAT)
    for key, kind in KINDS.items():
        if key in run and (not isinstance(run[key], kind) or isinstance(run[key], bool)):
            raise ProtnnError(f"{path}: not {WHAT} ({key}: {json.dumps(run[key])})")
    bad = [n for n in run.get("networks", []) if not isinstance(n, dict)]
    if bad:
        raise ProtnnError(f"{path}: not {WHAT} (networks: {json.dumps(bad[0])})")
    return run
