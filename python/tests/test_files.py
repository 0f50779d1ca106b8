"""Image files both ways against Pillow, Netpbm, ImageMagick and libtiff's tools (16-bit
included), hostile files that must stay within bounds, and an interrupted batch."""
import io
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

import numpy as np
import pytest
import tessera
from PIL import Image


def need(*programs):
    for p in programs:
        if not shutil.which(p):
            pytest.skip(f"{p} is not installed")


def foreign_env():
    """The environment other programs run in: without the sanitizer libraries that a sanitizer run
    preloads (libvips' tools hang in setlocale under them)."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, env=foreign_env(), timeout=300, **kw).stdout


@pytest.fixture
def pictures(rng):
    """Random samples: 8 and 16 bits, gray and RGB, with odd sizes."""
    return {
        "gray8": rng.integers(0, 256, (23, 37), dtype=np.uint8),
        "rgb8": rng.integers(0, 256, (19, 41, 3), dtype=np.uint8),
        "gray16": rng.integers(0, 65536, (17, 29), dtype=np.uint16),
        "rgb16": rng.integers(0, 65536, (13, 31, 3), dtype=np.uint16),
    }


def pnm_bytes(a):
    """A in raw Netpbm, the reference the other programs' outputs are compared with."""
    deep = a.dtype == np.uint16
    magic = "P6" if a.ndim == 3 else "P5"
    header = f"{magic}\n{a.shape[1]} {a.shape[0]}\n{65535 if deep else 255}\n".encode()
    return header + (a.astype(">u2") if deep else a).tobytes()


# ---- what others write, tessera reads -------------------------------------------------------------


def others_write(a, tmp_path):
    """The files other programs make of A: (who, path)."""
    deep = a.dtype == np.uint16
    src = tmp_path / ("src.ppm" if a.ndim == 3 else "src.pgm")
    src.write_bytes(pnm_bytes(a))
    made = []
    mode = ("I;16" if a.ndim == 2 else None) if deep else None
    if not (deep and a.ndim == 3):  # Pillow has no 16-bit RGB mode
        im = Image.fromarray(a, mode) if mode else Image.fromarray(a)
        for name, kw in [("pillow.png", {}), ("pillow-interlaced.png", {"interlace": 1}), ("pillow.tif", {}),
                         ("pillow-lzw.tif", {"compression": "tiff_lzw"}),
                         ("pillow-deflate.tif", {"compression": "tiff_adobe_deflate"})]:
            if deep and "interlaced" in name:
                continue
            im.save(tmp_path / name, **kw)
            made.append(("Pillow " + name, tmp_path / name))
    if shutil.which("convert"):
        depth = "16" if deep else "8"
        for name, extra in [("magick.png", []), ("magick.tif", []),
                            ("magick-tiled.tif", ["-define", "tiff:tile-geometry=16x16"]),
                            ("magick-planar.tif", ["-interlace", "plane"]), ("magick.pam", []),
                            ("magick-plain.pnm", ["-compress", "none"])]:
            out = tmp_path / name
            run("convert", str(src), "-depth", depth, *extra, str(out))
            made.append(("ImageMagick " + name, out))
    if shutil.which("pnmtopng"):
        out = tmp_path / "netpbm.png"
        out.write_bytes(run("pnmtopng", str(src)))
        made.append(("Netpbm pnmtopng", out))
        out = tmp_path / "netpbm.tif"
        out.write_bytes(run("pamtotiff", str(src)))
        made.append(("Netpbm pamtotiff", out))
    if shutil.which("tiffcp") and (tmp_path / "pillow.tif").exists():
        for name, opts in [("tiffcp-tiles.tif", ["-t", "-w", "16", "-l", "16"]), ("tiffcp-zip.tif", ["-c", "zip"]),
                           ("tiffcp-separate.tif", ["-p", "separate"]), ("tiffcp-strips.tif", ["-r", "3"])]:
            if "separate" in name and a.ndim == 2:
                continue
            out = tmp_path / name
            run("tiffcp", *opts, str(tmp_path / "pillow.tif"), str(out))
            made.append(("libtiff " + name, out))
    return made


