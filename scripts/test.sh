#!/bin/sh
# Builds and runs every test: the normal build, the sanitizer build (AddressSanitizer and
# UndefinedBehaviorSanitizer), valgrind memcheck over the unit tests, and the fuzz smoke runs.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake ninja-build g++ pkg-config libgtest-dev valgrind netpbm clang libclang-rt-14-dev

echo "== normal build"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

echo "== valgrind memcheck"
TESSERA_TEST_SCALE=small valgrind -q --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,possible --show-leak-kinds=definite,possible \
  build/default/tests/tessera_tests --gtest_brief=1 '--gtest_filter=-*DeathTest*:*Interop*'

echo "== fuzz smoke"
sh scripts/fuzz-smoke.sh

echo "== sanitizer build"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize
