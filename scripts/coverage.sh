#!/usr/bin/env bash
# Line and branch coverage of the daemon (src/) and its platform stand-ins (platform/) by
# the whole test suite: a Debug build with --coverage in build-coverage/, ctest, then gcovr.
#   scripts/coverage.sh          summary only
#   scripts/coverage.sh --files  also the table per file
# Not part of CI's pass or fail; a failing test is reported but the summary still printed.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) -ne 0 ]]; then exec sudo --preserve-env=PATH "$0" "$@"; fi

scripts/install-deps.sh
build=build-coverage
cmake -S . -B $build -G Ninja -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
ninja -C $build
find $build -name '*.gcda' -delete
ctest --test-dir $build -j2 --output-on-failure >$build/ctest.log 2>&1 || echo "coverage: some tests failed, see $build/ctest.log"
tail -n 3 $build/ctest.log

# A counter that several threads update at once can come out of gcov as "taken -1"; such a
# line is skipped rather than the whole summary lost.
filters=(--root . --filter 'src/' --filter 'platform/' --gcov-ignore-parse-errors)
if [[ ${1:-} == --files ]]; then gcovr "${filters[@]}" $build; fi
# gcovr replaces its output file (it unlinks it first), so it gets one of its own: never
# /dev/null, which as root it would turn into a regular file.
gcovr "${filters[@]}" --print-summary -o $build/coverage.txt $build
