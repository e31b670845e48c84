#!/usr/bin/env bash
# Runs the libFuzzer targets (tests/fuzz/) built with clang, ASan and UBSan in build-fuzz/.
#   scripts/fuzz.sh TARGET [SECONDS]   one target, 600 s unless told
#   scripts/fuzz.sh all SECONDS        every target, SECONDS each, one per core at a time
#   scripts/fuzz.sh list               the target names
#   scripts/fuzz.sh seeds              writes the seed corpora anew with the daemon's writers
# Each target starts from its seed corpus, tests/fuzz/corpus/TARGET/ (kept as it is: new
# inputs go to build-fuzz/corpus/TARGET/). A finding is written to build-fuzz/findings/
# and ends the run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(backup_file legacy_file journal_file key_value_json schedule_time velmer_dump)
what=${1:-}
seconds=${2:-600}
if [[ $what == list ]]; then printf '%s\n' "${targets[@]}"; exit 0; fi
if [[ -z $what || ($what != all && $what != seeds && ! " ${targets[*]} " =~ " $what ") ]]; then
  echo "usage: $0 TARGET|all [SECONDS] (targets: ${targets[*]})" >&2
  exit 2
fi
if [[ $what == all && -z ${2:-} ]]; then echo "usage: $0 all SECONDS" >&2; exit 2; fi

scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVELMER_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_UNITY_BUILD=ON >/dev/null
if [[ $what == seeds ]]; then
  ninja -C build-fuzz fuzz_make_seeds
  build-fuzz/tests/fuzz/fuzz_make_seeds tests/fuzz/corpus
  exit 0
fi
selected=("$what")
[[ $what == all ]] && selected=("${targets[@]}")
ninja -C build-fuzz "${selected[@]/#/fuzz_}"

mkdir -p build-fuzz/findings
# Prints the target's figures; non-zero when it found a fault.
fuzz_one() {
  local target=$1
  mkdir -p "build-fuzz/corpus/$target"
  echo "fuzz: $target for $seconds s"
  # -malloc_limit_mb: no reader may ask for a huge block whatever the input claims. The RSS
  # limit stays at libFuzzer's default: ASan's quarantine and the leak check at exit alone
  # take a 60 s run past 512 MB.
  local found=0
  "build-fuzz/tests/fuzz/fuzz_$target" "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target" \
    -max_total_time="$seconds" -malloc_limit_mb=256 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/findings/$target-" 2>"build-fuzz/$target.log" || found=1
  if ((found)); then
    echo "fuzz: $target FOUND A FAULT, see build-fuzz/$target.log and build-fuzz/findings/" >&2
    tail -40 "build-fuzz/$target.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "build-fuzz/$target.log" | sed "s/^/fuzz: $target /" || true
  return $found
}

# Each target is single-threaded: run as many at once as there are cores, each still for
# the whole time asked.
parallel=$(nproc)
status=0
running=()
for target in "${selected[@]}"; do
  if ((${#running[@]} >= parallel)); then
    wait "${running[0]}" || status=1
    running=("${running[@]:1}")
  fi
  fuzz_one "$target" &
  running+=($!)
done
for pid in "${running[@]}"; do wait "$pid" || status=1; done
exit $status
