#!/usr/bin/env bash
# Checks of the production install, run by ctest:
#   check_install.sh tree BUILD TREE [TOOL...]  installs BUILD into TREE (prefix /usr) and
#                                               checks its files and modes; TOOLs are the
#                                               command-line tools installed to usr/bin
#   check_install.sh unit TREE                  systemd-analyze verify and security on the unit,
#                                               tmpfiles creates the directories it writes
#   check_install.sh docs BUILD TREE [EMULATOR...]
#                                               the manual pages and velmerctl's completion
#                                               know every command and option of the tools;
#                                               velmerctl runs through EMULATOR if given
#   check_install.sh lint PACKAGE-DIR           lintian finds no error and no warning
#   check_install.sh deb BUILD TREE [CPACK-ARG...]
#                                               cpack -G DEB holds exactly the files of TREE
#                                               and names the architecture they run on
set -euo pipefail

# "mode path" of every entry under $1, paths relative to it, sorted by path.
listing() { (cd "$1" && find . -mindepth 1 -printf '%M %P\n' | sort -k2); }

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

check_tree() {
  local build=$1 tree=$2
  shift 2
  rm -rf "$tree"
  DESTDIR=$tree cmake --install "$build" --prefix /usr >/dev/null
  local expected
  expected=$(
    {
      if [[ $# -gt 0 ]]; then echo "drwxr-xr-x usr/bin"; fi
      for tool in "$@"; do echo "-rwxr-xr-x usr/bin/$tool"; done
      cat <<'LIST'
drwxr-xr-x usr
drwxr-xr-x usr/lib
drwxr-xr-x usr/lib/systemd
drwxr-xr-x usr/lib/systemd/system
-rw-r--r-- usr/lib/systemd/system/velmerd.service
drwxr-xr-x usr/lib/tmpfiles.d
-rw-r--r-- usr/lib/tmpfiles.d/velmerd.conf
drwxr-xr-x usr/sbin
-rwxr-xr-x usr/sbin/velmerd
drwxr-xr-x usr/share
drwxr-xr-x usr/share/dbus-1
drwxr-xr-x usr/share/dbus-1/interfaces
-rw-r--r-- usr/share/dbus-1/interfaces/com.zorvex.kelvo.Serviceinfo.xml
-rw-r--r-- usr/share/dbus-1/interfaces/com.zorvex.kelvo.jobservice.jobservicejobinfo.xml
-rw-r--r-- usr/share/dbus-1/interfaces/com.zorvex.kelvo.jobservice.jobservicemain.xml
-rw-r--r-- usr/share/dbus-1/interfaces/com.zorvex.kelvo.jobservice.jobservicescheduleinfo.xml
drwxr-xr-x usr/share/dbus-1/system.d
-rw-r--r-- usr/share/dbus-1/system.d/com.zorvex.kelvo.jobservice.conf
drwxr-xr-x usr/share/bash-completion
drwxr-xr-x usr/share/bash-completion/completions
-rw-r--r-- usr/share/bash-completion/completions/velmerctl
drwxr-xr-x usr/share/doc
drwxr-xr-x usr/share/doc/velmerd
-rw-r--r-- usr/share/doc/velmerd/changelog.gz
-rw-r--r-- usr/share/doc/velmerd/copyright
drwxr-xr-x usr/share/man
drwxr-xr-x usr/share/man/man1
-rw-r--r-- usr/share/man/man1/velmer-dump.1.gz
-rw-r--r-- usr/share/man/man1/velmerctl.1.gz
drwxr-xr-x usr/share/man/man8
-rw-r--r-- usr/share/man/man8/velmerd.8.gz
LIST
    } | sort -k2
  )
  diff <(echo "$expected") <(listing "$tree") || fail "the install tree differs from the expected list (< expected, > installed)"
  grep -qx "ExecStart=/usr/sbin/velmerd" "$tree/usr/lib/systemd/system/velmerd.service" ||
    fail "the unit does not start /usr/sbin/velmerd"
}

check_unit() {
  local tree=$1 root
  root=$(mktemp -d)
  trap 'rm -rf "$root"' RETURN
  # The install tree, plus the host's units that it is ordered against (dbus.socket,
  # sysinit.target, ...): verify resolves both, and ExecStart, inside --root.
  cp -a "$tree/." "$root/"
  mkdir -p "$root/lib/systemd"
  cp -r /lib/systemd/system "$root/lib/systemd/"
  local unit=/usr/lib/systemd/system/velmerd.service output
  # verify looks up the unit's Documentation= page with man: the tree's own.
  output=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" "$root$unit" 2>&1) ||
    fail "systemd-analyze verify: $output"
  [[ -z $output ]] || fail "systemd-analyze verify warns: $output"
  # tmpfiles creates every directory the unit lets the daemon write (a missing one stops
  # the unit from starting), the backup directory with mode 0770.
  systemd-tmpfiles --root="$root" --create "$root/usr/lib/tmpfiles.d/velmerd.conf" || fail "systemd-tmpfiles failed"
  local directory
  # shellcheck disable=SC2013 # the paths are words, several on a line
  for directory in $(sed -n 's/^ReadWritePaths=//p' "$root$unit"); do
    [[ -d $root$directory ]] || fail "tmpfiles does not create $directory, which the unit makes writable"
  done
  [[ $(stat -c %a "$root/flash/data1/jobservice/jobbackup") == 770 ]] || fail "the backup directory is not 0770"
  # The hardening stays in place: overall exposure at most 2.5 (2.1 now, 9.6 without it).
  output=$(systemd-analyze security --offline=yes --threshold=25 --root="$root" "$unit" 2>&1) ||
    fail "the unit's exposure is above 2.5: $(tail -n 1 <<<"$output")"
}

# The Debian architecture that the ELF program $1 runs on.
architecture_of() {
  local header
  header=$(readelf --file-header "$1")
  case $(sed -n 's/^ *Machine: *//p' <<<"$header") in
    "Advanced Micro Devices X86-64") echo amd64 ;;
    AArch64) echo arm64 ;;
    ARM) if grep -q "hard-float ABI" <<<"$header"; then echo armhf; else echo armel; fi ;;
    *) echo "unknown machine" ;;
  esac
}

