#!/bin/sh
# Builds and runs every test: the normal build, the sanitizer build (AddressSanitizer and
# UndefinedBehaviorSanitizer), valgrind memcheck over the unit tests, and the fuzz smoke runs.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake ninja-build g++ pkg-config libgtest-dev valgrind netpbm clang libclang-rt-14-dev \
  libpng-dev bc man-db python3-dev python3-pip pybind11-dev python3-numpy python3-pytest python3-pil python3-distributed

echo "== normal build"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

echo "== valgrind memcheck"
TESSERA_TEST_SCALE=small valgrind -q --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,possible --show-leak-kinds=definite,possible \
  build/default/tests/tessera_tests --gtest_brief=1 '--gtest_filter=-*DeathTest*:*Interop*'

echo "== valgrind memcheck: the tool's tests"
TESSERA_TOOL_QUICK=1 TESSERA_TOOL_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,possible" \
  sh tools/test_tool.sh build/default/tools/tessera examples/drawings build/default/tools/tool-valgrind

echo "== fuzz smoke"
sh scripts/fuzz-smoke.sh

echo "== thread sanitizer build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
TSAN_OPTIONS="halt_on_error=1 exitcode=66" TESSERA_STRESS_ROUNDS=150 build/tsan/tests/thread_stress_tests --gtest_brief=1
sh tools/tsan_batch.sh build/tsan/tools/tessera examples/drawings build/tsan/tool-batch

echo "== sanitizer build"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize
