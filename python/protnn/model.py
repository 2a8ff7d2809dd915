"""The model folder: a trained ensemble that travels, and predictions with it.

make_model() collects what a finished run made into a new folder MODEL (written whole):
- model.json: format_version 2; the outputs with their scaling (scaled = a * value + b, from
  the database's scaling.json), the input tables in order, the types files, the feature
  settings, the training settings and seeds, the folds with their training ids and groups,
  the networks in the run's order (the order of every -aw list) with their sha256, the
  reference structure and the versions of the programs;
- networks/<file>: the weight files, line 1 (the database directory of the training, an
  absolute path) replaced by "." - predictions name the database with nntrain's -d;
- types/amino_acids.types, types/aa_atom.types: the types files pairdist and depthdist read;
- reference/<id>.pdb and reference/<input>: one training protein (the smallest structure
  file) as prep wrote it and its tables, as the run's programs computed them.
No absolute path is kept, so the folder can be copied anywhere.

load_model() refuses a folder that is incomplete (a file missing or changed) or of another
format version, and one that model.json does not describe: a name that breaks the rules of ids
(protnn.ids), a file outside its folder (a link out of it included), an output map that is not
finite with a > 0, weight files whose inputs and targets (lines 2 and 3) are not model.json's.
Nothing read from model.json is used before these checks.  check_programs() one whose reference tables the programs of BINDIR do not
reproduce byte for byte (the programs' tables differ from those the networks were trained on).
Predictions with a model are protnn.predict's.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import tempfile
from dataclasses import dataclass, replace

from . import ProtnnError
from .database import fold_held_out, fold_training, output_map, read_scaling
from .features import (TYPES, FeatureSettings, compute_batch, find_programs,
                       settings_from_dict, sha256_file)
from .files import NewDirectory, read_bytes, read_json
from .folds import read_folds
from .ids import find_structures, id_problem
from .runinfo import read_run
from .sheets import read_groups
from .stack import FOLD_JSON, INPUT_FILE, read_fold_stack, read_stack
from .versions import library_versions

FORMAT_VERSION = 2          # 2: ridge plus networks per fold and output (protnn stack)
MODEL_JSON = "model.json"
_PLAIN_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*")     # a network's file name


# -- Reading what a run made --------------------------------------------------------------

def _run_groups(run: dict, run_path: str, groups_file: str | None) -> tuple:
    """(source, {id: group}) of the run's proteins: a given file, the run's groups.tsv, or
    the group column of its targets table; (source, {}) without groups."""
    source = (run.get("groups") or {}).get("source", "")
    if source == "none":
        return source, {}
    outdir = os.path.dirname(os.path.abspath(run_path))
    candidates = [groups_file] if groups_file else \
        [os.path.join(outdir, "groups.tsv"), os.path.join(outdir, "targets.csv"),
         str((run.get("config") or {}).get("targets") or "")]
    for c in candidates:
        if c and os.path.isfile(c):
            try:
                return source or "table", read_groups(c)
            except ProtnnError:
                if groups_file:
                    raise
    return source or "none", {}


def _portable_weights(src: str, dst: str, inputs: list[str], targets: list[str]) -> None:
    """Copies the weight file SRC to DST with line 1 (the database directory) set to "."
    after checking that lines 2 and 3 name the run's inputs and targets."""
    lines = read_bytes(src).split(b"\n", 3)
    if len(lines) < 4 or not lines[0].startswith(b'"'):
        raise ProtnnError(f"{src}: not a weight file of nntrain (no database line)")
    if lines[1].split() != [i.encode() for i in inputs] or \
            lines[2].split() != [t.encode() for t in targets]:
        raise ProtnnError(f"{src}:2: the inputs and outputs are not the database's "
                          f"({' '.join(inputs)}; {' '.join(targets)})")
    with open(dst, "xb") as f:
        f.write(b'"."\n' + b"\n".join(lines[1:]))


def _check_networks(networks: list, run_path: str, folds: int, outputs: list[str]) -> None:
    if not networks:
        raise ProtnnError(f"{run_path}: no networks")
    for n in networks:
        if not isinstance(n, dict) or not _PLAIN_NAME.fullmatch(str(n.get("file", ""))) or \
                not 1 <= int(n.get("fold", 0)) <= folds or n.get("output") not in outputs:
            raise ProtnnError(f"{run_path}: networks: a plain file name, a fold from 1 to "
                              f"{folds} and an output of {' '.join(outputs)} expected, found "
                              f"{json.dumps(n)}")
    for k in range(1, folds + 1):
        for o in outputs:
            if not any(n["fold"] == k and n["output"] == o for n in networks):
                raise ProtnnError(f"{run_path}: networks: none for fold {k} and {o}")


def _reference(given, training: dict, run_path: str) -> tuple[str, str]:
    """The reference: the smallest structure file of a training protein under GIVEN (a path
    or a list of paths); its id and file."""
    given = [given] if isinstance(given, str) else list(given or [])
    found, _ = find_structures([str(g) for g in given]) if given else ({}, [])
    candidates = [(os.path.getsize(found[i]), i) for i in training if i in found]
    if not candidates:
        raise ProtnnError(f"{run_path}: no structure file of a training protein under "
                          f"{' '.join(map(str, given)) or '(config structures: none)'}")
    ref = min(candidates)[1]
    return ref, found[ref]


def _write_reference(folder: str, ref: str, path: str, settings: FeatureSettings,
                     bindir: str, types: dict[str, str], dbout: str) -> None:
    """FOLDER/reference/: the reference structure as prep writes it and its tables, computed
    now as predictions will compute them.  They must be those the networks were trained on
    (the database's): otherwise the settings or programs of this call are not the run's."""
    from .structure import prep
    ref_pdb = os.path.join(folder, "reference", f"{ref}.pdb")
    prep(path, ref_pdb, settings.nmr_model if settings.nmr_model else None)
    made = reference_tables(ref_pdb, ref, settings, bindir, types)
    for t in settings.inputs:
        trained = os.path.join(dbout, "db", ref, t)
        if made[t] != read_bytes(trained):
            raise ProtnnError(f"{trained}: differs from what {bindir} computes from "
                              f"{path} with the run's feature settings")
        with open(os.path.join(folder, "reference", t), "xb") as f:
            f.write(made[t])


def make_model(run_path: str, dbout: str, stack_dir: str, nets: str, bindir: str, out: str,
               groups_file: str | None = None, structures: list[str] | None = None) -> str:
    """protnn model: writes the model folder OUT; returns a one-line summary."""
    # One function on purpose: it checks the run's parts against each other, then writes the
    # folder and its record in one pass, in the order model.json lists them.
    run = read_run(run_path)
    stack = read_stack(stack_dir)
    config = run.get("config") or {}
    settings = settings_from_dict(run.get("features", {}), f"{run_path}: features")
    info = read_folds(dbout)
    scaling = read_scaling(dbout)
    inputs, outputs, targets = list(info.inputs), scaling.outputs, list(info.targets)
    folds = info.folds
    networks = run.get("networks", [])
    if list(info.outputs) != outputs:
        raise ProtnnError(f"{dbout}: folds.json and scaling.json name other outputs")
    if inputs != list(settings.inputs):
        raise ProtnnError(f"{dbout}/folds.json: inputs {' '.join(inputs)}, the run's feature "
                          f"settings {' '.join(settings.inputs)}")
    _check_networks(networks, run_path, len(folds), outputs)
    if stack.outputs != outputs or len(stack.folds) != len(folds):
        raise ProtnnError(f"{stack_dir}: the stack of another database than {dbout}")
    fold_rows, training = [], {}            # training: every fold's training ids, in order
    for f in folds:
        train = fold_training(dbout, f)
        fold_rows.append({"fold": f.fold, "f": f.f, "early_stop": f.early_stop,
                          "train": train, "held_out": fold_held_out(dbout, f)})
        training.update(dict.fromkeys(train))
    source, groups = _run_groups(run, run_path, groups_file)
    groups = {i: groups[i] for i in sorted(groups) if i in training}

    ref, ref_file = _reference(structures or config.get("structures"), training, run_path)
    progs = find_programs(bindir)
    with NewDirectory(out) as tmp:
        for d in ("networks", "types", "reference", "stack"):
            (tmp / d).mkdir()
        stack_rows = []
        for f in stack.folds:
            name = f"stack/fold{f['fold']}.json"
            shutil.copyfile(os.path.join(stack.path, f"fold{f['fold']}", FOLD_JSON), tmp / name)
            stack_rows.append({"fold": f["fold"], "file": name,
                               "sha256": sha256_file(str(tmp / name))})
        types = {}
        for prog, name in TYPES.items():
            shutil.copyfile(progs.types[prog], tmp / "types" / name)
            types[prog] = {"file": f"types/{name}", "sha256": progs.types_sha256[prog]}
        net_rows = []
        for n in networks:
            dst = tmp / "networks" / n["file"]
            _portable_weights(os.path.join(nets, n["file"]), str(dst), [INPUT_FILE],
                              [f"{n['output']}.target"])
            net_rows.append({"file": f"networks/{n['file']}", "fold": int(n["fold"]),
                             "output": n["output"], "net": n.get("net"),
                             "seed": n.get("seed"), "sha256": sha256_file(str(dst))})
        _write_reference(str(tmp), ref, ref_file, settings, bindir,
                         {p: str(tmp / t["file"]) for p, t in types.items()}, dbout)
        model = {
            "format": "protnn model",
            "format_version": FORMAT_VERSION,
            "outputs": [{"name": o, "file": t, "a": scaling.a[j], "b": scaling.b[j],
                         "min": scaling.lo[j], "max": scaling.hi[j]}
                        for j, (o, t) in enumerate(zip(outputs, targets))],
            "inputs": inputs,
            "types": types,
            "features": settings.to_dict(),
            "stack": {"settings": stack.settings.to_dict(), "folds": stack_rows},
            "training": {k: config[k] for k in ("folds", "networks", "seed", "split_seed",
                                                "test_share", "nntrain") if k in config}
            | {"nntrain_words": list(run.get("nntrain_words") or [])},
            "networks": net_rows,
            "folds": fold_rows,
            "groups": {"source": source} | {k: v for k, v in (run.get("groups") or {}).items()
                                            if k != "source"} | {"of": groups},
            "reference": {"id": ref, "structure": f"reference/{ref}.pdb",
                          "tables": {t: f"reference/{t}" for t in inputs}},
            "versions": {"run": dict(run.get("versions") or {}),
                         "model": dict(progs.versions) | library_versions()},
        }
        (tmp / MODEL_JSON).write_text(json.dumps(model, indent=2) + "\n", encoding="utf-8")
    return (f"{out}: {len(net_rows)} networks of {len(folds)} folds, outputs "
            f"{' '.join(outputs)}, reference structure {ref}")


def reference_tables(pdb: str, id_: str, settings: FeatureSettings, bindir: str,
                     types: dict[str, str]) -> dict[str, bytes]:
    """The input tables of the prepped reference structure PDB (one model already), made by
    the code of every feature computation."""
    with tempfile.TemporaryDirectory() as work:
        fails = compute_batch({id_: pdb}, work, replace(settings, nmr_model=0), bindir,
                              types=types)
        if fails:
            raise ProtnnError(f"reference structure {pdb}: the programs of {bindir} fail: "
                              f"{fails[0].step}: {fails[0].message}")
        return {t: read_bytes(os.path.join(work, id_, t)) for t in settings.inputs}


# -- Loading a model ----------------------------------------------------------------------

@dataclass
class Model:
    path: str                       # the folder
    info: dict                      # model.json
    settings: FeatureSettings

    def file(self, rel: str) -> str:
        return os.path.join(self.path, rel)

    def types(self) -> dict[str, str]:
        return {p: self.file(t["file"]) for p, t in self.info["types"].items()}


def _refuse(where: str, field: str, what: str) -> None:
    raise ProtnnError(f"{where}: {field}: {what}")


def _name(v: object, where: str, field: str, what: str = "name") -> str:
    """V, a string that obeys the rules of ids (an output name, an id, a file name)."""
    problem = id_problem(v, what) if isinstance(v, str) else \
        f"a {what} expected, found {json.dumps(v)}"
    if problem:
        _refuse(where, field, problem)
    return v