check_deb() {
  local build=$1 tree=$2 work
  shift 2
  work=$build/install-package
  rm -rf "$work"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" "$@" >/dev/null
  local package
  package=$(echo "$work"/velmerd_*.deb)
  [[ -f $package ]] || fail "cpack made no velmerd_*.deb in $work"
  # dpkg-deb -c: "mode owner/group size date time ./path[/]"; the archive's own ./ is not a file.
  local packaged
  packaged=$(dpkg-deb -c "$package" | awk '$6 != "./" { sub(/^\.\//, "", $6); sub(/\/$/, "", $6); print $1, $6 }' | sort -k2)
  diff <(listing "$tree") <(echo "$packaged") || fail "the package differs from the install tree (< tree, > package)"
  local scripts
  scripts=$(dpkg-deb --ctrl-tarfile "$package" | tar -t | sort | tr '\n' ' ')
  [[ $scripts == *"./postinst ./postrm ./prerm "* ]] || fail "maintainer scripts missing: $scripts"
  local named runs_on
  named=$(dpkg-deb --field "$package" Architecture)
  runs_on=$(architecture_of "$tree/usr/sbin/velmerd")
  [[ $named == "$runs_on" ]] || fail "the package says Architecture: $named, its daemon runs on $runs_on"
}

# "COMMAND WORD" for every command, option and kv subcommand that `velmerctl --help-all`
# names: "- --address" for an option before any command, "list list" for a command,
# "list --state" for its options, "kv get" for a subcommand of kv.
velmerctl_words() {
  "$@" --help-all | awk '
    /^Subcommands:/ { listed = 1; next }
    listed && /^[a-z][a-z-]*$/ { command = $1; print command, command; next }
    /^ *(-h,)?--[a-z]/ { sub(/^ *(-h,)?/, ""); print (command == "" ? "-" : command), $1; next }
    command == "kv" && /^    [a-z]+ / { print command, $1 }'
}

