"""python3 -m protnn COMMAND: the command line; each command parses and calls the package."""

from __future__ import annotations

import argparse
import signal
import sys

from . import ProtnnError, __version__


# Each command: its arguments, then the function that runs it.

def add_prep(sub) -> None:
    s = sub.add_parser("prep", help="any structure file to a clean PDB file",
                       description="Reads a PDB, mmCIF or mmJSON file (gzip-compressed or not) "
                       "and writes a new PDB file with one model, the first alternate location "
                       "of each residue, no hydrogens and no waters, one-letter chain names, "
                       "selenomethionine as MET and coordinates that fit the PDB columns "
                       "(moved by an integer vector when needed).  Refuses more than 62 chains "
                       "and CA-only models.")
    s.add_argument("input", metavar="IN")
    s.add_argument("output", metavar="OUT.pdb")
    s.add_argument("--model", type=int, help="model number to keep (default: the first)")
    s.set_defaults(run=cmd_prep)


def cmd_prep(a: argparse.Namespace) -> None:
    from .structure import prep
    print("prep: " + prep(a.input, a.output, a.model), file=sys.stderr)


def add_targets(sub) -> None:
    s = sub.add_parser("targets", help="helix, strand and rg_ratio targets as a CSV table",
                       description="Computes the targets of structure files (DSSP helix and "
                       "strand fractions, CA radius of gyration over 2.2 N^0.38), or reads them "
                       "from a target-file directory DIR/<id>/ss.target, rg.target.  A "
                       "structure that fails is left out and named on standard error "
                       "(ID: targets: MESSAGE); then the status is 3.")
    s.add_argument("structures", nargs="*", metavar="STRUCTURE|DIR")
    s.add_argument("--from-dir", metavar="DIR", help="read DIR/<id>/ss.target and rg.target")
    s.add_argument("--groups", metavar="FILE",
                   help="TSV/CSV with `sample` or `id` and `group`: adds a group column")
    s.add_argument("-o", "--output", metavar="OUT.csv", help="new file (default: stdout)")
    s.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="mkdssp runs at a time (default 1)")
    s.set_defaults(run=cmd_targets)


def cmd_targets(a: argparse.Namespace) -> int:
    from .failures import SOME_FAILED, one_line
    from .sheets import read_groups, write_table
    from .targets import table_from_dir, table_from_structures
    groups = read_groups(a.groups) if a.groups else None
    if a.from_dir and a.structures:
        raise ProtnnError("give structure files or --from-dir, not both")
    failures = []
    if a.from_dir:
        text = table_from_dir(a.from_dir, groups)
    elif a.structures:
        text, failures = table_from_structures(a.structures, groups, a.jobs)
    else:
        raise ProtnnError("no structure file given (or --from-dir DIR)")
    write_table(text, a.output)
    for f in failures:
        print(f"{f.id}: {f.step}: {one_line(f.message)}", file=sys.stderr)
    return SOME_FAILED if failures else 0


def add_db(sub) -> None:
    s = sub.add_parser("db", help="nntrain database with scaled targets and k-fold lists",
                       description="Builds a new database directory from feature tables "
                       "FEATDIR/<id>/<input> and a targets table.")
    s.add_argument("--features", required=True, metavar="FEATDIR")
    s.add_argument("--targets", required=True, metavar="TABLE.csv")
    s.add_argument("--out", required=True, metavar="DBOUT")
    s.add_argument("--folds", type=int, default=5, metavar="K", help="folds (default 5)")
    s.add_argument("--seed", type=int, default=1, metavar="S",
                   help="seed of the fold assignment (default 1)")
    s.add_argument("--inputs", default="pairdist.tab,depth.tab", metavar="A,B",
                   help="input types (default pairdist.tab,depth.tab)")
    s.add_argument("--test-share", type=float, default=0.15, metavar="F",
                   help="share of a fold's training list in its early-stopping groups "
                   "(default 0.15)")
    s.add_argument("--groups", metavar="GROUPS.tsv",
                   help="id and group of the proteins (header `id` or `sample`, and `group`), "
                   "used instead of the table's group column; an id it does not list is a "
                   "group of its own")
    s.add_argument("--exclude", nargs="+", metavar="FAILED.tsv",
                   help="tables of failed structures (id step message): their ids are left out")
    s.set_defaults(run=cmd_db)


