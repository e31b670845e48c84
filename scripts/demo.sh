#!/usr/bin/env bash
# Runs the job manager in a sandbox to talk to with velmerctl (and busctl):
#   - builds velmerd-sandbox and velmerctl (build/),
#   - starts a private bus daemon with the system-bus policy on sandbox/bus.socket,
#   - starts velmerd-sandbox with sandbox/ as its root at trace level 4, its log in
#     sandbox/velmerd.log and followed on this terminal.
# Ctrl-C stops the daemon (SIGTERM, then waits for it) and then the bus. sandbox/ is
# kept between runs. Needs root, like the daemon on a controller: it re-runs itself
# with sudo when needed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then exec sudo --preserve-env=PATH "$0" "$@"; fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build velmerd-sandbox velmerctl

sandbox=$PWD/sandbox
socket=$sandbox/bus.socket
mkdir -p "$sandbox"
rm -f "$socket"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$socket

bus_pid= daemon_pid=
stop_all() {
  trap - INT TERM EXIT
  if [[ -n $daemon_pid ]]; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null && echo "velmerd-sandbox stopped" || echo "velmerd-sandbox ended with status $?"
  fi
  if [[ -n $bus_pid ]]; then
    kill -TERM "$bus_pid" 2>/dev/null || true
    wait "$bus_pid" 2>/dev/null || true
  fi
}
trap stop_all EXIT
trap 'stop_all; exit 130' INT TERM

source scripts/wait_for.sh
daemon_alive() { kill -0 "$daemon_pid" 2>/dev/null; }
name_owned() { ! daemon_alive || busctl --system status com.zorvex.kelvo.jobservice >/dev/null 2>&1; }

# Own sessions: Ctrl-C reaches only this script, which stops them in order.
setsid dbus-daemon --nofork --config-file="$PWD/tests/e2e/system-bus.conf" --address="$DBUS_SYSTEM_BUS_ADDRESS" \
  >"$sandbox/bus.log" 2>&1 &
bus_pid=$!
wait_for 10 test -S "$socket" || { echo "the bus did not start; see $sandbox/bus.log" >&2; exit 1; }

log_start=$(stat -c %s "$sandbox/velmerd.log" 2>/dev/null || echo 0)
setsid build/velmerd-sandbox "$sandbox" --trace-level 4 >>"$sandbox/velmerd.log" 2>&1 &
daemon_pid=$!
if ! wait_for 10 name_owned || ! daemon_alive; then
  echo "velmerd-sandbox did not start; see $sandbox/velmerd.log" >&2
  exit 1
fi

ctl=$PWD/build/velmerctl
cat <<TEXT

velmerd-sandbox runs (PID $daemon_pid) with root $sandbox.
In another terminal:

  export DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS
  $ctl status
  job=\$($ctl create "BIOS configuration" 61)
  $ctl schedule \$job --start TIME_NOW   # prints the new queue's ID
  $ctl queues
  $ctl watch \$job     # best in a third terminal: live until the job has finished
  $ctl update \$job --state running --percent 50 --status Running
  $ctl update \$job --state finished --status Completed
  $ctl list             # --json for scripts, --state running as a filter
  $ctl show \$job
  $ctl kv set \$job demo stage 2 && $ctl kv get \$job demo stage
  $ctl delete \$job
  $ctl delete \$job; echo \$?   # refused: exit status 1 and the reply code's meaning
  $ctl --help           # the commands; velmerctl COMMAND --help for one

  # The same bus interface by hand:
  busctl --system call com.zorvex.kelvo.jobservice /xyz/openbmc_project/jobservice \\
    com.zorvex.kelvo.jobservice.jobservicemain JobServCreate sq "RAID configuration" 60
  cat $sandbox/var/log/velmer/events.jsonl

(The queue-execution process is not part of the sandbox: a schedule is rolled back and
the log says so. Jobs, queues and key-value pairs persist in $sandbox across restarts.)

Its log ($sandbox/velmerd.log) follows. Ctrl-C stops it.

TEXT
tail -c +$((log_start + 1)) -f --pid="$daemon_pid" "$sandbox/velmerd.log" || true