# What completing each command line of standard input offers: "LINE|WORD WORD ...". A
# velmerctl on PATH stands for the job manager: on the bus unix:path=/x it holds job
# JID_000000000001 and queue QID_000000000002.
completions_of() {
  local completion=$1 bin
  bin=$(mktemp -d)
  # shellcheck disable=SC2064 # the directory is known now
  trap "rm -rf '$bin'" RETURN
  cat >"$bin/velmerctl" <<'STUB'
#!/bin/sh
case $1 in
  --address=unix:path=/x) shift ;;
  --address) [ "$2" = unix:path=/x ] && shift 2 || exit 3 ;;
  *) exit 3 ;;
esac
echo "ID  NAME"
case $1 in list) echo "JID_000000000001  a job" ;; queues) echo "QID_000000000002  1" ;; esac
STUB
  chmod +x "$bin/velmerctl"
  PATH=$bin:$PATH bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    while IFS= read -r COMP_LINE; do
      COMP_POINT=${#COMP_LINE}
      read -ra COMP_WORDS <<<"$COMP_LINE"
      [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMPREPLY=()
      _velmerctl
      echo "$COMP_LINE|${COMPREPLY[*]}"
    done' - "$completion"
}

check_docs() {
  local build=$1 tree=$2 man=$2/usr/share/man
  shift 2
  local page words
  page=$(MANWIDTH=200 man --nh --nj -l "$man/man1/velmerctl.1.gz")
  words=$(velmerctl_words "$@" "$build/velmerctl")
  [[ $(wc -l <<<"$words") -gt 20 ]] || fail "velmerctl --help-all lists too little: $words"
  local lines command word
  lines=$(while read -r command word; do
    case $command in
      -) echo "velmerctl " ;;
      "$word" | kv) echo "velmerctl $command " ;;
      *) echo "velmerctl $command --" ;;
    esac
  done <<<"$words" | sort -u)
  lines+=$'\nvelmerctl list --state r\nvelmerctl --address unix:path=/x show \nvelmerctl --address=unix:path=/x kv set '
  local offered
  offered=$(completions_of "$tree/usr/share/bash-completion/completions/velmerctl" <<<"$lines")
  while read -r command word; do
    case $command in
      -) grep -q "^velmerctl |.*$word" <<<"$offered" ;;
      "$word") grep -q "^velmerctl |.*\b$word\b" <<<"$offered" && grep -qE "^ +$word( |$)" <<<"$page" ;;
      kv) grep -q "^velmerctl kv |.*\b$word\b" <<<"$offered" && grep -qE "^ +kv $word " <<<"$page" ;;
      *) grep -q -- "^velmerctl $command --|.*$word\b" <<<"$offered" && grep -qw -- "$word" <<<"$page" ;;
    esac || fail "velmerctl's $command $word is not both completed and in its manual page"
  done <<<"$words"
  local expected
  for expected in "list --state r|running reboot-pending" "show |JID_000000000001 QID_000000000002" \
    "kv set |JID_000000000001"; do
    grep -qF "${expected%%|*}|${expected#*|}" <<<"$offered" || fail "completing ${expected%%|*} did not offer ${expected#*|}: $offered"
  done

  page=$(MANWIDTH=200 man --nh --nj -l "$man/man1/velmer-dump.1.gz")
  for word in $("$@" "$build/velmer-dump" --help | sed -nE 's/^ *(-h,)?(--[a-z-]+).*/\2/p'); do
    grep -qw -- "$word" <<<"$page" || fail "velmer-dump's $word is not in its manual page"
  done
}

check_lint() {
  local output
  output=$(lintian --fail-on error,warning "$1"/velmerd_*.deb 2>&1) || fail "lintian: $output"
}

mode=${1:?mode}
shift
case $mode in
  tree) check_tree "$@" ;;
  unit) check_unit "$@" ;;
  deb) check_deb "$@" ;;
  docs) check_docs "$@" ;;
  lint) check_lint "$@" ;;
  *) fail "unknown mode $mode" ;;
esac
