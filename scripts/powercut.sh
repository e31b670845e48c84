#!/usr/bin/env bash
# Power cuts, not only kill -9:
#   scripts/powercut.sh [--relaxed] [cycles]       cycles under load (default 20, as in CI)
#   scripts/powercut.sh [--relaxed] --every-point  a cut after every operation of a start-up and one change
#
# The daemon's directories on flash and /var/lib/jobservice live on the forgetful file
# system (build/velmer-forgetfs, tools/forgetfs/), whose disk, the directory below it,
# holds at every moment exactly what a power cut would leave: a file's data once synced,
# a creation, rename or removal once its directory is synced (with --relaxed at once, as
# a journalling file system usually makes them). The platform stand-ins' logs stay off it.
#
# Per cycle: a mixed load from several clients (build/velmer-torture load), and a cut, in
# turn at a random moment of the daemon's start-up, at a random moment of the load, or
# right after a random operation of a rewrite; half of the cuts first tear the last
# writes (a random part of the pending pages lands). The file system kills the daemon
# with SIGKILL at the cut. Then it is mounted again over what the cut left, the daemon
# restarted, and the store checked (build/velmer-torture check): every change whose reply
# arrived and that the disk held at the cut is there with its last values, no deletion
# the disk held comes back, no temporary file is left, the counts agree, the daemon
# starts every time, and once it is quiet every file it synced is on the disk.
#
# --every-point: a small store made on plain directories, then one run on the file
# system of the daemon's start-up, one change (a report, a deletion, a key-value write)
# and a clean stop (a journal append, then a checkpoint of the backup file and the
# journal emptied), which keeps every state a cut after each operation would leave, torn
# last writes too (velmer-forgetfs --states); the daemon is restarted on each state and
# the store checked against the replies that had arrived by then.
#
# A failed check keeps the disk as the cut left it, the daemon's logs and the model (the
# path is printed), and the next cycle starts on an empty disk. The last line is
# "N passed, N failed"; the exit status is 1 when a check failed. Needs root, /dev/fuse
# (the fuse module, loaded when missing) and fusermount3 (Debian's fuse3).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 [--relaxed] [cycles | --every-point]" >&2; exit 2; }
relaxed=() every_point=0 cycles=20
for arg in "$@"; do
  case $arg in
    --relaxed) relaxed=(--relaxed) ;;
    --every-point) every_point=1 ;;
    *) [[ $arg =~ ^[1-9][0-9]*$ ]] || usage; cycles=$arg ;;
  esac
done
if [[ $(id -u) -ne 0 ]]; then exec sudo --preserve-env=PATH "$0" "$@"; fi

scripts/install-deps.sh
if [[ ! -e /dev/fuse ]] && ! modprobe fuse; then
  echo "$0: no /dev/fuse, and the fuse module cannot be loaded: the forgetful file system needs both" >&2
  exit 1
fi
cmake -S . -B build -G Ninja >/dev/null
ninja -C build velmerd-sandbox velmer-torture velmer-forgetfs >/dev/null

work=$(mktemp -d /tmp/velmer-powercut.XXXXXX)
disk=$work/disk mnt=$work/mnt root=$work/root model=$work/model.json logs=$work/logs
mkdir -p "$mnt" "$logs"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus.socket

source scripts/wait_for.sh
source scripts/sandbox_daemon.sh

fs_pid=
mount_fs() {
  build/velmer-forgetfs "$disk" "$mnt" "${relaxed[@]}" "$@" >>"$work/fs.log" 2>&1 &
  fs_pid=$!
  wait_for 10 test -e "$mnt/.powercut" || { echo "the forgetful file system did not mount; see $work/fs.log" >&2; exit 1; }
}
unmount_fs() {
  if [[ -z $fs_pid ]]; then return 0; fi
  fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt"
  wait "$fs_pid" || true
  fs_pid=
}
cleanup() {
  stop_all
  unmount_fs
}
trap cleanup EXIT
trap 'exit 130' INT TERM

control() { echo "$*" >"$mnt/.powercut"; }
# The daemon, with the file system told to kill it at the cut.
start_on_fs() {
  start_daemon
  control "victim $daemon_pid"
}
# Cuts the power now, then mounts the file system again over what the cut left.
cut_and_remount() {
  control cut
  daemon_ended
  unmount_fs
  mount_fs
}

# A root whose flash and /var/lib/jobservice are the file system's, on an empty disk
# that has the directories a firmware image provides.
new_disk() {
  rm -rf "$disk" "$root"
  mkdir -p "$disk/flash/data1/jobservice" "$disk/flash/data1/jqlegacy" "$disk/var/lib/jobservice" "$root/var/lib"
  ln -s "$mnt/flash" "$root/flash"
  ln -s "$mnt/var/lib/jobservice" "$root/var/lib/jobservice"
}

passed=0 failed=0 kept=()
# Keeps a failed check's disk as the cut left it (CUT_DISK), the daemon's logs and the
# model as failed-NAME; prints LABEL and why it failed.
keep_failure() {
  local name=$1 label=$2 result=$3 cut_disk=$4 keep=$work/failed-$1
  mkdir -p "$keep/logs"
  mv "$logs"/start-*.log "$keep/logs/" 2>/dev/null || true
  cp -a "$cut_disk" "$keep/disk-at-cut"
  cp "$model" "$keep/logs/model.json" 2>/dev/null || true
  kept+=("$keep")
  echo "$label: FAILED, disk and logs kept in $keep"
  echo "$result" | sed 's/^/  /'
}

start_bus
started=$SECONDS

# Starts over on an empty disk, with nothing known of the store.
fresh_disk() {
  control cut
  daemon_ended
  unmount_fs
  new_disk
  rm -f "$model" "$logs"/start-*.log
  mount_fs
  start_and_restore start_on_fs || true
}

