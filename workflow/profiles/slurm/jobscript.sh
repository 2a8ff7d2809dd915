#!/bin/sh
# properties = {properties}
# Snakemake's job command runs in a subshell; its exit status is then written to
# .snakemake/slurm/<job id>.exit in the submit folder, where status.py reads it once Slurm has
# forgotten the job (no accounting, MinJobAge passed).
( {exec_job} )
status=$?
mkdir -p .snakemake/slurm && echo "$status" > ".snakemake/slurm/$SLURM_JOB_ID.exit.tmp" &&
  mv -f ".snakemake/slurm/$SLURM_JOB_ID.exit.tmp" ".snakemake/slurm/$SLURM_JOB_ID.exit"
exit $status
