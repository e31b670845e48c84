# Sourced by scripts/torture.sh and scripts/powercut.sh: a private system bus and
# velmerd-sandbox on $root, with a trace log per start in $logs (start-N.log).
# Needs scripts/wait_for.sh, and $work, $root, $logs and DBUS_SYSTEM_BUS_ADDRESS set.

bus_pid= daemon_pid= daemon_job= daemon_log= starts=0

start_bus() {
  dbus-daemon --nofork --config-file="$PWD/tests/e2e/system-bus.conf" --address="$DBUS_SYSTEM_BUS_ADDRESS" \
    >"$work/bus.log" 2>&1 &
  bus_pid=$!
  wait_for 30 test -S "${DBUS_SYSTEM_BUS_ADDRESS#unix:path=}" || { echo "the bus did not start; see $work/bus.log" >&2; exit 1; }
}

stop_all() {
  if [[ -n $daemon_pid ]]; then kill_daemon; fi
  if [[ -n $bus_pid ]]; then
    kill -TERM "$bus_pid" 2>/dev/null || true
    { wait "$bus_pid"; } 2>/dev/null || true
  fi
  daemon_pid= bus_pid=
}

daemon_alive() { kill -0 "$daemon_pid" 2>/dev/null; }
restore_done() { ! daemon_alive || grep -q "Post restoration all job info" "$daemon_log"; }

# The daemon runs under a subshell that waits for it, so that its death by SIGKILL is
# no job of this shell (which would report it on the terminal).
start_daemon() {
  starts=$((starts + 1))
  daemon_log=$logs/start-$starts.log
  (
    build/velmerd-sandbox "$root" --trace-level 4 >"$daemon_log" 2>&1 &
    echo $! >"$work/daemon.pid"
    wait $! || true
  ) 2>/dev/null &
  daemon_job=$!
  wait_for 30 test -s "$work/daemon.pid"
  daemon_pid=$(<"$work/daemon.pid")
  rm -f "$work/daemon.pid"
}
daemon_ended() { wait "$daemon_job" || true; }
kill_daemon() {
  kill -KILL "$daemon_pid" 2>/dev/null || true
  daemon_ended
}
# Starts the daemon (with START, start_daemon unless told) and waits until it has
# restored its store: 0, or 1 when it died.
start_and_restore() {
  "${1:-start_daemon}"
  wait_for 30 restore_done && daemon_alive
}
