"""workflow/profiles/slurm/status.py against stand-in sacct and scontrol commands: with and
without accounting, jobs that Slurm has forgotten, a controller that does not answer.  A
failed job must never come out as `success`."""
import os
import pathlib
import subprocess

import pytest

STATUS = pathlib.Path(__file__).resolve().parents[2] / "workflow/profiles/slurm/status.py"
NO_ACCOUNTING = ("Slurm accounting storage is disabled", 1)
UNKNOWN = ("slurm_load_jobs error: Invalid job id specified", 1)
DOWN = ("slurm_load_jobs error: Unable to contact slurm controller (connect failure)", 1)


def fake(path: pathlib.Path, out: str, status: int) -> None:
    """A command that prints out (to stdout on success, stderr on failure) with that status."""
    stream = ">&2" if status else ""
    path.write_text(f"#!/bin/sh\ncat {stream} <<'END'\n{out}\nEND\nexit {status}\n")
    path.chmod(0o755)


# (sacct answer, scontrol answer, recorded exit status or None, expected)
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
]


@pytest.mark.parametrize("sacct,scontrol,recorded,expected", CASES)
def test_status(tmp_path, sacct, scontrol, recorded, expected):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    fake(bindir / "sacct", *sacct)
    fake(bindir / "scontrol", *(scontrol or ("unexpected call", 1)))
    if recorded is not None:
        (tmp_path / ".snakemake" / "slurm").mkdir(parents=True)
        (tmp_path / ".snakemake" / "slurm" / "7.exit").write_text(f"{recorded}\n")
    env = dict(os.environ, PATH=f"{bindir}{os.pathsep}{os.environ['PATH']}")
    r = subprocess.run([str(STATUS), "7;cluster"], cwd=tmp_path, env=env,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout == expected + "\n", r.stderr
