"""Buffers handed to Python code outlive the call, and every face holds loads and results to
the budget: the tool's --limit, tessera.set_budget and max_bytes."""
import io
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
import tessera
from PIL import Image


class KeepingWriter(io.RawIOBase):
    """A file object that keeps what write() is given instead of copying it, as a queued writer does."""

    def __init__(self):
        self.kept = []

    def writable(self):
        return True

    def write(self, b):
        self.kept.append(b)
        return len(b)


@pytest.mark.parametrize("size", [(3, 2), (1000, 1000)])
def test_a_file_object_may_keep_what_write_is_given(tmp_path, size):
    rng = np.random.default_rng(7)
    im = tessera.Image.from_array(rng.integers(0, 256, (size[1], size[0], 3), np.uint8))
    im.save(tmp_path / "want.png")
    want = (tmp_path / "want.png").read_bytes()
    w = KeepingWriter()
    im.save(w, "png")
    tessera.write(np.asarray(im), w, "png")
    del im
    import gc

    gc.collect()
    # Other allocations in between would reuse freed memory.
    junk = [bytearray(len(want)) for _ in range(4)]
    assert [bytes(v) for v in w.kept] == [want, want]
    for view in w.kept:
        if isinstance(view, memoryview):
            assert view.readonly
            with pytest.raises(TypeError):
                view[0] = 0
    del junk


class KeepingFile(io.BytesIO):
    """A seekable file object that keeps what write() is given as well as writing it."""

    def __init__(self, prefix=b"", fail_after=None):
        super().__init__(prefix)
        self.seek(0, 2)
        self.kept, self.fail_after = [], fail_after

    def write(self, b):
        if self.fail_after is not None and len(self.kept) >= self.fail_after:
            raise OSError("disk full")
        self.kept.append(b)
        return super().write(b)


@pytest.mark.parametrize("fmt", ["png", "jpeg", "tiff", "webp", "gif", "bmp", "ppm"])
def test_a_seekable_file_object_is_written_in_place_and_left_as_it_was_on_failure(tmp_path, fmt):
    rng = np.random.default_rng(3)
    im = tessera.Image.from_array(rng.integers(0, 256, (700, 900, 3), np.uint8))
    im.save(tmp_path / "want", format=fmt)
    want = (tmp_path / "want").read_bytes()
    # after what the object held already, byte for byte what a path gets
    f = KeepingFile(b"head")
    im.save(f, format=fmt)
    assert f.getvalue() == b"head" + want and f.tell() == 4 + len(want)
    # views the object kept are released, never read after their memory is gone
    with pytest.raises(ValueError):
        bytes(f.kept[0])
    # a write that fails: its error, and the object as it was
    f = KeepingFile(b"head", fail_after=1)
    with pytest.raises(OSError, match="disk full"):
        im.save(f, format=fmt)
    assert f.getvalue() == b"head" and f.tell() == 4


def test_results_over_the_budget_are_refused_and_the_budget_is_restored():
    before = tessera.set_budget(1 << 20)
    try:
        assert tessera.budget() == 1 << 20
        small = tessera.Image(4, 4)
        for make in (
            lambda: small.resize(2000, 2000),
            lambda: small.scale(2000, 2000),
            lambda: small.border(600),
            lambda: tessera.Drawing(10, 10, color=True).render(150, kind="rgb"),
        ):
            with pytest.raises(tessera.Error, match="more than the budget of 1048576 bytes"):
                make()
        assert small.resize(500, 500).width == 500
        # Loads take the process's budget unless given their own.
        data = io.BytesIO()
        tessera.Image(1100, 1000).save(data, "pgm")
        with pytest.raises(tessera.FileError, match="budget") as caught:
            tessera.load(io.BytesIO(data.getvalue()))
        assert str(caught.value).startswith("a 1100 x 1000 image takes"), str(caught.value)
        assert tessera.load(io.BytesIO(data.getvalue()), max_bytes=2 << 20).width == 1100
    finally:
        assert tessera.set_budget(before) == 1 << 20
    assert tessera.budget() == before
    with pytest.raises(ValueError):
        tessera.load(io.BytesIO(b"P5 1 1 255\n\0"), max_bytes=0)