@pytest.mark.parametrize("kind", ["gray8", "rgb8", "gray16", "rgb16"])
def test_files_others_write_read_exactly(kind, pictures, tmp_path):
    a = pictures[kind]
    made = others_write(a, tmp_path)
    assert len(made) >= 4
    for who, path in made:
        got = tessera.read(path)
        assert got.dtype == a.dtype, who
        np.testing.assert_array_equal(got, a, err_msg=who)
        if a.dtype == np.uint16:  # reduced to 8 bits: rounded, as v / 257
            assert tessera.load(path).kind == ("gray16" if a.ndim == 2 else "rgb16"), who
            reduced = np.asarray(tessera.load(path, depth="reduce"))
            expect = ((a.astype(np.int64) * 255 + 32767) // 65535).astype(np.uint8)
            np.testing.assert_array_equal(reduced, expect, err_msg=who)


def test_jpegs_others_write_decode_as_pillow_does(pictures, tmp_path):
    for kind in ("gray8", "rgb8"):
        a = pictures[kind]
        Image.fromarray(a).save(tmp_path / "p.jpg", quality=90)
        np.testing.assert_array_equal(tessera.read(tmp_path / "p.jpg"), np.asarray(Image.open(tmp_path / "p.jpg")))
        if shutil.which("convert"):
            (tmp_path / "src.pnm").write_bytes(pnm_bytes(a))
            run("convert", str(tmp_path / "src.pnm"), "-quality", "85", str(tmp_path / "m.jpg"))
            np.testing.assert_array_equal(tessera.read(tmp_path / "m.jpg"),
                                          np.asarray(Image.open(tmp_path / "m.jpg")))
    # Progressive and CMYK files.
    Image.fromarray(pictures["rgb8"]).save(tmp_path / "prog.jpg", progressive=True)
    np.testing.assert_array_equal(tessera.read(tmp_path / "prog.jpg"), np.asarray(Image.open(tmp_path / "prog.jpg")))
    Image.fromarray(pictures["rgb8"]).convert("CMYK").save(tmp_path / "cmyk.jpg", quality=95)
    rgb = np.asarray(Image.open(tmp_path / "cmyk.jpg").convert("RGB")).astype(int)
    assert np.abs(tessera.read(tmp_path / "cmyk.jpg").astype(int) - rgb).max() <= 1


def test_palette_alpha_and_bilevel_files(rng, tmp_path):
    a = rng.integers(0, 256, (12, 15, 3), dtype=np.uint8)
    Image.fromarray(a).convert("P").save(tmp_path / "p.png")
    np.testing.assert_array_equal(tessera.read(tmp_path / "p.png"),
                                  np.asarray(Image.open(tmp_path / "p.png").convert("RGB")))
    rgba = rng.integers(0, 256, (12, 15, 4), dtype=np.uint8)
    for name in ("a.png", "a.tif"):
        Image.fromarray(rgba).save(tmp_path / name)
        np.testing.assert_array_equal(tessera.read(tmp_path / name), rgba, err_msg=name)  # alpha kept
        over = np.asarray(tessera.load(tmp_path / name, (0, 0, 0), depth="reduce")).astype(int)
        expect = np.rint(rgba[..., :3].astype(float) * rgba[..., 3:] / 255).astype(int)
        assert np.abs(over - expect).max() <= 1, name
    # A palette with transparency and gray with alpha: four channels, as Pillow's RGBA.
    Image.fromarray(rgba[..., [0, 3]].copy(), "LA").save(tmp_path / "la.png")
    np.testing.assert_array_equal(tessera.read(tmp_path / "la.png"),
                                  np.asarray(Image.open(tmp_path / "la.png").convert("RGBA")))
    p = Image.fromarray(a).convert("P")
    p.info["transparency"] = 0
    p.save(tmp_path / "pt.png", transparency=0)
    np.testing.assert_array_equal(tessera.read(tmp_path / "pt.png"),
                                  np.asarray(Image.open(tmp_path / "pt.png").convert("RGBA")))
    bits = rng.integers(0, 2, (9, 21)).astype(bool)
    for name in ("b.png", "b.tif", "b.pbm"):
        Image.fromarray(bits).save(tmp_path / name)
        im = tessera.load(tmp_path / name)
        assert im.kind == "binary", name
        np.testing.assert_array_equal(np.asarray(im) != 0, ~bits, err_msg=name)  # set pixels are black


# ---- what tessera writes, others read ---------------------------------------------------------------


@pytest.mark.parametrize("kind", ["gray8", "rgb8", "gray16", "rgb16"])
def test_files_tessera_writes_read_exactly_elsewhere(kind, pictures, tmp_path):
    a = pictures[kind]
    deep = a.dtype == np.uint16
    for ext in ("png", "tif", "pam", "pnm" if not deep else ("pgm" if a.ndim == 2 else "ppm")):
        path = tmp_path / f"t.{ext}"
        tessera.write(a, path)
        if not (deep and a.ndim == 3) and ext != "pam":
            got = np.asarray(Image.open(path))
            np.testing.assert_array_equal(got.astype(a.dtype), a, err_msg=f"Pillow reading {ext}")
        if shutil.which("convert"):
            out = run("convert", str(path), "-depth", "16" if deep else "8", "pnm:-")
            np.testing.assert_array_equal(tessera.read(io.BytesIO(out)), a, err_msg=f"ImageMagick reading {ext}")
        if ext == "png" and shutil.which("pngtopam"):
            np.testing.assert_array_equal(tessera.read(io.BytesIO(run("pngtopam", str(path)))), a)
        if ext == "tif" and shutil.which("tifftopnm"):
            np.testing.assert_array_equal(tessera.read(io.BytesIO(run("tifftopnm", "-byrow", str(path)))), a)
        if ext == "tif" and shutil.which("tiffinfo"):
            assert b"Bits/Sample: %d" % (16 if deep else 8) in run("tiffinfo", str(path))


def test_jpegs_and_compressed_files_tessera_writes(pictures, tmp_path):
    a = pictures["rgb8"]
    im = tessera.Image.from_array(a)
    im.save(tmp_path / "q.jpg", quality=95)
    back = np.asarray(Image.open(tmp_path / "q.jpg")).astype(int)
    assert back.shape == a.shape
    np.testing.assert_array_equal(tessera.read(tmp_path / "q.jpg"), back)
    im.save(tmp_path / "z.tif", compression=6)
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "z.tif")), a)
    ramp = tessera.Image.from_array(np.add.outer(np.arange(64), np.arange(80)).astype(np.uint8))
    sizes = []
    for level in (0, 1, 9):
        buf = io.BytesIO()
        ramp.save(buf, "png", compression=level)
        sizes.append(len(buf.getvalue()))
        np.testing.assert_array_equal(np.asarray(Image.open(io.BytesIO(buf.getvalue()))), np.asarray(ramp))
    assert sizes[0] > sizes[1] >= sizes[2]
    # every level of a smooth and a noisy picture (they take different deflaters) reads back in
    # Pillow, and libpng's own checker finds nothing wrong
    rng = np.random.default_rng(8)
    noisy = np.clip(a.astype(int) + rng.integers(-9, 10, a.shape), 0, 255).astype(np.uint8)
    for picture in (a, noisy):
        for level in range(10):
            path = tmp_path / f"level{level}.png"
            tessera.Image.from_array(picture).save(path, compression=level)
            np.testing.assert_array_equal(np.asarray(Image.open(path)), picture)
            if shutil.which("pngfix"):
                assert subprocess.run(["pngfix", str(path)], capture_output=True).returncode == 0, level


