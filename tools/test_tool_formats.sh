# Sourced by test_tool.sh: the images people have (made here by Netpbm, PNG through Netpbm's
# libpng converters), conversion and round trips between every pair of formats, errors that say
# why and where, GNU-style options, colours, JSON, many files on threads, and standard input.

# Pixels of any Netpbm, PAM or PNG file as plain Netpbm text, read by Netpbm (not by tessera).
plain() {
  case "$1" in
    *.png) pngtopam "$1" ;;
    *) cat "$1" ;;
  esac | pamtopnm | pnmtoplainpnm
}
same_pixels() { # same_pixels DESCRIPTION A B
  if [ "$(plain "$2")" = "$(plain "$3")" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAILED: $1: $2 and $3 differ"
  fi
}

f=$work/formats
mkdir -p "$f"
pgmnoise -randomseed=7 37 23 > "$f/gray.pgm" 2>>"$work/helpers.log"
pgmnoise -randomseed=8 37 23 > "$f/g2.pgm" 2>>"$work/helpers.log"
pgmnoise -randomseed=9 37 23 > "$f/g3.pgm" 2>>"$work/helpers.log"
rgb3toppm "$f/gray.pgm" "$f/g2.pgm" "$f/g3.pgm" > "$f/rgb.ppm" 2>>"$work/helpers.log"
pgmtopbm -threshold "$f/gray.pgm" > "$f/bits.pbm" 2>>"$work/helpers.log"

# ---- input: plain Netpbm, any maxval, PAM, PNG -------------------------------------------------
pnmtoplainpnm "$f/gray.pgm" > "$f/plain.pgm"
pnmtoplainpnm "$f/rgb.ppm" > "$f/plain.ppm"
pnmtoplainpnm "$f/bits.pbm" > "$f/plain.pbm"
for t in pgm ppm; do
  [ $t = pgm ] && src=gray || src=rgb
  "$tool" convert "$f/plain.$t" "$f/from-plain.$t"
  same_pixels "plain P2/P3 reads as the raw image" "$f/from-plain.$t" "$f/$src.$t"
done
"$tool" convert "$f/plain.pbm" "$f/from-plain.pbm"
same_pixels "plain P1 reads as the raw image" "$f/from-plain.pbm" "$f/bits.pbm"
# any maxval: with --depth 8 samples are scaled to 8 bits and rounded, as Netpbm's pamdepth
# does; deeper than 8 bits they are kept, scaled to 16
for max in 1 15 1000 65535; do
  pamdepth $max "$f/rgb.ppm" > "$f/deep$max.ppm" 2>>"$work/helpers.log"
  pamdepth 255 "$f/deep$max.ppm" > "$f/want$max.ppm" 2>>"$work/helpers.log"
  "$tool" convert --depth 8 "$f/deep$max.ppm" "$f/got$max.ppm"
  same_pixels "maxval $max is scaled to 255" "$f/got$max.ppm" "$f/want$max.ppm"
  if [ $max -gt 255 ]; then
    pamdepth 65535 "$f/deep$max.ppm" > "$f/want16-$max.ppm" 2>>"$work/helpers.log"
    "$tool" convert "$f/deep$max.ppm" "$f/got16-$max.ppm"
    same_pixels "maxval $max is kept at 16 bits" "$f/got16-$max.ppm" "$f/want16-$max.ppm"
  fi
  pnmtoplainpnm "$f/deep$max.ppm" > "$f/deep$max-plain.ppm"
  "$tool" convert --depth 8 "$f/deep$max-plain.ppm" "$f/got$max-plain.ppm"
  same_pixels "plain maxval $max is scaled to 255" "$f/got$max-plain.ppm" "$f/want$max.ppm"
done
# an identity crop of a maxval-15 image keeps its picture (it used to turn almost black)
pamdepth 15 "$f/gray.pgm" > "$f/g15.pgm" 2>>"$work/helpers.log"
"$tool" crop "$f/g15.pgm" "$f/g15-crop.pgm" 0 0 37 23
pamdepth 255 "$f/g15.pgm" > "$f/g15-want.pgm" 2>>"$work/helpers.log"
same_pixels "an identity crop of maxval 15" "$f/g15-crop.pgm" "$f/g15-want.pgm"
# PAM, with and without alpha
pamtopam < "$f/rgb.ppm" > "$f/rgb.pam"
"$tool" convert "$f/rgb.pam" "$f/from-pam.ppm"
same_pixels "PAM RGB" "$f/from-pam.ppm" "$f/rgb.ppm"
pamtopam < "$f/bits.pbm" > "$f/bits.pam"
expect 0 "IMAGE_BINARY 37 x 23" "$tool" info "$f/bits.pam"
"$tool" convert "$f/bits.pam" "$f/from-pam.pbm"
same_pixels "PAM BLACKANDWHITE" "$f/from-pam.pbm" "$f/bits.pbm"
pgmmake 0.5 37 23 > "$f/half.pgm" 2>>"$work/helpers.log"
pamstack -tupletype=RGB_ALPHA "$f/rgb.ppm" "$f/half.pgm" > "$f/rgba.pam" 2>>"$work/helpers.log"
pamstack -tupletype=GRAYSCALE_ALPHA "$f/gray.pgm" "$f/half.pgm" > "$f/graya.pam" 2>>"$work/helpers.log"
"$tool" convert "$f/rgba.pam" "$f/over-black.ppm"
expect 0 "IMAGE_RGB 37 x 23" "$tool" info "$f/over-black.ppm"
# alpha 128 of 255 over black: round(c * 128 / 255); over white adds round-off the other way
expect 0 "^$" sh -c "printf 'P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n\310\200\310\377' > '$f/ga.pam'"
"$tool" convert "$f/ga.pam" "$f/ga-black.pgm"
check "gray 200 at alpha 128 over black is 100" test "$(plain "$f/ga-black.pgm" | tail -1 | tr -s ' ' | sed 's/ $//')" = "100 200"
"$tool" convert "$f/ga.pam" "$f/ga-red.ppm" --background '#f00'
check "over a coloured background the image becomes RGB" test "$(plain "$f/ga-red.ppm" | tail -1 | tr -s ' ' | sed 's/ $//')" = "227 100 100 200 200 200"
expect_clean "$tool" info "$f/graya.pam" --background nocolour
printf 'P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\nabcdef' > "$f/bad-depth.pam"
expect 2 "depth 3 does not match tuple type GRAYSCALE" "$tool" info "$f/bad-depth.pam"
printf 'P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\nab' > "$f/cmyk.pam"
expect 2 "tuple type 'CMYK' is not supported" "$tool" info "$f/cmyk.pam"

if "$tool" info "$f/rgb.ppm" >>"$work/helpers.log" && "$tool" convert "$f/rgb.ppm" "$f/probe.png" 2>>"$work/helpers.log"; then
  # PNG of every kind, made by libpng through Netpbm: 1, 2, 4, 8, 16 bits; gray, RGB, palette, alpha
  pnmtopng "$f/bits.pbm" > "$f/bits.png" 2>>"$work/helpers.log"
  expect 0 "PNG IMAGE_BINARY 37 x 23" "$tool" info "$f/bits.png"
  "$tool" convert "$f/bits.png" "$f/from-png.pbm"
  same_pixels "1-bit PNG" "$f/from-png.pbm" "$f/bits.pbm"
  for bits in 2 4; do
    pamdepth $(((1 << bits) - 1)) "$f/gray.pgm" > "$f/g$bits.pgm" 2>>"$work/helpers.log"
    pnmtopng "$f/g$bits.pgm" > "$f/g$bits.png" 2>>"$work/helpers.log"
    pamdepth 255 "$f/g$bits.pgm" > "$f/g$bits-want.pgm" 2>>"$work/helpers.log"
    "$tool" convert "$f/g$bits.png" "$f/g$bits-got.pgm"
    same_pixels "$bits-bit gray PNG" "$f/g$bits-got.pgm" "$f/g$bits-want.pgm"
  done
  for t in pgm ppm; do
    [ $t = pgm ] && src=gray || src=rgb
    pnmtopng "$f/$src.$t" > "$f/$src.png" 2>>"$work/helpers.log"
    "$tool" convert "$f/$src.png" "$f/from-png.$t"
    same_pixels "8-bit $src PNG" "$f/from-png.$t" "$f/$src.$t"
    pamdepth 65535 "$f/$src.$t" | pnmtopng > "$f/${src}16.png" 2>>"$work/helpers.log"
    "$tool" convert "$f/${src}16.png" "$f/from-png16.$t"
    same_pixels "16-bit $src PNG" "$f/from-png16.$t" "$f/$src.$t"
  done
  pnmcut 0 0 4 4 "$f/rgb.ppm" > "$f/few.ppm" 2>>"$work/helpers.log"
  pnmtopng "$f/few.ppm" > "$f/palette.png" 2>>"$work/helpers.log"
  check "Netpbm made a palette PNG" test "$(od -An -tu1 -j25 -N1 "$f/palette.png" | tr -d ' ')" = 3
  "$tool" convert "$f/palette.png" "$f/from-palette.ppm"
  same_pixels "palette PNG" "$f/from-palette.ppm" "$f/few.ppm"
  pamtopng "$f/rgba.pam" > "$f/rgba.png" 2>>"$work/helpers.log"
  "$tool" convert "$f/rgba.png" "$f/png-over-black.ppm"
  same_pixels "RGBA PNG composites like RGBA PAM" "$f/png-over-black.ppm" "$f/over-black.ppm"
  pamtopng "$f/ga.pam" > "$f/ga.png" 2>>"$work/helpers.log"
  "$tool" convert "$f/ga.png" "$f/ga-png.pgm"
  same_pixels "gray+alpha PNG" "$f/ga-png.pgm" "$f/ga-black.pgm"
  head -c 60 "$f/rgb.png" > "$f/cut.png"
  expect 2 "cut.png: .*PNG" "$tool" info --stats "$f/cut.png"
  png_formats="png"
else
  echo "skipped: this tessera has no PNG support"
  png_formats=""
fi

# ---- round trips through every pair of formats that hold the image exactly ------------------------
for kind in bits gray rgb; do
  case $kind in
    bits) own=pbm holders="pbm pgm ppm pnm pam $png_formats q1 q2 q3 q4 q10 q11" ;;
    gray) own=pgm holders="pgm ppm pnm pam $png_formats q1 q2 q3 q4 q10 q11" ;;
    rgb) own=ppm holders="ppm pnm pam $png_formats q10 q11" ;;
  esac
  "$tool" convert "$f/$kind.$own" "$f/$kind-canon.$own"
  bad=0
  for a in $holders; do
    "$tool" convert "$f/$kind.$own" "$f/rt-a.$a" || bad=$((bad + 1))
    # TESSERA_TOOL_QUICK (for slow checkers) takes each format once, there and back
    for b in $([ -n "${TESSERA_TOOL_QUICK:-}" ] && echo "$a" || echo "$holders"); do
      "$tool" convert "$f/rt-a.$a" "$f/rt-b.$b" && "$tool" convert "$f/rt-b.$b" "$f/rt-back.$own" &&
        cmp -s "$f/rt-back.$own" "$f/$kind-canon.$own" || {
        bad=$((bad + 1))
        echo "round trip $kind: $own -> $a -> $b -> $own changed the pixels"
      }
    done
  done
  check "$kind images survive every pair of [$holders]" test $bad -eq 0
