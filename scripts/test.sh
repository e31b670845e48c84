#!/usr/bin/env bash
# Builds velmerd with its tests and runs them all with ctest.
#   scripts/test.sh            build/ , the usual build
#   scripts/test.sh address    build-address/ , AddressSanitizer and UBSan
#   scripts/test.sh thread     build-thread/ , ThreadSanitizer
# The end-to-end tests start their own bus daemon and need root (only root may own
# names on it), so the script re-runs itself with sudo when needed.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizer=${1:-}
case $sanitizer in
  "") build=build ;;
  address | thread) build=build-$sanitizer ;;
  *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
esac

if [[ $(id -u) -ne 0 ]]; then exec sudo --preserve-env=PATH "$0" "$@"; fi

scripts/install-deps.sh
# A unity build (eight sources to a compiler run) takes a third of the time of a file-by-file
# one on two cores: every source includes the same binding headers.
cmake -S . -B "$build" -G Ninja -DBUILD_TESTING=ON -DVELMER_SANITIZE="$sanitizer" -DCMAKE_UNITY_BUILD=ON >/dev/null
ninja -C "$build"
# Every test runs in its own process, and every end-to-end test has its own root and bus.
ctest --test-dir "$build" --output-on-failure -j2