def check_seed(seed: int) -> None:
    """The seeds of numpy's generator: whole numbers of at least 0."""
    if seed < 0:
        raise ProtnnError(f"--seed {seed}: a seed is a whole number of at least 0")


def cmd_db(a: argparse.Namespace) -> None:
    from .database import make_database
    check_seed(a.seed)
    from .failures import read_failures
    inputs = [x.strip() for x in a.inputs.split(",")]
    exclude = {r.id for path in a.exclude or [] for r in read_failures(path)}
    print("db: " + make_database(a.features, a.targets, a.out, a.folds, a.seed, inputs,
                                 a.test_share, a.groups, exclude), file=sys.stderr)


def add_folds(sub) -> None:
    s = sub.add_parser("folds", help="the folds of a database (folds.json) as a table",
                       description="Prints the folds of the database DBOUT, tab-separated: "
                       "fold, nntrain's -f value, training and early-stopping proteins, "
                       "held-out proteins, the list file and the held-out ids file (names in "
                       "DBOUT); with --f K only fold K's -f value.")
    s.add_argument("db", metavar="DBOUT")
    s.add_argument("--f", type=int, metavar="K", help="print only the -f value of fold K")
    s.set_defaults(run=cmd_folds)


def cmd_folds(a: argparse.Namespace) -> None:
    from .folds import folds_text, read_folds
    info = read_folds(a.db)
    if a.f is None:
        print(folds_text(info), end="")
    elif 1 <= a.f <= len(info.folds):
        print(info.folds[a.f - 1].f)
    else:
        raise ProtnnError(f"--f {a.f}: {a.db} has folds 1 to {len(info.folds)}")


def add_collect(sub) -> None:
    s = sub.add_parser("collect", help="nntrain predictions to a labelled TSV",
                       description="Labels the prediction lines of one nntrain run (one "
                       "network or -aw) with output names and undoes the target scaling; "
                       "with --stack, a fold's held-out proteins as ridge plus the networks "
                       "from one nntrain -aw run per output.")
    s.add_argument("predictions", nargs="+", metavar="PRED.out")
    s.add_argument("--db", required=True, metavar="DBOUT")
    s.add_argument("--stack", metavar="STACK", help="the stack folder (protnn stack)")
    s.add_argument("--fold", type=int, metavar="K", help="with --stack: the fold")
    s.add_argument("--targets", metavar="TABLE.csv",
                   help="take the targets from this table (default: nntrain's, unscaled)")
    s.add_argument("--role", help="adds a role column with this word (cv, new, ...)")
    s.add_argument("-o", "--output", required=True, metavar="OUT.tsv")
    s.set_defaults(run=cmd_collect)


def cmd_collect(a: argparse.Namespace) -> None:
    if a.stack:
        from .stack import collect_fold
        if a.fold is None:
            raise ProtnnError("--stack needs --fold K")
        n = collect_fold(a.stack, a.db, a.fold, a.predictions, a.output, a.targets, a.role)
    else:
        from .predictions import collect
        if len(a.predictions) != 1:
            raise ProtnnError("one prediction file expected (several with --stack)")
        n = collect(a.predictions[0], a.db, a.output, a.targets, a.role)
    print(f"collect: {a.output}: {n} predictions", file=sys.stderr)


def add_stack(sub) -> None:
    s = sub.add_parser("stack", help="ridge per fold and what its networks learn",
                       description="Per fold of the database, from its training proteins "
                       "only: ridge (as protnn ridge fits it), each training protein's "
                       "out-of-fold ridge residual, the networks' input map and the residuals' "
                       "maps; writes the networks' databases and lists, one list per output.")
    s.add_argument("--db", required=True, metavar="DBOUT")
    s.add_argument("-o", "--output", required=True, metavar="STACK")
    s.add_argument("--inputs", default="z", metavar="MAP",
                   help="what the networks read: raw, z (z-scores) or pcaQ (the first Q "
                   "principal axes of the z-scores; default z)")
    s.add_argument("--target", default="asinh", choices=("sym", "asinh", "minmax"),
                   help="the map of the residuals into [-0.9, 0.9] (default asinh: "
                   "c asinh(r / s), the tails compressed; sym: scaled; both keep 0 at 0; "
                   "minmax)")
    s.add_argument("--weight", type=float, default=1.0, metavar="W",
                   help="prediction = ridge + W * networks (default 1)")
    s.add_argument("--seed", type=int, default=1, metavar="S",
                   help="ridge's seed (its inner parts with 2 folds; default 1)")
    s.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="threads for ridge (default 1; same results)")
    s.set_defaults(run=cmd_stack)


