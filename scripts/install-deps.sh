#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running velmerd need.
# Does nothing when they are all present; otherwise one quiet apt-get run (with sudo
# when not root).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libsystemd-dev libsdbus-c++-dev libsdbus-c++-bin nlohmann-json3-dev libczmq-dev
  libgtest-dev
  libcli11-dev               # velmer-dump's and velmerctl's command line
  clang libfuzzer-14-dev     # scripts/fuzz.sh: the libFuzzer targets
  dbus      # dbus-daemon for the private test and demo bus
  util-linux  # setsid for the demo
  systemd     # systemd-analyze for the install tests
  scdoc       # the manual pages
  lintian     # the install tests check the Debian package with it
  bash-completion  # the install tests complete velmerctl's command lines
  dpkg-dev    # dpkg-shlibdeps for the Debian package's dependencies
  gcovr       # scripts/coverage.sh
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
if [[ ${#missing[@]} -eq 0 ]]; then exit 0; fi

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