done
# a Q image looked at: --normalize maps its range onto 0..255
"$tool" convert "$f/gray.pgm" "$f/gray.q1"
"$tool" convert "$f/gray.q1" "$f/norm.pgm" --normalize
expect 0 "minimum: 0" "$tool" info --stats "$f/norm.pgm"
expect 0 "maximum: 255" "$tool" info --stats "$f/norm.pgm"
expect_clean "$tool" crop "$f/gray.q1" "$f/x.pgm" 0 0 2 2

# ---- errors that say why and where -------------------------------------------------------------------
printf 'PTL 0 0 20 20\np 1 1\nl 1 1 5 5\n\n# a comment\n\nl 2 x 3 4\n' > "$f/drawing.ptl"
expect 2 "^tessera: .*drawing.ptl: line 7: expected a number after 'l', found 'x'" "$tool" render "$f/drawing.ptl" "$f/d.pbm"
printf 'P5\n60 80\n255\n' > "$f/deep.pgm"
head -c 1234 /dev/zero >> "$f/deep.pgm"
expect 2 "^tessera: .*deep.pgm: pixel data ends after 1,234 of 4,800 bytes" "$tool" info --stats "$f/deep.pgm"
printf 'P5\n60 80\n1000\n' > "$f/deep16.pgm"
head -c 1234 /dev/zero >> "$f/deep16.pgm"
expect 2 "^tessera: .*deep16.pgm: pixel data ends after 1,234 of 9,600 bytes" "$tool" info --stats "$f/deep16.pgm"
printf '\377\330\377\340\000\020JFIF' > "$f/shot.jpg"
expect 2 "^tessera: .*shot.jpg: a damaged JPEG file: " "$tool" info --stats "$f/shot.jpg"
printf 'P2 2 1 10\n3 11\n' > "$f/over.pgm"
expect 2 "sample 11 in row 0 is above the maximum value 10" "$tool" convert "$f/over.pgm" "$f/x.pgm"
printf 'P1 3 1\n1 0 2\n' > "$f/two.pbm"
expect 2 "expected 0 or 1, found '2'" "$tool" convert "$f/two.pbm" "$f/x.pbm"
expect 2 "unknown output format for '.*/x.heic'" "$tool" convert "$f/gray.pgm" "$f/x.heic"
expect 2 "pgm holds another element type than this IMAGE_RGB image" "$tool" crop "$f/rgb.ppm" "$f/x.pgm" 0 0 2 2