def test_the_tool_bounds_results_by_its_limit(tmp_path, tool):
    Image.fromarray(np.zeros((2, 2), np.uint8)).save(tmp_path / "tiny.pgm")
    for args in (
        ["scale", "tiny.pgm", "o.pgm", "50000", "50000", "--limit", "1000"],
        ["border", "tiny.pgm", "o.pgm", "30000"],
        ["resize", "tiny.pgm", "o.pgm", "40000x40000"],
    ):
        p = subprocess.run([tool, *args], cwd=tmp_path, capture_output=True, text=True)
        assert p.returncode == 2 and "more than the budget" in p.stderr, (args, p.stderr)
        assert not (tmp_path / "o.pgm").exists()
    p = subprocess.run([tool, "scale", "tiny.pgm", "o.pgm", "30", "30", "--limit", "1000"], cwd=tmp_path)
    assert p.returncode == 0 and tessera.load(tmp_path / "o.pgm").width == 30
    (tmp_path / "big.ptl").write_text("PTL 0 0 100 100\n1p 5 5\n")
    p = subprocess.run([tool, "render", "big.ptl", "o.pbm", "--scale", "20", "--limit", "100K"], cwd=tmp_path,
                       capture_output=True, text=True)
    assert p.returncode == 2 and "more than the budget" in p.stderr, p.stderr


def test_signed_and_float_tiffs_pillow_writes_keep_their_values(tmp_path):
    values = np.array([[-2147483648, -1, 0, 1], [1000000, 2147483647, -1000000, 7]], np.int32)
    Image.fromarray(values, "I").save(tmp_path / "i32.tif")
    a = tessera.read(tmp_path / "i32.tif")
    assert a.dtype == np.int32 and (a == values).all()
    # libtiff's raw2tiff for the layouts Pillow does not write: signed 16 and unsigned 32 bits.
    raw2tiff = shutil.which("raw2tiff")
    if not raw2tiff:
        pytest.skip("no raw2tiff")
    shorts = np.array([[-32768, -1, 0, 32767]], np.int16)
    longs = np.array([[0, 1000000, 2**31, 2**32 - 1]], np.uint32)
    for name, array, kind in (("i16", shorts, "sshort"), ("u32", longs, "long")):
        (tmp_path / (name + ".raw")).write_bytes(array.astype(array.dtype.newbyteorder("<")).tobytes())
        subprocess.run([raw2tiff, "-w", "4", "-l", "1", "-d", kind, "-c", "none", str(tmp_path / (name + ".raw")),
                        str(tmp_path / (name + ".tif"))], check=True, capture_output=True)
    b = tessera.read(tmp_path / "i16.tif")
    assert b.dtype == np.int16 and (b == shorts).all()
    c = tessera.read(tmp_path / "u32.tif")
    assert c.dtype == np.float64 and (c == longs).all()
    # Loaded as the file has them, they stay numbers; reduced, the whole range maps onto 0..255.
    assert tessera.load(tmp_path / "i16.tif").kind == "short"
    assert tessera.load(tmp_path / "i16.tif", depth="reduce").kind == "gray"
    assert list(np.asarray(tessera.load(tmp_path / "i16.tif", depth="reduce"))[0]) == [0, 127, 128, 255]


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="memory is measured without the sanitizers' own")
def test_sixteen_bit_rgba_zeros_are_refused_kept_and_read_reduced_within_three_results(tmp_path):
    import struct
    import zlib

    def png(w, h):
        co = zlib.compressobj(9)
        row = b"\0" * (1 + w * 8)
        data = b"".join(co.compress(row) for _ in range(h)) + co.flush()
        ihdr = struct.pack(">IIBBBBB", w, h, 16, 6, 0, 0, 0)
        ck = lambda k, d: struct.pack(">I", len(d)) + k + d + struct.pack(">I", zlib.crc32(k + d) & 0xFFFFFFFF)
        return b"\x89PNG\r\n\x1a\n" + ck(b"IHDR", ihdr) + ck(b"IDAT", data) + ck(b"IEND", b"")

    (tmp_path / "big.png").write_bytes(png(16384, 16384))
    (tmp_path / "mid.png").write_bytes(png(4096, 4096))
    code = """
import resource, sys, tessera
try:
    getattr(tessera, sys.argv[2])(sys.argv[1])
    print("loaded")
except tessera.Error as e:
    print("refused:", e)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""
    run = lambda *a: subprocess.run([sys.executable, "-c", code, *a], capture_output=True, text=True, timeout=600)
    base = int(run(str(tmp_path / "none"), "load").stdout.split()[-1])
    # Kept as three floats a pixel the big one takes 3 GiB: refused at once by the default budget.
    p = run(str(tmp_path / "big.png"), "read")
    assert p.stdout.startswith("refused") and "budget" in p.stdout, p.stdout + p.stderr
    assert int(p.stdout.split()[-1]) - base < 64
    # Reduced, the 4096 x 4096 one is an RGB image of 48 MiB.
    p = run(str(tmp_path / "mid.png"), "load")
    assert p.stdout.startswith("loaded"), p.stdout + p.stderr
    assert int(p.stdout.split()[-1]) - base < 3 * 48, p.stdout
