#!/bin/sh
# properties = {properties}
# Snakemake's job command runs in a subshell; its exit status is then written to
# .snakemake/slurm/<job id>.<token>.exit in the submit folder, where status.py reads it once
# Slurm has forgotten the job (no accounting, MinJobAge passed).  The token (the first argument,
# new for every submission, from submit.py) ties the record to this submission: a cluster that
# numbers its jobs from 1 again never has its record of job 7 read for another job 7.  Without
# a token nothing is recorded, and status.py then has only Slurm's word.
( {exec_job} )
status=$?
token=$1
case $token in
'' | *[!0-9a-f]*) ;;
*)
    mkdir -p .snakemake/slurm && echo "$status" > ".snakemake/slurm/$SLURM_JOB_ID.$token.exit.tmp" &&
        mv -f ".snakemake/slurm/$SLURM_JOB_ID.$token.exit.tmp" ".snakemake/slurm/$SLURM_JOB_ID.$token.exit"
    ;;
esac
exit $status
