#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running velmerd need.
# Does nothing when they are all present; otherwise one quiet apt-get run (with sudo
# when not root).
#   scripts/install-deps.sh         the native build
#   scripts/install-deps.sh ARCH    also the cross compiler for ARCH (armhf or arm64) and
#                                   qemu-user, with ARCH's packages known to apt (the target's
#                                   libraries themselves are unpacked by scripts/cross.sh)
set -euo pipefail

target=${1:-}

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
  libfuse3-dev fuse3  # scripts/powercut.sh: the forgetful file system and fusermount3
)
if [[ -n $target ]]; then packages+=("crossbuild-essential-$target" qemu-user); fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
known=true
if [[ -n $target && ! " $(dpkg --print-foreign-architectures | tr '\n' ' ') " =~ " $target " ]]; then known=false; fi
if [[ ${#missing[@]} -eq 0 && $known == true ]]; then exit 0; fi

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
if [[ $known == false ]]; then "${sudo[@]}" dpkg --add-architecture "$target"; fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
if [[ ${#missing[@]} -eq 0 ]]; then exit 0; fi
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
