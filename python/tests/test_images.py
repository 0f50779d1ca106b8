"""Images as numpy arrays: views that share memory, copies and wraps, operations in the image's
own coordinates, files of every format, and Pillow agreeing on the pixels."""
import gc
import io
import pathlib
import weakref

import numpy as np
import pytest

import tessera

KINDS = {
    "gray": (np.uint8, 2), "binary": (np.uint8, 2), "rgb": (np.uint8, 3), "short": (np.int16, 2),
    "int": (np.int32, 2), "float": (np.float32, 2), "double": (np.float64, 2), "float3a": (np.float32, 3),
    "float3b": (np.float32, 3),
}


def random_array(rng, kind, h=7, w=5):
    dtype, dims = KINDS[kind]
    shape = (h, w, 3) if dims == 3 else (h, w)
    if kind == "binary":
        return rng.integers(0, 2, shape).astype(np.int8)
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, shape, endpoint=True).astype(dtype)
    return rng.normal(0, 1000, shape).astype(dtype)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_the_array_is_a_view_of_the_pixels(kind, rng):
    im = tessera.Image(5, 7, kind, xoffset=-3, yoffset=10)
    a = np.asarray(im)
    assert a.shape == ((7, 5, 3) if KINDS[kind][1] == 3 else (7, 5)) == im.shape
    assert a.itemsize == np.dtype(KINDS[kind][0]).itemsize
    b = im.array
    assert np.shares_memory(a, b)
    a[2, 4] = 1
    expected = (1, 1, 1) if KINDS[kind][1] == 3 else 1
    assert im.at(-3 + 4, 10 + 2) == expected  # row 0 of the array is row yoffset
    im.set(-3, 10, (2, 2, 2) if KINDS[kind][1] == 3 else 2)
    assert np.all(b[0, 0] == 2)


def test_a_view_keeps_the_image_alive():
    im = tessera.Image(64, 48, "rgb")
    im.fill((1, 2, 3))
    ref = weakref.ref(im)
    view = im.array
    del im
    gc.collect()
    assert ref() is not None
    assert view[47, 63].tolist() == [1, 2, 3]
    del view
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_from_array_copies_and_wraps(kind, rng):
    a = random_array(rng, kind)
    copy = tessera.Image.from_array(a, xoffset=2, yoffset=-1, kind=kind)
    assert copy.kind == kind and (copy.xoffset, copy.yoffset) == (2, -1) and not copy.wrapped
    assert np.array_equal(np.asarray(copy).view(a.dtype), a)
    assert not np.shares_memory(np.asarray(copy), a)
    wrapped = tessera.Image.from_array(a, kind=kind, wrap=True)
    assert wrapped.wrapped and np.shares_memory(np.asarray(wrapped), a)
    wrapped.fill((0, 0, 0) if KINDS[kind][1] == 3 else 0)
    assert not a.any()


def test_a_wrapping_image_keeps_the_array_alive():
    a = np.arange(12, dtype=np.float64).reshape(3, 4)
    ref = weakref.ref(a) if hasattr(a, "__weakref__") else None
    im = tessera.Image.from_array(a, wrap=True)
    del a
    gc.collect()
    assert im.at(3, 2) == 11.0
    assert ref is None or ref() is not None


def test_from_array_infers_the_kind():
    assert tessera.Image.from_array(np.zeros((2, 3), np.uint8)).kind == "gray"
    assert tessera.Image.from_array(np.zeros((2, 3, 3), np.uint8)).kind == "rgb"
    assert tessera.Image.from_array(np.zeros((2, 3), bool)).kind == "binary"
    flags = np.array([[True, False]])
    wrapped = tessera.Image.from_array(flags, wrap=True)
    assert wrapped.kind == "binary" and wrapped.at(0, 0) == 1 and np.asarray(wrapped).dtype == np.uint8
    assert tessera.Image.from_array(np.zeros((2, 3), np.int16)).kind == "short"
    assert tessera.Image.from_array(np.zeros((2, 3), np.float32)).kind == "float"
    assert tessera.Image.from_array(np.zeros((2, 3, 3), np.float32)).kind == "float3a"
    assert tessera.Image.from_array(np.zeros((2, 3), np.float64)).kind == "double"
    strided = np.arange(60, dtype=np.uint8).reshape(6, 10)[::2, ::3]
    assert np.array_equal(np.asarray(tessera.Image.from_array(strided)), strided)


def test_operations_use_the_images_coordinates(rng):
    a = rng.integers(0, 256, (30, 40), dtype=np.uint8)
    im = tessera.Image.from_array(a, xoffset=100, yoffset=-50)
    c = im.crop(110, -45, 8, 6)
    assert (c.xoffset, c.yoffset, c.width, c.height) == (110, -45, 8, 6)
    assert np.array_equal(np.asarray(c), a[5:11, 10:18])
    into = tessera.Image(20, 20, "gray")
    im.crop_into(into, 100, -50, 3, 4, 5, 6)
    assert np.array_equal(np.asarray(into)[4:10, 3:8], a[0:6, 0:5])
    b = im.border(2)
    assert b.shape == (34, 44) and np.array_equal(np.asarray(b)[2:32, 2:42], a)
    assert not np.asarray(b)[0].any()
    s = im.scale(80, 60)
    assert s.shape == (60, 80) and np.array_equal(np.asarray(s)[::2, ::2], a)
    assert im.extrema() == (int(a.min()), int(a.max()))
    d = im.dup()
    d.fill(7)
    assert im.at(100, -50) == a[0, 0] and d.at(139, -21) == 7
    im.set_offset(0, 0)
    assert im.at(39, 29) == a[29, 39]


