#!/bin/sh
# Builds and installs libtessera as a static archive (BUILD_SHARED_LIBS=OFF), then links a client
# with find_package(tessera) and with pkg-config --static: no shared libtessera anywhere.
set -eu
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cmake -S "$src" -B "$work/build" -G Ninja -DBUILD_SHARED_LIBS=OFF -DTESSERA_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Release > "$work/cmake.log"
cmake --build "$work/build" > "$work/build.log"
cmake --install "$work/build" --prefix "$work/prefix" > "$work/install.log"
test -f "$work/prefix/lib/libtessera.a"
! ls "$work/prefix/lib" | grep -q 'libtessera\.so'
cat > "$work/client.c" <<'C'
#include <tessera.h>
#include <stdio.h>
int main(void) {
    GrayImageStruct *im = im_NewOrWrap_(IMAGE_GRAY, 4, 3, 0, 0, NULL, 0, 0, NULL);
    int ok = im && imGetWidth(im) == 4;
    if (im) im_Free_(im, IMAGE_GRAY);
    printf("static client %s (library %s)\n", ok ? "ok" : "failed", tessera_version());
    return ok ? 0 : 1;
}
C
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" cc -std=c99 -Wall -Wextra -pedantic -Werror "$work/client.c" \
  -o "$work/client-pc" $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --static --cflags --libs tessera)
"$work/client-pc"
! ldd "$work/client-pc" | grep -q libtessera
mkdir -p "$work/cm"
cp "$work/client.c" "$src/examples/draw.c" "$work/cm/"
# a project in C alone, as a C user writes it: the C++ runtime comes with the library
cat > "$work/cm/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.25)
project(client C)
find_package(tessera REQUIRED)
add_executable(client client.c)
add_executable(draw draw.c)
target_link_libraries(client PRIVATE tessera::tessera)
target_link_libraries(draw PRIVATE tessera::tessera)
C
cmake -S "$work/cm" -B "$work/cm/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/cm.log"
cmake --build "$work/cm/build" > "$work/cm-build.log"
"$work/cm/build/client"
"$work/cm/build/draw" "$work/draw.ppm" "$work/draw.cptl"
test -s "$work/draw.ppm"
"$work/prefix/bin/tessera" render "$src/examples/drawings/house.ptl" "$work/house.pbm"
echo "the static library links with pkg-config --static and find_package; the tool links it too"
