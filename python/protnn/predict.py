"""Predictions with a model folder: protnn predict, and the workflow's new proteins.

predict_features() predicts proteins whose tables exist in FEATDIR: per fold of the model its
ridge fit plus its networks (`nntrain -aw LIST -prl IDS -d DB` per output over a temporary
database of the fold's mapped inputs), averaged over the folds, in the units of the targets
table; predict() computes the tables of structure files first (protnn.features, the code of
the workflow) and then calls it.
"""

from __future__ import annotations

import math
import os
import shutil
import subprocess
import tempfile

import numpy as np

from . import ProtnnError
from .database import DatabaseRows, read_numbers
from .failures import Failure, one_line
from .features import STAMP, compute_batch, read_stamp
from .files import refuse_existing
from .ids import find_structures
from .model import Model, check_programs, load_model
from .predictions import prediction_line, write_predictions
from .stack import INPUT_FILE, inputs_text, network_predictions, read_fold_stack


def predict_features(model_dir: str, featdir: str, ids: list[str], bindir: str,
                     out_tsv: str, role: str | None = None, with_target: bool = False,
                     *, model: Model | None = None) -> int:
    """Predicts the proteins IDS from their tables FEATDIR/<id>/<input> with every network of
    the model (in its order) and writes the new file OUT_TSV: `id output mean sd` and, with
    ROLE or WITH_TARGET, `target role` (target empty).  Returns the number of rows."""
    # One function: the checks of the tables, the temporary database nntrain reads and the
    # rows it gives back are the steps of one prediction, read best in order.
    if model is None:
        model = load_model(model_dir)
        check_programs(model, bindir)
    if role is not None and (not role or any(c.isspace() for c in role)):
        raise ProtnnError(f"role '{role}': one word expected")
    refuse_existing(out_tsv)
    inputs = list(model.settings.inputs)
    want = {"settings": model.settings.to_dict(),
            "types_sha256": {p: t["sha256"] for p, t in model.info["types"].items()}}
    for i in ids:
        for t in inputs:
            if not os.path.isfile(os.path.join(featdir, i, t)):
                raise ProtnnError(f"{os.path.join(featdir, i, t)}: missing (features of {i})")
        # The tables must be made as the model's were: same settings, same types files.
        made = read_stamp(os.path.join(featdir, i))
        if {k: made.get(k) for k in want} != want:
            raise ProtnnError(f"{os.path.join(featdir, i, STAMP)}: the features of {i} were "
                              f"not made with the model's feature settings and types files")
    outputs = [o["name"] for o in model.info["outputs"]]
    wide = role is not None or with_target
    rows = []
    if ids:
        mean, sd = _ridge_and_networks(model, featdir, ids, outputs, bindir)
        for r, i in enumerate(ids):
            for o, name in enumerate(outputs):
                rows.append(prediction_line(i, name, mean[r, o], sd[r, o],
                                            math.nan if wide else None,
                                            (role or "") if wide else None))
    write_predictions(out_tsv, rows, target=wide, role=wide)
    return len(rows)