run_cycles() {
  local modes=(startup random tmp) cycle mode seed result status cut
  new_disk
  mount_fs
  start_and_restore start_on_fs || true
  for cycle in $(seq "$cycles"); do
    mode=${modes[$((cycle % 3))]}
    # Jobs restored with their delete mark are never removed: a fresh disk every 10
    # cycles keeps them from filling the store.
    if ((cycle % 10 == 1 && cycle > 1)); then fresh_disk; fi
    seed=$((RANDOM * 32768 + RANDOM))
    if [[ $mode == startup ]]; then
      cut_and_remount
      start_on_fs
    fi
    cut=$(build/velmer-torture load "$root" "$model" "$daemon_pid" "$mode" "$seed" "$mnt/.powercut" "$disk") || true
    daemon_ended
    rm -rf "$work/disk-at-cut"
    cp -a "$disk" "$work/disk-at-cut"
    unmount_fs
    mount_fs
    if start_and_restore start_on_fs; then
      result=$(build/velmer-torture check "$root" "$model" "$mnt/.powercut" 2>&1) && status=0 || status=$?
    else
      result="FAIL: the daemon ended during its start-up (see $daemon_log)" status=1
    fi
    if [[ $status -eq 0 ]]; then
      passed=$((passed + 1))
      echo "cycle $cycle ($mode, seed $seed): passed ($cut; $result)"
      find "$logs" -name 'start-*.log' ! -name "$(basename "$daemon_log")" -delete
    else
      failed=$((failed + 1))
      keep_failure "cycle-$cycle" "cycle $cycle ($mode, seed $seed)" "$cut"$'\n'"$result" "$work/disk-at-cut"
      fresh_disk  # a fault found once is not reported again by every later cycle
    fi
  done
}

# The state a cut after operation N left is DIR/N (N-torn: a torn last write); a state
# lasts until the next one. Its check counts the replies that had arrived by its last
# operation.
check_state() {
  local state=$1 until=$2 what label
  what=$(awk -v n="$((10#${state%-torn}))" '$1 == n { $1 = ""; print substr($0, 2) }' "$work/ops.log")
  label="state $state (until op $until, after ${what:-the mount})"
  root=$work/point
  rm -rf "$root"
  cp -a "$work/states/$state" "$root"
  cp "$work/store-model.json" "$model"
  build/velmer-torture observe "$root" "$model" "$root" "$until"
  if start_and_restore; then
    result=$(build/velmer-torture check "$root" "$model" 2>&1) && status=0 || status=$?
  else
    result="FAIL: the daemon ended during its start-up (see $daemon_log)" status=1
  fi
  kill_daemon
  if [[ $status -eq 0 ]]; then
    passed=$((passed + 1))
    echo "$label: passed"
    rm -f "$logs"/start-*.log
  else
    failed=$((failed + 1))
    keep_failure "state-$state" "$label" "$result" "$work/states/$state"
  fi
}

run_every_point() {
  local store=$work/store ops lost states state next i
  # The small store on plain directories, ended by a clean stop: every file complete.
  root=$store
  mkdir -p "$root"
  start_and_restore || { echo "the daemon did not start; see $daemon_log" >&2; exit 1; }
  build/velmer-torture store "$root" "$model"
  kill -TERM "$daemon_pid"
  daemon_ended
  mkdir -p "$disk/flash" "$disk/var/lib"
  cp -a "$store/flash/." "$disk/flash/"
  cp -a "$store/var/lib/jobservice" "$disk/var/lib/"
  build/velmer-torture observe "$root" "$model" "$disk"
  cp "$model" "$work/store-model.json"
  # One run of a start-up and one change, every state a cut could leave kept.
  root=$work/root
  mkdir -p "$root/var/lib"
  ln -s "$mnt/flash" "$root/flash"
  ln -s "$mnt/var/lib/jobservice" "$root/var/lib/jobservice"
  mount_fs --states "$work/states" --log "$work/ops.log"
  start_and_restore start_on_fs || { echo "the daemon did not start on the file system; see $daemon_log" >&2; exit 1; }
  build/velmer-torture change "$root" "$model" "$mnt/.powercut"
  cp "$model" "$work/store-model.json"
  # A clean stop folds the change into the backup file: a checkpoint and the journal
  # emptied after it are recorded too.
  kill -TERM "$daemon_pid"
  daemon_ended
  ops=$(sed -n 's/^ops //p' "$mnt/.powercut")
  lost=$(sed -n 's/^lost [0-9]* /FAIL: synced yet lost at a power cut: /p' "$mnt/.powercut")
  control cut
  daemon_ended
  unmount_fs
  if [[ -z $lost ]]; then
    passed=$((passed + 1))
    echo "recorded run ($ops operations): passed"
  else
    failed=$((failed + 1))
    keep_failure "recorded-run" "recorded run ($ops operations)" "$lost" "$disk"
  fi
  mapfile -t states < <(ls "$work/states")
  for i in "${!states[@]}"; do
    state=${states[$i]}
    if [[ $state == *-torn ]]; then
      check_state "$state" "$((10#${state%-torn}))"
      continue
    fi
    next=$ops
    for next_state in "${states[@]:$((i + 1))}"; do
      if [[ $next_state != *-torn ]]; then next=$((10#$next_state - 1)); break; fi
    done
    check_state "$state" "$next"
  done
}

if ((every_point)); then run_every_point; else run_cycles; fi
echo "powercut: done in $((SECONDS - started)) s"
cleanup
if [[ $failed -eq 0 ]]; then rm -rf "$work"; else echo "kept: ${kept[*]}"; fi
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
