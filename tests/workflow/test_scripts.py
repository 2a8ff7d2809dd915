"""The workflow's scripts.  workflow/profiles/slurm/status.py against stand-in sacct and
scontrol commands: with and without accounting, jobs that Slurm has forgotten, a controller that
does not answer, records of an earlier cluster's job of the same number; a failed job must
never come out as `success`.  submit.py, jobscript.sh and status.py together (a stand-in sbatch).
workflow/local-slurm.sh interrupted by Ctrl-C while a batch job runs (as root with Slurm).
workflow/scripts/programs.sh
on a checkout without a build tree, with a stand-in cmake.  The train job of
workflow/scripts/jobs.py with a stand-in nntrain that fails or is stopped."""
import os
import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STATUS = ROOT / "workflow/profiles/slurm/status.py"
PROGRAMS = ROOT / "workflow/scripts/programs.sh"
NO_ACCOUNTING = ("Slurm accounting storage is disabled", 1)
UNKNOWN = ("slurm_load_jobs error: Invalid job id specified", 1)
DOWN = ("slurm_load_jobs error: Unable to contact slurm controller (connect failure)", 1)


def fake(path: pathlib.Path, out: str, status: int) -> None:
    """A command that prints out (to stdout on success, stderr on failure) with that status."""
    stream = ">&2" if status else ""
    path.write_text(f"#!/bin/sh\ncat {stream} <<'END'\n{out}\nEND\nexit {status}\n")
    path.chmod(0o755)


TOKEN = "0123456789abcdef0123456789abcdef"  # the token of this submission (submit.py)
STALE = "7.ffffffffffffffffffffffffffffffff.exit"  # job 7 of an earlier cluster


# (sacct answer, scontrol answer, exit status recorded under this submission's token, or None,
# or (file name, status) for a record of another submission; expected)
CASES = [
    (("COMPLETED|0:0", 0), None, None, "success"),
    (("COMPLETED|0:0", 0), None, 1, "failed"),      # accounting and the record disagree
    (("COMPLETED|1:0", 0), None, None, "failed"),
    (("FAILED|2:0", 0), None, None, "failed"),
    (("CANCELLED by 0|0:15", 0), None, None, "failed"),
    (("TIMEOUT|0:1", 0), None, None, "failed"),
    (("OUT_OF_MEMORY|0:125", 0), None, None, "failed"),
    (("NODE_FAIL|0:0", 0), None, None, "failed"),
    (("PENDING|0:0", 0), None, None, "running"),
    (("RUNNING|0:0", 0), None, None, "running"),
    (("", 0), ("JobId=7 JobState=RUNNING ExitCode=0:0", 0), None, "running"),  # not in sacct yet
    (NO_ACCOUNTING, ("JobId=7 JobState=COMPLETED Reason=None ExitCode=0:0", 0), None, "success"),
    (NO_ACCOUNTING, ("JobId=7 JobState=COMPLETED Reason=None ExitCode=0:0", 0), 2, "failed"),
    (NO_ACCOUNTING, ("JobId=7 JobState=FAILED Reason=NonZeroExitCode ExitCode=1:0", 0), None,
     "failed"),
    (NO_ACCOUNTING, ("JobId=7 JobState=COMPLETING ExitCode=0:0", 0), None, "running"),
    (NO_ACCOUNTING, ("JobId=7 JobState=PREEMPTED ExitCode=0:0", 0), None, "failed"),
    (NO_ACCOUNTING, UNKNOWN, 0, "success"),          # forgotten, its record says 0
    (NO_ACCOUNTING, UNKNOWN, 137, "failed"),
    (NO_ACCOUNTING, UNKNOWN, None, "failed"),        # forgotten without a record
    (NO_ACCOUNTING, DOWN, None, "running"),          # ask again later
    # A new cluster numbers its jobs from 1 again: the record of an earlier job 7 is not this
    # job's, whatever it says, and neither is one without a token.
    (NO_ACCOUNTING, UNKNOWN, (STALE, 0), "failed"),
    (NO_ACCOUNTING, UNKNOWN, ("7.exit", 0), "failed"),
    (NO_ACCOUNTING, ("JobId=7 JobState=COMPLETED Reason=None ExitCode=0:0", 0), (STALE, 1), "success"),
]


