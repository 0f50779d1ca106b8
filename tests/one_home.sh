#!/bin/sh
# Rules and platform code that have one home stay there: a second copy fails this test.
# Usage: one_home.sh SOURCE_DIR
set -u
cd "$1" || exit 1
status=0
code="src tools python/src include"

# only FILE (or the files under DIR/) may match PATTERN (an extended regular expression) in the code
only_in() {
  case $1 in */) home="^$1" ;; *) home="^$1\$" ;; esac
  found=$(grep -rlE --include='*.c' --include='*.h' --include='*.cpp' --include='*.hpp' "$2" $code | grep -v "$home")
  if [ -n "$found" ]; then
    echo "'$2' belongs in $1 only, but is also in:"; echo "$found"; status=1
  fi
}

only_in src/simd/ '_mm[a-z0-9_]+\(|#include <(e|i|x|p|t)mmintrin.h>'
only_in src/support/file.cpp '\brename\(|mkostemp|O_TMPFILE'
only_in src/image/resize.cpp '"lanczos3"[,}]'
only_in src/support/magic_internal.h 'bool is_space\('
only_in src/io/io.cpp 'flatten first'
only_in include/tessera/error.h 'tessera_reason_is_memory'
if grep -rn 'tools/' python/src python/tessera python/CMakeLists.txt; then
  echo "the Python package reaches into the tool"; status=1
fi
[ $status -eq 0 ] && echo "each rule has one home"
exit $status
