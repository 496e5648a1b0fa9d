#!/bin/bash
# A Slurm cluster of one node, this machine, for trying and testing halvern batch's job-array
# recipe: munged, slurmctld and slurmd from Debian's packages (slurm-wlm, munge), started without
# systemd and without cgroups, listening on the loopback interface only.
#   scripts/slurm-local.sh start    start them and wait until the node is idle
#   scripts/slurm-local.sh stop     stop them (the jobs still running are cancelled)
#   scripts/slurm-local.sh status   exit 0 when they run
# Run as root. Everything (slurm.conf, the munge key, state, spool, logs) is in one folder,
# $HALVERN_SLURM_DIR (default /var/tmp/halvern-slurm); munged's socket is in /run/munge. After
# start, the Slurm commands find the cluster with: export SLURM_CONF=<folder>/slurm.conf
set -euo pipefail

DIR=${HALVERN_SLURM_DIR:-/var/tmp/halvern-slurm}
START_TIMEOUT=${HALVERN_SLURM_TIMEOUT:-60}  # seconds for the node to become idle
CONF=$DIR/slurm.conf

fail() {
  echo "slurm-local: $*" >&2
  exit 1
}

usage() {
  echo "usage: scripts/slurm-local.sh start|stop|status" >&2
  exit 2
}