def test_rgb_and_three_float_extrema_are_per_channel():
    a = np.array([[[1, 200, 3], [50, 2, 250]]], np.uint8)
    assert tessera.Image.from_array(a).extrema() == ((1, 2, 3), (50, 200, 250))
    f = tessera.Image.from_array(a.astype(np.float32), kind="float3b")
    assert f.extrema() == ((1.0, 2.0, 3.0), (50.0, 200.0, 250.0))


FORMATS = {"gray": ["pgm", "pnm", "pam", "png", "q1", "q2", "q3", "q4"], "binary": ["pbm", "pnm", "pam", "png"],
           "rgb": ["ppm", "pnm", "pam", "png", "q10", "q11"]}


@pytest.mark.parametrize("kind", sorted(FORMATS))
def test_every_format_round_trips(kind, rng, tmp_path):
    a = random_array(rng, kind).astype(np.uint8) if kind != "binary" else random_array(rng, kind)
    im = tessera.Image.from_array(a, kind=kind)
    for ext in FORMATS[kind]:
        path = tmp_path / f"x.{ext}"
        out = im if ext in ("pgm", "ppm", "pbm", "pnm", "pam", "png") else im.convert(
            {"q1": "float", "q2": "double", "q3": "int", "q4": "short", "q10": "float3a", "q11": "float3b"}[ext])
        out.save(path)
        back = tessera.load(path)
        if back.kind != kind:
            back = back.convert(kind)
        assert np.array_equal(np.asarray(back), np.asarray(im)), ext
        # the same through file objects
        buffer = io.BytesIO()
        out.save(buffer, format=ext)
        buffer.seek(0)
        again = tessera.load(buffer)
        assert np.array_equal(np.asarray(again), np.asarray(back)), ext


def test_paths_may_be_pathlike_str_or_bytes(tmp_path):
    im = tessera.Image.from_array(np.full((2, 3), 9, np.uint8))
    im.save(tmp_path / "a.pgm")
    im.save(str(tmp_path / "b.pgm"))
    im.save(bytes(tmp_path / "c.pgm"))
    for name in "abc":
        assert tessera.load(pathlib.Path(tmp_path, name + ".pgm")).at(2, 1) == 9
    with open(tmp_path / "d.pgm", "wb") as f:
        im.save(f)
    with open(tmp_path / "d.pgm", "rb") as f:
        assert tessera.load(f).at(0, 0) == 9


def test_pillow_reads_what_tessera_writes_and_the_other_way(rng, tmp_path):
    Image = pytest.importorskip("PIL.Image")
    gray = rng.integers(0, 256, (23, 37), dtype=np.uint8)
    rgb = rng.integers(0, 256, (23, 37, 3), dtype=np.uint8)
    bits = rng.integers(0, 2, (23, 37)).astype(np.int8)
    for name, a, kind in (("g.pgm", gray, "gray"), ("c.ppm", rgb, "rgb"), ("b.pbm", bits, "binary"),
                          ("g.png", gray, "gray"), ("c.png", rgb, "rgb"), ("b.png", bits, "binary")):
        tessera.Image.from_array(a, kind=kind).save(tmp_path / name)
        with Image.open(tmp_path / name) as p:
            got = np.asarray(p)
        want = (a == 0) if kind == "binary" else a  # Pillow: True is white, a clear pixel
        assert np.array_equal(got, want), name
    for name, a, mode in (("pg.pgm", gray, "L"), ("pc.ppm", rgb, "RGB"), ("pg.png", gray, "L"),
                          ("pc.png", rgb, "RGB")):
        Image.fromarray(a, mode).save(tmp_path / name)
        assert np.array_equal(np.asarray(tessera.load(tmp_path / name)), a), name
    Image.fromarray(bits == 0).save(tmp_path / "pb.pbm")
    assert np.array_equal(np.asarray(tessera.load(tmp_path / "pb.pbm")), bits.astype(np.uint8))
    rgba = rng.integers(0, 256, (5, 6, 4), dtype=np.uint8)
    Image.fromarray(rgba, "RGBA").save(tmp_path / "a.png")
    composited = tessera.load(tmp_path / "a.png", background=(255, 255, 255), depth="reduce")
    alpha = rgba[..., 3:].astype(float)
    want = np.floor((rgba[..., :3] * alpha + 255 * (255 - alpha)) / 255 + 0.5).astype(np.uint8)
    assert np.array_equal(np.asarray(composited), want)


def test_comments_travel_with_the_file(tmp_path):
    im = tessera.Image(3, 2, "gray")
    im.comment = "made in a test"
    im.save(tmp_path / "c.pgm")
    assert tessera.load(tmp_path / "c.pgm").comment == "made in a test"


def test_convert_and_normalize():
    f = tessera.Image.from_array(np.array([[-1.0, 0.5, 3.0]], np.float32))
    assert np.asarray(f.convert("gray")).tolist() == [[0, 0, 3]]
    assert np.asarray(f.convert("gray", normalize=True)).tolist() == [[0, 96, 255]]
    b = tessera.Image.from_array(np.array([[1, 0]], np.int8), kind="binary")
    assert np.asarray(b.convert("gray")).tolist() == [[0, 255]]
