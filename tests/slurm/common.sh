# What the cluster drills (tests/slurm/one-node, tests/slurm/node-loss)
# share; sourced by them. The drill sets, before calling any of it:
#   drill    its name, which starts every message
#   bin      the program
#   work     its temporary directory, with log/ in it
#   started  `date +%s.%N` at its start
#   slurm    the words that run a Slurm client (sbatch, squeue, ...) where
#            slurmctld can be reached: empty, or an nsenter into a namespace
# plan_puzzle sets shared (the directory every node sees), verify_tasks and
# epoch_key.

say() { echo "$drill: $*"; }
fail() { say "$*" >&2; echo "0 passed, 1 failed"; exit 1; }

# Seconds since the drill started, to a tenth.
since() { echo "$started $(date +%s.%N)" | awk '{ printf "%.1f", $2 - $1 }'; }

# Waits up to $1 seconds for the command in the remaining arguments to succeed.
wait_for() {
    limit=$1; shift
    deadline=$(( $(date +%s) + limit ))
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# MUNGE with a fresh key, on a socket of its own in $work/munge (a file, so
# every network namespace reaches it). The arguments, if any, run munged (an
# nsenter, say).
start_munge() {
    mkdir -p "$work/munge"
    chmod 700 "$work/munge"
    dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 2>/dev/null
    chmod 400 "$work/munge/munge.key"
    "$@" /usr/sbin/munged --force --socket="$work/munge/socket" --key-file="$work/munge/munge.key" \
        --log-file="$work/log/munged.log" --pid-file="$work/munge/munged.pid" --seed-file="$work/munge/seed"
}

# The slurm.conf lines of both drills; each adds its hosts, ports, files,
# timeouts and nodes. $1 is what AuthInfo adds to the MUNGE socket. Tasks
# are requeued when their node fails or on request (JobRequeue), and a node
# set down comes back when its slurmd registers again (ReturnToService).
# config_overrides lets a node claim more processors than the machine has;
# memory is no consumable (CR_Core), a node only has to claim what a task
# asks for.
common_conf() {
    cat <<CONF
ClusterName=zanth-drill
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket$1
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$work/state
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
SlurmdParameters=config_overrides
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
ReturnToService=2
JobRequeue=1
KillWait=5
CONF
}

# The service's side: a plan of epoch $1 and $2 steps per segment in
# $work/puzzle, its tasks copied (mode kept) to the shared directory
# $work/shared beside an empty results directory.
plan_puzzle() {
    shared="$work/shared"
    mkdir -p "$shared/tasks" "$shared/verify" "$shared/results" "$shared/logs"
    "$bin" plan --epoch "$1" --iterations "$2" --state "$work/puzzle" > "$work/plan-id"
    cp -p "$work/puzzle"/task-*.json "$shared/tasks/"
    # The verification array's tasks, in the directory verify-array.sbatch
    # reads them from (on a real cluster: one the workers cannot read).
    verify_tasks="$shared/verify"
    cp -p "$work/puzzle"/verify-*.json "$verify_tasks/"
    epoch_key=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["epoch_key"])' \
        "$work/puzzle/plan.json")
}

# The 96 results are there, and nothing else is left beside them but
# verification outcomes.
check_results() {
    count=$(ls "$shared/results" | grep -c '^result-[0-9][0-9]\.json$' || true)
    [ "$count" -eq 96 ] || fail "$count results instead of 96"
    [ -z "$(ls "$shared/results" | grep -Ev '^result-[0-9][0-9]\.json(\.verified)?$' || true)" ] ||
        fail "files other than results and outcomes left"
}

# The end of both drills, once the work array is done: the verification
# array $verify_job (submitted with --array=0-3 and shift $1, held until the
# work array succeeded) checks four segments, assemble takes their outcomes,
# and a solver recovers the plan's epoch key.
verify_assemble_solve() {
    verify_started=$(date +%s)
    never_released() { $slurm squeue -h -j "$verify_job" -o %r 2>/dev/null | grep -q DependencyNeverSatisfied; }
    verify_done() { never_released || [ -z "$($slurm squeue -h -j "$verify_job" 2>/dev/null)" ]; }
    wait_for 300 verify_done || fail "the verification array did not finish"
    never_released && fail "the verification array was never released by the work array"
    segments=""
    for i in 0 1 2 3; do
        segment=$(printf '%02d' $(( $1 + i )))
        segments="$segments $segment"
        [ -f "$verify_tasks/verify-$segment.json" ] || fail "no verification task for segment $segment"
        [ -f "$shared/results/result-$segment.json.verified" ] || fail "no outcome for segment $segment"
    done
    outcomes=$(ls "$shared/results" | grep -c '\.verified$' || true)
    [ "$outcomes" -eq 4 ] || fail "$outcomes outcomes instead of 4"
    grep -q "verifying segment $segment" "$shared/logs/verify-3.out" ||
        fail "array task 3 did not check segment $segment"
    say "segments$segments verified in full after $(since) s ($(( $(date +%s) - verify_started )) s after the work array)"

    # The service again: assemble, then a solver opens the puzzle.
    pin=$("$bin" keygen --signing-key-out "$work/service.key") || fail "keygen failed"
    "$bin" assemble --state "$work/puzzle" --results "$shared/results" --signing-key "$work/service.key" \
        --manifest-out "$work/puzzle.json" --epoch-key-out "$work/epoch.key" --mode light \
        > "$work/manifest-id" 2> "$work/assemble.err" || { cat "$work/assemble.err" >&2; fail "assemble failed"; }
    grep -q ", and the other intervals of 4 segments verified in full by verify-result;" "$work/assemble.err" ||
        { cat "$work/assemble.err" >&2; fail "assemble did not take the four outcomes"; }
    [ "$(cat "$work/epoch.key")" = "$epoch_key" ] || fail "published epoch key is not the plan's"
    [ -z "$(ls "$work/puzzle")" ] || fail "state files left after assemble"
    say "assembled after $(since) s"
    "$bin" solve --manifest "$work/puzzle.json" --service-public-key "$pin" \
        --checkpoint "$work/solve.log" --key-out "$work/solved.key" --mode light > /dev/null || fail "solve failed"
    [ "$(cat "$work/solved.key")" = "$epoch_key" ] || fail "solved key is not the plan's epoch key"
}