# ---- hostile files -------------------------------------------------------------------------------------


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png_file(width, height, idat, extra=b"", interlace=0, colour=2, depth=8):
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", idat) + chunk(b"IEND", b"")


def peak_rss_of(code, *args):
    """Runs a Python snippet in a fresh process: (its exit status, its output, its errors); the
    snippets print their peak memory in MiB last."""
    p = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=600)
    return p.returncode, p.stdout, p.stderr


LOAD_AND_MEASURE = """
import resource, sys, tessera
try:
    tessera.load(sys.argv[1])
    print("loaded")
except tessera.Error as e:
    print("refused:", e)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""


def baseline_rss():
    code = "import resource, tessera\nprint(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)"
    return int(peak_rss_of(code)[1].split()[-1])


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="memory is measured without the sanitizers' own")
def test_bombs_are_refused_or_stay_small(tmp_path):
    base = baseline_rss()
    # An interlaced 16-bit RGBA header of 30000 x 30000 over a little deflate data.
    bomb = png_file(30000, 30000, zlib.compress(b"\0" * 100000, 9), interlace=1, colour=6, depth=16)
    # Within the pixel limit, but far more than its bytes can hold.
    dense = png_file(16000, 16000, zlib.compress(b"\0" * 100000, 9), interlace=1, colour=6, depth=16)
    # A hundred zTXt chunks of 8 MB of text each.
    text = chunk(b"zTXt", b"Comment\0\0" + zlib.compress(b"a" * (8 << 20), 9))
    ztxt = png_file(4, 4, zlib.compress(b"\0" * 60, 9), extra=text * 100)
    # A damaged interlaced image: rows missing.
    damaged = png_file(64, 64, zlib.compress(b"\0" * 500, 9), interlace=1)
    for name, data in [("bomb.png", bomb), ("dense.png", dense), ("ztxt.png", ztxt), ("damaged.png", damaged)]:
        (tmp_path / name).write_bytes(data)
        status, out, err = peak_rss_of(LOAD_AND_MEASURE, str(tmp_path / name))
        assert status == 0, err
        lines = out.split("\n")
        peak = int(lines[-2])
        assert peak - base < 64, f"{name}: {lines[0]}, peak {peak} MiB against {base} MiB"
        if name != "ztxt.png":
            assert lines[0].startswith("refused"), lines[0]


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizers reserve address space of their own")
@pytest.mark.parametrize("kind", [b"eXIf", b"iTXt", b"iCCP"])
def test_metadata_chunks_claiming_gigabytes_take_nothing_like_it(kind, tmp_path):
    # A chunk whose length says 1.9 GB over a few bytes: the reader must not allocate what the
    # length claims before it has the bytes (the process's peak address space tells).
    head = struct.pack(">I", 1920532802) + kind + b"XML:com.adobe.xmp\0\0\0\0\0" + b"x" * 64
    data = png_file(4, 4, zlib.compress(b"\0" * 60, 9))
    at = data.index(b"IDAT") - 4
    (tmp_path / "claim.png").write_bytes(data[:at] + head)
    code = """
import sys, tessera
def peak():
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmPeak")) // 1024
before = peak()
try:
    tessera.load(sys.argv[1])
    print("loaded")
except tessera.Error as e:
    print("refused:", e)
print(peak() - before)
"""
    status, out, err = peak_rss_of(code, str(tmp_path / "claim.png"))
    assert status == 0, err
    lines = out.split("\n")
    assert lines[0].startswith("refused:"), out
    assert int(lines[1]) < 256, f"{kind}: {lines[1]} MiB more address space at the peak"


def test_failed_loads_do_not_leak(tmp_path):
    damaged = png_file(64, 64, zlib.compress(b"\0" * 500, 9), interlace=1)
    (tmp_path / "damaged.png").write_bytes(damaged)
    code = """
import resource, sys, tessera
for i in range(int(sys.argv[2])):
    try:
        tessera.load(sys.argv[1])
    except tessera.Error:
        pass
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""
    few = int(peak_rss_of(code, str(tmp_path / "damaged.png"), "20")[1].split()[-1])
    many = int(peak_rss_of(code, str(tmp_path / "damaged.png"), "2000")[1].split()[-1])
    assert many - few < 16, f"{few} MiB after 20 failed loads, {many} MiB after 2000"


