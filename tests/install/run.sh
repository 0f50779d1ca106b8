#!/bin/sh
# Installs the built library into a scratch prefix, then builds a small client against it twice:
# with find_package(tessera) and with pkg-config.
set -eu
src=$1
build=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

mkdir -p "$work/client"
cat > "$work/client/client.c" <<'C'
#include <tessera.h>
#include <stdio.h>
int main(void) {
    adtStringHeader *s = strMake("installed");
    int ok = s && strLen(s) == 9;
    strFree(s);
    puts(ok ? "client ok" : "client failed");
    return ok ? 0 : 1;
}
C
cat > "$work/client/CMakeLists.txt" <<C
cmake_minimum_required(VERSION 3.25)
project(client C CXX)
find_package(tessera REQUIRED COMPONENTS io)
add_executable(client client.c)
target_link_libraries(client PRIVATE tessera::tessera)
set(CMAKE_CXX_STANDARD 20)
file(GLOB examples $src/examples/*.c $src/examples/*.cpp)
foreach(example IN LISTS examples)
  get_filename_component(name \${example} NAME_WE)
  get_filename_component(ext \${example} EXT)
  if(ext STREQUAL ".cpp")
    set(name \${name}_cxx)
  endif()
  add_executable(\${name} \${example})
  target_link_libraries(\${name} PRIVATE tessera::tessera tessera::io)
endforeach()
C
cmake -S "$work/client" -B "$work/client/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$work/cmake.log"
cmake --build "$work/client/build" > "$work/build.log"
LD_LIBRARY_PATH="$prefix/lib" "$work/client/build/client"
for example in "$src"/examples/*.c; do
  name=$(basename "$example" .c)
  [ -x "$work/client/build/$name" ] && echo "example $name builds with find_package(tessera)"
done
LD_LIBRARY_PATH="$prefix/lib" "$work/client/build/draw" "$work/drawn.ppm" "$work/drawn.cptl"
LD_LIBRARY_PATH="$prefix/lib" "$work/client/build/tour_cxx" "$work" > "$work/tour.txt"
grep -q "first in the queue: apple" "$work/tour.txt"
grep -q "refused: " "$work/tour.txt"
head -c 2 "$work/drawing.ppm" | grep -q P6
echo "example tour (C++) builds with find_package(tessera) and runs"
LD_LIBRARY_PATH="$prefix/lib" "$work/client/build/crop_image" "$work/drawn.ppm" "$work/cropped.ppm" 10 10 50 40
head -c 2 "$work/cropped.ppm" | grep -q P6

# Image files: a 16-bit PNG, a JPEG, a TIFF and a plain PGM, made with the installed tool, are
# loaded and saved in other formats by the C and the C++ example.
files="$work/files"
mkdir -p "$files/out"
printf 'P2\n4 2\n100\n0 25 50 100\n100 50 25 0\n' > "$files/plain.pgm"
printf 'P5\n3 1\n65535\n\000\001\200\000\377\376' > "$files/deep.pgm"
tool="$prefix/bin/tessera"
LD_LIBRARY_PATH="$prefix/lib" "$tool" convert --keep-depth "$files/deep.pgm" "$files/deep.png"
LD_LIBRARY_PATH="$prefix/lib" "$tool" convert "$work/drawn.ppm" "$files/photo.jpg"
LD_LIBRARY_PATH="$prefix/lib" "$tool" convert "$work/drawn.ppm" "$files/scan.tif"
for example in image_files image_files_cxx; do
  LD_LIBRARY_PATH="$prefix/lib" "$work/client/build/$example" "$files/out" \
    "$files/deep.png" "$files/photo.jpg" "$files/scan.tif" "$files/plain.pgm" > "$work/$example.txt"
  grep -q "deep.png: PNG, 3 x 1, .*16 bits" "$work/$example.txt"
done
for out in deep.tif deep.pgm photo.png photo.jpg scan.png scan.jpg plain.png plain.jpg \
           deep-cxx.tif deep-cxx.pgm photo-cxx.png photo-cxx.jpg scan-cxx.png plain-cxx.png; do
  test -s "$files/out/$out" || { echo "the examples did not write $out"; exit 1; }
done
LD_LIBRARY_PATH="$prefix/lib" "$tool" info "$files/out/deep.tif" "$files/out/deep-cxx.pgm" | grep -c "16-bit, maxval 65535" \
  | grep -q 2
LD_LIBRARY_PATH="$prefix/lib" "$tool" info --stats "$files/out/plain.png" | grep -q "maximum: 255"
echo "examples image_files (C) and image_files_cxx (C++) load a 16-bit PNG, a JPEG, a TIFF and a plain PGM and save them"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc -std=c99 -Wall -Wextra -pedantic -Werror "$work/client/client.c" -o "$work/client/client-pc" \
  $(pkg-config --cflags --libs tessera)
LD_LIBRARY_PATH="$prefix/lib" "$work/client/client-pc"

for example in "$src"/examples/*.c; do
  [ -e "$example" ] || continue
  name=$(basename "$example" .c)
  cc -std=c99 -Wall -Wextra -pedantic -Werror "$example" -o "$work/$name" $(pkg-config --cflags --libs tessera_io)
  echo "example $name builds with pkg-config"
done
c++ -std=c++20 -Wall -Wextra -pedantic -Werror "$src/examples/image_files.cpp" -o "$work/image_files_cxx" \
  $(pkg-config --cflags --libs tessera_io)
LD_LIBRARY_PATH="$prefix/lib" "$work/image_files_cxx" "$files/out" "$files/photo.jpg" | grep -q "JPEG, "
echo "example image_files.cpp builds with pkg-config and runs"

# The installed tool finds the installed library from any prefix (a run path relative to itself),
# and its manual page is installed.
moved="$work/moved prefix"
cp -a "$prefix" "$moved"
env -u LD_LIBRARY_PATH "$moved/bin/tessera" --version | grep -q "^tessera "
env -u LD_LIBRARY_PATH "$moved/bin/tessera" render "$src/examples/drawings/house.ptl" "$work/house.pbm"
head -c 2 "$work/house.pbm" | grep -q P4
test -s "$prefix/share/man/man1/tessera.1"
echo "the installed tool runs from a moved prefix; its manual page is installed"

# The Python package, when the build has it, is installed under lib/python3/dist-packages.
if [ -d "$prefix/lib/python3/dist-packages/tessera" ]; then
  (cd "$work" && PYTHONPATH="$moved/lib/python3/dist-packages" /usr/bin/python3 -c '
import tessera, numpy
im = tessera.Drawing(8, 6).line(0, 0, 7, 5).render(2)
assert numpy.asarray(im).shape == (12, 16) and numpy.asarray(im).any()
print("the installed Python package imports and renders")')
fi
