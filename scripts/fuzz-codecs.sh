#!/bin/sh
# The long fuzzing campaign of the image codecs (not part of the test run): each codec's target
# (PNG, JPEG, TIFF, Netpbm/PAM, and any format through the table) runs under AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer for FUZZ_SECONDS (default 600), two at a time.
# New inputs are kept in build/fuzz/corpus; the summary names every target and its result.
# FUZZ_TIMEOUT (default 10) is the seconds one input may take; TESSERA_FUZZ_BUDGET=default loads
# at the library's default budget instead of a small pixel limit (memory stays within 2 GB).
# Usage: fuzz-codecs.sh [TARGET...] (default: all five).
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-600}
timeout=${FUZZ_TIMEOUT:-10}
build=build/fuzz
sh scripts/fuzz-build.sh
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
run() {
  name=$1
  family=$(echo "$name" | sed -E 's/^fuzz_([a-z]+)_.*$/\1/')
  work=$build/corpus/$name
  mkdir -p "$work"
  dict=""
  [ -f fuzz/$family.dict ] && dict=-dict=fuzz/$family.dict
  if $build/fuzz/$name -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 -malloc_limit_mb=2048 \
      $dict -print_final_stats=1 "$work" fuzz/corpus/$family >"$build/$name.long.log" 2>&1; then
    echo "$name: ${seconds}s, $(grep -o 'stat::number_of_executed_units: *[0-9]*' $build/$name.long.log | grep -o '[0-9]*$') runs, no failure"
  else
    echo "$name: FAILED (see $build/$name.long.log)"
    return 1
  fi
}
status=0
set -- ${*:-fuzz_png_codec fuzz_jpeg_codec fuzz_tiff_codec fuzz_pgm_codec fuzz_files_any}
while [ $# -gt 0 ]; do
  pair="$1 ${2:-}"
  shift
  [ $# -gt 0 ] && shift
  pids=""
  for name in $pair; do
    run "$name" > "$build/$name.result" &
    pids="$pids $!"
  done
  for pid in $pids; do wait "$pid" || status=1; done
  for name in $pair; do cat "$build/$name.result"; done
done
exit $status