def test_the_pixel_limit_is_the_callers(tmp_path, tool):
    Image.fromarray(np.zeros((100, 100), np.uint8)).save(tmp_path / "a.png")
    with pytest.raises(tessera.FileError, match="limit of 9999 pixels"):
        tessera.load(tmp_path / "a.png", max_pixels=9999)
    assert tessera.load(tmp_path / "a.png", max_pixels=10000).width == 100
    p = subprocess.run([tool, "info", "--stats", "--limit", "9999px", str(tmp_path / "a.png")], capture_output=True, text=True)
    assert p.returncode == 2 and "limit of 9999 pixels" in p.stderr
    with pytest.raises(tessera.FileError, match="more than the budget of 9999 bytes"):
        tessera.load(tmp_path / "a.png", max_bytes=9999)
    assert tessera.load(tmp_path / "a.png", max_bytes=10000).width == 100
    for limit in ("9999", "9999B"):
        p = subprocess.run([tool, "info", "--stats", "--limit", limit, str(tmp_path / "a.png")], capture_output=True, text=True)
        assert p.returncode == 2 and "more than the budget of 9999 bytes" in p.stderr, p.stderr
    p = subprocess.run([tool, "info", "--stats", "--limit", "1K", str(tmp_path / "a.png")], capture_output=True, text=True)
    assert p.returncode == 2 and "budget of 1024 bytes" in p.stderr, p.stderr
    for wrong in ("0", "-5", "12Q", "px", "1.5G", "99999999999T"):
        p = subprocess.run([tool, "info", "--limit", wrong, str(tmp_path / "a.png")], capture_output=True, text=True)
        assert p.returncode == 2 and "--limit needs a size" in p.stderr, (wrong, p.stderr)


# ---- pipes and an interrupted batch --------------------------------------------------------------------


def test_the_tool_reads_pipes_and_dev_stdin(tmp_path, tool, pictures):
    tessera.write(pictures["gray16"], tmp_path / "a.tif")
    data = (tmp_path / "a.tif").read_bytes()
    for source in ("-", "/dev/stdin"):
        out = subprocess.run([tool, "info", "--json", source], input=data, capture_output=True, check=True).stdout
        assert b'"bits": 16' in out and b'"format": "TIFF"' in out
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", f"cat '{tmp_path / 'a.tif'}' > '{fifo}'"])
    out = subprocess.run([tool, "convert", "--keep-depth", str(fifo), str(tmp_path / "b.png")], capture_output=True)
    writer.wait()
    assert out.returncode == 0, out.stderr
    np.testing.assert_array_equal(tessera.read(tmp_path / "b.png"), pictures["gray16"])


def test_an_interrupted_batch_leaves_whole_files_and_no_temporaries(tmp_path, tool, rng):
    src = tmp_path / "in"
    out = tmp_path / "out"
    src.mkdir()
    out.mkdir()
    big = rng.integers(0, 256, (600, 800, 3), dtype=np.uint8)
    for i in range(40):
        tessera.write(big, src / f"{i:02d}.ppm")
    old = b"P5\n1 1\n255\n\x07"
    for i in range(40):
        (out / f"{i:02d}.png").write_bytes(old)
    for sig in (signal.SIGTERM, signal.SIGINT):
        p = subprocess.Popen([tool, "convert", "--out-dir", str(out), "--to", "png", "--jobs", "2",
                              *[str(src / f"{i:02d}.ppm") for i in range(40)]], stderr=subprocess.PIPE)
        time.sleep(0.3)
        p.send_signal(sig)
        p.wait(timeout=120)
        left = [n for n in os.listdir(out) if ".tessera-" in n]
        assert left == [], f"temporaries left after {sig!r}: {left}"
        for i in range(40):
            data = (out / f"{i:02d}.png").read_bytes()
            if data != old:
                np.testing.assert_array_equal(tessera.read(out / f"{i:02d}.png"), big)


def test_a_full_disk_leaves_the_old_output_whole(tmp_path, tool, rng):
    """On a tmpfs of 256 KB (mounted in a namespace of its own), writing a 480 KB image over an
    existing output fails with the disk's reason and leaves the old file whole, whether it is
    replaced or, with another hard link, written in place; no temporary is left."""
    need("unshare")
    big = tmp_path / "big.ppm"
    tessera.write(rng.integers(0, 256, (400, 400, 3), dtype=np.uint8), big)
    disk = tmp_path / "disk"
    disk.mkdir()
    script = f"""
mount -t tmpfs -o size=256k tmpfs '{disk}' || exit 77
printf 'P5\\n1 1\\n255\\n\\007' > '{disk}/single.ppm'
printf 'P5\\n1 1\\n255\\n\\007' > '{disk}/linked.ppm'
ln '{disk}/linked.ppm' '{disk}/other-name.ppm'
for out in single linked; do
  '{tool}' convert '{big}' '{disk}/'$out.ppm 2>&1; echo "status $out $?"
  od -An -tx1 '{disk}/'$out.ppm | tr -d ' \\n'; echo
done
ls -a '{disk}'
"""
    p = subprocess.run(["unshare", "-rm", "sh", "-c", script], capture_output=True, text=True, timeout=120)
    if p.returncode == 77 or "unshare failed" in p.stderr:
        pytest.skip("no tmpfs can be mounted here: " + p.stderr.strip())
    out = p.stdout
    for name in ("single", "linked"):
        assert f"status {name} 2" in out, out
    assert out.count("No space left on device") == 2, out
    assert out.count("50350a3120310a3235350a07") == 2, out  # "P5\n1 1\n255\n\a", twice, untouched
    assert ".tessera-" not in out, out


