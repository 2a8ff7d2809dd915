"""Predictions with a model folder: protnn predict, and the workflow's new proteins.

predict_features() predicts proteins whose tables exist in FEATDIR: `nntrain -aw LIST -prl
IDS -d DB` over a temporary database of links to the tables (the targets, unknown, print as
NaN), the values taken back to the units of the targets table; predict() computes the tables
of structure files first (protnn.features, the code of the workflow) and then calls it.
"""

from __future__ import annotations

import math
import os
import shutil
import subprocess
import tempfile

from . import ProtnnError
from .failures import Failure, one_line
from .features import STAMP, compute_batch, read_stamp
from .files import refuse_existing
from .ids import find_structures
from .model import Model, check_programs, load_model
from .nnfiles import parse_predictions
from .predictions import prediction_line, write_predictions


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
    outputs = model.info["outputs"]
    wide = role is not None or with_target
    rows = []
    if ids:
        nntrain = os.path.abspath(os.path.join(bindir, "nntrain"))
        with tempfile.TemporaryDirectory() as work:
            # Everything under short relative names in WORK: nntrain reads a weight list's
            # names up to a blank or comma.
            os.mkdir(os.path.join(work, "db"))
            for i in ids:
                os.mkdir(os.path.join(work, "db", i))
                for t in inputs:
                    os.symlink(os.path.abspath(os.path.join(featdir, i, t)),
                               os.path.join(work, "db", i, t))
            names = []
            for k, n in enumerate(model.info["networks"], 1):
                names.append(f"w{k}.wei")
                os.symlink(model.file(n["file"]), os.path.join(work, names[-1]))
            with open(os.path.join(work, "weights.lst"), "w", encoding="utf-8") as f:
                f.write("".join(n + "\n" for n in names))
            with open(os.path.join(work, "ids"), "w", encoding="utf-8") as f:
                f.write("".join(i + "\n" for i in ids))
            try:
                r = subprocess.run([nntrain, "-aw", "weights.lst", "-prl", "ids", "-d", "db"],
                                   cwd=work, capture_output=True, text=True)
            except OSError as e:
                raise ProtnnError(f"{nntrain}: {e.strerror}") from None
            if r.returncode != 0:
                raise ProtnnError(f"{nntrain} -aw: status {r.returncode}: {one_line(r.stderr)}")
        preds = parse_predictions(r.stdout, f"{nntrain} -aw (standard output)", len(outputs))
        if [p.id for p in preds[::len(outputs)]] != list(ids):
            raise ProtnnError(f"{nntrain} -aw: predicted other proteins than asked for")
        for p in preds:
            o = outputs[p.index]
            a, b = float(o["a"]), float(o["b"])
            rows.append(prediction_line(p.id, o["name"], (p.mean - b) / a, p.sd / abs(a),
                                        math.nan if wide else None, (role or "") if wide else None))
    write_predictions(out_tsv, rows, target=wide, role=wide)
    return len(rows)


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
