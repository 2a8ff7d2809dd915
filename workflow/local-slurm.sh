#!/usr/bin/env bash
# workflow/local-slurm.sh COMMAND [ARGS...]
#
# Starts a single-node Slurm cluster on this machine, runs COMMAND with that cluster's settings
# in its environment (SLURM_CONF), and stops the cluster again whatever COMMAND's outcome; exits
# with COMMAND's status.  Everything the cluster needs (munge key and socket, slurm.conf, state,
# spool and log files) lives in a new temporary folder that is removed at the end, so nothing of
# the machine's own configuration is read or changed and several such clusters can run side by
# side (each on its own free ports).  Needs Debian's slurm-wlm and munge and must run as root:
# slurmd starts jobs under the submitting user's id.  No systemd is needed: the daemons run as
# children of this script, each in a session of its own, so that Ctrl-C in a terminal (SIGINT to
# the terminal's foreground process group) reaches this script and not the cluster.
#
# Stopping, whatever the cause (COMMAND's end, Ctrl-C, SIGTERM, SIGHUP): on a signal COMMAND's
# whole process group gets SIGINT, as Ctrl-C would give it (Snakemake then cancels its jobs),
# and SIGKILL after 30 s when it has not ended; then every job still queued or running is
# cancelled and waited for while the daemons still run; then the daemons stop; last, any
# process left whose environment names this cluster's slurm.conf (a job step, a batch job,
# something COMMAND left) is killed, so that nothing of the cluster outlives the script.
#
#   workflow/local-slurm.sh snakemake -s workflow/Snakefile --profile workflow/profiles/slurm ...
#   workflow/local-slurm.sh sh -c 'sbatch --wrap hostname; sleep 2; squeue'
#
# Environment: LOCAL_SLURM_KEEP=1 keeps the temporary folder (its path is printed) to read the
# daemons' logs after a failure.
set -euo pipefail

