# Sourced by the scripts. wait_for SECONDS COMMAND...: runs COMMAND every 50 ms until it
# succeeds (status 0) or SECONDS have passed (status 1).
wait_for() {
  local seconds=$1 tries
  shift
  for tries in $(seq $((seconds * 20))); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  return 1
}