# ---- options and colours ------------------------------------------------------------------------------
expect 0 "^$" "$tool" render --scale=2 "$drawings/house.ptl" "$f/h2.pbm"
expect 0 "80 x 80" "$tool" info "$f/h2.pbm"
expect 0 "^$" "$tool" render "$drawings/house.ptl" --format pbm --scale-y=2 -- "$f/-odd-name"
expect 0 "40 x 80" "$tool" info -- "$f/-odd-name"
expect 2 "--scale conflicts with --scale-x" "$tool" render "$drawings/house.ptl" "$f/x.pbm" --scale 2 --scale-x 3
expect 2 "--binary conflicts with --rgb" "$tool" render "$drawings/house.ptl" "$f/x.png" --binary --rgb
expect 2 "not an option of crop" "$tool" crop --json "$f/gray.pgm" "$f/x.pgm" 0 0 2 2
expect 2 "takes no value" "$tool" render "$drawings/house.ptl" "$f/x.ppm" --rgb=yes
expect 2 "needs a value" "$tool" render "$drawings/house.ptl" "$f/x.ppm" --scale
expect 2 "unknown option" "$tool" render "$drawings/house.ptl" "$f/x.ppm" -s 2
for colour in '#203040' '0x203040' '0X203040'; do
  expect 0 "^$" "$tool" render "$drawings/house.ptl" "$f/c.ppm" --background "$colour"
  expect 0 "minimum: 32 48 64" "$tool" info --stats "$f/c.ppm"