die() {
    echo "local-slurm: $*" >&2
    exit 1
}
[ $# -ge 1 ] || die "usage: workflow/local-slurm.sh COMMAND [ARGS...]"
[ "$(id -u)" -eq 0 ] || die "must run as root (slurmd starts the jobs); try: sudo $0 $*"
for p in munged slurmctld slurmd scontrol sinfo squeue scancel setsid /usr/bin/python3; do
    command -v "$p" >/dev/null || die "no $p: install Debian's slurm-wlm and munge (apt-get install -y slurm-wlm munge)"
done

dir=$(mktemp -d /tmp/local-slurm.XXXXXX)
chmod 755 "$dir" # munged refuses a socket folder that others may write to
mkdir -m 700 "$dir/munge"
mkdir "$dir/state" "$dir/spool" "$dir/log"
pids=()

conf=$dir/slurm.conf

# The processes whose environment names this cluster's slurm.conf: the daemons' job steps and
# batch jobs, and COMMAND with what it started (/proc/PID/environ is the environment a program
# was started with, so this script, whose SLURM_CONF came later, is not among them).
cluster_processes() {
    local e p
    for e in /proc/[0-9]*/environ; do
        p=${e#/proc/}
        p=${p%/environ}
        [ "$p" = $$ ] && continue
        tr '\0' '\n' 2>/dev/null <"$e" | grep -xF "SLURM_CONF=$conf" >/dev/null && echo "$p"
    done
}

# stop_cluster: cancels every job of this cluster and waits until they have left the queue
# (the daemons still run, so the job steps end as Slurm ends them), stops the daemons (each by
# its own process id), kills whatever of the cluster is left and removes the folder.  Signals
# are ignored meanwhile: a second Ctrl-C does not cut the cleaning short.
stop_cluster() {
    set +e
    trap '' INT TERM HUP
    if [ -n "${SLURM_CONF:-}" ] && [ ${#pids[@]} -ge 2 ]; then
        local ids
        ids=$(squeue -h -o %i 2>/dev/null)
        if [ -n "$ids" ]; then
            echo "local-slurm: cancelling the jobs still queued or running:" $ids >&2
            # shellcheck disable=SC2086 # one word per job id
            scancel --quiet --full $ids >/dev/null 2>&1
            for _ in $(seq 1 120); do # KillWait is 5 s: SIGTERM, then SIGKILL
                [ -z "$(squeue -h -o %i 2>/dev/null)" ] && break
                sleep 0.5
            done
        fi
    fi
    export -n SLURM_CONF # the programs started from here on are not of the cluster
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[$i]}" 2>/dev/null
    done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        local n=0
        while kill -0 "${pids[$i]}" 2>/dev/null && ((n < 50)); do
            sleep 0.1
            n=$((n + 1))
        done
        kill -KILL "${pids[$i]}" 2>/dev/null
        wait "${pids[$i]}" 2>/dev/null
    done
    local left
    left=$(cluster_processes)
    if [ -n "$left" ]; then
        echo "local-slurm: killing what was left of the cluster:" $left >&2
        # shellcheck disable=SC2086
        kill -KILL $left 2>/dev/null
    fi
    if [ "${LOCAL_SLURM_KEEP:-0}" = 1 ]; then
        echo "local-slurm: kept $dir" >&2
    else
        rm -rf "$dir"
    fi
}
# On SIGINT, SIGTERM or SIGHUP: COMMAND's process group gets SIGINT (Snakemake then cancels its
# Slurm jobs; SIGTERM would make it wait for jobs that may never run) and up to 30 s to end,
# then the whole group SIGKILL (COMMAND, or what it left running); then the cluster stops.
cmdpid=
on_signal() {
    set +e
    trap '' INT TERM HUP
    echo "local-slurm: interrupted: stopping COMMAND, then the jobs, then the cluster" >&2
    if [ -n "$cmdpid" ]; then
        kill -INT -- "-$cmdpid" 2>/dev/null
        local n=0
        while kill -0 "$cmdpid" 2>/dev/null && ((n < 300)); do
            sleep 0.1
            n=$((n + 1))
        done
        kill -KILL -- "-$cmdpid" 2>/dev/null
    fi
    exit "$1"
}
trap stop_cluster EXIT
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
trap 'on_signal 129' HUP

# munge: a fresh key, its own socket, pid, seed and log files.
dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$dir/munge/munge.key"
sock=$dir/munge/munge.socket
# Every daemon starts in a session of its own (setsid; a background command of a script is no
# group leader, so setsid does not fork and $! is the daemon's own id).
setsid munged --foreground --force --key-file="$dir/munge/munge.key" --socket="$sock" \
    --pid-file="$dir/munge/munged.pid" --seed-file="$dir/munge/munged.seed" \
    --log-file="$dir/log/munged.log" 2>>"$dir/log/munged.log" &
pids+=($!)

# Three free TCP ports for slurmctld, slurmd and srun, asked from the kernel.
read -r ctldport dport srunport < <(/usr/bin/python3 -c '
import socket
ss = [socket.socket() for _ in range(3)]
for s in ss:
    s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in ss])')

host=$(hostname -s)
# The node's real layout (CPUs, sockets, cores, memory) as slurmd itself detects it, so that
# the node is never drained for a mismatch.
nodeline=$(slurmd -C | head -n 1)
case $nodeline in NodeName=*) ;; *) die "slurmd -C gave no node description: $nodeline" ;; esac
cat >"$conf" <<EOF
# single-node cluster of workflow/local-slurm.sh
ClusterName=localslurm
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctldport
SlurmdPort=$dport
SrunPortRange=$srunport-$srunport
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$sock
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
# no cgroups: plain process tracking, no task binding
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
# one job per CPU, memory not counted as a consumable
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
SchedulerType=sched/backfill
# a scheduling pass soon after every submission, so that short jobs start at once
SchedulerParameters=sched_min_interval=100000
# finished jobs stay known to scontrol for 10 minutes
MinJobAge=600
# a cancelled job gets SIGTERM, and SIGKILL 5 s later
KillWait=5
$nodeline NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
# slurmd -C may print a different host name than hostname -s: use its name for the partition.
node=${nodeline#NodeName=}
node=${node%% *}
sed -i "s/^PartitionName=local Nodes=$host /PartitionName=local Nodes=$node /" "$conf"
export SLURM_CONF=$conf

setsid slurmctld -D -c -f "$conf" 2>>"$dir/log/slurmctld.log" &
pids+=($!)
setsid slurmd -D -N "$node" -f "$conf" 2>>"$dir/log/slurmd.log" &
pids+=($!)

# Wait (at most 30 s) for the node to be idle, i.e. controller, node daemon and munge all up.
ok=0
for _ in $(seq 1 150); do
    state=$(sinfo -h -n "$node" -o %T 2>/dev/null || true)
    if [ "$state" = idle ]; then
        ok=1
        break
    fi
    for p in "${pids[@]}"; do
        kill -0 "$p" 2>/dev/null || {
            tail -n 5 "$dir"/log/*.log >&2
            die "a daemon of the cluster stopped at start-up (logs above)"
        }
    done
    sleep 0.2
done
if [ $ok -ne 1 ]; then
    tail -n 5 "$dir"/log/*.log >&2
    die "the node did not become idle within 30 s (state: ${state:-unknown}; logs above)"
fi
echo "local-slurm: cluster up (node $node, $(sinfo -h -o %c) CPUs, SLURM_CONF=$conf)" >&2

# COMMAND runs in the background so that a signal reaches the trap at once (bash runs traps
# only between foreground commands), with job control on: it starts in a process group of its
# own (which on_signal can signal whole) and without SIGINT ignored (as background commands of
# a script otherwise start).
status=0
set -m
"$@" &
set +m
cmdpid=$!
wait "$cmdpid" || status=$?
exit $status
