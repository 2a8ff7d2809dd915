#!/usr/bin/python3
"""Cancels Slurm jobs for Snakemake: `cancel.py ID...` with the ids that submit.py printed
(`JOBID;TOKEN`), so scancel gets the job numbers alone."""
import os
import sys

if __name__ == "__main__":
    ids = [a.split(";")[0].strip() for a in sys.argv[1:]]
    if ids:
        os.execvp("scancel", ["scancel", *ids])