done
expect 0 "^$" "$tool" render "$drawings/house.ptl" "$f/c.ppm" --background '#234'
expect 0 "minimum: 34 51 68" "$tool" info --stats "$f/c.ppm"
for colour in '#12345' 'red' '0x12g456' '#' '0x123'; do
  expect_clean "$tool" render "$drawings/house.ptl" "$f/c.ppm" --background "$colour"
done
expect 0 "^$" "$tool" render "$drawings/house.ptl" "$f/fg.ppm" --foreground '#ff8020' --background '#000010'
expect 0 "minimum: 0 0 16" "$tool" info --stats "$f/fg.ppm"
expect 0 "maximum: 255 128 32" "$tool" info --stats "$f/fg.ppm"
"$tool" render "$drawings/house.ptl" "$f/house.pbm"
check "--foreground paints exactly the binary rendering's pixels" test "$(plain "$f/fg.ppm" | grep -o '255 128 32' | wc -l)" -eq "$(plain "$f/house.pbm" | tail -n +3 | tr -cd 1 | wc -c)"
printf 'PTL -3.5 2 10 8\nl -3 2 6 9\n' > "$f/offset.ptl"
expect 0 "^$" "$tool" render "$f/offset.ptl" "$f/offset.ppm" --scale 2 --foreground '#00ff00'
expect 0 "maximum: 0 255 0" "$tool" info --stats "$f/offset.ppm"
expect 2 "--foreground is for plain" "$tool" render "$drawings/shapes.cptl" "$f/x.ppm" --foreground '#fff'
expect 0 "^$" "$tool" border "$f/rgb.ppm" "$f/framed.ppm" 2 --color=#ff0000
expect 0 "41 x 27" "$tool" info "$f/framed.ppm"
pamcut 0 0 41 1 "$f/framed.ppm" > "$f/top.ppm" 2>>"$work/helpers.log"
check "the border has the colour" test "$(plain "$f/top.ppm" | tail -n +4 | tr -s ' \n' '\n' | sort -u | tr '\n' ' ')" = "0 255 "
pamcut 2 2 37 23 "$f/framed.ppm" > "$f/inside.ppm" 2>>"$work/helpers.log"
same_pixels "the border leaves the inside alone" "$f/inside.ppm" "$f/rgb.ppm"

