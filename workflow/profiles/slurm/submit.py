#!/usr/bin/python3
"""Submits one Snakemake job script with sbatch and prints the Slurm job id and a token.

Called by Snakemake as `submit.py JOBSCRIPT`; prints `JOBID;TOKEN`, the id that Snakemake then
hands to status.py and cancel.py.  The token is new for every submission and goes to the job
script as its argument, which records the job's exit status under it (jobscript.sh): a record
is thereby tied to one submission, and a cluster that numbers its jobs from 1 again (a new
local cluster) cannot pass an earlier job's record off as this one's.  The job's properties
(the JSON line that Snakemake writes into the script) give the sbatch options: the job name
(rule or group), --cpus-per-task from the threads, --mem from resources.mem_mb, --time from
resources.runtime (minutes), --partition from resources.slurm_partition when a rule sets it.
Slurm's own output of the job goes to .snakemake/slurm/<name>-<job id>.out in the submit
folder.  More sbatch options for every job (an account, a QOS) come from the environment
variable SBATCH_EXTRA, split like a shell line; sbatch's own SBATCH_* variables work as well.
"""
import json
import os
import secrets
import shlex
import subprocess
import sys


def job_properties(jobscript: str) -> dict:
    with open(jobscript, encoding="utf-8") as f:
        for line in f:
            if line.startswith("# properties = "):
                return json.loads(line[len("# properties = "):])
    raise SystemExit(f"submit.py: {jobscript}: no '# properties = ' line")


def sbatch_args(props: dict) -> list:
    name = props.get("rule") if props.get("type") == "single" else props.get("groupid", "group")
    res = props.get("resources", {})
    args = ["--parsable", f"--job-name=smk-{name}", f"--chdir={os.getcwd()}",
            f"--output=.snakemake/slurm/smk-{name}-%j.out",
            f"--cpus-per-task={max(1, int(props.get('threads', 1)))}"]
    if "mem_mb" in res:
        args.append(f"--mem={int(res['mem_mb'])}M")
    if "runtime" in res:
        args.append(f"--time={max(1, int(res['runtime']))}")
    if "slurm_partition" in res:
        args.append(f"--partition={res['slurm_partition']}")
    return args + shlex.split(os.environ.get("SBATCH_EXTRA", ""))


def main() -> int:
    if len(sys.argv) < 2:
        print("usage: submit.py JOBSCRIPT", file=sys.stderr)
        return 2
    jobscript = sys.argv[-1]
    os.makedirs(".snakemake/slurm", exist_ok=True)
    token = secrets.token_hex(16)
    cmd = ["sbatch"] + sbatch_args(job_properties(jobscript)) + [jobscript, token]
    r = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
    if r.returncode != 0:
        print(f"submit.py: sbatch failed (status {r.returncode}): {shlex.join(cmd)}", file=sys.stderr)
        return 1
    jobid = r.stdout.strip().split(";")[0]  # sbatch --parsable: JOBID or JOBID;CLUSTER
    print(f"{jobid};{token}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