def _rel(v: object, sub: str, where: str, field: str) -> str:
    """V, the name of a file of the model's folder SUB: 'SUB/<file name>'."""
    if not isinstance(v, str) or not v.startswith(sub + "/"):
        _refuse(where, field, f"'{sub}/<file name>' expected, found {json.dumps(v)}")
    _name(v[len(sub) + 1:], where, field, "file name")
    return v


def _check_outputs(info: dict, where: str) -> list[str]:
    """The target file names of model.json's outputs, each `<name>.target` with its map."""
    outputs = info.get("outputs")
    if not isinstance(outputs, list) or not outputs:
        _refuse(where, "outputs", "a list of outputs expected")
    files = []
    for k, o in enumerate(outputs):
        field = f"outputs[{k}]"
        name = _name(o.get("name") if isinstance(o, dict) else None, where, f"{field}.name")
        if o.get("file") != f"{name}.target":
            _refuse(where, f"{field}.file", f"'{name}.target' expected (the output's target "
                                            f"file), found {json.dumps(o.get('file'))}")
        try:
            output_map(o)
        except ValueError as e:
            raise ProtnnError(f"{where}: {field}{e}") from None
        files.append(o["file"])
    return files


def _check_info(info: dict, where: str) -> tuple[FeatureSettings, dict[str, tuple]]:
    """The feature settings of model.json and its files {path in the folder: (field, sha256
    or None)}, every name checked by the rules of ids before any is used."""
    version = info.get("format_version")
    if type(version) is int and version == 1:
        raise ProtnnError(f"{where}: format version 1 (networks on the raw inputs, without "
                          f"ridge); this protnn reads version {FORMAT_VERSION}: predict with the "
                          f"protnn that made it, or train the model again")
    if type(version) is not int or version != FORMAT_VERSION:
        raise ProtnnError(f"{where}: format version {json.dumps(version)}; this protnn reads "
                          f"version {FORMAT_VERSION}")
    settings = settings_from_dict(info.get("features"), f"{where}: features")
    if info.get("inputs") != list(settings.inputs):
        _refuse(where, "inputs", f"{json.dumps(list(settings.inputs))} expected (the feature "
                                 f"settings' inputs), found {json.dumps(info.get('inputs'))}")
    files: dict[str, tuple] = {}

    def add(entry: object, sub: str, field: str) -> None:
        if not isinstance(entry, dict) or not isinstance(entry.get("sha256"), str):
            _refuse(where, field, "an object with a file and its sha256 expected")
        files[_rel(entry.get("file"), sub, where, f"{field}.file")] = (f"{field}.file",
                                                                       entry["sha256"])

    types = info.get("types")
    if not isinstance(types, dict) or set(types) != set(TYPES):
        _refuse(where, "types", f"the types files of {' and '.join(TYPES)} expected")
    for p in TYPES:
        add(types[p], "types", f"types.{p}")
    networks = info.get("networks")
    if not isinstance(networks, list) or not networks:
        _refuse(where, "networks", "a list of networks expected")
    for k, n in enumerate(networks):
        add(n, "networks", f"networks[{k}]")
    stack = info.get("stack")
    folds = stack.get("folds") if isinstance(stack, dict) else None
    if not isinstance(folds, list) or not folds:
        _refuse(where, "stack", "the folds' ridge fits and maps expected")
    for k, f in enumerate(folds):
        add(f, "stack", f"stack.folds[{k}]")
        if f.get("fold") != k + 1:
            _refuse(where, f"stack.folds[{k}].fold", f"{k + 1} expected")
    ref = info.get("reference")
    if not isinstance(ref, dict) or not isinstance(ref.get("tables"), dict) or \
            list(ref["tables"]) != list(settings.inputs):
        _refuse(where, "reference", "the reference structure and its tables "
                                    f"{' '.join(settings.inputs)} expected")
    _name(ref.get("id"), where, "reference.id", "id")
    files[_rel(ref.get("structure"), "reference", where, "reference.structure")] = \
        ("reference.structure", None)
    for t, rel in ref["tables"].items():
        files[_rel(rel, "reference", where, f"reference.tables.{t}")] = \
            (f"reference.tables.{t}", None)
    return settings, files


