#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build/fuzz, for scripts/fuzz-smoke.sh and scripts/fuzz-codecs.sh.
set -eu
cd "$(dirname "$0")/.."
flags="-O1 -g -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DTESSERA_BUILD_FUZZ=ON -DTESSERA_WERROR=ON -DTESSERA_BUILD_TESTS=OFF -DTESSERA_BUILD_TOOLS=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz --target fuzz_all
