"""The jobs of the workflow (Snakemake's `script:` directive): each rule names this file and
the function of the same name runs with Snakemake's job object.  Programs get their words as
a list, never through a shell; their messages go to the job's log.  Logic about files and
formats is protnn's: this file only calls it.  (A `run:` block would not do: Snakemake starts
each such job as a new Snakemake that reads the whole Snakefile and the collection again.)"""

import os
import shlex
import shutil
import subprocess
import sys

from protnn import ProtnnError
from protnn.failures import SOME_FAILED, read_failures, write_failures
from protnn.files import write_new_text
from protnn.plan import progress_line
from protnn.runinfo import read_run, write_run


class JobError(Exception):
    pass


def protnn(s):
    """The words that run protnn with the Python of the setting `python`."""
    return [s.config["python"], "-m", "protnn"]


def run_logged(argv, log, stdout=None, ok=(0,), cwd=None):
    """Runs ARGV (a list of words) with its messages in LOG.  STDOUT: the result file for
    standard output, written under a temporary name and renamed when the program succeeds
    (otherwise standard output goes to LOG too).  A status outside OK stops the job with the
    end of LOG on standard error.  Returns the status."""
    argv = [str(a) for a in argv]
    os.makedirs(os.path.dirname(log), exist_ok=True)
    tmp = f"{os.path.dirname(stdout)}/.{os.path.basename(stdout)}.tmp" if stdout else None
    with open(log, "w", encoding="utf-8") as lf:
        print("$ " + shlex.join(argv), file=lf, flush=True)
        if tmp:
            with open(tmp, "w", encoding="utf-8") as of:
                status = subprocess.run(argv, stdout=of, stderr=lf, cwd=cwd).returncode
        else:
            status = subprocess.run(argv, stdout=lf, stderr=subprocess.STDOUT,
                                    cwd=cwd).returncode
    if status not in ok:
        if tmp and os.path.exists(tmp):
            os.unlink(tmp)
        with open(log, encoding="utf-8", errors="replace") as lf:
            tail = lf.read().splitlines()[-20:]
        print(f"FAILED (status {status}): {shlex.join(argv)}\n" +
              "\n".join("    " + l for l in tail), file=sys.stderr)
        raise JobError(f"{os.path.basename(argv[0])} failed with status {status} (log {log})")
    if tmp:
        os.replace(tmp, stdout)
    return status


def read_lines(path):
    with open(path, encoding="utf-8") as f:
        return [l.rstrip("\n") for l in f if l.strip()]


def header_text():
    from protnn.predictions import header_line
    return header_line(role=True) + "\n"


# ----------------------------------------------------------------------------------- jobs

def programs(s):
    """Builds the programs when they are missing, then lists them (path, version, sha256)."""
    from protnn.versions import programs_list_text
    run_logged([os.path.join(s.params.repo, "workflow", "scripts", "programs.sh"),
                s.params.bin, s.params.repo, os.path.join(s.params.repo, "build")], s.log[0])
    write_new_text(s.output[0], programs_list_text(s.params.bin))


def features(s):
    from protnn.features import read_settings
    from protnn.plan import to_compute
    from protnn.versions import programs_sha256
    todo = set(to_compute(s.input.key, s.params.featdir, read_settings(s.input.settings),
                          programs_sha256(s.input.programs)))
    run_logged(protnn(s) + ["features", "--bindir", s.params.bin, "--out", s.params.featdir,
                         "--settings", s.input.settings, "--list", s.input.batch,
                         "--failed", s.output.failed, "--done", s.output.done,
                         "-j", s.threads]
               + (["--strict"] if s.config["strict"] else [])
               + (["--model", s.params.model] if s.params.model else []), s.log[0])
    # The structures this job computed, not those it found done by an earlier run.
    print(progress_line(s.params.progress, len(todo & set(read_lines(s.output.done))),
                        len(todo & {r.id for r in read_failures(s.output.failed)})),
          file=sys.stderr)


def failed(s):
    write_failures(s.output[0], [r for path in s.input for r in read_failures(path)])


def groups(s):
    """Sequence groups of the training structures, read from the batches' lists."""
    run_logged(protnn(s) + ["groups", "-j", s.threads, "--min-seq-id", s.config["min_seq_id"],
                           "--coverage", s.config["coverage"], "-o", s.output.groups,
                           "--failed", s.output.failed, "--list", *s.input.batches],
               s.log[0], ok=(0,) if s.config["strict"] else (0, SOME_FAILED))


def db(s):
    """protnn db on the training proteins whose features (and groups) succeeded."""
    failures = list(s.input.failed) + list(s.input.groups)[1:]
    run_logged(protnn(s) + ["db", "--features", s.params.featdir, "--targets", s.input.targets,
                         "--out", s.output[0], "--folds", s.config["folds"],
                         "--seed", s.config["split_seed"],
                         "--inputs", ",".join(s.config["inputs"]),
                         "--test-share", s.config["test_share"]]
               + (["--groups", s.input.groups[0]] if s.input.groups else [])
               + (["--exclude", *failures] if failures else []), s.log[0])