def _weights_header(path: str) -> list[list[bytes]]:
    """The words of lines 2 and 3 of a weight file: its inputs and its target files."""
    try:
        with open(path, "rb") as f:
            lines = [f.readline(1 << 16) for _ in range(3)]
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None
    return [lines[1].split(), lines[2].split()]


def load_model(path: str) -> Model:
    """Reads MODEL/model.json, checks every name it holds (nothing read from it names a path
    outside the folder) and that every file it names is there, inside the folder, unchanged,
    and that the weight files name the model's inputs and outputs."""
    where = os.path.join(path, MODEL_JSON)
    if not os.path.isdir(path):
        raise ProtnnError(f"{path}: no such model folder")
    if not os.path.isfile(where):
        raise ProtnnError(f"{path}: not a model folder, or an incomplete one: no {MODEL_JSON}")
    info = read_json(where, "a model file")
    if not isinstance(info, dict):
        raise ProtnnError(f"{where}: a JSON object expected")
    settings, files = _check_info(info, where)
    targets = _check_outputs(info, where)
    folder = os.path.realpath(path)
    for rel, (field, sha) in files.items():
        p = os.path.join(folder, rel)
        sub = os.path.join(folder, rel.split("/")[0])
        if os.path.commonpath([os.path.realpath(p), sub]) != sub:
            _refuse(where, field, f"{rel} is a link to {os.path.realpath(p)}, outside "
                                  f"the model's {rel.split('/')[0]} folder")
        if not os.path.isfile(p):
            raise ProtnnError(f"{path}: incomplete model folder: {rel} is missing")
        if sha is not None and sha256_file(p) != sha:
            raise ProtnnError(f"{p}: changed since the model was made (sha256 differs)")
    names = [t[:-len(".target")] for t in targets]
    for f in info["stack"]["folds"]:
        made = read_fold_stack(os.path.join(folder, f["file"]))
        if made.outputs != names or made.fold != f["fold"]:
            raise ProtnnError(f"{os.path.join(path, f['file'])}: fold {made.fold} of the outputs "
                              f"{' '.join(made.outputs)}, {MODEL_JSON} has fold {f['fold']} of "
                              f"{' '.join(names)}")
    for k, n in enumerate(info["networks"]):
        if n.get("output") not in names or type(n.get("fold")) is not int or \
                not 1 <= n["fold"] <= len(info["stack"]["folds"]):
            _refuse(where, f"networks[{k}]", f"an output of {' '.join(names)} and a fold from 1 "
                                             f"to {len(info['stack']['folds'])} expected")
        want = [[INPUT_FILE.encode()], [f"{n['output']}.target".encode()]]
        got = _weights_header(os.path.join(folder, n["file"]))
        for line, what in ((0, "inputs"), (1, "outputs")):
            if got[line] != want[line]:
                raise ProtnnError(
                    f"{os.path.join(path, n['file'])}:{line + 2}: the {what} "
                    f"{b' '.join(got[line]).decode(errors='replace')}, {MODEL_JSON} has "
                    f"{b' '.join(want[line]).decode()}")
    return Model(os.path.abspath(path), info, settings)


def check_programs(model: Model, bindir: str) -> None:
    """Refuses BINDIR when its programs do not make the model's reference tables."""
    ref = model.info["reference"]
    made = reference_tables(model.file(ref["structure"]), ref["id"], model.settings, bindir,
                            model.types())
    for table, rel in ref["tables"].items():
        if made[table] != read_bytes(model.file(rel)):
            made_by = {"pairdist.tab": "pairdist", "depth.tab": "atomdepth and depthdist"}
            was = model.info.get("versions", {}).get("model", {})
            raise ProtnnError(
                f"{model.path}: made with feature programs whose tables differ from this "
                f"build's: {made_by.get(table, table)} of {bindir}: another {table} of the "
                f"reference structure {ref['id']} (the model was made with "
                f"{', '.join(str(was.get(p, '?')) for p in ('pairdist', 'atomdepth', 'depthdist'))})")
