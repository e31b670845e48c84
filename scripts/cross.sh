#!/usr/bin/env bash
# Builds velmerd for a controller's CPU with Debian 12's cross compilers and runs the whole
# suite (unit, end-to-end, install) under qemu-user; the private bus daemon runs natively.
#   scripts/cross.sh armhf     build-armhf/ , 32-bit ARMv7 with hard float
#   scripts/cross.sh arm64     build-arm64/ , 64-bit ARMv8
# The target's libraries are Debian's packages for ARCH, downloaded and unpacked into
# build-ARCH/sysroot, never installed: some of them (libczmq-dev, libnspr4-dev) cannot be
# installed beside the host's own and would replace them.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case $arch in
  armhf | arm64) ;;
  *) echo "usage: $0 armhf|arm64" >&2; exit 2 ;;
esac
if [[ $(id -u) -ne 0 ]]; then exec sudo --preserve-env=PATH "$0" "$@"; fi

build=build-$arch
sysroot=$PWD/$build/sysroot

# What the build links (each -dev package names what it needs in turn), and the run-time
# C and C++ libraries, which the cross compiler brings for linking only.
roots=(libsystemd-dev libsdbus-c++-dev libczmq-dev libgtest-dev libc6 libstdc++6 libgcc-s1)
independent=(nlohmann-json3-dev libcli11-dev) # Architecture: all
# The cross compiler's own C headers stand in for libc6-dev and its family; libelogind0 is
# only the other provider of libsystemd.so.0.
left_out=(libc6-dev libc-dev-bin linux-libc-dev libcrypt-dev libnsl-dev libtirpc-dev rpcsvc-proto libelogind0)

target_packages() {
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances "${roots[@]/%/:$arch}" |
    grep -E "^[a-z0-9][^ ]*:$arch\$" | grep -vxF "$(printf "%s:$arch\n" "${left_out[@]}")" | sort -u
  printf '%s\n' "${independent[@]}"
}

# Symbolic links that name an absolute path are made relative, so that they resolve inside
# the sysroot (the dynamic loader's, first of all).
relink_inside() {
  local link
  while IFS= read -r -d '' link; do
    ln -sfnr "$sysroot$(readlink "$link")" "$link"
  done < <(find "$sysroot" -type l -lname '/*' -print0)
}

# The packages' symbols and shlibs files, gathered where dpkg-shlibdeps looks for those of
# a library in a tree that no package database knows: the tree's DEBIAN/.
gather_library_dependencies() {
  local deb=$1 control
  control=$(mktemp -d)
  dpkg-deb --control "$deb" "$control"
  mkdir -p "$sysroot/DEBIAN"
  for file in symbols shlibs; do
    if [[ -f $control/$file ]]; then cat "$control/$file" >>"$sysroot/DEBIAN/$file"; fi
  done
  rm -rf "$control"
}

# Downloads and unpacks the packages the first time and whenever the archive has newer ones.
make_sysroot() {
  local packages wanted
  mapfile -t packages < <(target_packages)
  wanted=$(apt-get download --print-uris "${packages[@]}" | awk '{ print $2 }' | sort)
  if [[ -f $sysroot/.packages && $(<"$sysroot/.packages") == "$wanted" ]]; then return; fi
  echo "cross: unpacking ${#packages[@]} $arch packages into $sysroot"
  local debs=$PWD/$build/packages deb
  mkdir -p "$debs"
  (cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root "${packages[@]}")
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for deb in $wanted; do
    dpkg-deb --extract "$debs/$deb" "$sysroot"
    gather_library_dependencies "$debs/$deb"
  done
  relink_inside
  echo "$wanted" >"$sysroot/.packages"
}

scripts/install-deps.sh "$arch"
make_sysroot
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch.cmake" -DCMAKE_SYSROOT="$sysroot" \
  -DBUILD_TESTING=ON -DCMAKE_UNITY_BUILD=ON >/dev/null
ninja -C "$build"
ctest --test-dir "$build" --output-on-failure -j2
