#!/usr/bin/env bash
# Kill -9 cycles under load: scripts/torture.sh [cycles] (default 20).
#
# Starts a private system-type bus and velmerd-sandbox on a temporary root, then per
# cycle: a mixed load from several clients (build/velmer-torture load) while the daemon
# is killed with SIGKILL, in turn during its 2-second start-up, at a random moment of the
# load, or right after a temporary file appeared beside one of its files; then a restart,
# and once the restore is done the checks (build/velmer-torture check): every change that
# was answered and written is there with its last values, nothing whose deletion was
# answered and written comes back, no temporary file is left, the counts agree.
# A failed cycle's root and daemon logs are kept (the path is printed) and the next cycle
# starts on a fresh root. The last line is "N passed, N failed"; the exit status is 1
# when a cycle failed. Needs root, like the daemon on a controller.
set -euo pipefail
cd "$(dirname "$0")/.."

cycles=${1:-20}
[[ $cycles =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [cycles]" >&2; exit 2; }
if [[ $(id -u) -ne 0 ]]; then exec sudo --preserve-env=PATH "$0" "$@"; fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build velmerd-sandbox velmer-torture >/dev/null

work=$(mktemp -d /tmp/velmer-torture.XXXXXX)
root=$work/root model=$work/model.json logs=$work/logs
mkdir -p "$root" "$logs"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus.socket

source scripts/wait_for.sh
source scripts/sandbox_daemon.sh
trap stop_all EXIT
trap 'exit 130' INT TERM
start_bus

modes=(startup random tmp)
passed=0 failed=0 kept=()
first_log=1
start_and_restore || true
started=$SECONDS
# Restarts on a fresh root, keeping nothing of the current one.
fresh_root() {
  rm -rf "$root" "$model"
  mkdir -p "$root"
  first_log=$((starts + 1))
  start_and_restore || true
}
for cycle in $(seq "$cycles"); do
  mode=${modes[$((cycle % 3))]}
  # Jobs restored with their delete mark are never removed: a fresh root every 10
  # cycles keeps them from filling the store.
  if ((cycle % 10 == 1 && cycle > 1)); then
    kill_daemon
    for ((n = first_log; n <= starts; n++)); do rm -f "$logs/start-$n.log"; done
    fresh_root
  fi
  seed=$((RANDOM * 32768 + RANDOM))
  if [[ $mode == startup ]]; then
    kill_daemon
    start_daemon
  fi
  load_started=$EPOCHREALTIME
  build/velmer-torture load "$root" "$model" "$daemon_pid" "$mode" "$seed"
  daemon_ended
  restart_started=$EPOCHREALTIME
  if start_and_restore; then
    check_started=$EPOCHREALTIME
    result=$(build/velmer-torture check "$root" "$model" 2>&1) && status=0 || status=$?
    timing=$(awk -v a="$load_started" -v b="$restart_started" -v c="$check_started" -v d="$EPOCHREALTIME" \
      'BEGIN { printf "load %.1f s, restart %.1f s, check %.1f s", b - a, c - b, d - c }')
  else
    result="FAIL: the daemon ended during its start-up (see $daemon_log)" status=1 timing=
  fi
  if [[ $status -eq 0 ]]; then
    passed=$((passed + 1))
    echo "cycle $cycle ($mode, seed $seed): passed ($timing; $result)"
    # Logs before the running daemon's own are no longer needed.
    for ((n = first_log; n < starts; n++)); do rm -f "$logs/start-$n.log"; done
    first_log=$starts
  else
    failed=$((failed + 1))
    keep=$work/failed-cycle-$cycle
    kill_daemon
    mv "$root" "$keep"
    mkdir -p "$keep/torture-logs"
    for ((n = first_log; n <= starts; n++)); do mv "$logs/start-$n.log" "$keep/torture-logs/"; done
    cp "$model" "$keep/torture-logs/model.json" 2>/dev/null || true
    kept+=("$keep")
    echo "cycle $cycle ($mode, seed $seed): FAILED, root and logs kept in $keep"
    echo "$result" | sed 's/^/  /'
    fresh_root
  fi
done
echo "torture: $cycles cycles in $((SECONDS - started)) s"
stop_all
if [[ $failed -eq 0 ]]; then rm -rf "$work"; else echo "kept: ${kept[*]}"; fi
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
