#!/bin/sh
# Builds and runs every test: the normal build, valgrind memcheck over the unit and tool tests,
# the fuzz smoke runs, the ThreadSanitizer build and the sanitizer build (AddressSanitizer and
# UndefinedBehaviorSanitizer). Every stage runs even when an earlier one fails; the run ends
# with one line per stage and a total, and fails when any stage failed. Nothing here times
# anything, so a busy machine only makes it slower.
set -u
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake ninja-build g++ pkg-config libgtest-dev valgrind netpbm clang libclang-rt-14-dev \
  libpng-dev libjpeg-dev libtiff-dev libwebp-dev libgif-dev liblcms2-dev libtiff-tools bc man-db python3-dev python3-pip python3-venv pybind11-dev python3-numpy python3-pytest python3-pil \
  python3-distributed imagemagick libvips-tools icc-profiles-free libgs-common || { echo "test.sh: the packages the tests need could not be installed"; exit 1; }

summary=""
failed=0
stages=0
started=$(date +%s)

# stage NAME COMMAND...: runs the command, timed, and notes how it ended.
stage() {
  name=$1
  shift
  echo "== $name"
  begin=$(date +%s)
  stages=$((stages + 1))
  if "$@"; then result=passed; else result=FAILED; failed=$((failed + 1)); fi
  summary="$summary$(printf '%-34s %-7s %5ss' "$name" "$result" $(($(date +%s) - begin)))
"
}

normal_build() {
  cmake --preset default >/dev/null && cmake --build --preset default && ctest --preset default
}

# The model comparisons of large drawings run in the other builds: under memcheck they take minutes.
valgrind_unit() {
  TESSERA_TEST_SCALE=small valgrind -q --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,possible --show-leak-kinds=definite,possible \
    build/default/tests/tessera_tests --gtest_brief=1 '--gtest_filter=-*DeathTest*:*Interop*:RenderModel.DrawingsTheRulesFinishAreRendered:RenderModel.RandomLong*' &&
    valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,possible \
      --show-leak-kinds=definite,possible build/default/tests/io_tests --gtest_brief=1 --gtest_filter=-IoBudgetMemory.* &&
    for corpus in png jpeg tiff pgm files; do
      valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,possible \
        build/default/tests/replay_fuzz_${corpus}_$( [ $corpus = files ] && echo any || echo codec) fuzz/corpus/$corpus \
        > /dev/null || return 1
    done
}

valgrind_tool() {
  TESSERA_TOOL_QUICK=1 TESSERA_TOOL_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,possible" \
    sh tools/test_tool.sh build/default/tools/tessera examples/drawings build/default/tools/tool-valgrind
}

thread_sanitizer() {
  cmake --preset tsan >/dev/null && cmake --build --preset tsan &&
    TSAN_OPTIONS="halt_on_error=1 exitcode=66" TESSERA_STRESS_ROUNDS=150 build/tsan/tests/thread_stress_tests --gtest_brief=1 &&
    sh tools/tsan_batch.sh build/tsan/tools/tessera examples/drawings build/tsan/tool-batch
}

sanitizers() {
  cmake --preset sanitize >/dev/null && cmake --build --preset sanitize && ctest --preset sanitize
}

# Valgrind runs one thread at a time: the two memcheck stages run side by side, each with its
# output kept in a log that is shown when it fails.
valgrind_both() {
  logs=build/default/valgrind
  mkdir -p $logs
  valgrind_unit > $logs/unit.log 2>&1 &
  unit=$!
  valgrind_tool > $logs/tool.log 2>&1
  tool=$?
  wait $unit
  unit=$?
  [ $unit -eq 0 ] || { tail -60 $logs/unit.log; echo "valgrind memcheck of the unit tests FAILED"; }
  [ $tool -eq 0 ] || { tail -60 $logs/tool.log; echo "valgrind memcheck of the tool FAILED"; }
  echo "valgrind memcheck: unit tests $( [ $unit -eq 0 ] && echo passed || echo FAILED), the tool $( [ $tool -eq 0 ] && echo passed || echo FAILED)"
  [ $unit -eq 0 ] && [ $tool -eq 0 ]
}

stage "normal build and tests" normal_build
stage "valgrind memcheck: units and tool" valgrind_both
stage "fuzz smoke" sh scripts/fuzz-smoke.sh
stage "thread sanitizer" thread_sanitizer
stage "address and UB sanitizers" sanitizers

echo
echo "== summary"
printf '%s' "$summary"
total=$(($(date +%s) - started))
echo "total ${total}s"
echo "stages: $((stages - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