def cmd_stack(a: argparse.Namespace) -> None:
    from .stack import make_stack, settings_from_dict
    settings = settings_from_dict({"inputs": a.inputs, "target": a.target,
                                   "weight": a.weight}, "protnn stack")
    print("stack: " + make_stack(a.db, a.output, settings, a.seed, a.jobs), file=sys.stderr)


def add_groups(sub) -> None:
    s = sub.add_parser("groups", help="groups of structures by sequence identity (MMseqs2)",
                       description="Clusters the protein chains of the structures with MMseqs2 "
                       "(easy-cluster); structures that share a cluster through any chain "
                       "share a group, so an entry, its chains and its models form one group. "
                       "Writes `id group` (tab-separated); a structure without a protein "
                       "chain is named on standard error and the status is 3.")
    s.add_argument("structures", nargs="*", metavar="STRUCTURE|DIR")
    s.add_argument("--list", nargs="+", metavar="BATCH.tsv",
                   help="structures listed as id<TAB>path per line (protnn features' lists)")
    s.add_argument("-o", "--output", required=True, metavar="groups.tsv")
    s.add_argument("--failed", metavar="FAILED.tsv",
                   help="new file: id step message of the structures left out (header only "
                   "when none)")
    s.add_argument("--min-seq-id", type=float, default=0.3, metavar="F",
                   help="least sequence identity within a cluster (default 0.3)")
    s.add_argument("--coverage", type=float, default=0.8, metavar="F",
                   help="least alignment coverage of both chains (default 0.8)")
    s.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="processes reading structures, and MMseqs2 threads (default 1)")
    s.set_defaults(run=cmd_groups)


def cmd_groups(a: argparse.Namespace) -> int:
    from .failures import SOME_FAILED, write_failures
    from .files import refuse_existing
    from .ids import find_structures
    from .groups import write_groups
    if a.failed:
        refuse_existing(a.failed)
    from .features import read_batch_list
    structures, failed = find_structures(a.structures) if a.structures else ({}, [])
    for path in a.list or []:
        structures |= read_batch_list(path)
    if not structures:
        raise ProtnnError("no structure file found in " + " ".join(a.structures + (a.list or [])))
    groups, more = write_groups(structures, a.output, a.min_seq_id, a.coverage, a.jobs)
    failed += more
    for f in failed:
        print(f"{f.id}: {f.step}: {f.message}", file=sys.stderr)
    if a.failed:
        write_failures(a.failed, failed)
    sizes: dict[str, int] = {}
    for g in groups.values():
        sizes[g] = sizes.get(g, 0) + 1
    largest = min(sizes.items(), key=lambda x: (-x[1], x[0])) if sizes else ("-", 0)
    print(f"groups: {a.output}: {len(groups)} structures in {len(sizes)} groups (largest "
          f"{largest[0]}, {largest[1]}), {len(failed)} failed", file=sys.stderr)
    return SOME_FAILED if failed else 0


def add_ridge(sub) -> None:
    s = sub.add_parser("ridge", help="ridge regression on the database's inputs and folds",
                       description="The linear baseline: per fold, ridge regression on the "
                       "fold's training proteins (inputs standardised on them, the penalty "
                       "chosen by an inner cross-validation on them), predicting the proteins "
                       "the fold holds out. Writes a predictions table (role cv, sd empty).")
    s.add_argument("--db", required=True, metavar="DBOUT")
    s.add_argument("-o", "--output", required=True, metavar="ridge.tsv")
    s.add_argument("--seed", type=int, default=1, metavar="S",
                   help="seed of the inner parts when there are only 2 folds (default 1)")
    s.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="threads for the sums and fits (default 1; same results)")
    s.set_defaults(run=cmd_ridge)


def cmd_ridge(a: argparse.Namespace) -> None:
    from .ridge import ridge
    check_seed(a.seed)
    n = ridge(a.db, a.output, a.seed, log=lambda line: print(line, file=sys.stderr),
              jobs=a.jobs)
    print(f"ridge: {a.output}: {n} predictions", file=sys.stderr)