# ---- alpha and 16 bits, against Pillow -------------------------------------------------------------------
if /usr/bin/python3 -c "import PIL, numpy" 2>/dev/null; then
  a=$f/alpha
  mkdir -p "$a"
  /usr/bin/python3 - "$a" <<'PY'
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
rng = np.random.default_rng(5)
rgba = rng.integers(0, 256, (19, 23, 4), dtype=np.uint8)
rgba[0, :, 3] = 0
Image.fromarray(rgba, "RGBA").save(d + "/rgba.png")
Image.fromarray(rgba[:, :, [0, 3]].copy(), "LA").save(d + "/la.png")
Image.fromarray(rng.integers(0, 65536, (19, 23), dtype=np.uint16)).save(d + "/gray16.png")
PY
  for out in png tif pam; do
    "$tool" convert "$a/rgba.png" "$a/rgba-again.$out"
  done
  "$tool" convert "$a/la.png" "$a/la-again.png"
  "$tool" convert "$a/gray16.png" "$a/gray16-again.png"
  "$tool" convert "$a/gray16.png" "$a/gray16-8.png" --depth 8
  "$tool" convert "$a/rgba.png" "$a/flat.jpg" --quality 100
  "$tool" convert "$a/rgba.png" "$a/small.jpg" --quality 20
  "$tool" convert "$f/fg.ppm" "$a/packed.tif" --compression 9
  "$tool" convert "$f/fg.ppm" "$a/plain.tif"
  check "--quality and --compression reach the encoders" test "$(wc -c < "$a/small.jpg")" -lt "$(wc -c < "$a/flat.jpg")" -a "$(wc -c < "$a/packed.tif")" -lt "$(wc -c < "$a/plain.tif")"
  "$tool" convert "$a/gray16.png" "$a/lzw.tif" --compression lzw
  expect 0 "Compression Scheme: LZW" tiffinfo "$a/lzw.tif"
  check "an LZW TIFF gives back its 16-bit samples" cmp "$(plain "$a/gray16.png" > "$a/l1.txt"; echo "$a/l1.txt")" \
    "$("$tool" convert "$a/lzw.tif" "$a/lzw.pam" && plain "$a/lzw.pam" > "$a/l2.txt"; echo "$a/l2.txt")"
  expect 2 "LZW is TIFF's compression, not png's" "$tool" convert "$a/gray16.png" "$a/x.png" --compression lzw
  expect 2 "--quality needs a number from 1 to 100" "$tool" convert "$a/rgba.png" "$a/x.jpg" --quality 0
  expect 2 "--depth needs 8 or 16" "$tool" convert "$a/rgba.png" "$a/x.png" --depth 12
  "$tool" convert "$a/rgba.png" "$a/flat.png" --flatten --background '#ff8000'
  "$tool" resize "$a/rgba.png" "$a/half.png" 50%
  check "alpha, gray with alpha and 16 bits are kept, flattened or cut as asked (Pillow reads them)" /usr/bin/python3 - "$a" <<'PY'
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
src = np.asarray(Image.open(d + "/rgba.png"))
for out in ("png", "tif"):
    im = Image.open(d + "/rgba-again." + out)
    assert im.mode == "RGBA", (out, im.mode)
    assert (np.asarray(im) == src).all(), out
