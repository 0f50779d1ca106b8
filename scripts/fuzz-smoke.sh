#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each for a short, bounded time from its seed corpus. FUZZ_SECONDS sets the time per
# target (default 20); run longer for a real campaign, e.g. FUZZ_SECONDS=3600. The time-out per
# input is generous: the smoke run judges crashes and leaks, not speed on a busy machine.
# FUZZ_JOBS targets run at once (default 2).
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
build=build/fuzz
sh scripts/fuzz-build.sh
jobs=${FUZZ_JOBS:-2}
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1

# fuzz TARGET: one bounded run; its log is build/fuzz/NAME.log.
fuzz() {
  name=$(basename "$1")
  family=$(echo "$name" | sed -E 's/^fuzz_([a-z]+)_.*$/\1/')
  work=$build/corpus/$name
  mkdir -p "$work" fuzz/corpus/$family
  dict=""
  [ -f fuzz/$family.dict ] && dict=-dict=fuzz/$family.dict
  "$1" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
    $dict -print_final_stats=1 "$work" fuzz/corpus/$family 2>"$build/$name.log"
}

failed=""
set -- $build/fuzz/fuzz_*
while [ $# -gt 0 ]; do
  batch=""
  pids=""
  n=0
  while [ $# -gt 0 ] && [ $n -lt "$jobs" ]; do
    echo "fuzzing $(basename "$1") for ${seconds}s"
    fuzz "$1" &
    pids="$pids $!"
    batch="$batch $1"
    n=$((n + 1))
    shift
  done
  for pid in $pids; do wait "$pid" || failed="$failed $pid"; done
  for target in $batch; do
    name=$(basename "$target")
    if grep -q 'stat::number_of_executed_units' "$build/$name.log"; then
      grep -E 'stat::number_of_executed_units' "$build/$name.log" | sed "s/^/$name: /"
    else
      tail -50 "$build/$name.log"
      failed="$failed $name"
    fi
  done
done
[ -z "$failed" ] || { echo "fuzz smoke: a target failed"; exit 1; }