def add_report(sub) -> None:
    s = sub.add_parser("report", help="HTML report with plots of predictions and training",
                       description="Writes REPORTDIR/index.html with PNG plots and "
                       "REPORTDIR/proteins.tsv: errors per output beside the trivial predictor "
                       "and ridge with bootstrap intervals, predicted versus target, learning "
                       "curves of every network, the run's settings and failed structures; "
                       "without targets the predictions and their spread. Prints the summary.")
    s.add_argument("--predictions", required=True, nargs="+", metavar="predictions.tsv")
    s.add_argument("--logs", nargs="+", metavar="LOG", help="training logs (*.wei.fort.15)")
    s.add_argument("--db", metavar="DBOUT", help="the database: trivial predictor per fold")
    s.add_argument("--ridge", metavar="ridge.tsv", help="ridge predictions (protnn ridge)")
    s.add_argument("--failed", metavar="failed.tsv", help="structures left out of the run")
    s.add_argument("--run", dest="run_json", metavar="run.json", help="the run's settings")
    s.add_argument("--groups", metavar="groups.tsv", help="`id group` of the proteins")
    s.add_argument("--stack", metavar="STACK", help="the stack of the networks (protnn stack)")
    s.add_argument("--features", metavar="FEATDIR",
                   help="the proteins' feature folders (flags structures mostly of the "
                   "catch-all type)")
    s.add_argument("-o", "--output", required=True, metavar="REPORTDIR")
    s.set_defaults(run=cmd_report)


def cmd_report(a: argparse.Namespace) -> None:
    from .report import make_report
    print(make_report(a.predictions, a.logs, a.output, a.db, a.ridge, a.failed, a.run_json,
                      a.groups, warn=lambda line: print("report: " + line, file=sys.stderr),
                      features=a.features, stack_dir=a.stack), end="")


def add_features(sub) -> None:
    s = sub.add_parser("features", help="feature tables of a batch of structures",
                       description="prep, pairdist, atomdepth and depthdist for every "
                       "structure of a batch: FEATDIR/<id>/ with the input tables and a stamp "
                       "(source.json); structures whose stamp matches are not done again. "
                       "Failures are recorded in --failed; the batch goes on.")
    s.add_argument("--bindir", required=True, metavar="BIN", help="the programs")
    s.add_argument("--out", required=True, metavar="FEATDIR")
    s.add_argument("--settings", required=True, metavar="SETTINGS.json",
                   help="feature settings: nmr_model, probe, points, estimates, inputs")
    s.add_argument("--list", required=True, metavar="BATCH.tsv", help="id<TAB>path per line")
    s.add_argument("--failed", required=True, metavar="FAILED.tsv",
                   help="new file: id step message of the structures that failed")
    s.add_argument("--done", metavar="BATCH.done", help="new file: the ids done, one a line")
    s.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="structures at a time (default 1)")
    s.add_argument("--strict", action="store_true", help="stop at the first failure")
    s.add_argument("--model", metavar="MODEL",
                   help="the types files of this model folder (default: the shipped ones)")
    s.set_defaults(run=cmd_features)


def cmd_features(a: argparse.Namespace) -> None:
    from .failures import write_failures
    from .features import compute_batch, read_batch_list, read_settings
    from .files import refuse_existing, write_new_text
    settings = read_settings(a.settings)
    batch = read_batch_list(a.list)
    for out in (a.failed, a.done):
        if out:
            refuse_existing(out)
    types = None
    if a.model:
        from .model import load_model
        types = load_model(a.model).types()
    rows = compute_batch(batch, a.out, settings, a.bindir, a.jobs, a.strict, types=types)
    for r in rows:
        print(f"{r.id}: {r.step}: {r.message}", file=sys.stderr)
    failed = {r.id for r in rows}
    write_failures(a.failed, rows)
    if a.done:
        write_new_text(a.done, "".join(i + "\n" for i in sorted(batch) if i not in failed))
    print(f"features: {a.out}: {len(batch) - len(failed)} of {len(batch)} structures done, "
          f"{len(failed)} failed", file=sys.stderr)


