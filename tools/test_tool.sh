#!/bin/sh
# Drives the tessera tool as a user would: every subcommand and every error a user can cause.
# usage: test_tool.sh TOOL DRAWINGS_DIR WORK_DIR
set -u
tool_bin=$1
# TESSERA_TOOL_WRAPPER runs every call under a checker, e.g. "valgrind -q --error-exitcode=99"
run_tool() { ${TESSERA_TOOL_WRAPPER:-} "$tool_bin" "$@"; }
tool=run_tool
drawings=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
passed=0
failed=0

# expect STATUS PATTERN COMMAND...: the command exits with STATUS and its output (stdout and
# stderr together) matches the extended regular expression PATTERN.
expect() {
  want=$1
  pattern=$2
  shift 2
  out=$("$@" 2>&1)
  got=$?
  if [ "$got" -eq "$want" ] && printf '%s\n' "$out" | grep -Eq -- "$pattern"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $* (exit $got, wanted $want, pattern '$pattern')"
    printf '%s\n' "$out" | sed 's/^/    /'
  fi
}

# never a library assertion or a crash for user input
expect_clean() {
  out=$("$@" 2>&1)
  got=$?
  if [ "$got" -eq 2 ] && ! printf '%s\n' "$out" | grep -q "Assertion failed" && [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED (not one clean error line, exit 2): $* (exit $got)"
    printf '%s\n' "$out" | sed 's/^/    /'
  fi
}

# check DESCRIPTION CONDITION...: the condition holds
check() { # check DESCRIPTION CONDITION...
  what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}

expect 0 "usage: tessera COMMAND" "$tool" --help
# The formats --help and the manual page list come from libtessera_io's table: every name it
# reads or writes is there.
help_text=$("$tool" --help 2>&1)
man_formats=$("$tool" --man-formats 2>&1)
for format in pbm pgm ppm pnm pam png jpeg tiff q1 q2 q3 q4 q10 q11; do
  check "--help lists $format" sh -c 'printf "%s\n" "$1" | grep -q "^  $2 "' _ "$help_text" "$format"
  check "the manual page lists $format" sh -c 'printf "%s\n" "$1" | grep -qx "\.B $2"' _ "$man_formats" "$format"
done
expect 0 "^tessera [0-9]+\.[0-9]+" "$tool" --version
expect 2 "usage" "$tool"
for c in render convert info crop scale border resize flip flop rotate; do expect 0 "usage: tessera $c" "$tool" "$c" --help; done
expect_clean "$tool" frobnicate

# render
expect 0 "^$" "$tool" render "$drawings/shapes.cptl" "$work/shapes.ppm" --scale 2
expect 0 "P6 IMAGE_RGB 128 x 96" "$tool" info "$work/shapes.ppm"
expect 0 "^$" "$tool" render "$drawings/house.ptl" "$work/house.pbm"
expect 0 "P4 IMAGE_BINARY 40 x 40" "$tool" info "$work/house.pbm"
expect 0 "^$" "$tool" render "$drawings/house.ptl" "$work/house.ppm" --rgb --background '#203040'
expect 0 "minimum: 32 48 64" "$tool" info --stats "$work/house.ppm"
expect 0 "^$" "$tool" render "$drawings/rings.cptl" "$work/rings.ppm" --scale-x 2 --scale-y 3
expect 0 "80 x 120" "$tool" info "$work/rings.ppm"
expect 0 "warning: .*clipping.cptl: some elements were clipped" "$tool" render "$drawings/clipping.cptl" "$work/clip.ppm"
if "$tool" --help >>"$work/helpers.log" && "$tool" render "$drawings/shapes.cptl" "$work/shapes.png" 2>>"$work/helpers.log"; then
  expect 0 "" test -s "$work/shapes.png"
fi
expect_clean "$tool" render "$work/missing.ptl" "$work/x.ppm"
expect_clean "$tool" render "$work/shapes.ppm" "$work/x.ppm"
expect_clean "$tool" render "$drawings/shapes.cptl" "$work/x.ppm" --scale 0
expect_clean "$tool" render "$drawings/shapes.cptl" "$work/x.ppm" --scale abc
expect_clean "$tool" render "$drawings/shapes.cptl" "$work/x.ppm" --background red
expect_clean "$tool" render "$drawings/shapes.cptl" "$work/x.pbm" --rgb
expect_clean "$tool" render "$drawings/shapes.cptl" "$work/x.ppm" --bogus
expect_clean "$tool" render "$drawings/shapes.cptl"
expect_clean "$tool" render "$drawings/shapes.cptl" "$work/no-such-dir/x.ppm"
printf 'CPTL 0 0 10 10\np 1 1 0xff0000\nz 2 2\n' > "$work/damaged.cptl"
expect_clean "$tool" render "$work/damaged.cptl" "$work/damaged.ppm"
expect 1 "" test -e "$work/damaged.ppm"
expect 0 "^$" sh -c "! ls -A '$work' | grep -q 'tmp-\|\.tessera-'"

# info
expect 0 "CPTL colour point list" "$tool" info "$drawings/shapes.cptl"
expect 0 "elements: 4 points, 2 lines, 1 ellipses, 1 fills" "$tool" info "$drawings/shapes.cptl"
expect 0 "comment: +Every element type" "$tool" info "$drawings/shapes.cptl"
expect 0 "PTL plain point list" "$tool" info "$drawings/target.ptl"
expect_clean "$tool" info "$work/missing.pgm"
printf 'hello world\n' > "$work/text.txt"
expect_clean "$tool" info "$work/text.txt"
printf 'P5 4 4 255\nab' > "$work/short.pgm"
expect_clean "$tool" info --stats "$work/short.pgm"
expect_clean "$tool" info

# crop, scale, border keep the format
expect 0 "^$" "$tool" crop "$work/shapes.ppm" "$work/crop.ppm" 10 20 30 40
expect 0 "P6 IMAGE_RGB 30 x 40" "$tool" info "$work/crop.ppm"
expect 0 "^$" "$tool" scale "$work/house.pbm" "$work/scaled.pbm" 20 10
expect 0 "P4 IMAGE_BINARY 20 x 10" "$tool" info "$work/scaled.pbm"
expect 0 "^$" "$tool" border "$work/house.pbm" "$work/border.pbm" 3
expect 0 "P4 IMAGE_BINARY 46 x 46" "$tool" info "$work/border.pbm"
expect_clean "$tool" crop "$work/shapes.ppm" "$work/x.ppm" 100 0 50 50
expect_clean "$tool" crop "$work/shapes.ppm" "$work/x.ppm" -1 0 5 5
expect_clean "$tool" crop "$work/shapes.ppm" "$work/x.ppm" 0 0 0 5
expect_clean "$tool" crop "$work/shapes.ppm" "$work/x.ppm" 0 0 5
expect_clean "$tool" crop "$work/shapes.ppm" "$work/x.pbm" 0 0 5 5
expect_clean "$tool" scale "$work/shapes.ppm" "$work/x.ppm" 0 5
expect_clean "$tool" scale "$work/shapes.ppm" "$work/x.ppm" 5 five
expect_clean "$tool" scale "$work/missing.ppm" "$work/x.ppm" 5 5
expect_clean "$tool" border "$work/shapes.ppm" "$work/x.ppm" -2
expect_clean "$tool" border "$drawings/shapes.cptl" "$work/x.ppm" 2
expect_clean "$tool" border "$work/short.pgm" "$work/x.pgm" 2

# resize, flip, flop, rotate: sizes, filters and the pixels of small known images
printf 'P2\n4 1\n255\n0 85 170 255\n' > "$work/row.pgm"
expect 0 "^$" "$tool" resize "$work/row.pgm" "$work/row8.pgm" 8x1 --filter nearest
"$tool" convert "$work/row8.pgm" "$work/row8.pgm" --format pgm
check "nearest samples at pixel centres" test "$(tail -c 8 "$work/row8.pgm" | od -An -tu1 | tr -s ' ')" = " 0 0 85 85 170 170 255 255"
expect 0 "^$" "$tool" resize "$work/row.pgm" "$work/row2.pgm" 2x1 --filter=box
check "box averages (halves round up)" test "$(tail -c 2 "$work/row2.pgm" | od -An -tu1 | tr -s ' ')" = " 43 213"
expect 0 "^$" "$tool" resize "$work/shapes.ppm" "$work/half.ppm" 50%
expect 0 "P6 IMAGE_RGB 64 x 48" "$tool" info "$work/half.ppm"
expect 0 "^$" "$tool" resize "$work/shapes.ppm" "$work/w.ppm" 200 --filter lanczos3
expect 0 "P6 IMAGE_RGB 200 x 150" "$tool" info "$work/w.ppm"
expect 0 "^$" "$tool" resize "$work/shapes.ppm" "$work/h.ppm" x30 --filter bilinear
expect 0 "P6 IMAGE_RGB 40 x 30" "$tool" info "$work/h.ppm"
expect 0 "^$" "$tool" rotate "$work/row.pgm" "$work/col.pgm" 90
expect 0 "P5 IMAGE_GRAY 1 x 4" "$tool" info "$work/col.pgm"
"$tool" rotate "$work/col.pgm" "$work/back.pgm" -90
"$tool" convert "$work/back.pgm" "$work/back.pgm" --format pgm
check "a quarter turn and back gives the image again" test "$(tail -c 4 "$work/back.pgm" | od -An -tu1 | tr -s ' ')" = " 0 85 170 255"
"$tool" flop "$work/row.pgm" "$work/flop.pgm"
check "flop mirrors left to right" test "$(tail -c 4 "$work/flop.pgm" | od -An -tu1 | tr -s ' ')" = " 255 170 85 0"
"$tool" flip "$work/col.pgm" "$work/flip.pgm"
"$tool" rotate "$work/row.pgm" "$work/ccw.pgm" 270
check "flip of the clockwise turn is the anticlockwise turn" cmp -s "$work/flip.pgm" "$work/ccw.pgm"
expect_clean "$tool" resize "$work/row.pgm" "$work/x.pgm" 0x3
expect_clean "$tool" resize "$work/row.pgm" "$work/x.pgm" 3y4
expect_clean "$tool" resize "$work/row.pgm" "$work/x.pgm" -5%
"$tool" convert "$work/row.pgm" "$work/row.q2"
expect_clean "$tool" resize "$work/row.q2" "$work/x.q2" 2147483647x2147483647 # 2^65 bytes of doubles: never allocated
expect_clean "$tool" resize "$work/row.pgm" "$work/x.pgm" 3 --filter sharp
expect_clean "$tool" resize "$work/row.pgm" "$work/x.pgm"
expect_clean "$tool" rotate "$work/row.pgm" "$work/x.pgm" 45
expect_clean "$tool" flip "$work/row.pgm"
expect_clean "$tool" flop "$work/missing.pgm" "$work/x.pgm"
expect_clean "$tool" crop "$work/row.pgm" "$work/x.pgm" 0 0 2 2 --filter box
expect_clean "$tool" flip "$work/row.pgm" "$work/x.pgm" --exact
expect_clean "$tool" resize "$work/row.pgm" "$work/x.pgm" 3 --exact=yes

# every editing command over many files: operands first, outputs in their own format
mkdir -p "$work/many/a" "$work/many/b"
cp "$work/row.pgm" "$work/many/a/one.pgm"
cp "$work/shapes.ppm" "$work/many/a/two.ppm"
expect 0 "^$" "$tool" rotate --out-dir "$work/turned" --jobs 2 90 "$work/many/a/one.pgm" "$work/many/a/two.ppm"
expect 0 "P6 IMAGE_RGB 96 x 128" "$tool" info "$work/turned/two.ppm"
expect 0 "P5 IMAGE_GRAY 1 x 4" "$tool" info "$work/turned/one.pgm"
expect 0 "^$" "$tool" crop --out-dir "$work/cropped" --to png 0 0 1 1 "$work/many/a/one.pgm" "$work/many/a/two.ppm"
expect 0 "PNG IMAGE_RGB 1 x 1" "$tool" info "$work/cropped/two.png"
expect 0 "^$" "$tool" resize --out-dir "$work/thumbs" --filter box 2 "$work/many/a/two.ppm"
expect 0 "P6 IMAGE_RGB 2 x 2" "$tool" info "$work/thumbs/two.ppm"
# thumbnails: a box the picture fits, as resize shrinks it; one already within keeps its size
expect 0 "^$" "$tool" thumbnail --out-dir "$work/small" --to png 32x32 "$work/many/a/one.pgm" "$work/many/a/two.ppm"
expect 0 "PNG IMAGE_RGB 32 x 24" "$tool" info "$work/small/two.png"
expect 0 "PNG IMAGE_GRAY 4 x 1" "$tool" info "$work/small/one.png"
"$tool" resize "$work/many/a/two.ppm" "$work/small/resized.ppm" 32x24 --filter lanczos3
"$tool" thumbnail "$work/many/a/two.ppm" "$work/small/thumb.ppm" x24 --filter lanczos3
check "a thumbnail of a PPM is the resize to its size" cmp "$work/small/resized.ppm" "$work/small/thumb.ppm"
expect 2 "a thumbnail's SIZE is a box" "$tool" thumbnail "$work/many/a/two.ppm" "$work/small/x.ppm" 50%
# a picture the limit refuses whole is cropped, resized, mirrored or converted row by row: the same file
"$tool" resize "$work/small/two.png" "$work/small/big.png" 400x300 --filter nearest
"$tool" convert "$work/small/big.png" "$work/small/big.tif"
for c in "resize 45%" "crop 7 5 300 200" "flop" "convert" "flip" "rotate 90" "rotate -90" "rotate 180"; do
  # shellcheck disable=SC2086
  set -- $c
  name=$1
  shift
  "$tool" "$name" "$work/small/big.tif" "$work/small/whole-$name.jpg" "$@"
  expect 0 "^$" "$tool" "$name" --limit 300000 "$work/small/big.tif" "$work/small/rows-$name.jpg" "$@"
  check "$name row by row gives the whole way's file" cmp "$work/small/whole-$name.jpg" "$work/small/rows-$name.jpg"
done
expect 2 "budget" "$tool" border --limit 300000 "$work/small/big.tif" "$work/small/never.jpg" 2
# a rendering the limit refuses whole is made band by band: the same file, colour, binary or painted
printf 'PTL 0 0 30 20\n0.3l\t-3 2 28 17\n0.2e\t15 10 9 6\n0.5p\t29 1\n' > "$work/small/lines.ptl"
for c in "shapes.cptl --scale 20" "rings.cptl --scale 20" "lines.ptl --scale 40" "lines.ptl --scale 40 --foreground 0x336699"; do
  # shellcheck disable=SC2086
  set -- $c
  name=$1
  shift
  from=$drawings/$name
  [ -f "$from" ] || from=$work/small/$name
  "$tool" render "$from" "$work/small/whole-$name.tif" "$@" 2>/dev/null
  expect 0 "^(tessera: warning.*)?$" "$tool" render --limit 300000 "$from" "$work/small/bands-$name.tif" "$@"
  check "$name rendered in bands gives the whole rendering's file" cmp "$work/small/whole-$name.tif" "$work/small/bands-$name.tif"
done
expect 2 "budget" "$tool" render --limit 300000 "$drawings/target.ptl" "$work/small/never.tif" --scale 20
# a drawing read twice (its bounds, then its elements) still reports the line of a damaged element
printf '# a comment\n# two\nPTL 0 0 10 10\nl 1 2 3 4\nl 1 x 3 4\n' > "$work/small/damaged.ptl"
for ext in ppm tif; do
  expect 2 "line 5: expected a number" "$tool" render "$work/small/damaged.ptl" "$work/small/never.$ext"
done
for c in "scale 3 3" "border 1" "flip" "flop"; do
  # shellcheck disable=SC2086
  expect 0 "^$" "$tool" $c --out-dir "$work/each" "$work/many/a/one.pgm"
done
cp "$work/row.pgm" "$work/many/b/one.pgm"
expect_clean "$tool" flip --out-dir "$work/clash" "$work/many/a/one.pgm" "$work/many/b/one.pgm"
expect 2 "missing.pgm: .*1 failed|missing.pgm" "$tool" flop --out-dir "$work/partial" --quiet "$work/many/a/one.pgm" "$work/missing.pgm"
check "one failing file does not stop the others" test -s "$work/partial/one.pgm"
expect_clean "$tool" rotate --out-dir "$work/none" 90
expect_clean "$tool" resize --out-dir "$work/none" 50%% "$work/row.pgm"

# outputs that never hurt: every node below is made here, in the scratch directory
"$tool" crop "$work/shapes.ppm" "$work/small.ppm" 0 0 8 8
# "-" is standard output
"$tool" crop "$work/shapes.ppm" - 0 0 8 8 > "$work/stdout.ppm"
check "'-' writes standard output" cmp -s "$work/stdout.ppm" "$work/small.ppm"
# a symlink is written through to its target and stays a link
: > "$work/target.ppm"
ln -s target.ppm "$work/link.ppm"
"$tool" crop "$work/shapes.ppm" "$work/link.ppm" 0 0 8 8
check "a symlink stays a symlink" test -L "$work/link.ppm"
check "the symlink's target gets the image" cmp -s "$work/target.ppm" "$work/small.ppm"
# a FIFO is written into, not replaced: its reader gets the image
mkfifo "$work/fifo.ppm"
cat "$work/fifo.ppm" > "$work/from-fifo.ppm" &
reader=$!
"$tool" crop "$work/shapes.ppm" "$work/fifo.ppm" 0 0 8 8
wait $reader
check "a FIFO stays a FIFO" test -p "$work/fifo.ppm"
check "the FIFO's reader gets the image" cmp -s "$work/from-fifo.ppm" "$work/small.ppm"
# a file with two names is overwritten in place: the other name sees the new content
: > "$work/first.ppm"
ln "$work/first.ppm" "$work/second.ppm"
"$tool" crop "$work/shapes.ppm" "$work/first.ppm" 0 0 8 8
check "the other hard link sees the image" cmp -s "$work/second.ppm" "$work/small.ppm"
# a mode-600 file keeps its mode
: > "$work/private.ppm"
chmod 600 "$work/private.ppm"
"$tool" crop "$work/shapes.ppm" "$work/private.ppm" 0 0 8 8
check "the file keeps mode 600" test "$(stat -c %a "$work/private.ppm")" = 600
# input and output may be the same file
cp "$work/shapes.ppm" "$work/same.ppm"
"$tool" crop "$work/same.ppm" "$work/same.ppm" 0 0 8 8
check "a file can be its own output" cmp -s "$work/same.ppm" "$work/small.ppm"
# a device node (where this user may make one) is written, not replaced
if mknod "$work/null-device.ppm" c 1 3 2>>"$work/helpers.log"; then
  "$tool" crop "$work/shapes.ppm" "$work/null-device.ppm" 0 0 8 8
  check "a device node stays a device" test -c "$work/null-device.ppm"
else
  echo "skipped: no permission to make a device node"
fi

# the output's extension says its format, in either case; any other is refused, not written as PPM
expect_clean "$tool" crop "$work/shapes.ppm" "$work/photo.heic" 0 0 8 8
check "nothing is written under an unknown extension" test ! -e "$work/photo.heic"
expect 0 "^$" "$tool" crop "$work/shapes.ppm" "$work/UPPER.PPM" 0 0 8 8
expect 0 "^$" "$tool" crop "$work/shapes.ppm" "$work/any.pnm" 0 0 8 8
expect 0 "P6 IMAGE_RGB 8 x 8" "$tool" info "$work/any.pnm"
expect_clean "$tool" render "$drawings/shapes.cptl" "$work/drawing.heic"

. "$(dirname "$0")/test_tool_formats.sh"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
