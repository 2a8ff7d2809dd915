#!/usr/bin/python3
"""Prints the state of one Slurm job for Snakemake: `running`, `success` or `failed`.

Called by Snakemake as `status.py JOBID;TOKEN` (the id that submit.py printed).  The sources,
in order:
  1. sacct, where the cluster keeps accounting (it knows every job, also long finished ones);
  2. scontrol, which knows pending, running and recently finished jobs (MinJobAge);
  3. the exit status that jobscript.sh wrote to .snakemake/slurm/JOBID.TOKEN.exit.
The record is read only under this submission's token: a record of an earlier cluster's job
with the same number (a new cluster numbers its jobs from 1 again) has another token and is
never taken, and an id without a token has no record at all.
`success` is printed only for a job that Slurm reports COMPLETED with exit code 0:0 (and whose
recorded exit status, when there is one, is 0), or that Slurm no longer knows and whose own
record says 0; every other final state, and a job that no source knows, is `failed`.  When the
controller cannot be reached the answer is `running`, so that Snakemake asks again instead of
deciding on no information; the reason goes to stderr.
"""
import os
import re
import subprocess
import sys

# Slurm job states that are not final yet.
ACTIVE = {"PENDING", "RUNNING", "CONFIGURING", "COMPLETING", "SUSPENDED", "REQUEUED",
          "REQUEUE_FED", "REQUEUE_HOLD", "RESIZING", "SIGNALING", "STAGE_OUT", "STOPPED",
          "RESV_DEL_HOLD", "POWER_UP_NODE", "UPDATE_DB"}


def run(cmd: list) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return subprocess.CompletedProcess(cmd, 255, "", str(e))


def recorded_exit(jobid: str, token: str):
    """The exit status that jobscript.sh wrote for this submission, or None."""
    if not re.fullmatch(r"[0-9]+", jobid) or not re.fullmatch(r"[0-9a-f]+", token):
        return None
    try:
        with open(os.path.join(".snakemake", "slurm", f"{jobid}.{token}.exit"), encoding="ascii") as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def verdict(state: str, exitcode: str, recorded) -> str:
    """running/success/failed from a Slurm state word (e.g. 'CANCELLED by 0'), its ExitCode and
    the recorded exit status (None when there is none)."""
    word = state.split()[0].rstrip("+") if state.split() else ""
    if word in ACTIVE:
        return "running"
    if word == "COMPLETED" and exitcode == "0:0" and recorded in (None, 0):
        return "success"
    return "failed"


def from_sacct(jobid: str):
    """(state, exit code) from accounting, or None when there is none or it has no record yet."""
    r = run(["sacct", "-j", jobid, "-X", "-n", "-P", "-o", "State,ExitCode"])
    if r.returncode != 0:
        return None  # e.g. "Slurm accounting storage is disabled"
    for line in r.stdout.splitlines():
        parts = line.strip().split("|")
        if len(parts) == 2 and parts[0]:
            return parts[0], parts[1]
    return None


def from_scontrol(jobid: str):
    """(state, exit code) from the controller; ('', '') when it does not know the job;
    None when the controller did not answer."""
    r = run(["scontrol", "-o", "show", "job", jobid])
    if r.returncode != 0:
        if "Invalid job id" in r.stderr:
            return "", ""
        return None
    fields = dict(w.split("=", 1) for w in r.stdout.split() if "=" in w)
    return fields.get("JobState", ""), fields.get("ExitCode", "")


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: status.py JOBID;TOKEN", file=sys.stderr)
        return 2
    jobid, _, token = sys.argv[1].strip().partition(";")
    found = from_sacct(jobid)
    if found is None:
        found = from_scontrol(jobid)
        if found is None:
            print(f"status.py: the Slurm controller did not answer about job {jobid}; asking again later",
                  file=sys.stderr)
            print("running")
            return 0
    state, exitcode = found
    recorded = recorded_exit(jobid, token)  # read after Slurm's answer: never older than it
    if state:
        print(verdict(state, exitcode, recorded))
        return 0
    # Neither accounting nor the controller knows the job: only its recorded exit status can
    # make it a success.
    code = recorded
    if code != 0:
        print(f"status.py: Slurm no longer knows job {jobid} and "
              f"{'it left no exit status' if code is None else f'it exited with status {code}'}",
              file=sys.stderr)
    print("success" if code == 0 else "failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