# The process of a pid file, when it still runs.
running_pid() {
  local pid
  [[ -r $1 ]] || return 1
  pid=$(<"$1")
  [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null || return 1
  echo "$pid"
}

# A TCP port from $1 on that nothing listens to on the loopback interface.
free_port() {
  local port=$1
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    port=$((port + 1))
  done
  echo "$port"
}

# The socket of this folder's munged: one per folder, so that two clusters (a person's and a
# test's) do not share one, nor the system's munged if one runs.
munge_socket() {
  echo "/run/munge/halvern-$(echo -n "$DIR" | sha1sum | cut -c1-12).socket"
}

status() {
  running_pid "$DIR/run/munged.pid" >/dev/null &&
    running_pid "$DIR/run/slurmctld.pid" >/dev/null &&
    running_pid "$DIR/run/slurmd.pid" >/dev/null
}

# Ends the process of a pid file: SIGTERM, then SIGKILL after 15 s.
end_process() {
  local pid
  pid=$(running_pid "$1") || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "slurm-local: $(basename "$1" .pid) (pid $pid) did not stop: killed" >&2
  kill -KILL "$pid" 2>/dev/null || true
}

stop() {
  [[ -d $DIR ]] || return 0
  if running_pid "$DIR/run/slurmctld.pid" >/dev/null; then
    # Jobs still running are cancelled, so that no job step outlives its daemons.
    local jobs
    jobs=$(SLURM_CONF=$CONF timeout 10 squeue -h -o %A 2>/dev/null || true)
    if [[ -n $jobs ]]; then
      # shellcheck disable=SC2086
      SLURM_CONF=$CONF timeout 10 scancel $jobs 2>/dev/null || true
      for _ in $(seq 100); do
        [[ -z $(SLURM_CONF=$CONF timeout 10 squeue -h -o %A 2>/dev/null) ]] && break
        sleep 0.1
      done
    fi
  fi
  end_process "$DIR/run/slurmd.pid"
  end_process "$DIR/run/slurmctld.pid"
  end_process "$DIR/run/munged.pid"
}

# The last lines of each log, for a start that failed.
show_logs() {
  local log
  for log in "$DIR"/log/*.log; do
    [[ -s $log ]] || continue
    echo "--- $log (end)" >&2
    tail -n 15 "$log" >&2
  done
}

start() {
  [[ $(id -u) -eq 0 ]] || fail "run as root (sudo $0 start): slurmd starts the jobs as their users"
  local program
  for program in munged mungekey slurmctld slurmd sinfo squeue; do
    command -v "$program" >/dev/null ||
      fail "$program not found: install the Debian packages slurm-wlm and munge" \
        "(scripts/setup.sh --test)"
  done
  id munge >/dev/null 2>&1 || fail "no user munge: reinstall the Debian package munge"
  if status; then
    echo "slurm-local: already running; export SLURM_CONF=$CONF"
    return 0
  fi
  stop  # what a half-started earlier run left

  # The folder: root's alone, so that nobody else can have prepared it.
  mkdir -p "$DIR"
  [[ $(stat -c %u "$DIR") -eq 0 && ! -L $DIR ]] ||
    fail "$DIR is not root's: remove it, or set HALVERN_SLURM_DIR"
  chmod 0755 "$DIR"
  mkdir -p "$DIR/state" "$DIR/spool" "$DIR/log" "$DIR/run" "$DIR/munge"
  chown munge:munge "$DIR/munge"
  chmod 0700 "$DIR/munge"
  mkdir -p /run/munge
  chown munge:munge /run/munge
  chmod 0755 /run/munge

  # munged, as the user munge, with a key of its own, readable by that user only.
  local key=$DIR/munge/munge.key socket
  socket=$(munge_socket)
  if [[ ! -s $key ]]; then
    rm -f "$key"
    runuser -u munge -- mungekey --create --keyfile="$key" ||
      fail "mungekey could not create $key"
  fi
  chown munge:munge "$key"
  chmod 0400 "$key"
  touch "$DIR/log/munged.log" "$DIR/run/munged.pid"
  chown munge:munge "$DIR/log/munged.log" "$DIR/run/munged.pid"
  runuser -u munge -- munged --key-file="$key" --socket="$socket" \
    --pid-file="$DIR/run/munged.pid" --log-file="$DIR/log/munged.log" \
    --seed-file="$DIR/munge/munged.seed" ||
    { show_logs; stop; fail "munged did not start"; }

  # One node: this machine's processors and memory as slurmd finds them, on 127.0.0.1.
  local node hardware ctld_port slurmd_port
  node=$(hostname -s)
  hardware=$(slurmd -C | sed -n 's/^NodeName=[^ ]* //p')
  [[ -n $hardware ]] || { stop; fail "slurmd -C did not describe this machine"; }
  ctld_port=$(free_port 6817)
  slurmd_port=$(free_port $((ctld_port + 1)))
  cat >"$CONF" <<EOF
# Written by scripts/slurm-local.sh: one node, this machine, on the loopback interface.
ClusterName=halvern
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
CommunicationParameters=NoInAddrAny,NoCtldInAddrAny
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
MailProg=/bin/true
StateSaveLocation=$DIR/state
SlurmdSpoolDir=$DIR/spool
SlurmctldPidFile=$DIR/run/slurmctld.pid
SlurmdPidFile=$DIR/run/slurmd.pid
SlurmctldLogFile=$DIR/log/slurmctld.log
SlurmdLogFile=$DIR/log/slurmd.log
NodeName=$node NodeAddr=127.0.0.1 $hardware State=UNKNOWN
PartitionName=local Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
  chmod 0644 "$CONF"

  export SLURM_CONF=$CONF
  slurmctld -c -f "$CONF" || { show_logs; stop; fail "slurmctld did not start"; }
  slurmd -f "$CONF" || { show_logs; stop; fail "slurmd did not start"; }

  local waited=0 state=""
  while ((waited < START_TIMEOUT * 10)); do
    state=$(timeout 10 sinfo -h -N -n "$node" -o %T 2>/dev/null || true)
    [[ $state == idle ]] && break
    sleep 0.1
    waited=$((waited + 1))
  done
  if [[ $state != idle ]]; then
    show_logs
    stop
    fail "the node is ${state:-unknown} after ${START_TIMEOUT} s, not idle: Slurm did not start"
  fi
  echo "slurm-local: node $node idle ($hardware); export SLURM_CONF=$CONF"
}

[[ $# -eq 1 ]] || usage
case $1 in
  start) start ;;
  stop) stop ;;
  status) status ;;
  *) usage ;;
esac