@pytest.mark.parametrize("sacct,scontrol,recorded,expected", CASES)
def test_status(tmp_path, sacct, scontrol, recorded, expected):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    fake(bindir / "sacct", *sacct)
    fake(bindir / "scontrol", *(scontrol or ("unexpected call", 1)))
    if recorded is not None:
        name, code = recorded if isinstance(recorded, tuple) else (f"7.{TOKEN}.exit", recorded)
        (tmp_path / ".snakemake" / "slurm").mkdir(parents=True)
        (tmp_path / ".snakemake" / "slurm" / name).write_text(f"{code}\n")
    env = dict(os.environ, PATH=f"{bindir}{os.pathsep}{os.environ['PATH']}")
    r = subprocess.run([str(STATUS), f"7;{TOKEN}"], cwd=tmp_path, env=env,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout == expected + "\n", r.stderr


@pytest.mark.parametrize("command,expected", [("exit 0", "success"), ("exit 3", "failed")])
def test_submit_jobscript_and_status_agree_on_the_record(tmp_path, command, expected):
    """submit.py's token reaches the job script, whose record status.py reads once Slurm has
    forgotten the job; an earlier cluster's record of job 7 (status 0) is not taken for it."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    # sbatch runs the job at once as job 7 (its last two words: the script and its argument).
    (bindir / "sbatch").write_text('#!/bin/sh\nwhile [ $# -gt 2 ]; do shift; done\n'
                                   'SLURM_JOB_ID=7 sh "$1" "$2" >/dev/null 2>&1\necho 7\n')
    (bindir / "sbatch").chmod(0o755)
    fake(bindir / "sacct", *NO_ACCOUNTING)
    fake(bindir / "scontrol", *UNKNOWN)
    (tmp_path / ".snakemake" / "slurm").mkdir(parents=True)
    (tmp_path / ".snakemake" / "slurm" / STALE).write_text("0\n")
    script = tmp_path / "job.sh"
    script.write_text((STATUS.parent / "jobscript.sh").read_text().format(
        properties='{"type": "single", "rule": "r", "threads": 1, "resources": {}}', exec_job=command))
    env = dict(os.environ, PATH=f"{bindir}{os.pathsep}{os.environ['PATH']}")
    sub = subprocess.run([str(STATUS.parent / "submit.py"), str(script)], cwd=tmp_path, env=env,
                         capture_output=True, text=True)
    assert sub.returncode == 0, sub.stderr
    jobid = sub.stdout.strip()
    assert jobid.startswith("7;") and len(jobid) > 10, jobid
    r = subprocess.run([str(STATUS), jobid], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert r.stdout == expected + "\n", r.stderr


def test_programs_builds_a_missing_build_tree_and_refuses_another_empty_bindir(tmp_path):
    """A fresh checkout has no build/ at all: the programs are built there, not refused."""
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    # cmake --build BUILD ... --target P...: each P becomes a program that prints its version.
    (stubs / "cmake").write_text(
        '#!/bin/sh\n[ "$1" = --build ] || { mkdir -p "$3"; touch "$3/CMakeCache.txt"; exit 0; }\n'
        'b=$2; shift; while [ "$1" != --target ]; do shift; done; shift\n'
        'mkdir -p "$b/bin"; for p; do printf \'#!/bin/sh\\necho "%s 1"\\n\' "$p" > "$b/bin/$p"; '
        'chmod +x "$b/bin/$p"; done\n')
    (stubs / "cmake").chmod(0o755)
    env = dict(os.environ, PATH=f"{stubs}:{os.environ['PATH']}")
    build = tmp_path / "checkout/build"
    r = subprocess.run(["bash", str(PROGRAMS), str(build / "bin"), str(ROOT), str(build)],
                       env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(build / "bin")) == ["atomdepth", "depthdist", "nntrain", "pairdist"]
    other = tmp_path / "elsewhere/bin"
    r = subprocess.run(["bash", str(PROGRAMS), str(other), str(ROOT), str(build / "none")],
                       env=env, capture_output=True, text=True)
    assert r.returncode == 1 and "config setting bindir" in r.stderr


def cluster_pids(conf: str) -> list:
    """The processes whose environment names the cluster's slurm.conf (daemons, job steps,
    batch jobs, COMMAND and its children)."""
    pids = []
    for d in pathlib.Path("/proc").iterdir():
        try:
            if d.name.isdigit() and f"SLURM_CONF={conf}".encode() in (d / "environ").read_bytes().split(b"\0"):
                pids.append(int(d.name))
        except OSError:
            pass
    return pids


def running(argv: list) -> bool:
    """Whether a process runs with exactly these words."""
    want = b"\0".join(a.encode() for a in argv) + b"\0"
    for d in pathlib.Path("/proc").iterdir():
        try:
            if d.name.isdigit() and (d / "cmdline").read_bytes() == want:
                return True
        except OSError:
            pass
    return False


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("slurmctld") or not shutil.which("munged"),
                    reason="needs root with slurm-wlm and munge")
def test_local_slurm_ctrl_c_cancels_the_jobs_before_the_daemons_stop(tmp_path):
    """Ctrl-C in a terminal (SIGINT to the script's process group) while a batch job runs: the
    daemons, in sessions of their own, do not get it; the job is cancelled while they still run,
    COMMAND's whole process group ends (also a child that ignores SIGINT), and nothing of the
    cluster outlives the script."""
    n = 3000 + os.getpid() % 1000 * 3  # unique sleeps: the job, a child ignoring SIGINT, COMMAND
    job, stubborn, command = (["sleep", str(n + k)] for k in range(3))
    script = (f'sbatch --wrap "{shlex.join(job)}" >&2; (trap "" INT; exec {shlex.join(stubborn)}) & '
              f'exec {shlex.join(command)}')
    err = open(tmp_path / "err", "w+")
    # A session of its own: the script leads its process group, as a terminal's foreground job.
    p = subprocess.Popen([str(ROOT / "workflow/local-slurm.sh"), "sh", "-c", script], cwd=tmp_path,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                         start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not running(job) and p.poll() is None and time.monotonic() < deadline:
            time.sleep(0.2)
        assert running(job), (tmp_path / "err").read_text()
        conf = re.search(r"SLURM_CONF=(\S+)\)", (tmp_path / "err").read_text()).group(1)
        assert running(stubborn)
        os.killpg(p.pid, signal.SIGINT)
        assert p.wait(timeout=120) == 130
        log = (tmp_path / "err").read_text()
        assert "cancelling the jobs still queued or running: 1" in log, log
        assert "killing what was left" not in log, log  # Slurm itself ended the job
        for argv in (job, stubborn, command):
            assert not running(argv), f"{argv} outlived the script\n{log}"
        assert cluster_pids(conf) == [], log
        assert not pathlib.Path(conf).parent.exists()
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)


def test_every_rule_that_runs_the_jobs_script_has_its_job():
    """jobs.py names the job of each rule; a renamed rule must not fail only when it runs."""
    import ast
    rules = {}
    for smk in sorted((ROOT / "workflow/rules").glob("*.smk")):
        for name, body in re.findall(r"^rule (\w+):\n((?:[ \t]+.*\n|\n)*)", smk.read_text(), re.M):
            rules[name] = "script:" in body
    tree = ast.parse((ROOT / "workflow/scripts/jobs.py").read_text())
    table = next(n.value for n in tree.body if isinstance(n, ast.Assign)
                 and getattr(n.targets[0], "id", "") == "JOBS")
    jobs = {k.value for k in table.keys}
    assert {r for r, script in rules.items() if script} == jobs


@pytest.mark.parametrize("end, finished", [("exit 0", True), ("exit 1", False),
                                           ("kill -INT $$", False)])
def test_a_training_that_fails_or_is_stopped_leaves_no_weight_file(tmp_path, monkeypatch,
                                                                    end, finished):
    """nntrain writes its best weights so far when stopped: they must not get the final name."""
    import runpy
    import types
    monkeypatch.syspath_prepend(str(ROOT / "python"))
    jobs = types.SimpleNamespace(**runpy.run_path(str(ROOT / "workflow/scripts/jobs.py")))
    import protnn.stack
    stack = types.SimpleNamespace(
        write_network_list=lambda db, k, o, seed, path: open(path, "x").close() or "0.2")
    monkeypatch.setattr(protnn.stack, "read_stack", lambda path: stack)
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin/nntrain").write_text(
        '#!/bin/sh\nwhile [ $# -gt 0 ]; do [ "$1" = -owf ] && w=$2; shift; done\n'
        f'echo weights > "$w"; echo log > "$w.fort.15"\n{end}\n')
    (tmp_path / "bin/nntrain").chmod(0o755)
    nets = tmp_path / "nets"
    nets.mkdir()
    wei = nets / "fold1-helix-net1.wei"
    s = types.SimpleNamespace(
        input=types.SimpleNamespace(stack=str(tmp_path / "stack"), db=str(tmp_path / "db")),
        output=types.SimpleNamespace(weights=[str(wei)], logs=[str(wei) + ".fort.15"]),
        log=[str(tmp_path / "train.log")], threads=1,
        wildcards=types.SimpleNamespace(k="1", o="helix"),
        params=types.SimpleNamespace(bin=str(tmp_path / "bin"), seeds=[11], words=["-m", "5"]))
    if finished:
        jobs.train(s)
    else:
        with pytest.raises(jobs.JobError):
            jobs.train(s)
    assert sorted(os.listdir(nets)) == (["fold1-helix-net1.wei", "fold1-helix-net1.wei.fort.15"]
                                        if finished else [])