def train(s):
    """The networks of one output of fold k, s.threads at a time: each network on fold k's
    list of that output in the stack with its own early-stopping groups drawn with its own
    seed, the words of the nntrain setting.  Each nntrain writes into a folder of its own
    beside its weight file; the weights and their log get their final names only when it
    ends with status 0, so a training that was stopped leaves no weight file that looks
    finished."""
    from concurrent.futures import ThreadPoolExecutor
    from protnn.stack import read_stack
    k = int(s.wildcards.k)
    stack = read_stack(s.input.stack)

    def one(n):
        weights = s.output.weights[n]
        name = os.path.basename(weights)
        work = os.path.join(os.path.dirname(weights), f".{name}.tmp")
        shutil.rmtree(work, ignore_errors=True)      # what a stopped training left
        os.makedirs(work)
        try:
            lst = os.path.join(work, "list.db")
            f = stack.write_network_list(s.input.db, k, s.wildcards.o, int(s.params.seeds[n]),
                                         lst)
            run_logged([os.path.join(s.params.bin, "nntrain"), "-l", lst, "-f", f,
                        "-r", s.params.seeds[n], *s.params.words, "-owf", name],
                       s.log[n], cwd=work)
            os.link(os.path.join(work, name + ".fort.15"), s.output.logs[n])
            os.link(os.path.join(work, name), weights)              # the weights last
        finally:
            shutil.rmtree(work, ignore_errors=True)
    with ThreadPoolExecutor(max_workers=max(1, s.threads)) as pool:
        list(pool.map(one, range(len(s.output.weights))))


def predict_cv(s):
    """Fold k's held-out proteins: per output, fold k's networks of that output (nntrain
    reads a weight list up to a blank: plain names, read in the folder of the networks),
    then ridge plus the networks (protnn collect --stack)."""
    k = int(s.wildcards.k)
    nets = os.path.dirname(os.path.abspath(s.input.weights[0]))
    held = os.path.abspath(f"{s.input.db}/fold{k}.ids")
    for files, lst, out, log in zip(s.params.nets, s.output.lst, s.output.out, s.log.nntrain):
        with open(lst, "w", encoding="utf-8") as f:
            f.write("".join(name + "\n" for name in files))
        run_logged([os.path.join(s.params.bin, "nntrain"), "-aw", os.path.abspath(lst),
                    "-prl", held], log, stdout=os.path.abspath(out), cwd=nets)
    run_logged(protnn(s) + ["collect", "--stack", s.input.stack, "--fold", k, "--db",
                         s.input.db, "--targets", s.input.targets, "--role", "cv",
                         "-o", s.output.tsv, *s.output.out], s.log.collect)


def stack(s):
    st = s.config["stack"]
    run_logged(protnn(s) + ["stack", "--db", s.input.db, "-o", s.output[0],
                         "--inputs", st["inputs"], "--target", st["target"],
                         "--weight", st["weight"], "--seed", s.config["split_seed"],
                         "-j", s.threads], s.log[0])


def run_json(s):
    """The run's settings (written when the Snakefile was read) with the versions of the
    programs and libraries."""
    from protnn.versions import read_programs_list, run_versions
    run = read_run(s.input.settings)
    run["versions"] = run_versions(read_programs_list(s.input.programs))
    write_run(s.output[0], run)


def model(s):
    run_logged(protnn(s) + ["model", "--run", s.input.run, "--db", s.input.db,
                         "--stack", s.input.stack, "--nets",
                         os.path.dirname(os.path.abspath(s.input.weights[0])),
                         "--bindir", s.params.bin, "-o", s.output[0]]
               + (["--groups", s.input.groups] if s.input.groups else []), s.log[0])


def predict_new(s):
    """The proteins without (all) targets whose features succeeded, predicted with the model
    folder by the code of protnn predict, so that it gives the same numbers."""
    ids = [i for path in s.input.done for i in read_lines(path)]
    if not ids:
        write_new_text(s.output[0], header_text())
        return
    from protnn.predict import predict_features
    predict_features(s.params.model, s.params.featdir, ids, s.params.bin, s.output[0],
                     role="new", with_target=True)


def ridge(s):
    run_logged(protnn(s) + ["ridge", "--db", s.input.db, "-o", s.output[0],
                         "--seed", s.config["split_seed"], "-j", s.threads], s.log[0])


def merge_predictions(s):
    """One table: the header once, then the rows of every fold and of the new proteins."""
    from protnn.predictions import merge
    merge(list(s.input), s.output[0])


def report(s):
    argv = protnn(s) + ["report", "--predictions", s.input.predictions, "--failed", s.input.failed,
                     "--run", s.input.run]
    if s.input.logs:
        argv += ["--logs", *s.input.logs]
    for option in ("db", "ridge", "groups", "stack"):
        if s.input[option]:
            argv += [f"--{option}", s.input[option][0]]
    argv += ["--features", s.params.featdir]
    run_logged(argv + ["-o", s.output.report], s.log[0], stdout=s.output.summary)


# The job of every rule, by the rule's name.
JOBS = {"programs": programs, "features": features, "failed": failed, "groups": groups,
        "db": db, "stack": stack, "train": train, "predict_cv": predict_cv, "run_json": run_json,
        "model": model, "predict_new": predict_new, "ridge": ridge,
        "merge_predictions": merge_predictions, "report": report}

if "snakemake" in globals():                          # run by Snakemake's script directive
    try:
        if snakemake.rule not in JOBS:               # noqa: F821 (set by Snakemake)
            raise JobError(f"no job for the rule {snakemake.rule}")     # noqa: F821
        JOBS[snakemake.rule](snakemake)              # noqa: F821
    except (ProtnnError, JobError) as e:
        print(f"{snakemake.rule}: {e}", file=sys.stderr)     # noqa: F821
        sys.exit(1)