# ---- orientation --------------------------------------------------------------------------------


@pytest.mark.parametrize("ext", ["jpg", "png", "tif"])
def test_the_eight_orientations_load_as_pillows_exif_transpose(ext, rng, tmp_path):
    from PIL import ImageOps
    a = rng.integers(0, 256, (12, 17, 3), dtype=np.uint8)
    for n in range(1, 9):
        exif = Image.Exif()
        exif[0x0112] = n
        path = tmp_path / f"o{n}.{ext}"
        Image.fromarray(a).save(path, exif=exif.tobytes(), **({"quality": 95} if ext == "jpg" else {}))
        # The stored pixels: Pillow's decoding (for TIFF, Pillow's reader already moves some
        # orientations' rows and then exif_transpose moves them again, so the array written).
        stored = a if ext == "tif" else np.asarray(Image.open(path))
        np.testing.assert_array_equal(tessera.read(path, keep_orientation=True), stored, err_msg=f"{ext} {n}")
        src = Image.fromarray(stored)
        src.info["exif"] = exif.tobytes()
        want = np.asarray(ImageOps.exif_transpose(src))
        if ext != "tif":
            np.testing.assert_array_equal(want, np.asarray(ImageOps.exif_transpose(Image.open(path))))
        np.testing.assert_array_equal(tessera.read(path), want, err_msg=f"{ext} orientation {n}")
        np.testing.assert_array_equal(np.asarray(tessera.load(path)), want)
        # what tessera writes is upright: no orientation travels with it
        tessera.load(path).save(tmp_path / "upright.png")
        assert Image.open(tmp_path / "upright.png").getexif().get(0x0112, 1) == 1


# ---- libvips' tools -------------------------------------------------------------------------------

VIPS_CASES = [  # (extension, what vips saves with, dtype, channels)
    ("png", "", np.uint8, 4), ("png", "", np.uint16, 4), ("png", "", np.uint16, 1), ("png", "", np.uint16, 3),
    ("tif", "", np.uint8, 4), ("tif", "", np.uint16, 3), ("tif", "", np.uint16, 4), ("tif", "", np.uint16, 1),
    ("webp", "[lossless]", np.uint8, 4), ("webp", "[lossless]", np.uint8, 3),
    ("gif", "", np.uint8, 3), ("bmp", "", np.uint8, 3),
]


def vips(*args):
    run("vips", *map(str, args))


@pytest.mark.parametrize("ext,opts,dtype,bands", VIPS_CASES)
def test_files_libvips_writes_read_exactly_and_the_other_way(ext, opts, dtype, bands, rng, tmp_path):
    h, w = 9, 14
    top = 256 if dtype == np.uint8 else 65536
    if ext == "gif":  # a palette's worth of colours
        a = rng.integers(0, 4, (h, w, bands)).astype(dtype) * 60
    else:
        a = rng.integers(0, top, (h, w, bands)).astype(dtype)
    (tmp_path / "a.raw").write_bytes(a.tobytes())
    fmt = "uchar" if dtype == np.uint8 else "ushort"
    kind = ("b-w" if dtype == np.uint8 else "grey16") if bands == 1 else ("srgb" if dtype == np.uint8 else "rgb16")
    vips("rawload", tmp_path / "a.raw", tmp_path / "a.v", w, h, bands, "--format", fmt, "--interpretation", kind)
    saver = ["magicksave", tmp_path / "a.v", tmp_path / "by-vips.bmp"] if ext == "bmp" else \
        ["copy", tmp_path / "a.v", f"{tmp_path / ('by-vips.' + ext)}{opts}"]
    vips(*saver)
    got = tessera.read(tmp_path / f"by-vips.{ext}")
    np.testing.assert_array_equal(got.reshape(a.shape), a, err_msg=f"vips wrote {ext}")
    assert got.dtype == dtype
    tessera.write(a if bands > 1 else a[:, :, 0], tmp_path / f"by-tessera.{ext}", lossless=ext == "webp")
    loader = ["magickload", tmp_path / "by-tessera.bmp", tmp_path / "back.v"] if ext == "bmp" else \
        ["copy", tmp_path / f"by-tessera.{ext}", tmp_path / "back.v"]
    vips(*loader)
    vips("rawsave", tmp_path / "back.v", tmp_path / "back.raw")
    back = np.frombuffer((tmp_path / "back.raw").read_bytes(), dtype=dtype)
    if ext == "gif" and back.size == h * w * 4:  # libvips gives GIFs alpha
        back = back.reshape(h, w, 4)[:, :, :3]
    np.testing.assert_array_equal(back.reshape(a.shape), a, err_msg=f"vips read tessera's {ext}")