la = np.asarray(Image.open(d + "/la.png").convert("RGBA"))
assert (np.asarray(Image.open(d + "/la-again.png").convert("RGBA")) == la).all()
g16 = Image.open(d + "/gray16.png")
again = Image.open(d + "/gray16-again.png")
assert again.mode in ("I;16", "I") and (np.asarray(again) == np.asarray(g16)).all(), again.mode
cut = Image.open(d + "/gray16-8.png")
assert cut.mode == "L" and (np.asarray(cut).astype(int) == (np.asarray(g16).astype(int) * 255 + 32767) // 65535).all()
flat = np.asarray(Image.open(d + "/flat.png")).astype(float)
a = src[:, :, 3:4] / 255.0
want = np.floor(src[:, :, :3] * a + np.array([255, 128, 0]) * (1 - a) + 0.5)
assert Image.open(d + "/flat.png").mode == "RGB" and np.abs(flat - want).max() <= 1, np.abs(flat - want).max()
assert Image.open(d + "/flat.jpg").mode == "RGB"
half = Image.open(d + "/half.png")  # 120 pixels: at most 256 colours, so a palette with tRNS
assert half.mode == "P" and "transparency" in half.info and half.size == (12, 10), (half.mode, half.size)
PY
  expect 0 "PAM IMAGE_RGB 23 x 19, 8-bit, maxval 255, alpha" "$tool" info "$a/rgba-again.pam"
  "$tool" composite "$a/rgba.png" "$f/rgb.ppm" "$a/laid.png" 5 -3
  "$tool" composite "$a/rgba.png" "$a/rgba.png" "$a/twice.png"
  "$tool" composite "$a/rgba.png" "$a/gray16.png" "$a/deep.png"
  check "composite lays TOP over BOTTOM by alpha at X Y" /usr/bin/python3 - "$a" "$f/rgb.ppm" <<'PY'
import sys, numpy as np
from PIL import Image
d, under = sys.argv[1], np.asarray(Image.open(sys.argv[2])).astype(float)
top = np.asarray(Image.open(d + "/rgba.png")).astype(float)
laid = np.asarray(Image.open(d + "/laid.png")).astype(float)
assert laid.shape == under.shape, laid.shape
want = under.copy()
t = top[3:, :, :]  # rows from -3: the first three fall above the bottom
h, w = min(t.shape[0], under.shape[0]), min(t.shape[1], under.shape[1] - 5)
a = t[:h, :w, 3:] / 255.0
want[:h, 5:5 + w] = np.floor(t[:h, :w, :3] * a + under[:h, 5:5 + w] * (1 - a) + 0.5)
assert (laid == want).all(), np.abs(laid - want).max()
assert Image.open(d + "/twice.png").mode == "RGBA" and Image.open(d + "/deep.png").mode in ("RGB", "RGBA")
PY
  expect 2 "needs TOP BOTTOM OUT" "$tool" composite "$a/rgba.png" "$a/x.png"
  # a phone photo tagged "rotate 90": upright in every output, the tag shown by info
  /usr/bin/python3 - "$a" <<'PY'
import sys, numpy as np
from PIL import Image
a = np.random.default_rng(2).integers(0, 256, (12, 16, 3), dtype=np.uint8)
exif = Image.Exif()
exif[0x0112] = 6
Image.fromarray(a).save(sys.argv[1] + "/phone.jpg", exif=exif.tobytes(), quality=95)
PY
  "$tool" convert "$a/phone.jpg" "$a/phone.png"
  "$tool" convert "$a/phone.jpg" "$a/stored.png" --keep-orientation
  "$tool" resize "$a/phone.jpg" "$a/thumb.png" 50%
  check "an EXIF orientation turns the picture upright as Pillow's exif_transpose does" /usr/bin/python3 - "$a" <<'PY'
import sys, numpy as np
from PIL import Image, ImageOps
d = sys.argv[1]
want = np.asarray(ImageOps.exif_transpose(Image.open(d + "/phone.jpg")))
assert (np.asarray(Image.open(d + "/phone.png").convert("RGB")) == want).all()
assert (np.asarray(Image.open(d + "/stored.png").convert("RGB")) == np.asarray(Image.open(d + "/phone.jpg"))).all()
assert Image.open(d + "/thumb.png").size == (6, 8), Image.open(d + "/thumb.png").size
PY
  expect 0 "JPEG IMAGE_RGB 16 x 12, 8-bit, maxval 255, orientation 6" "$tool" info "$a/phone.jpg"
  # a profile and EXIF go from file to file, byte for byte, and --strip leaves them out
  /usr/bin/python3 - "$a" <<'PY'
import sys, numpy as np
from PIL import Image, ImageCms
icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
exif = Image.Exif()
exif[0x010F] = "Tessera"
a = np.random.default_rng(3).integers(0, 256, (8, 10, 3), dtype=np.uint8)
Image.fromarray(a).save(sys.argv[1] + "/profiled.jpg", icc_profile=icc, exif=exif.tobytes(), quality=95)
PY
  "$tool" convert "$a/profiled.jpg" "$a/profiled.png"
  "$tool" resize "$a/profiled.png" "$a/profiled.webp" 50%
  "$tool" convert "$a/profiled.webp" "$a/stripped.png" --strip
  check "profiles and EXIF travel through PNG and WebP, and --strip drops them" /usr/bin/python3 - "$a" <<'PY'
import sys
from PIL import Image
d = sys.argv[1]
src = Image.open(d + "/profiled.jpg")
for name in ["profiled.png", "profiled.webp"]:
    im = Image.open(d + "/" + name)
    assert im.info["icc_profile"] == src.info["icc_profile"], name
    assert im.getexif()[0x010F] == "Tessera", name
assert "icc_profile" not in Image.open(d + "/stripped.png").info
assert not Image.open(d + "/stripped.png").getexif()
PY
  expect 0 'ICC profile: [0-9]+ bytes, "sRGB built-in"' "$tool" info "$a/profiled.webp"
  expect 0 '"icc": \{"bytes": [0-9]+, "description": "sRGB built-in", "colour_space": "RGB "\}, "exif": \{"bytes"' \
    "$tool" info --json "$a/profiled.png"
  expect 0 '"icc": null, "exif": null, "xmp": null' "$tool" info --json "$a/stripped.png"
  # --colorspace srgb converts by the profile, as Pillow's ImageCms does, and carries sRGB's
  /usr/bin/python3 -c "
import sys, numpy as np
from PIL import Image
icc = open('/usr/share/color/icc/compatibleWithAdobeRGB1998.icc', 'rb').read()
Image.fromarray(np.random.default_rng(4).integers(0, 256, (6, 9, 3), dtype=np.uint8)).save(sys.argv[1], icc_profile=icc)
" "$a/adobe.png"
  "$tool" convert "$a/adobe.png" "$a/in-srgb.png" --colorspace srgb
  check "--colorspace srgb gives what ImageCms gives, with the sRGB profile" /usr/bin/python3 - "$a" <<'PY'
import io, sys, numpy as np
from PIL import Image, ImageCms
d = sys.argv[1]
src = Image.open(d + "/adobe.png")
want = ImageCms.profileToProfile(src, ImageCms.ImageCmsProfile(io.BytesIO(src.info["icc_profile"])), ImageCms.createProfile("sRGB"))
got = Image.open(d + "/in-srgb.png")
assert (np.asarray(got.convert("RGB")) == np.asarray(want)).all()  # a palette PNG: few colours
assert ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(got.info["icc_profile"]))).strip() == "sRGB built-in"
PY
  expect 2 "--colorspace knows srgb only" "$tool" convert "$a/adobe.png" "$a/x.png" --colorspace p3