def _ridge_and_networks(model: Model, featdir: str, ids: list[str], outputs: list[str],
                        bindir: str) -> tuple[np.ndarray, np.ndarray]:
    """Every fold's ridge plus its networks (per output, nntrain -aw over a temporary
    database of the mapped inputs), averaged over the folds: means and deviations (rows x
    outputs).  The deviation is that of all networks' predictions around the mean: the
    folds' own deviations and the spread of the folds' means."""
    inputs = list(model.settings.inputs)
    first = [len(read_numbers(os.path.join(featdir, ids[0], t))) for t in inputs]
    X = np.stack([DatabaseRows(featdir, inputs, [], first, None).x(i) for i in ids])
    nntrain = os.path.abspath(os.path.join(bindir, "nntrain"))
    means, devs = [], []
    with tempfile.TemporaryDirectory() as work:
        # Everything under short relative names in WORK: nntrain reads a weight list's
        # names up to a blank or comma.
        with open(os.path.join(work, "ids"), "w", encoding="utf-8") as f:
            f.write("".join(i + "\n" for i in ids))
        for f_row in model.info["stack"]["folds"]:
            fs = read_fold_stack(model.file(f_row["file"]))
            k = fs.fold
            if len(fs.linear.shift) != X.shape[1]:
                raise ProtnnError(f"{featdir}/{ids[0]}: {X.shape[1]} inputs, the model's fold "
                                  f"{k} reads {len(fs.linear.shift)}")
            M = fs.network_inputs(X)
            db = f"db{k}"
            for r, i in enumerate(ids):
                os.makedirs(os.path.join(work, db, i))
                with open(os.path.join(work, db, i, INPUT_FILE), "w", encoding="utf-8") as f:
                    f.write(inputs_text(M[r]))
            paths = {}
            for o in outputs:
                names = []
                for n in model.info["networks"]:
                    if int(n["fold"]) == k and n["output"] == o:
                        names.append(f"w{k}-{o}-{len(names) + 1}.wei")
                        os.symlink(model.file(n["file"]), os.path.join(work, names[-1]))
                lst = os.path.join(work, f"fold{k}-{o}.lst")
                with open(lst, "w", encoding="utf-8") as f:
                    f.write("".join(n + "\n" for n in names))
                paths[o] = os.path.join(work, f"fold{k}-{o}.out")
                _run_nntrain([nntrain, "-aw", os.path.basename(lst), "-prl", "ids", "-d", db],
                             work, paths[o])
            mean, sd = network_predictions(paths, ids)
            pred, dev = fs.combine(X, mean, sd)
            means.append(pred)
            devs.append(dev)
    P, D = np.stack(means), np.stack(devs)
    centre = P.mean(axis=0)
    return centre, np.sqrt((D ** 2).mean(axis=0) + ((P - centre) ** 2).mean(axis=0))


def _run_nntrain(argv: list[str], cwd: str, out: str) -> None:
    try:
        with open(out, "w", encoding="utf-8") as f:
            r = subprocess.run(argv, cwd=cwd, stdout=f, stderr=subprocess.PIPE, text=True)
    except OSError as e:
        raise ProtnnError(f"{argv[0]}: {e.strerror}") from None
    if r.returncode != 0:
        raise ProtnnError(f"{argv[0]} -aw: status {r.returncode}: {one_line(r.stderr)}")


def default_bindir() -> str:
    """The programs beside this package: <prefix>/bin of an installation or of a build's
    share/protnn/python, build/bin of the source tree, else the nntrain found on PATH."""
    here = os.path.dirname(os.path.abspath(__file__))
    # Lexical paths: the package of a build tree is a symbolic link to the source's.
    for d in (os.path.normpath(os.path.join(here, "..", "..", "..", "..", "bin")),
              os.path.normpath(os.path.join(here, "..", "..", "build", "bin"))):
        if os.path.isfile(os.path.join(d, "nntrain")):
            return d
    found = shutil.which("nntrain")
    if found:
        return os.path.dirname(found)
    raise ProtnnError("the programs were not found (no build/bin, no nntrain on PATH); "
                      "give --bindir")


def predict(model_dir: str, paths: list[str], out_tsv: str, bindir: str, jobs: int = 1,
            featdir: str | None = None) -> tuple[int, list[Failure]]:
    """protnn predict: the tables of the structure files of PATHS (in FEATDIR when given,
    kept there; else in a temporary folder), then predict_features.  Returns the number of
    proteins predicted and the structures that failed."""
    refuse_existing(out_tsv)
    model = load_model(model_dir)
    check_programs(model, bindir)
    structures, failures = find_structures(paths)
    if not structures and not failures:
        raise ProtnnError(f"no structure file in {' '.join(paths)}")
    with tempfile.TemporaryDirectory() as work:
        feat = featdir or os.path.join(work, "features")
        failures += compute_batch(structures, feat, model.settings, bindir, jobs,
                                  types=model.types())
        failed = {f.id for f in failures}
        ids = [i for i in structures if i not in failed]
        predict_features(model.path, feat, ids, bindir, out_tsv, model=model)
    return len(ids), failures