@pytest.mark.parametrize("ext", ["jpg", "webp"])
def test_lossy_files_decode_as_libvips_decodes_them(ext, rng, tmp_path):
    a = rng.integers(0, 256, (33, 47, 3), dtype=np.uint8)
    tessera.write(a, tmp_path / f"a.{ext}", quality=80)
    vips("copy", tmp_path / f"a.{ext}", tmp_path / "a.v")
    vips("rawsave", tmp_path / "a.v", tmp_path / "a.raw")
    want = np.frombuffer((tmp_path / "a.raw").read_bytes(), dtype=np.uint8).reshape(a.shape)
    np.testing.assert_array_equal(tessera.read(tmp_path / f"a.{ext}"), want)


# ---- metadata -----------------------------------------------------------------------------------


def test_profiles_and_exif_of_pillows_files_travel_and_strip_drops_them(rng, tmp_path):
    from PIL import ImageCms
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x010F] = "Tessera test"
    a = rng.integers(0, 256, (9, 14, 3), dtype=np.uint8)
    Image.fromarray(a).save(tmp_path / "in.jpg", icc_profile=icc, exif=exif.tobytes(), quality=95)
    im = tessera.load(tmp_path / "in.jpg")
    assert im.metadata["icc"] == icc
    assert im.metadata["exif"] == exif.tobytes()[6:]  # Pillow's block starts with "Exif\0\0"
    for ext in ["png", "tif", "webp", "jpg"]:
        im.save(tmp_path / f"out.{ext}")
        back = Image.open(tmp_path / f"out.{ext}")
        assert back.info.get("icc_profile") == icc, ext
        if ext != "tif":  # TIFF keeps EXIF in Photoshop's resources, which Pillow does not read
            assert back.getexif().get(0x010F) == "Tessera test", ext
        assert tessera.load(tmp_path / f"out.{ext}").metadata == im.metadata, ext
    im.save(tmp_path / "bare.png", strip=True)
    assert "icc_profile" not in Image.open(tmp_path / "bare.png").info
    assert tessera.load(tmp_path / "bare.png").metadata == {}
    assert tessera.Image(2, 2, "rgb").metadata is None
    im.metadata = {"xmp": b"<x:xmpmeta xmlns:x='adobe:ns:meta/'/>"}
    im.save(tmp_path / "x.png")
    assert tessera.load(tmp_path / "x.png").metadata == im.metadata
    with pytest.raises(ValueError):
        im.metadata = {"iptc": b"?"}


ICC = "/usr/share/color/icc"


@pytest.mark.parametrize("case", ["adobe rgb png", "cmyk jpeg", "adobe cmyk jpeg"])
def test_colorspace_srgb_converts_as_pillows_imagecms(case, rng, tmp_path):
    from PIL import ImageCms
    srgb = ImageCms.createProfile("sRGB")
    if case == "adobe rgb png":
        icc = open(f"{ICC}/compatibleWithAdobeRGB1998.icc", "rb").read()
        Image.fromarray(rng.integers(0, 256, (11, 19, 3), dtype=np.uint8)).save(tmp_path / "in.png", icc_profile=icc)
        path = tmp_path / "in.png"
    else:  # Pillow writes CMYK JPEGs with Adobe's marker, inks inverted; ImageMagick without
        icc = open(f"{ICC}/ghostscript/ps_cmyk.icc", "rb").read()
        cmyk = Image.fromarray(rng.integers(0, 256, (11, 19, 4), dtype=np.uint8), mode="CMYK")
        path = tmp_path / "in.jpg"
        if case == "adobe cmyk jpeg":
            cmyk.save(path, icc_profile=icc, quality=100)
        else:
            cmyk.save(tmp_path / "c.tif", icc_profile=icc)
            run("convert", str(tmp_path / "c.tif"), "-quality", "100", str(path))
    src = Image.open(path)
    want = np.asarray(ImageCms.profileToProfile(src, ImageCms.ImageCmsProfile(io.BytesIO(icc)), srgb, outputMode="RGB"))
    np.testing.assert_array_equal(tessera.read(path, colorspace="srgb"), want, err_msg=case)
    im = tessera.load(path, colorspace="srgb")
    assert ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(im.metadata["icc"]))).strip() == "sRGB built-in"
    with pytest.raises(ValueError):
        tessera.load(path, colorspace="p3")


def test_webp_both_ways_with_pillow(rng, tmp_path):
    rgba = rng.integers(0, 256, (21, 34, 4), dtype=np.uint8)
    Image.fromarray(rgba).save(tmp_path / "p.webp", lossless=True, exact=True)
    np.testing.assert_array_equal(tessera.read(tmp_path / "p.webp"), rgba)
    y, x = np.mgrid[0:40, 0:50]
    photo = np.stack([x * 5, y * 6, (x + y) * 2], axis=-1).astype(np.uint8)
    Image.fromarray(photo).save(tmp_path / "lossy.webp", quality=80)
    np.testing.assert_array_equal(tessera.read(tmp_path / "lossy.webp"), np.asarray(Image.open(tmp_path / "lossy.webp")))
    tessera.write(rgba, tmp_path / "t.webp", lossless=True)
    back = Image.open(tmp_path / "t.webp")
    assert back.mode == "RGBA" and (np.asarray(back) == rgba).all()
    tessera.write(photo, tmp_path / "t-lossy.webp", quality=90)
    assert np.abs(np.asarray(Image.open(tmp_path / "t-lossy.webp")).astype(int) - photo).mean() < 3
    exif = Image.Exif()
    exif[0x0112] = 8
    Image.fromarray(photo).save(tmp_path / "turned.webp", lossless=True, exif=exif.tobytes())
    np.testing.assert_array_equal(tessera.read(tmp_path / "turned.webp"), np.rot90(photo, 1))