def add_model(sub) -> None:
    s = sub.add_parser("model", help="the model folder of a finished run",
                       description="Writes the new folder MODEL: model.json (outputs and "
                       "scaling, inputs, types files, feature and training settings, folds, "
                       "versions), the weight files and a reference structure with its tables. "
                       "The folder can be copied anywhere and predicts with protnn predict.")
    s.add_argument("--run", required=True, dest="run_json", metavar="run.json",
                   help="the run's settings")
    s.add_argument("--db", required=True, metavar="DBOUT", help="the run's database")
    s.add_argument("--stack", required=True, metavar="STACK",
                   help="the run's stack folder (protnn stack)")
    s.add_argument("--nets", required=True, metavar="NETS", help="folder of the weight files")
    s.add_argument("--bindir", required=True, metavar="BIN", help="the programs of the run")
    s.add_argument("--groups", metavar="FILE",
                   help="id and group columns (default: the run's groups.tsv or targets table)")
    s.add_argument("--structures", nargs="+", metavar="PATH",
                   help="the run's structures (default: run.json's config)")
    s.add_argument("-o", "--output", required=True, metavar="MODEL")
    s.set_defaults(run=cmd_model)


def cmd_model(a: argparse.Namespace) -> None:
    from .model import make_model
    print("model: " + make_model(a.run_json, a.db, a.stack, a.nets, a.bindir, a.output,
                                 a.groups, a.structures), file=sys.stderr)


def add_predict(sub) -> None:
    s = sub.add_parser("predict", help="predictions of structure files with a model folder",
                       description="Computes the feature tables of the structures with the "
                       "model's settings and predicts them with every network of the model: "
                       "a TSV `id output mean sd` in the units of the targets table. "
                       "Structures that fail are named on standard error (status 3).")
    s.add_argument("structures", nargs="+", metavar="STRUCTURE|DIR")
    s.add_argument("--model", required=True, metavar="MODEL")
    s.add_argument("-o", "--output", required=True, metavar="OUT.tsv")
    s.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="structures at a time (default 1)")
    s.add_argument("--features", metavar="FEATDIR",
                   help="keep the feature tables here (and reuse those already there)")
    s.add_argument("--bindir", metavar="BIN",
                   help="the programs (default: those beside this package)")
    s.set_defaults(run=cmd_predict)


def cmd_predict(a: argparse.Namespace) -> int:
    from .failures import SOME_FAILED
    from .predict import default_bindir, predict
    n, failures = predict(a.model, a.structures, a.output, a.bindir or default_bindir(),
                          a.jobs, a.features)
    for r in failures:
        print(f"{r.id}: {r.step}: {r.message}", file=sys.stderr)
    print(f"predict: {a.output}: {n} proteins predicted; {len(failures)} structures failed",
          file=sys.stderr)
    return SOME_FAILED if failures else 0


COMMANDS = (add_prep, add_targets, add_db, add_folds, add_collect, add_stack, add_groups,
            add_ridge, add_report, add_features, add_model, add_predict)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="protnn", description="Glue around the protnn programs: "
                                "structures, targets, databases, predictions, reports.")
    p.add_argument("--version", action="version", version=f"protnn {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in COMMANDS:
        add(sub)
    return p


class Stopped(BaseException):
    """SIGINT or SIGTERM: raised in the main thread, so that every temporary file and folder
    is removed on the way out (their `finally` and `with` blocks) and nothing half-written
    is left."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame) -> None:
    for s in (signal.SIGINT, signal.SIGTERM):     # one stop; a second signal waits for it
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signum)


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    for s in (signal.SIGINT, signal.SIGTERM):
        signal.signal(s, _stop)
    try:
        status = args.run(args) or 0     # SOME_FAILED from a command that left some out
    except Stopped as e:               # the status of a shell's command killed by the signal
        print(f"protnn {args.command}: stopped by {signal.Signals(e.signum).name} (nothing "
              f"half-written is left)", file=sys.stderr)
        return 128 + e.signum
    except ProtnnError as e:
        print(f"protnn {args.command}: {e}", file=sys.stderr)
        return 1
    except OSError as e:          # a file that cannot be created or written, a full disk
        where = f"{e.filename}: " if e.filename else ""
        print(f"protnn {args.command}: {where}{e.strerror or e}", file=sys.stderr)
        return 1
    try:
        sys.stdout.flush()
    except OSError as e:
        print(f"protnn {args.command}: cannot write standard output: {e.strerror}",
              file=sys.stderr)
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