fi

# ---- info --json ------------------------------------------------------------------------------------------
"$tool" info --json --stats "$f/rgb.ppm" "$drawings/shapes.cptl" "$f/gray.q1" "$f/shot.jpg" > "$f/info.json" 2>"$f/info.err"
expect 2 "" "$tool" info --json --stats "$f/shot.jpg"
check "info --json gives one valid object a file" python3 -c "
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
assert [r['file'].rsplit('/', 1)[1] for r in rows] == ['rgb.ppm', 'shapes.cptl', 'gray.q1', 'shot.jpg']
assert rows[0]['format'] == 'P6' and rows[0]['type'] == 'IMAGE_RGB' and rows[0]['maxval'] == 255
assert rows[0]['width'] == 37 and rows[0]['height'] == 23 and rows[0]['xoffset'] == 0 and len(rows[0]['minimum']) == 3
assert rows[1]['format'] == 'CPTL' and rows[1]['elements']['fills'] == 1 and 'Every element type' in rows[1]['comment']
assert rows[2]['format'] == 'Q1' and rows[2]['maxval'] is None and rows[2]['maximum'] == 255
assert 'JPEG' in rows[3]['error']
" "$f/info.json"

# ---- info reads headers alone: no pixel limit, no pixel decoded ------------------------------------------
python3 - "$f/huge.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
header = struct.pack(">IIBBBBB", 100000, 100000, 16, 6, 0, 0, 0)  # 16-bit RGBA
with open(sys.argv[1], "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 100)) + chunk(b"IEND", b""))
PY
expect 0 "huge.png: PNG IMAGE_FLOAT3B 100000 x 100000, 16-bit, maxval 65535, alpha" "$tool" info "$f/huge.png"
expect 2 "more than the budget" "$tool" info --stats "$f/huge.png"
"$tool" info --json "$f/rgb.ppm" "$f/huge.png" "$f/deep16.pgm" > "$f/header.json"
check "info --json from headers: no statistics, and files short of pixels described" python3 -c "
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
assert [r['type'] for r in rows] == ['IMAGE_RGB', 'IMAGE_FLOAT3B', 'IMAGE_INT'], rows
assert all('minimum' not in r and 'comment' not in r and r['xoffset'] == 0 for r in rows), rows
assert rows[1]['width'] == 100000 and rows[1]['alpha'] is True and rows[2]['maxval'] == 1000, rows
" "$f/header.json"

# ---- standard input ------------------------------------------------------------------------------------
cat "$f/gray.pgm" | "$tool" convert - "$f/stdin.pgm"
same_pixels "'-' reads standard input" "$f/stdin.pgm" "$f/gray.pgm"
cat "$drawings/house.ptl" | "$tool" render - - > "$f/stdin-render.pbm"
same_pixels "render from standard input to standard output" "$f/stdin-render.pbm" "$f/house.pbm"
info_stdin() { cat "$drawings/house.ptl" | "$tool" info -; }
expect 0 "^-: PTL plain point list" info_stdin
cat "$f/rgb.ppm" | "$tool" convert - - --format png > "$f/piped.png"
expect 0 "PNG IMAGE_RGB 37 x 23" "$tool" info "$f/piped.png"

# ---- many files at once --------------------------------------------------------------------------------
b=$f/batch
mkdir -p "$b/in" "$b/out" "$b/conv"
i=0
while [ $i -lt 24 ]; do
  cp "$drawings/house.ptl" "$b/in/plain$i.ptl"
  cp "$drawings/shapes.cptl" "$b/in/colour$i.cptl"
  i=$((i + 1))
done
printf 'PTL 0 0 10 10\nz 1 1\n' > "$b/in/broken.ptl"
expect 2 "broken.ptl: line 2" "$tool" render --out-dir "$b/out" --jobs 2 "$b"/in/*
check "every good drawing was rendered" test "$(ls "$b/out" | wc -l)" -eq 48
same_pixels "a batch rendering equals a single one" "$b/out/plain3.pbm" "$f/house.pbm"
check "no progress bar when standard error is not a terminal" test "$("$tool" render --out-dir "$b/out" --jobs 2 "$b"/in/plain*.ptl 2>&1 | wc -c)" -eq 0
expect 0 "^$" "$tool" convert --out-dir "$b/conv" --to png --jobs 2 "$b"/out/*
check "every rendering was converted" test "$(ls "$b/conv" | wc -l)" -eq 48
if [ -n "$png_formats" ]; then same_pixels "batch convert" "$b/conv/colour5.png" "$b/out/colour5.ppm"; fi
expect 2 "needs --to" "$tool" convert --out-dir "$b/conv" "$b"/out/*
expect 0 "^$" "$tool" convert --out-dir "$b/made" --to pgm "$f/gray.pgm" --jobs 1 --quiet
check "--out-dir is made when missing" test -f "$b/made/gray.pgm"
cp "$f/gray.pgm" "$b/made/gray.pnm"
expect 2 "made/gray.pgm: two inputs would be written here" "$tool" convert --out-dir "$b/made" --to pgm "$f/gray.pgm" "$b/made/gray.pnm"
expect 2 "not a directory" "$tool" convert --out-dir "$f/gray.pgm" --to pgm "$f/gray.pgm"
expect 2 "cannot write '.*no-such-dir/x.pgm': No such file" "$tool" convert "$f/gray.pgm" "$f/no-such-dir/x.pgm"
if command -v script >>"$work/helpers.log"; then
  script -q -e -c "$tool_bin render --out-dir '$b/out' --jobs 2 $b/in/plain*.ptl" "$b/typescript" >>"$work/helpers.log" 2>&1
  check "a progress bar on a terminal" grep -q '\[##############################\] 24/24' "$b/typescript"
  script -q -e -c "$tool_bin render --quiet --out-dir '$b/out' --jobs 2 $b/in/plain*.ptl" "$b/quiet" >>"$work/helpers.log" 2>&1
  check "--quiet: no progress bar" sh -c "! grep -q '##' '$b/quiet'"
else
  echo "skipped: no 'script' to make a terminal"
fi
