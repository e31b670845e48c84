#!/usr/bin/env bash
# Runs the job manager in a sandbox to talk to with busctl:
#   - builds velmerd-sandbox (build/),
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
ninja -C build velmerd-sandbox

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

service="com.zorvex.kelvo.jobservice /xyz/openbmc_project/jobservice"
main=com.zorvex.kelvo.jobservice.jobservicemain
cat <<TEXT

velmerd-sandbox runs (PID $daemon_pid) with root $sandbox.
In another terminal:

  export DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS
  busctl --system tree com.zorvex.kelvo.jobservice
  busctl --system introspect $service
  busctl --system call $service $main GetJobServiceStatus
  busctl --system get-property $service com.zorvex.kelvo.Serviceinfo serviceStatus
  busctl --system call $service $main JS_SetkelvofwJobState q 300
  busctl --system call $service $main JS_GetkelvofwJobState
  sudo -E busctl --system call $service $main setAllProperties 'a{sv}' 1 maxJobsInStore q 10

  # A job's life: create, report, schedule, key-value pairs, delete.
  busctl --system call $service $main JobServCreate sq "BIOS configuration" 61
  job=\$(busctl --system get-property $service $main jobInfoObjList | awk '{print \$NF}' | tr -d '"')
  busctl --system introspect com.zorvex.kelvo.jobservice /xyz/openbmc_project/jobservice/jobservicejobinfo/\$job
  busctl --system call $service $main JobServSchedule asqss 1 \$job 1 TIME_NOW TIME_NA
  busctl --system call $service $main JobServUpdateJobInfo sqqssss \$job 3 50 Running "" "" ""
  busctl --system call $service $main JobServUpdateJobInfo sqqssss \$job 4 100 Completed "" "" ""
  busctl --system call $service $main JS_WriteBLOB_Key_Value ssss \$job stage demo 2
  busctl --system call $service $main JS_ReadBLOB_Key_Value sss \$job demo stage
  busctl --system call $service $main JobServDelete asqq 1 \$job 1 0
  cat $sandbox/var/log/velmer/events.jsonl

(The queue-execution process is not part of the sandbox: a schedule is rolled back and
the log says so. Jobs, queues and key-value pairs persist in $sandbox across restarts.)

Its log ($sandbox/velmerd.log) follows. Ctrl-C stops it.

TEXT
tail -c +$((log_start + 1)) -f --pid="$daemon_pid" "$sandbox/velmerd.log" || true