def test_bmp_both_ways_with_pillow_and_imagemagick(rng, tmp_path):
    a = rng.integers(0, 256, (13, 21, 3), dtype=np.uint8)
    rgba = rng.integers(0, 256, (13, 21, 4), dtype=np.uint8)
    made = []
    for mode in ("1", "L", "P", "RGB"):
        im = Image.fromarray(a).convert(mode)
        im.save(tmp_path / f"p-{mode}.bmp")
        made.append((tmp_path / f"p-{mode}.bmp", np.asarray(im.convert("RGB"))))
    if shutil.which("convert"):
        Image.fromarray(a).save(tmp_path / "src.png")
        Image.fromarray(rgba).save(tmp_path / "srca.png")
        few = Image.fromarray(a).quantize(40)
        few.save(tmp_path / "few.png")
        for name, src, extra in [("m24.bmp", "src.png", ["-type", "TrueColor"]),
                                 ("m-rle.bmp", "few.png", ["-compress", "RLE", "-type", "Palette"]),
                                 ("m565.bmp", "src.png", ["-define", "bmp:subtype=RGB565"]),
                                 ("m-os2.bmp", "src.png", ["-type", "TrueColor"]),
                                 ("m32.bmp", "srca.png", [])]:
            out = str(tmp_path / name) if name != "m-os2.bmp" else "BMP2:" + str(tmp_path / name)
            run("convert", str(tmp_path / src), *extra, out)
            # ImageMagick's own decoding (it rounds 5 and 6-bit fields to 8 bits; Pillow truncates)
            channels = 4 if name == "m32.bmp" else 3
            raw = run("convert", str(tmp_path / name), "-depth", "8", ("rgba:-" if channels == 4 else "rgb:-"))
            made.append((tmp_path / name, np.frombuffer(raw, np.uint8).reshape(13, 21, channels)))
    for path, want in made:
        np.testing.assert_array_equal(tessera.read(path), want, err_msg=str(path))
    tessera.write(a, tmp_path / "t.bmp")
    assert Image.open(tmp_path / "t.bmp").mode == "RGB" and (np.asarray(Image.open(tmp_path / "t.bmp")) == a).all()
    tessera.write(rgba, tmp_path / "ta.bmp")
    back = Image.open(tmp_path / "ta.bmp")
    assert back.mode == "RGBA" and (np.asarray(back) == rgba).all()
    np.testing.assert_array_equal(tessera.read(tmp_path / "ta.bmp"), rgba)
    data = (tmp_path / "t.bmp").read_bytes()
    with pytest.raises(tessera.FileError, match="data ends after|ended early"):
        tessera.load(io.BytesIO(data[: len(data) // 2]))


def test_gif_first_frame_with_transparency_both_ways(rng, tmp_path):
    a = rng.integers(0, 256, (15, 22, 3), dtype=np.uint8)
    p = Image.fromarray(a).quantize(60)
    p.save(tmp_path / "p.gif")
    np.testing.assert_array_equal(tessera.read(tmp_path / "p.gif"), np.asarray(p.convert("RGB")))
    p.save(tmp_path / "t.gif", transparency=3)
    want = np.asarray(Image.open(tmp_path / "t.gif").convert("RGBA"))
    got = tessera.read(tmp_path / "t.gif")
    np.testing.assert_array_equal(got[..., 3], want[..., 3])
    opaque = want[..., 3] == 255
    np.testing.assert_array_equal(got[opaque], want[opaque])
    frames = [Image.fromarray(a).quantize(30), Image.fromarray(255 - a).quantize(30)]
    frames[0].save(tmp_path / "anim.gif", save_all=True, append_images=frames[1:])
    np.testing.assert_array_equal(tessera.read(tmp_path / "anim.gif"), np.asarray(frames[0].convert("RGB")))
    if shutil.which("convert"):
        run("convert", str(tmp_path / "p.gif"), "-interlace", "GIF", str(tmp_path / "m.gif"))
        np.testing.assert_array_equal(tessera.read(tmp_path / "m.gif"),
                                      np.asarray(Image.open(tmp_path / "m.gif").convert("RGB")))
    # written: the picture's own colours when at most 256, transparency where alpha is below half
    few = np.asarray(p.convert("RGB"))
    tessera.write(few, tmp_path / "w.gif")
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "w.gif").convert("RGB")), few)
    rgba = np.dstack([few, np.where(rng.random(few.shape[:2]) < 0.3, 0, 255).astype(np.uint8)])
    tessera.write(rgba, tmp_path / "wa.gif")
    back = np.asarray(Image.open(tmp_path / "wa.gif").convert("RGBA"))
    np.testing.assert_array_equal(back[..., 3], rgba[..., 3])
    np.testing.assert_array_equal(back[rgba[..., 3] == 255], rgba[rgba[..., 3] == 255])
    tessera.write(a, tmp_path / "many.gif")  # more than 256 colours: median cut
    assert np.abs(np.asarray(Image.open(tmp_path / "many.gif").convert("RGB")).astype(int) - a).mean() < 40
    data = (tmp_path / "p.gif").read_bytes()
    with pytest.raises(tessera.FileError, match="ended early|damaged"):
        tessera.load(io.BytesIO(data[: len(data) // 2]))


def test_probe_reads_headers_alone_and_agrees_with_load(tmp_path):
    rng = np.random.default_rng(5)
    rgba = rng.integers(0, 256, (30, 40, 4), np.uint8)
    deep = rng.integers(0, 65536, (30, 40), np.uint16)
    Image.fromarray(rgba).save(tmp_path / "a.png")
    Image.fromarray(deep, "I;16").save(tmp_path / "d.png")
    exif = Image.Exif()
    exif[0x0112] = 6
    Image.fromarray(rgba[..., :3]).save(tmp_path / "turned.jpg", exif=exif.tobytes())
    for name, kind, alpha, bits in [("a.png", "rgba", True, 8), ("d.png", "gray16", False, 16),
                                    ("turned.jpg", "rgb", False, 8)]:
        p = tessera.probe(tmp_path / name)
        im = tessera.load(tmp_path / name, keep_orientation=True)
        assert (p["kind"], p["alpha"], p["bits"]) == (kind, alpha, bits) == (im.kind, alpha, bits)
        assert (p["width"], p["height"]) == (im.width, im.height) == (40, 30)
        assert p["metadata"] == im.metadata
    assert tessera.probe(tmp_path / "turned.jpg")["orientation"] == 6
    # a file whose pixels are cut short, and one too large to load, are described all the same
    data = (tmp_path / "d.png").read_bytes()
    assert tessera.probe(io.BytesIO(data[:100]))["kind"] == "gray16"
    with pytest.raises(tessera.FileError):
        tessera.load(io.BytesIO(data[:100]))
    assert tessera.probe(tmp_path / "a.png", depth="reduce")["kind"] == tessera.load(tmp_path / "a.png", depth="reduce").kind == "rgb"


def test_thumbnails_fit_the_box_like_pillow_and_shrink_jpegs_as_they_load(tmp_path):
    y, x = np.mgrid[0:600, 0:800]
    smooth = np.dstack([x * 255 // 800, y * 255 // 600, 128 + 100 * np.sin(x * 0.02) * np.cos(y * 0.03)]).astype(np.uint8)
    Image.fromarray(smooth).save(tmp_path / "a.png")
    Image.fromarray(smooth).save(tmp_path / "a.jpg", quality=95)
    for box in [(200, 200), (200, None), (None, 90), (1000, 1000)]:
        want = Image.open(tmp_path / "a.png")
        want.thumbnail((box[0] or 10 ** 6, box[1] or 10 ** 6))  # Pillow's own sizes
        t = tessera.thumbnail(tmp_path / "a.png", *box, filter="lanczos3")
        assert (t.width, t.height) == want.size, box
        # a PNG: what a load and a resize give, byte for byte
        whole = tessera.load(tmp_path / "a.png")
        if want.size != (800, 600):
            whole = whole.resize(*want.size, filter="lanczos3")
        assert np.array_equal(np.asarray(t), np.asarray(whole))
    # a JPEG decoded at a quarter of its size: close to the whole decode and the same resize
    t = tessera.thumbnail(open(tmp_path / "a.jpg", "rb"), 200, filter="lanczos3")
    whole = tessera.load(tmp_path / "a.jpg").resize(200, 150, filter="lanczos3")
    d = np.abs(np.asarray(t).astype(int) - np.asarray(whole).astype(int))
    assert (t.width, t.height) == (200, 150) and d.max() <= 16 and d.mean() < 2


def test_a_pipeline_gives_the_whole_ways_file_and_holds_only_rows(tmp_path):
    y, x = np.mgrid[0:300, 0:400]
    rgb = np.dstack([x * 255 // 400, y * 255 // 300, (x * y) % 251]).astype(np.uint8)
    tessera.write(rgb, tmp_path / "a.png")
    # the whole way: read, crop, resize, mirror, write
    whole = tessera.load(tmp_path / "a.png")
    part = tessera.Image.from_array(np.ascontiguousarray(np.asarray(whole)[20:220, 10:310]))
    want = np.asarray(part.resize(150, filter="lanczos3"))[:, ::-1]
    tessera.write(np.ascontiguousarray(want), tmp_path / "want.tif")
    # a budget the whole picture would not pass: rows only
    tessera.pipeline(tmp_path / "a.png", tmp_path / "got.tif", crop=(10, 20, 300, 200), width=150, filter="lanczos3",
                     mirror=True, max_bytes=200_000)
    assert (tmp_path / "got.tif").read_bytes() == (tmp_path / "want.tif").read_bytes()
    with pytest.raises(tessera.FileError, match="budget"):
        tessera.load(tmp_path / "a.png", max_bytes=200_000)
    tessera.pipeline(tmp_path / "a.png", tmp_path / "gray.jpg", kind="gray", quality=80)
    assert tessera.read(tmp_path / "gray.jpg").ndim == 2
